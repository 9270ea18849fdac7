#!/usr/bin/env python3
"""Draws the installer's icon: a 32x32, 24-bit image with a transparency mask.

A rounded square shading from teal to deep blue, with a white arrow pointing
down into an open tray. Run once; the .ico it writes is kept with the sources.

    python3 make_icon.py patch.ico
"""

import struct
import sys

SIZE = 32
RADIUS = 6


def inside_rounded_square(x, y):
    # Pixel centres, so that the corners come out symmetric.
    cx, cy = x + 0.5, y + 0.5
    lo, hi = 1 + RADIUS, SIZE - 1 - RADIUS
    dx = lo - cx if cx < lo else cx - hi if cx > hi else 0
    dy = lo - cy if cy < lo else cy - hi if cy > hi else 0
    return dx * dx + dy * dy <= RADIUS * RADIUS and 1 <= cx <= SIZE - 1 and 1 <= cy <= SIZE - 1


def on_arrow(x, y):
    if 14 <= x <= 17 and 5 <= y <= 15:  # shaft
        return True
    if 16 <= y <= 22:  # head, narrowing downwards
        half = 22 - y
        return 15.5 - half - 0.5 <= x <= 15.5 + half + 0.5
    return False


def on_tray(x, y):
    if 24 <= y <= 25 and 6 <= x <= 25:
        return True
    return 20 <= y <= 23 and (6 <= x <= 7 or 24 <= x <= 25)


def colour(x, y):
    """(r, g, b) of the pixel at (x, y), y counting from the top."""
    if on_arrow(x, y) or on_tray(x, y):
        return (255, 255, 255)
    t = y / (SIZE - 1)
    top, bottom = (32, 178, 170), (24, 64, 150)
    r, g, b = (round(a + (c - a) * t) for a, c in zip(top, bottom))
    # A thin darker rim keeps the shape readable on light backgrounds.
    if not inside_rounded_square(x - 1, y) or not inside_rounded_square(x + 1, y) \
            or not inside_rounded_square(x, y - 1) or not inside_rounded_square(x, y + 1):
        r, g, b = r * 2 // 3, g * 2 // 3, b * 2 // 3
    return (r, g, b)


def build_ico():
    xor_rows, and_rows = [], []
    for y in range(SIZE - 1, -1, -1):  # bitmaps are stored bottom-up
        xor = bytearray()
        mask = 0
        for x in range(SIZE):
            if inside_rounded_square(x, y):
                r, g, b = colour(x, y)
                xor += bytes((b, g, r))
            else:
                xor += b"\0\0\0"
                mask |= 1 << (SIZE - 1 - x)
        xor_rows.append(bytes(xor))
        and_rows.append(struct.pack(">I", mask))
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 24, 0, 0, 0, 0, 0, 0)
    image = header + b"".join(xor_rows) + b"".join(and_rows)
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 24, len(image), 6 + 16)
    return icondir + entry + image


def main():
    if sys.argv[1:] in (["-h"], ["--help"]):
        print(__doc__)
        return
    if len(sys.argv) != 2 or sys.argv[1].startswith("-"):
        sys.exit("usage: make_icon.py OUTPUT.ico (see --help)")
    with open(sys.argv[1], "wb") as out:
        out.write(build_ico())


if __name__ == "__main__":
    main()
