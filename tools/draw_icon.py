#!/usr/bin/python3
"""Draws Vornhale's icon (a chip with a lightning bolt on a red tile) in the
seven sizes the desktop uses, as 32-bit RGBA PNG files:

    tools/draw_icon.py OUTPUT_FOLDER

Standard library only, and deterministic: the files are committed under
app/icons and drawn again only when the artwork changes."""

import os
import struct
import sys
import zlib

SIZES = (256, 128, 96, 64, 48, 32, 16)
SAMPLES = 4  # per pixel and axis

RED = (197, 47, 33)
WHITE = (255, 255, 255)

# The bolt, in the icon's unit square (y grows downwards).
BOLT = ((0.55, 0.30), (0.40, 0.52), (0.49, 0.52), (0.44, 0.70), (0.60, 0.46), (0.51, 0.46), (0.56, 0.30))


def in_rounded_rect(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def in_polygon(x, y, points):
    inside = False
    j = len(points) - 1
    for i, (xi, yi) in enumerate(points):
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


def in_pins(x, y):
    # Three pins on each side of the chip body.
    for centre in (0.38, 0.50, 0.62):
        for a, b in ((x, y), (y, x)):
            if abs(b - centre) <= 0.028 and (0.17 <= a <= 0.27 or 0.73 <= a <= 0.83):
                return True
    return False


def colour_at(x, y):
    """The colour at a point, or None outside the tile."""
    if not in_rounded_rect(x, y, 0.03, 0.03, 0.97, 0.97, 0.20):
        return None
    if in_polygon(x, y, BOLT):
        return RED
    if in_rounded_rect(x, y, 0.25, 0.25, 0.75, 0.75, 0.06) or in_pins(x, y):
        return WHITE
    return RED


def render(size):
    rows = []
    step = 1.0 / (size * SAMPLES)
    for py in range(size):
        row = bytearray([0])  # filter type: none
        for px in range(size):
            r = g = b = hits = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at((px * SAMPLES + sx + 0.5) * step, (py * SAMPLES + sy + 0.5) * step)
                    if c is not None:
                        r, g, b, hits = r + c[0], g + c[1], b + c[2], hits + 1
            if hits:
                row += bytes((r // hits, g // hits, b // hits, hits * 255 // SAMPLES ** 2))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def png(size, pixels):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b"")


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for size in SIZES:
        with open(os.path.join(folder, "vornhale-%d.png" % size), "wb") as out:
            out.write(png(size, render(size)))


if __name__ == "__main__":
    main()
