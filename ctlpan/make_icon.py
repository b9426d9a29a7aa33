#!/usr/bin/env python3
"""Draws tarnpanel.ico: six sizes of a teal disc crossed by a white wave (a tarn and its ripple).
Run from this folder after changing the drawing; the .ico is kept in the repository."""
import math
import struct

SIZES = (16, 20, 24, 32, 48, 64)


def pixel(x, y, size):
    """RGBA of one pixel, with 4x4 supersampling for smooth edges."""
    total = [0.0, 0.0, 0.0, 0.0]
    for sy in range(4):
        for sx in range(4):
            u = (x + (sx + 0.5) / 4) / size * 2 - 1
            v = (y + (sy + 0.5) / 4) / size * 2 - 1
            if u * u + v * v > 0.94 * 0.94:
                continue
            wave = 0.28 * math.sin(u * math.pi * 1.5)
            if abs(v - wave) < 0.11:
                rgb = (255, 255, 255)
            else:
                shade = 0.75 + 0.25 * (1 - v) / 2
                rgb = (int(20 * shade), int(128 * shade), int(140 * shade))
            total[0] += rgb[0]
            total[1] += rgb[1]
            total[2] += rgb[2]
            total[3] += 255
    count = 16
    return tuple(int(round(c / count)) for c in total)


def image(size):
    """One icon image: BITMAPINFOHEADER, bottom-up BGRA rows, then the AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(size)):
        row = bytearray()
        for x in range(size):
            r, g, b, a = pixel(x, y, size)
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)
    return header + b"".join(rows) + mask


def main():
    images = [image(size) for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, data in zip(SIZES, images):
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open("tarnpanel.ico", "wb") as out:
        out.write(directory + entries + b"".join(images))


if __name__ == "__main__":
    main()
