#!/usr/bin/env python3
"""Writes the pieces fuzzer's seed corpus (make_piece_seeds.py FOLDER): a package that
tools/publish writes for a small client, each time with another layout of the pieces an
update could hold: the layout first (count less one, then offset, length and flags of
each piece, 32-bit little-endian), then the package's bytes."""
import os
import pathlib
import struct
import subprocess
import sys
import tempfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[3]
TAIL = 22 + 65535


def package(folder):
    client = folder / 'client'
    (client / 'bin').mkdir(parents=True)
    (client / 'data').mkdir()
    (client / 'bin' / 'game').write_text('#!/bin/sh\necho game\n')
    (client / 'data' / 'a.txt').write_text('hello\n' * 40)
    (client / 'data' / 'noise.bin').write_bytes(os.urandom(700))
    subprocess.run([str(ROOT / 'tools/publish/publish'), '--client', str(client), '--version', '1.0.2',
                    '--base-url', 'http://127.0.0.1:8080', '--out', str(folder / 'release')],
                   check=True, stdout=subprocess.DEVNULL)
    return (folder / 'release' / 'client_1.0.2.zip').read_bytes()


def seed(pieces, archive):
    layout = bytes([len(pieces) - 1])
    for offset, length, *flags in pieces:
        layout += struct.pack('<IIB', offset, length, flags[0] if flags else 0)
    return layout + archive


def main():
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as temp:
        archive = package(pathlib.Path(temp))
    size = len(archive)
    with zipfile.ZipFile(__import__('io').BytesIO(archive)) as zf:
        starts = sorted(info.header_offset for info in zf.infolist())
        directory = zf.start_dir
    entries = [(start, end - start) for start, end in zip(starts, starts[1:] + [directory])]
    tail = (max(0, size - TAIL), min(size, TAIL))
    layouts = {
        'tail': [tail],
        'directory': [(directory, size - directory)],
        'directory-and-first-entry': [(directory, size - directory), entries[0]],
        'directory-and-entries': [(directory, size - directory)] + entries[:-1],
        'directory-cut-short': [(directory, size - directory - 1)],
        'entry-one-byte-short': [(directory, size - directory), (entries[1][0], entries[1][1] - 1)],
        'overlapping': [(directory, size - directory), (directory - 10, 20)],
        'leading-zero-name': [(directory, size - directory), (entries[0][0], entries[0][1], 1)],
        'past-the-end': [(directory, size - directory + 1), (size, 5)],
        'every-byte-apart': [(directory + i, 1) for i in range(8)],
    }
    for name, pieces in layouts.items():
        (out / name).write_bytes(seed(pieces, archive))


if __name__ == '__main__':
    main()
