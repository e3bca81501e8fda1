#!/usr/bin/env python3
"""Draws the signal LED's built-in images: 15 x 15 pixels, 16 colours, as
Windows bitmaps. The bottom-left pixel is the transparent colour (teal,
used nowhere else). Run it in this folder to write the twelve .bmp files."""
import math
import struct

PALETTE = [  # the 16 standard colours
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER, GRAY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(16)
BACK = TEAL
SIZE = 15


def lamp(lit, dark, on):
    """A round lamp with a bevelled rim, legible on light and dark windows."""
    pixels = [[BACK] * SIZE for _ in range(SIZE)]
    for y in range(SIZE):
        for x in range(SIZE):
            d = math.hypot(x - 7, y - 7)
            if d <= 5.6:
                colour = lit if on else dark
                if on and d > 3.8 and x + y > 15:
                    colour = dark  # the lower right of a lit lamp is shaded
                pixels[y][x] = colour
            elif d <= 7.0:
                pixels[y][x] = SILVER if x + y < 14 else GRAY
    highlight = [(5, 4), (4, 5), (5, 5)] if on else [(5, 5)]
    for x, y in highlight:
        pixels[y][x] = WHITE if on else GRAY
    return pixels


def bulb(on):
    """A light bulb: round glass on a screw base."""
    pixels = [[BACK] * SIZE for _ in range(SIZE)]
    for y in range(SIZE):
        for x in range(SIZE):
            d = math.hypot(x - 7, y - 5.5)
            if d <= 4.6:
                pixels[y][x] = YELLOW if on else SILVER
            elif d <= 5.6 and y <= 9:
                pixels[y][x] = OLIVE if on else GRAY
    for y in range(10, 14):  # the neck and the screw base
        for x in range(5, 10):
            pixels[y][x] = GRAY if (y % 2 == 0) else SILVER
    pixels[14][6] = pixels[14][7] = pixels[14][8] = BLACK
    if on:
        pixels[3][5] = pixels[4][4] = WHITE
        pixels[6][7] = pixels[7][7] = RED  # the glowing filament
    else:
        pixels[6][7] = pixels[7][7] = GRAY
    return pixels


def write_bmp(name, pixels):
    row_bytes = ((SIZE * 4 + 31) // 32) * 4
    data = bytearray()
    for y in reversed(range(SIZE)):  # bottom-up
        row = bytearray()
        for x in range(0, SIZE, 2):
            hi = pixels[y][x]
            lo = pixels[y][x + 1] if x + 1 < SIZE else 0
            row.append((hi << 4) | lo)
        row += bytes(row_bytes - len(row))
        data += row
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 4, 0, len(data), 2835, 2835, 16, 0)
    with open(name, "wb") as f:
        f.write(header + info + palette + data)


COLOURS = {"RED": (RED, MAROON), "GREEN": (LIME, GREEN), "BLUE": (BLUE, NAVY), "YELLOW": (YELLOW, OLIVE),
           "PURPLE": (FUCHSIA, PURPLE)}
for kind, (lit, dark) in COLOURS.items():
    write_bmp(f"LED{kind}ON.bmp", lamp(lit, dark, True))
    write_bmp(f"LED{kind}OFF.bmp", lamp(lit, dark, False))
write_bmp("LEDBULBON.bmp", bulb(True))
write_bmp("LEDBULBOFF.bmp", bulb(False))
