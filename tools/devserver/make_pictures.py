#!/usr/bin/env python3
"""Writes the launcher's demo pictures: background.png (1100 x 660), progress_back.png
and progress_front.png (500 x 30 each). Plain PNG from zlib and struct, no imaging
library.

usage: make_pictures.py FOLDER
"""

import math
import random
import struct
import sys
import zlib
from pathlib import Path

BACKGROUND = "background.png"
PROGRESS_BACK = "progress_back.png"
PROGRESS_FRONT = "progress_front.png"
CANVAS = (1100, 660)
BAR = (500, 30)


def png_bytes(width, height, rows, channels):
    """A PNG of 8-bit RGB (3 channels) or RGBA (4) rows, each row width * channels bytes."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    color_type = {3: 2, 4: 6}[channels]
    header = struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0)
    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    assert len(raw) == height * (1 + width * channels)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def _mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def background_rows():
    """Night-blue to violet, a soft glow behind the login form, faint diagonal lines and
    a sprinkle of stars; darker at the bottom where the white status text goes."""
    width, height = CANVAS
    top, middle, bottom = (10, 18, 46), (27, 30, 86), (52, 28, 88)
    glow_colour = (52, 72, 160)
    glow_x = [math.exp(-((x - width * 0.5) / 360.0) ** 2) for x in range(width)]
    rows = []
    for y in range(height):
        t = y / (height - 1)
        base = _mix(top, middle, t * 2) if t < 0.5 else _mix(middle, bottom, t * 2 - 1)
        glow_y = math.exp(-((y - height * 0.38) / 220.0) ** 2)
        # Shade for the progress bar and the status text below it.
        shade = 1.0 - 0.45 * max(0.0, (y - 500) / (height - 500))
        row = bytearray(width * 3)
        for c in range(3):
            lift = glow_colour[c] * glow_y
            row[c::3] = bytes(min(255, int((base[c] + lift * g) * shade)) for g in glow_x)
        for x in range((-y) % 26, width, 26):
            for c in range(3):
                row[x * 3 + c] = min(255, row[x * 3 + c] + 6)
        rows.append(row)
    _add_stars(rows, width, height)
    return rows


def _add_stars(rows, width, height):
    rng = random.Random(7)
    for _ in range(260):
        x, y = rng.randrange(width), rng.randrange(int(height * 0.75))
        strength = rng.choice((40, 60, 90, 140))
        offset = x * 3
        for c in range(3):
            rows[y][offset + c] = min(255, rows[y][offset + c] + strength)


def _pill_coverage(x, y, width, height):
    """How much of pixel (x, y) lies inside a capsule filling width x height."""
    radius = height / 2.0
    px, py = x + 0.5, y + 0.5
    cx = min(max(px, radius), width - radius)
    distance = math.hypot(px - cx, py - radius) - radius
    return min(1.0, max(0.0, 0.5 - distance))


def _bar_rows(colour_at):
    width, height = BAR
    rows = []
    for y in range(height):
        row = bytearray(width * 4)
        for x in range(width):
            r, g, b, a = colour_at(x, y)
            a *= _pill_coverage(x, y, width, height)
            row[x * 4:x * 4 + 4] = bytes((int(r), int(g), int(b), int(round(a))))
        rows.append(row)
    return rows


def progress_back_rows():
    """A dark, slightly see-through trough with a faint rim."""
    width, height = BAR

    def colour(x, y):
        inner = _pill_coverage(x - 1, y - 1, width - 2, height - 2) if 0 < x < width - 1 and 0 < y < height - 1 else 0
        rim = (150, 165, 220, 150)
        fill = _mix((8, 10, 26, 225), (22, 26, 54, 225), y / (height - 1))
        return _mix(rim, fill, inner)
    return _bar_rows(colour)


def progress_front_rows():
    """A bright cyan-to-violet fill with a glossy upper half."""
    width, height = BAR

    def colour(x, y):
        r, g, b = _mix((60, 215, 255), (150, 120, 255), x / (width - 1))
        gloss = 0.35 * max(0.0, 1.0 - y / (height * 0.55))
        return (r + (255 - r) * gloss, g + (255 - g) * gloss, b + (255 - b) * gloss, 255)
    return _bar_rows(colour)


def write_pictures(folder):
    """Writes the three pictures into the folder; returns their file names."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    pictures = {
        BACKGROUND: (CANVAS, background_rows(), 3),
        PROGRESS_BACK: (BAR, progress_back_rows(), 4),
        PROGRESS_FRONT: (BAR, progress_front_rows(), 4),
    }
    for name, ((width, height), rows, channels) in pictures.items():
        (folder / name).write_bytes(png_bytes(width, height, rows, channels))
    return list(pictures)


def main(argv):
    if len(argv) != 1:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    for name in write_pictures(argv[0]):
        print(Path(argv[0]) / name)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
