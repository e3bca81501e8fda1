#!/usr/bin/env python3
"""Packs PNG images into one Windows icon (.ico), each image kept as PNG
(as Windows Vista and later read them): make-ico.py OUT.ico IN.png..."""
import struct
import sys


def png_size(data, name):
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        sys.exit(f"make-ico.py: {name} is not a PNG image")
    return struct.unpack(">II", data[16:24])


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    images = []
    for name in sys.argv[2:]:
        with open(name, "rb") as f:
            data = f.read()
        width, height = png_size(data, name)
        if width > 256 or height > 256:
            sys.exit(f"make-ico.py: {name} is larger than 256 pixels")
        images.append((width, height, data))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for width, height, data in images:
        # 256 is written as 0; 32 bits per pixel.
        out += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, _, data in images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


main()
