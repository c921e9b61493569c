#!/usr/bin/env python3
"""Draws the status bar image "Pomrel16mono": a memory card with an eject
arrow, black on transparent, at 16x16 and 32x32 (@2x) pixels.

The shapes are described in a 16-unit square and rendered with 8x8
supersampling, so both sizes come from one drawing and keep soft edges. The
front end tints the image to the panel's text colour at run time, so only the
alpha channel carries the drawing.

Usage: scripts/draw_status_image.py OUTPUT_DIR
"""
import struct
import sys
import zlib

SUPERSAMPLE = 8


def inside_card_outline(x, y):
    """The card's outline: a rounded portrait rectangle with its top-right
    corner cut off, drawn as a band 1 unit wide (edges on whole pixels at 16 px)."""
    return inside_card(x, y, 0.0) and not inside_card(x, y, 1.0)


def inside_card(x, y, inset):
    left, right, top, bottom = 3.0 + inset, 13.0 - inset, 1.0 + inset, 15.0 - inset
    if not (left <= x <= right and top <= y <= bottom):
        return False
    # The cut corner: a 45-degree chamfer at the top right.
    if (x - (right - 3.0 + inset * 0.41)) + (top - y) > 0:
        return False
    radius = 1.2
    for cx, cy in ((left + radius, bottom - radius), (right - radius, bottom - radius),
                   (left + radius, top + radius)):
        near_x = x < left + radius if cx < 8 else x > right - radius
        near_y = y < top + radius if cy < 8 else y > bottom - radius
        if near_x and near_y and (x - cx) ** 2 + (y - cy) ** 2 > radius ** 2:
            return False
    return True


def inside_eject(x, y):
    """The eject symbol: a triangle pointing up over a bar."""
    apex_y, base_y, half = 4.0, 9.0, 3.0
    if apex_y <= y <= base_y:
        half_here = half * (y - apex_y) / (base_y - apex_y)
        if abs(x - 8.0) <= half_here:
            return True
    return 8.0 - half <= x <= 8.0 + half and 10.0 <= y <= 12.0


def coverage(px, py, scale):
    hits = 0
    for sy in range(SUPERSAMPLE):
        for sx in range(SUPERSAMPLE):
            x = (px + (sx + 0.5) / SUPERSAMPLE) / scale
            y = (py + (sy + 0.5) / SUPERSAMPLE) / scale
            if inside_card_outline(x, y) or inside_eject(x, y):
                hits += 1
    return hits / (SUPERSAMPLE * SUPERSAMPLE)


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def draw(size):
    scale = size / 16.0
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            alpha = round(255 * coverage(px, py, scale))
            row += [0, 0, 0, alpha]
        rows.append(row)
    return png(size, size, rows)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    out = sys.argv[1]
    with open(f"{out}/Pomrel16mono.png", "wb") as f:
        f.write(draw(16))
    with open(f"{out}/Pomrel16mono@2x.png", "wb") as f:
        f.write(draw(32))


if __name__ == "__main__":
    main()
