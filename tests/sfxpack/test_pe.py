"""The PE reader and the resource rebuild, checked by readers of their own:
pefile (Debian's python3-pefile), llvm-readobj and osslsigncode, over the
real stub and over copies whose resources pe_rewrite_tool rebuilt."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import pefile

TOOL = os.environ["PE_REWRITE_TOOL"]
STUB = os.environ["SFX_STUB"]
SFXPACK = os.environ["SFXPACK"]

# Resources added to the stub: (type, name, language, bytes). The 100 KB
# one makes the resource section outgrow its room, so .reloc moves.
ADDED = [("10", "PADDING", "1033", bytes(range(256)) * 400),
         ("10", "alpha", "0", b"lower case sorts after upper case"),
         ("10", "7", "2057", b"an ID after the names"),
         ("24", "1", "1033", b"<assembly xmlns='urn:schemas-microsoft-com:asm.v1' manifestVersion='1.0'/>")]


def listed(path):
    """The resources as pe_rewrite_tool reads them: (type, name, language, size)."""
    out = subprocess.run([TOOL, "list", path], check=True, capture_output=True, text=True).stdout
    rows = []
    for line in out.splitlines():
        type_, name, language, _, size = line.split(" ")
        rows.append((type_.strip('"'), name.strip('"'), int(language), int(size)))
    return rows


def pefile_resources(pe):
    """The same list as pefile walks the tree, checking at each level that
    names come first, sorted by UTF-16 code units, then IDs ascending."""
    rows = []

    def key(entry):
        return entry.name.decode() if entry.name is not None else entry.id

    def check_order(directory):
        entries = directory.entries
        named = [e for e in entries if e.name is not None]
        assert entries[:len(named)] == named, "named entries come first"
        assert directory.struct.NumberOfNamedEntries == len(named)
        assert directory.struct.NumberOfIdEntries == len(entries) - len(named)
        names = [e.name.decode().encode("utf-16-be") for e in named]
        ids = [e.id for e in entries[len(named):]]
        assert names == sorted(names) and len(set(names)) == len(names), names
        assert ids == sorted(ids) and len(set(ids)) == len(ids), ids

    check_order(pe.DIRECTORY_ENTRY_RESOURCE)
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        check_order(t.directory)
        for n in t.directory.entries:
            check_order(n.directory)
            for lang in n.directory.entries:
                rows.append((str(key(t)), str(key(n)), lang.id, lang.data.struct.Size))
    return rows


def readobj_resources(path):
    """The same list as llvm-readobj prints it."""
    out = subprocess.run(["llvm-readobj", "--coff-resources", path], check=True, capture_output=True,
                         text=True).stdout
    rows, path_ = [], {}
    for line in out.splitlines():
        m = re.match(r"\s*(Type|Name|Language): (.*) \[$", line)
        if m:
            ident = re.search(r"\(ID (\d+)\)", m.group(2))
            path_[m.group(1)] = ident.group(1) if ident else m.group(2)
            continue
        m = re.match(r"\s*DataSize: (\d+)$", line)
        if m:
            rows.append((path_["Type"], path_["Name"], int(path_["Language"]), int(m.group(1))))
    return rows


class PeRewrite(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="test_pe.")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def rewritten(self, name, added=ADDED, source=STUB):
        args = [TOOL, "rewrite", source, self.path(name)]
        for i, (type_, rname, language, data) in enumerate(added):
            with open(self.path("res%d" % i), "wb") as f:
                f.write(data)
            args += [type_, rname, language, self.path("res%d" % i)]
        subprocess.run(args, check=True, capture_output=True)
        return self.path(name)

    def test_three_readers_agree(self):
        for label, path in [("stub", STUB), ("same resources", self.rewritten("same.exe", [])),
                            ("added resources", self.rewritten("added.exe"))]:
            with self.subTest(label):
                pe = pefile.PE(path)
                ours = listed(path)
                self.assertEqual(pefile_resources(pe), ours)
                self.assertEqual(readobj_resources(path), ours)
                self.assertTrue(pe.verify_checksum())
        # The same list back, in the order the linker wrote it.
        self.assertEqual(listed(self.path("same.exe")), listed(STUB))
        self.assertEqual(os.path.getsize(self.path("same.exe")), os.path.getsize(STUB))
        added = listed(self.path("added.exe"))
        for type_, name, language, data in ADDED:
            self.assertIn((type_, name, int(language), len(data)), added)

    def test_moved_relocations_and_sizes(self):
        old = pefile.PE(STUB)
        new = pefile.PE(self.rewritten("added.exe"))
        self.assertEqual([s.Name for s in new.sections], [s.Name for s in old.sections])
        self.assertEqual(new.sections[-1].Name.rstrip(b"\0"), b".reloc")
        self.assertEqual(new.sections[-2].Name.rstrip(b"\0"), b".rsrc")
        align = new.OPTIONAL_HEADER.SectionAlignment
        falign = new.OPTIONAL_HEADER.FileAlignment
        rsrc, reloc = new.sections[-2], new.sections[-1]
        self.assertGreater(rsrc.Misc_VirtualSize, 100 * 1024)
        self.assertEqual(reloc.PointerToRawData, rsrc.PointerToRawData + rsrc.SizeOfRawData)
        self.assertEqual(rsrc.SizeOfRawData % falign, 0)
        self.assertEqual(reloc.VirtualAddress, -(-(rsrc.VirtualAddress + rsrc.Misc_VirtualSize) // align) * align)
        self.assertGreater(reloc.VirtualAddress, old.sections[-1].VirtualAddress)
        self.assertEqual(new.OPTIONAL_HEADER.SizeOfImage,
                         -(-(reloc.VirtualAddress + reloc.Misc_VirtualSize) // align) * align)
        grown = rsrc.SizeOfRawData - old.sections[-2].SizeOfRawData
        self.assertEqual(new.OPTIONAL_HEADER.SizeOfInitializedData,
                         old.OPTIONAL_HEADER.SizeOfInitializedData + grown)
        directory = {d.name: d for d in new.OPTIONAL_HEADER.DATA_DIRECTORY}
        self.assertEqual(directory["IMAGE_DIRECTORY_ENTRY_BASERELOC"].VirtualAddress, reloc.VirtualAddress)
        self.assertEqual(directory["IMAGE_DIRECTORY_ENTRY_RESOURCE"].Size, rsrc.Misc_VirtualSize)
        # The same relocations, read where the moved directory points, and
        # every section before the resources unchanged.
        def fixups(pe):
            return [(e.rva, e.type) for block in pe.DIRECTORY_ENTRY_BASERELOC for e in block.entries]
        self.assertEqual(fixups(new), fixups(old))
        self.assertGreater(len(fixups(old)), 0)
        for a, b in zip(old.sections[:-2], new.sections[:-2]):
            self.assertEqual(a.get_data(), b.get_data(), a.Name)
        self.assertEqual(len(new.get_warnings()), len(old.get_warnings()), new.get_warnings())
        self.assertTrue(new.verify_checksum())
        # The same input gives the same bytes.
        with open(self.path("added.exe"), "rb") as f, open(self.rewritten("again.exe"), "rb") as g:
            self.assertEqual(f.read(), g.read())

    def test_signed_installer_of_a_rebuilt_stub_verifies(self):
        stub = self.rewritten("stub.exe")
        os.makedirs(self.path("in"))
        with open(self.path("in/SETUP.EXE"), "wb") as f:
            f.write(b"wizard")
        installer = self.path("setup.exe")
        subprocess.run([SFXPACK, "create", "-o", installer, "--stub", stub, "--wizard", "SETUP.EXE",
                        self.path("in")], check=True, capture_output=True)
        key, cert, signed = self.path("key.pem"), self.path("cert.pem"), self.path("signed.exe")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=Example Publisher", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "Example",
                        "-in", installer, "-out", signed], check=True, capture_output=True)
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed],
                                  capture_output=True, text=True)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        # A signed file is not rebuilt: its signature would no longer match.
        refused = subprocess.run([TOOL, "rewrite", signed, self.path("resigned.exe")],
                                 capture_output=True, text=True)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("signed", refused.stderr)


if __name__ == "__main__":
    unittest.main()
