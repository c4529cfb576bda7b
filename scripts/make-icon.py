#!/usr/bin/env python3
"""Draws the launcher's icon: one 256x256 32-bit image, stored as PNG inside an .ico.

Run it to remake resources/tavro-gcodeviewer.ico; it needs nothing beyond Python itself.
"""
import math
import struct
import sys
import zlib
from pathlib import Path

SIZE = 256


def pixel(x, y):
    # A rounded dark tile ...
    r = 44
    cx = min(max(x, r), SIZE - 1 - r)
    cy = min(max(y, r), SIZE - 1 - r)
    d = math.hypot(x - cx, y - cy)
    if d > r:
        return (0, 0, 0, 0)
    alpha = 255 if d < r - 1 else int(255 * (r - d))
    shade = 30 + int(25 * y / SIZE)
    base = (shade, shade + 6, shade + 18)
    # ... with printed layers stacked into a rising slope, the nozzle's path in orange.
    inset = 48
    if inset <= x < SIZE - inset and inset <= y < SIZE - inset:
        layer = (y - inset) // 16
        top = SIZE - inset - (x - inset) * 0.8
        if y >= top and (y - inset) % 16 < 11:
            warm = 150 + layer * 8
            return (min(warm + 80, 255), min(warm - 40, 255), 40, alpha)
    return base + (alpha,)


def png(width, height, rows):
    def chunk(tag, data):
        body = tag + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(c for p in row for c in p) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def ico(image):
    # Width and height 0 mean 256; 32 bits per pixel; the image data is the PNG itself.
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "resources" / "tavro-gcodeviewer.ico"
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    out.write_bytes(ico(png(SIZE, SIZE, rows)))


if __name__ == "__main__":
    main()
