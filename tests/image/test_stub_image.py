#!/usr/bin/env python3
"""Checks the finished sfxstub.exe as a file: what it imports, its
resources, its DOS program, and that it holds no archive marker.
Usage: test_stub_image.py STUB OBJDUMP WINDRES FORMAT_HEADER"""
import re
import subprocess
import sys
import unittest
from pathlib import Path

STUB, OBJDUMP, WINDRES, HEADER = (Path(a) if i != 1 and i != 2 else a for i, a in enumerate(sys.argv[1:5]))
DOS_TEXT = b"Con soporte:  Windows 95,98,Me,2000,NT."

# Exactly what the stub imports: functions every Windows since 95 and NT 4.0
# exports (the wide path queries answer nothing on 95, 98 and Me, and the
# stub then keeps the ANSI answers). A new import must be added here on
# purpose.
IMPORTS = {
    "KERNEL32.dll": {"CloseHandle", "CreateDirectoryA", "CreateFileA", "CreateProcessA", "DeleteFileA",
                     "DosDateTimeToFileTime", "ExitProcess", "FindClose", "FindFirstFileA", "GetCommandLineA",
                     "GetFileSize", "GetModuleFileNameA", "GetModuleFileNameW", "GetModuleHandleA",
                     "GetShortPathNameW", "GetTempPathA", "GetTempPathW", "LocalFileTimeToFileTime", "ReadFile",
                     "RemoveDirectoryA", "SetFilePointer", "SetFileTime", "WaitForSingleObject",
                     "WideCharToMultiByte", "WriteFile"},
    "USER32.dll": {"DialogBoxIndirectParamA", "EndDialog", "MessageBoxA", "PeekMessageA", "PostMessageA",
                   "RedrawWindow"},
}


def imports():
    text = subprocess.run([OBJDUMP, "-p", str(STUB)], check=True, capture_output=True, text=True).stdout
    found, current = {}, None
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            current = m.group(1)
            found[current] = set()
            continue
        m = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\w+)$", line)
        if current and m:
            found[current].add(m.group(1))
    return found, text


# The stub stays within 26,112 bytes: three 512-byte file-alignment units
# above the 24,576 it had before its decoder took a bit buffer of a word,
# tables that hold a whole decoding step and matches copied past their end.
SIZE_LIMIT = 26_112


class StubImage(unittest.TestCase):
    image = STUB.read_bytes()

    def test_within_its_size(self):
        self.assertLessEqual(len(self.image), SIZE_LIMIT)

    def test_relocatable_with_aslr_and_nx(self):
        word = lambda at, n: int.from_bytes(self.image[at:at + n], "little")
        pe = word(0x3C, 4)
        self.assertEqual(word(pe + 22, 2) & 0x0001, 0, "relocations stripped")
        self.assertEqual(word(pe + 24 + 70, 2) & 0x0140, 0x0140, "DYNAMIC_BASE and NX_COMPAT")
        self.assertGreater(word(pe + 24 + 96 + 5 * 8 + 4, 4), 0, "size of the relocation directory")

    def test_imports_two_old_dlls_only(self):
        found, _ = imports()
        self.assertEqual(found, IMPORTS)

    def test_gui_program_for_windows_4(self):
        _, text = imports()
        self.assertRegex(text, r"Subsystem\s+00000002")
        self.assertRegex(text, r"MajorSubsystemVersion\s+4\n")
        self.assertRegex(text, r"Time/Date\s+Thu Jan  1 00:00:00 1970")

    def test_six_icon_groups_and_no_dialog(self):
        rc = subprocess.run([WINDRES, "-i", str(STUB), "-O", "rc"], check=True, capture_output=True,
                            text=True, errors="replace").stdout
        groups = re.findall(r'^"?(\w+)"? 14 /\* RT_GROUP_ICON \*/', rc, re.M)
        self.assertEqual(sorted(groups), ["A", "AGRANDA", "AZUL", "MINI", "OTRO", "ROJA"])
        self.assertNotIn("RT_DIALOG", rc)

    def test_dos_program_prints_our_text(self):
        # The DOS program: DS := CS, DX := offset of the text, AH := 9
        # (print up to "$"), INT 21h, then exit.
        pe = int.from_bytes(self.image[0x3C:0x40], "little")
        code = self.image[0x40:pe]
        self.assertEqual(code[:9], bytes.fromhex("0E1FBA0E00B409CD21"))
        text_at = 0x40 + int.from_bytes(code[3:5], "little")
        shown = self.image[text_at:self.image.index(b"$", text_at)]
        self.assertEqual(shown.rstrip(b"\r\n"), DOS_TEXT)

    def test_pe_checksum_matches_the_bytes(self):
        pe = int.from_bytes(self.image[0x3C:0x40], "little")
        field_at = pe + 24 + 64
        data = self.image[:field_at] + bytes(4) + self.image[field_at + 4:] + b"\0"
        total = sum(int.from_bytes(data[i:i + 2], "little") for i in range(0, len(self.image), 2))
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        self.assertEqual(int.from_bytes(self.image[field_at:field_at + 4], "little"), total + len(self.image))

    def test_no_marker_in_file_order(self):
        key = int(re.search(r"ScrambleKey = (0x[0-9A-Fa-f]+);", HEADER.read_text()).group(1), 16)
        marker = bytes(b ^ key for b in b"PK\x03\x04\x14\x00")
        self.assertEqual(self.image.find(marker), -1)

    def test_image_ends_with_its_last_section(self):
        # The locator scans everything behind byte 20 for the marker, and
        # sfxpack appends the archive right behind the image: the file must
        # be exactly its headers and sections, nothing cut and nothing added.
        image = self.image
        pe = int.from_bytes(image[0x3C:0x40], "little")
        self.assertEqual(image[pe:pe + 4], b"PE\0\0")
        sections = int.from_bytes(image[pe + 6:pe + 8], "little")
        optional = int.from_bytes(image[pe + 20:pe + 22], "little")
        file_alignment = int.from_bytes(image[pe + 24 + 36:pe + 24 + 40], "little")
        table = pe + 24 + optional
        end = 0
        for i in range(sections):
            entry = image[table + 40 * i:table + 40 * (i + 1)]
            raw_size = int.from_bytes(entry[16:20], "little")
            raw_at = int.from_bytes(entry[20:24], "little")
            if raw_size:
                self.assertEqual(raw_at % file_alignment, 0, entry[:8])
                end = max(end, raw_at + raw_size)
        self.assertEqual(len(image), end)
        # A figure for the record, not a limit.
        print(f"\nsfxstub.exe: {len(image)} bytes in {sections} sections", file=sys.stderr)

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[5:], verbosity=2)
