#!/usr/bin/env python3
"""Writes the launcher's icon (the picture of make_icon.py) as PNG files for the Linux
desktop: FOLDER/<N>x<N>/launcher.png for each size N given.

Usage: make_icon_png.py FOLDER SIZE...
"""
import struct
import sys
import zlib
from pathlib import Path

import make_icon


def png(size):
    """An 8-bit RGBA PNG of the icon drawn at size x size pixels."""
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))

    rows = []
    for py in range(size):
        row = bytearray(b'\x00')  # filter type: none
        for px in range(size):
            b, g, r, a = make_icon.pixel(size, px, py)
            row += bytes((r, g, b, a))
        rows.append(bytes(row))
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(b''.join(rows), 9))
            + chunk(b'IEND', b''))


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    for size in map(int, argv[1:]):
        folder = Path(argv[0]) / f'{size}x{size}'
        folder.mkdir(parents=True, exist_ok=True)
        (folder / 'launcher.png').write_bytes(png(size))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
