#!/usr/bin/env python3
"""Draws the setup program's icon (a blue box with a white arrow pointing into it) and
writes it as a Windows .ico holding 16, 32 and 48 pixel images in 32-bit colour."""
import struct
import sys


def pixel(x, y, size):
    # Coordinates scaled to a 16-unit grid.
    u = x * 16.0 / size
    v = y * 16.0 / size
    blue = (0xD4, 0x78, 0x1E, 0xFF)  # BGRA
    dark = (0x8A, 0x4A, 0x10, 0xFF)
    white = (0xFF, 0xFF, 0xFF, 0xFF)
    clear = (0, 0, 0, 0)
    in_box = 2 <= u < 14 and 7 <= v < 15
    box_edge = in_box and (u < 3 or u >= 13 or v >= 14 or v < 8)
    in_stem = 7 <= u < 9 and 1 <= v < 8
    in_head = 8 <= v < 11 and abs(u - 8) < (11 - v)
    if in_stem or in_head:
        return white if in_box else dark
    if box_edge:
        return dark
    if in_box:
        return blue
    return clear


def image(size):
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up DIB
        rows.append(b"".join(bytes(pixel(x, y, size)) for x in range(size)))
    xor = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    and_mask = b"\x00" * (mask_row * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return header + xor + and_mask


def main(out):
    sizes = [16, 32, 48]
    images = [image(s) for s in sizes]
    data = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        data += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    data += b"".join(images)
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
