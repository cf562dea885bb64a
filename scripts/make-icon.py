#!/usr/bin/env python3
"""Draws the program icon, a tablet with a pen, as a 32x32 16-colour .ico."""
import struct
import sys

# The standard 16-colour palette, as blue, green, red, reserved.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_GREY, GREY, WHITE, BLUE, YELLOW = 0, 8, 7, 15, 12, 11


def draw():
    """Pixels top row first; None is transparent."""
    px = [[None] * 32 for _ in range(32)]
    for y in range(6, 28):            # tablet body with a dark frame
        for x in range(2, 28):
            edge = y in (6, 27) or x in (2, 27)
            px[y][x] = BLACK if edge else DARK_GREY
    for y in range(9, 25):            # active area
        for x in range(5, 25):
            px[y][x] = GREY
    for y in range(10, 24):
        for x in range(6, 24):
            px[y][x] = WHITE
    for i in range(14):               # pen lying diagonally across the tablet
        x, y = 29 - i, 2 + i
        for dx in (-1, 0, 1):
            if 0 <= x + dx < 32:
                px[y][x + dx] = BLUE if dx else YELLOW
    px[16][15] = px[17][14] = BLACK   # pen tip
    return px


def ico(px):
    xor = b""
    mask = b""
    for row in reversed(px):          # bitmaps are stored bottom row first
        nibbles = [0 if c is None else c for c in row]
        xor += bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, 32, 2))
        bits = 0
        for c in row:
            bits = (bits << 1) | (1 if c is None else 0)
        mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    image = header + palette + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 32, 32, 16, 0, 1, 4, len(image), 22)
    return directory + image


if __name__ == "__main__":
    with open(sys.argv[1] if len(sys.argv) > 1 else "tabtest/tabtest.ico", "wb") as f:
        f.write(ico(draw()))
