"""Builds installers byte by byte for the end-to-end tests of the stub and
of sfxpack: a stub followed by scrambled entries, including entries that
sfxpack would never write, and reads the entries of an archive back the way
the stub walks them."""
import os
import re
import struct
import time
import zlib
from dataclasses import dataclass
from pathlib import Path

_HEADER = Path(os.environ.get("SFX_FORMAT_HEADER") or
               Path(__file__).resolve().parents[2] / "src" / "format" / "archive_format.h")
SCRAMBLE_KEY = int(re.search(r"ScrambleKey = (0x[0-9A-Fa-f]+);", _HEADER.read_text()).group(1), 16)

DOS_1980 = (0x21, 0)  # (date, time) of 1980-01-01 00:00, the first MS-DOS stamp

# How an archive ends: as the stub needs it (nothing after the entries), an
# end record of zeros, or a central directory and an end record that agree
# with the entries, as sfxpack writes them.
NOTHING, EMPTY_END, DIRECTORY = "nothing", "empty end record", "directory"


def dos_time(t: float):
    """MS-DOS (date, time) of a Unix time, in local time as ZIP tools write it."""
    lt = time.localtime(t)
    date = ((lt.tm_year - 1980) << 9) | (lt.tm_mon << 5) | lt.tm_mday
    clock = (lt.tm_hour << 11) | (lt.tm_min << 5) | (lt.tm_sec // 2)
    return date, clock


def raw_deflate(data: bytes, level: int = 9) -> bytes:
    compressor = zlib.compressobj(level, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


@dataclass
class Entry:
    name: bytes
    payload: bytes  # the bytes stored: packed for method 8
    method: int
    flags: int
    stamp: tuple  # MS-DOS (date, time)
    crc: int
    size: int

    def fields(self) -> bytes:
        date, clock = self.stamp
        return struct.pack("<HHHHIII", self.flags, self.method, clock, date, self.crc,
                           len(self.payload), self.size)

    def local(self) -> bytes:
        return (struct.pack("<IH", 0x04034B50, 20) + self.fields()
                + struct.pack("<HH", len(self.name), 0) + self.name + self.payload)

    def central(self, offset: int) -> bytes:
        return (struct.pack("<IHH", 0x02014B50, 20, 20) + self.fields()
                + struct.pack("<HHHHHII", len(self.name), 0, 0, 0, 0, 0, offset) + self.name)


def entry(name: bytes, data: bytes, method: int = 0, flags: int = 0, mtime: float = None,
          stamp=None, packed: bytes = None, size: int = None, crc: int = None) -> Entry:
    """An entry holding data, deflated for method 8 unless packed gives the
    stored bytes as they are; size and crc may claim what the data is not.
    Its time is stamp, else mtime's, else now."""
    if stamp is None:
        stamp = dos_time(time.time() if mtime is None else mtime)
    if packed is None:
        packed = raw_deflate(data) if method == 8 else data
    return Entry(name, packed, method, flags, stamp, zlib.crc32(data) if crc is None else crc,
                 len(data) if size is None else size)


def scramble(data: bytes) -> bytes:
    return bytes(b ^ SCRAMBLE_KEY for b in data)


def archive(entries, ending: str = NOTHING) -> bytes:
    """The plain archive of entries (Entry objects), ending as ending says."""
    body, central = b"", b""
    for e in entries:
        central += e.central(len(body))
        body += e.local()
    if ending == NOTHING:
        return body
    if ending == EMPTY_END:
        return body + b"PK\x05\x06" + bytes(18)
    n = len(entries)
    return body + central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, n, n, len(central),
                                        len(body), 0)


def installer(stub, entries, ending: str = NOTHING) -> bytes:
    """The stub (a path or its bytes) and the scrambled archive of entries."""
    head = stub if isinstance(stub, bytes) else Path(stub).read_bytes()
    return head + scramble(archive(entries, ending))


def local_entries(plain: bytes):
    """Walks the local headers of a descrambled archive the way the stub
    does, without gaps: (name, flags, method, packed size, size, extra
    length) each, the name read as Windows-1252."""
    entries, pos = [], 0
    while plain[pos:pos + 4] == b"PK\x03\x04":
        flags, method, _, _, crc, packed, size, nlen, xlen = struct.unpack(
            "<HHHHIIIHH", plain[pos + 6:pos + 30])
        name = plain[pos + 30:pos + 30 + nlen].decode("cp1252")
        entries.append((name, flags, method, packed, size, xlen))
        pos += 30 + nlen + packed
    assert plain[pos:pos + 4] == b"PK\x01\x02", "the central directory follows the entries"
    return entries
