"""Builds installers byte by byte for the end-to-end tests: a stub followed
by scrambled entries, including entries that sfxpack would never write."""
import re
import struct
import time
import zlib
from pathlib import Path

_HEADER = Path(__file__).resolve().parents[2] / "src" / "format" / "archive_format.h"
SCRAMBLE_KEY = int(re.search(r"ScrambleKey = (0x[0-9A-Fa-f]+);", _HEADER.read_text()).group(1), 16)


def dos_time(t: float):
    """MS-DOS (date, time) of a Unix time, in local time as ZIP tools write it."""
    lt = time.localtime(t)
    date = ((lt.tm_year - 1980) << 9) | (lt.tm_mon << 5) | lt.tm_mday
    clock = (lt.tm_hour << 11) | (lt.tm_min << 5) | (lt.tm_sec // 2)
    return date, clock


def entry(name: bytes, data: bytes, method: int = 0, flags: int = 0, mtime: float = None) -> bytes:
    if mtime is None:
        mtime = time.time()
    date, clock = dos_time(mtime)
    payload = data
    if method == 8:
        compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
        payload = compressor.compress(data) + compressor.flush()
    header = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, clock, date,
                         zlib.crc32(data), len(payload), len(data), len(name), 0)
    return header + name + payload


def scramble(data: bytes) -> bytes:
    return bytes(b ^ SCRAMBLE_KEY for b in data)


def installer(stub: Path, entries) -> bytes:
    """entries: list of bytes objects made by entry()."""
    return stub.read_bytes() + scramble(b"".join(entries))
