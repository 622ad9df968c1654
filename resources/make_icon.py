#!/usr/bin/env python3
"""Writes resources/hux.ico, the launcher's default icon: a white "h" on a
blue rounded square, drawn at 16, 32, 48 and 256 pixels (each size drawn,
not scaled, with 4x4 samples a pixel for smooth edges).

The 16, 32 and 48 pixel images are 32-bit bitmaps with their AND mask, which
every reader takes (the Linux tray decodes them); the 256 pixel image is PNG,
as Windows stores large icons.

usage: make_icon.py [OUTPUT]   (default: hux.ico beside this script)
"""
import os
import struct
import sys
import zlib

SIZES = (16, 32, 48, 256)
SAMPLES = 4
TOP = (0x2F, 0x80, 0xED)  # gradient of the square, top to bottom
BOTTOM = (0x15, 0x4C, 0xA8)
GLYPH = (0xFF, 0xFF, 0xFF)


def in_square(x, y):
    """Whether unit point (x, y) lies in the rounded square."""
    margin, radius = 0.03, 0.2
    lo, hi = margin + radius, 1 - margin - radius
    cx = min(max(x, lo), hi)
    cy = min(max(y, lo), hi)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius and margin <= x <= 1 - margin and margin <= y <= 1 - margin


def in_glyph(x, y):
    """Whether (x, y) lies in the "h": a stem, a shoulder arch and a leg."""
    if 0.26 <= x <= 0.40 and 0.18 <= y <= 0.82:
        return True
    cx, cy, outer, inner = 0.50, 0.56, 0.24, 0.10
    if 0.60 <= x <= 0.74 and cy <= y <= 0.82:
        return True
    d2 = (x - cx) ** 2 + (y - cy) ** 2
    return y <= cy and inner * inner <= d2 <= outer * outer


def render(size):
    """Rows of (r, g, b, a), top first, straight (not premultiplied) alpha."""
    rows = []
    n = SAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            hits, r, g, b = 0, 0, 0, 0
            for sy in range(n):
                y = (py + (sy + 0.5) / n) / size
                shade = [TOP[i] + (BOTTOM[i] - TOP[i]) * y for i in range(3)]
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    if not in_square(x, y):
                        continue
                    c = GLYPH if in_glyph(x, y) else shade
                    hits += 1
                    r += c[0]
                    g += c[1]
                    b += c[2]
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r / hits), round(g / hits), round(b / hits), round(255 * hits / (n * n))))
        rows.append(row)
    return rows


def bitmap(rows):
    """A BITMAPINFOHEADER, BGRA rows bottom first, then the AND mask."""
    size = len(rows)
    mask_stride = (size + 31) // 32 * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, size * size * 4 + mask_stride * size, 0, 0,
                         0, 0)
    colour = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (r, g, b, a) in enumerate(row):
            colour += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(colour) + bytes(mask)


def png(rows):
    size = len(rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = bytearray()
    for row in rows:
        raw.append(0)  # no filter
        for pixel in row:
            raw += bytes(pixel)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "hux.ico")
    images = [(size, png(render(size)) if size >= 256 else bitmap(render(size))) for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    data = b""
    for size, image in images:
        side = 0 if size >= 256 else size
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(image), offset + len(data))
        data += image
    with open(out, "wb") as f:
        f.write(directory + data)


if __name__ == "__main__":
    main()
