"""Writes an icon file (.ico) of 32-bit images of the given square sizes,
each filled with its own colours, for the resources of identity_sample.

  make_icon.py OUT SIZE...
"""
import struct
import sys


def image(size: int, shade: int) -> bytes:
    """One image as an icon file holds it: a bitmap header of twice the
    height (colour rows, then the mask's), BGRA rows bottom-up, then an
    all-zero mask of 32-bit-aligned rows."""
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for y in range(size):
        for x in range(size):
            pixels += bytes((shade, (x * 255) // size, (y * 255) // size, 255))
    mask = bytes(((size + 31) // 32) * 4 * size)
    return header + bytes(pixels) + mask


def main(out: str, sizes: list) -> None:
    images = [image(size, (40 * i) % 256) for i, size in enumerate(sizes)]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for size, data in zip(sizes, images):
        side = 0 if size == 256 else size
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(out, "wb") as f:
        f.write(directory + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1], [int(s) for s in sys.argv[2:]])
