#!/usr/bin/env python3
"""Draws the launcher's icon (a light play symbol on a dark rounded tile, the same
picture the Linux window uses) and writes it as a Windows .ico with 16, 32 and 48
pixel images in 32-bit colour with alpha.

Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

TILE = (0x1A, 0x24, 0x38)      # dark blue-grey
SYMBOL = (0x59, 0xC7, 0xFF)    # light blue
SAMPLES = 4                    # per axis, for anti-aliased edges


def inside_tile(x, y):
    """The rounded square, on a 64-unit grid with corner radius 12."""
    r = 12.0
    cx = min(max(x, r), 64 - r)
    cy = min(max(y, r), 64 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_symbol(x, y):
    """The triangle (24,16) (50,32) (24,48) on the same grid."""
    if x < 24:
        return False
    half = 16.0 * (50 - x) / 26.0
    return abs(y - 32) <= half


def pixel(size, px, py):
    """Blended BGRA of one pixel: coverage of tile and symbol by supersampling."""
    tile = symbol = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) * 64.0 / size
            y = (py + (sy + 0.5) / SAMPLES) * 64.0 / size
            if inside_tile(x, y):
                tile += 1
                if inside_symbol(x, y):
                    symbol += 1
    n = SAMPLES * SAMPLES
    if tile == 0:
        return (0, 0, 0, 0)
    share = symbol / tile
    rgb = [round(t * (1 - share) + s * share) for t, s in zip(TILE, SYMBOL)]
    return (rgb[2], rgb[1], rgb[0], round(255 * tile / n))


def image(size):
    """One icon image: BITMAPINFOHEADER, bottom-up BGRA rows, then the AND mask."""
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for py in reversed(range(size)):
        rows.append(b''.join(struct.pack('<4B', *pixel(size, px, py)) for px in range(size)))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)  # alpha decides; the mask keeps every pixel
    return header + b''.join(rows) + mask


def main():
    sizes = (16, 32, 48)
    images = [image(s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for size, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
