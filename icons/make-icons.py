#!/usr/bin/env python3
"""Renders icons/telvar.svg into the PNGs for Linux desktops and the window,
and into telvar.ico, the Windows file icon. The 16 px images come from
telvar-16.svg, the same picture drawn on a 16 px grid.

The .ico holds 16 and 32 px as 256-colour images (8 bits per pixel with a
palette, transparency in the 1-bit mask), 48 px as 32-bit colour and 256 px as
a PNG. ImageMagick would write a picture this flat with 16 colours, so the
entries are put together here.

Needs rsvg-convert (librsvg2-bin) and ImageMagick's convert.
Run from anywhere: python3 icons/make-icons.py
"""

import pathlib
import struct
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE / "telvar.svg"
PNG_SIZES = (16, 32, 48, 64, 128, 256)
PALETTE_SIZES = (16, 32)  # 256 colours, as the window's design asks of its 32 px icon


def render(size):
    path = HERE / f"telvar-{size}.png"
    source = HERE / "telvar-16.svg" if size == 16 else SOURCE
    subprocess.run(["rsvg-convert", "-w", str(size), "-h", str(size), str(source), "-o", str(path)],
                   check=True)
    return path


def rgba(path, size):
    """Rows of (r, g, b, a) tuples, top row first."""
    raw = subprocess.run(["convert", str(path), "-depth", "8", "rgba:-"], check=True,
                         capture_output=True).stdout
    if len(raw) != size * size * 4:
        sys.exit(f"make-icons: {path.name}: expected {size}x{size} RGBA pixels")
    pixels = [tuple(raw[i:i + 4]) for i in range(0, len(raw), 4)]
    return [pixels[y * size:(y + 1) * size] for y in range(size)]


def mask_rows(rows, opaque):
    """The 1-bit AND mask, bottom row first: a set bit is a transparent pixel."""
    stride = (len(rows[0]) + 31) // 32 * 4
    out = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, pixel in enumerate(row):
            if not opaque(pixel):
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bits
    return bytes(out)


def bitmap_header(size, bits, image_bytes):
    # Height counts the colour rows and the mask rows together.
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, image_bytes, 0, 0, 0, 0)


def palette_entry(rows):
    size = len(rows)
    opaque = lambda p: p[3] >= 128
    colours = sorted({p[:3] for row in rows for p in row if opaque(p)})
    if len(colours) > 255:  # index 0 is kept for the transparent pixels
        sys.exit(f"make-icons: {size} px has {len(colours)} colours, more than 255")
    index = {c: i + 1 for i, c in enumerate(colours)}
    table = bytearray(256 * 4)
    for c, i in index.items():
        table[i * 4:i * 4 + 3] = bytes((c[2], c[1], c[0]))
    pixels = bytearray()
    for row in reversed(rows):
        line = bytes(index[p[:3]] if opaque(p) else 0 for p in row)
        pixels += line + bytes(-len(line) % 4)
    mask = mask_rows(rows, opaque)
    return bitmap_header(size, 8, len(pixels) + len(mask)) + table + pixels + mask, 8


def true_colour_entry(rows):
    size = len(rows)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask = mask_rows(rows, lambda p: p[3] > 0)
    return bitmap_header(size, 32, len(pixels) + len(mask)) + pixels + mask, 32


def main():
    pngs = {size: render(size) for size in PNG_SIZES}
    entries = []
    for size in (16, 32, 48, 256):
        if size == 256:
            data, bits = pngs[size].read_bytes(), 32
        elif size in PALETTE_SIZES:
            data, bits = palette_entry(rgba(pngs[size], size))
        else:
            data, bits = true_colour_entry(rgba(pngs[size], size))
        entries.append((size, bits, data))

    offset = 6 + 16 * len(entries)
    directory = struct.pack("<HHH", 0, 1, len(entries))
    for size, bits, data in entries:
        side = size % 256  # 0 stands for 256
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    (HERE / "telvar.ico").write_bytes(directory + b"".join(data for _, _, data in entries))


if __name__ == "__main__":
    main()
