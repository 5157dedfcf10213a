"""Moves a 32-bit PE image to another preferred base by its own base
relocations, as Windows does when it loads a DYNAMIC_BASE program at a
random address (Wine always uses the preferred base): the difference is
added to every 32-bit word a HIGHLOW entry names, then ImageBase is set and
the checksum recomputed.

  rebase.py IN OUT BASE    (BASE in hex, a multiple of 64 KiB)
"""
import struct
import sys

HIGHLOW, ABSOLUTE = 3, 0
DYNAMIC_BASE = 0x40


class NotMovable(Exception):
    pass


def _headers(data: bytes):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise NotMovable("not a PE file")
    sections, opt_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    if struct.unpack_from("<H", data, opt)[0] != 0x10B:
        raise NotMovable("not a PE32 image")
    table = []
    for i in range(sections):
        vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, opt + opt_size + 40 * i + 8)
        table.append((va, max(vsize, raw_size), raw, raw_size))
    return opt, table


def _offset(table, rva: int, n: int) -> int:
    for va, span, raw, raw_size in table:
        if va <= rva and rva + n <= va + min(span, raw_size):
            return raw + rva - va
    raise NotMovable("RVA 0x%x is not in the file" % rva)


def checksum(data: bytes, field: int) -> int:
    """The PE checksum: 16-bit words with end-around carry, the field as
    zero, plus the length."""
    padded = data[:field] + bytes(4) + data[field + 4:] + b"\0" * (len(data) % 2)
    total = sum(struct.unpack("<%dH" % (len(padded) // 2), padded))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def rebase(data: bytes, base: int) -> bytes:
    opt, table = _headers(data)
    old_base = struct.unpack_from("<I", data, opt + 28)[0]
    if not struct.unpack_from("<H", data, opt + 70)[0] & DYNAMIC_BASE:
        raise NotMovable("no DYNAMIC_BASE: Windows would not move it")
    reloc_rva, reloc_size = struct.unpack_from("<II", data, opt + 96 + 8 * 5)
    if reloc_size == 0:
        raise NotMovable("no base relocations")
    out = bytearray(data)
    delta = (base - old_base) & 0xFFFFFFFF
    at = _offset(table, reloc_rva, reloc_size)
    end, fixed = at + reloc_size, 0
    while at + 8 <= end:
        page, size = struct.unpack_from("<II", data, at)
        if size < 8 or at + size > end:
            raise NotMovable("damaged relocation block at 0x%x" % at)
        for k in range(8, size, 2):
            entry = struct.unpack_from("<H", data, at + k)[0]
            kind = entry >> 12
            if kind == ABSOLUTE:
                continue
            if kind != HIGHLOW:
                raise NotMovable("relocation type %d" % kind)
            where = _offset(table, page + (entry & 0xFFF), 4)
            value = struct.unpack_from("<I", out, where)[0]
            struct.pack_into("<I", out, where, (value + delta) & 0xFFFFFFFF)
            fixed += 1
        at += size
    if fixed == 0:
        raise NotMovable("no HIGHLOW relocations")
    struct.pack_into("<I", out, opt + 28, base)
    struct.pack_into("<I", out, opt + 64, checksum(bytes(out), opt + 64))
    return bytes(out)


if __name__ == "__main__":
    source, target, new_base = sys.argv[1], sys.argv[2], int(sys.argv[3], 16)
    with open(source, "rb") as f:
        moved = rebase(f.read(), new_base)
    with open(target, "wb") as f:
        f.write(moved)
