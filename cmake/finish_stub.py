#!/usr/bin/env python3
"""Finishes the linked stub: puts our text into the DOS stub, writes the
PE checksum of the finished bytes, and checks that the image never holds
the archive marker in file order."""
import array
import re
import sys
from pathlib import Path

DEFAULT_DOS_TEXT = b"This program cannot be run in DOS mode."
OUR_DOS_TEXT = "Con soporte:  Windows 95,98,Me,2000,NT.".encode("cp1252")
assert len(DEFAULT_DOS_TEXT) == len(OUR_DOS_TEXT)


def marker_from_header(header: Path) -> bytes:
    text = header.read_text()
    key = int(re.search(r"ScrambleKey = (0x[0-9A-Fa-f]+);", text).group(1), 16)
    plain = bytes([0x50, 0x4B, 0x03, 0x04, 0x14, 0x00])
    return bytes(b ^ key for b in plain)


def pe_checksum(image: bytes, field_at: int) -> int:
    """16-bit little-endian words summed with end-around carry, the field
    itself counted as zero, plus the file's length."""
    data = bytearray(image)
    data[field_at:field_at + 4] = bytes(4)
    if len(data) % 2:
        data.append(0)
    words = array.array("H")
    words.frombytes(bytes(data))
    if sys.byteorder == "big":
        words.byteswap()
    total = 0
    for word in words:
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total & 0xFFFF) + len(image)


def main() -> int:
    exe = Path(sys.argv[1])
    header = Path(sys.argv[2])
    image = bytearray(exe.read_bytes())
    pe_offset = int.from_bytes(image[0x3C:0x40], "little")
    at = image.find(DEFAULT_DOS_TEXT, 0, pe_offset)
    if at >= 0:
        image[at:at + len(OUR_DOS_TEXT)] = OUR_DOS_TEXT
    elif image.find(OUR_DOS_TEXT, 0, pe_offset) < 0:
        print(f"{exe}: no DOS stub text found", file=sys.stderr)
        return 1
    # The linker's checksum, if any, was of the bytes before the DOS text
    # changed; tools that check it would call the file damaged.
    field_at = pe_offset + 24 + 64
    image[field_at:field_at + 4] = pe_checksum(image, field_at).to_bytes(4, "little")
    marker = marker_from_header(header)
    if image.find(marker, 20) >= 0:
        print(f"{exe}: the image holds the archive marker; choose another key", file=sys.stderr)
        return 1
    exe.write_bytes(bytes(image))
    # The stub's size, as every installer carries it.
    print(f"{exe.name}: {len(image)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
