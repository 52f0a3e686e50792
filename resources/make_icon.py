#!/usr/bin/env python3
"""Writes reelview.ico: the application icon, one 32x32 image in 16 colours.

The picture is drawn below as text, one character a pixel: a strip of film with a play
mark on its frame. Run it again after changing the drawing.
"""
import struct
import sys
from pathlib import Path

# The 16 colours of the classic VGA palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
# Drawing characters: '.' transparent, 'k' black, 'w' white, 'g' grey, 'n' navy,
# 'b' blue, 'y' yellow, 'o' olive, 's' silver.
INDEX = {'k': 0, 'w': 15, 'g': 8, 'n': 4, 'b': 12, 'y': 11, 'o': 3, 's': 7}

DRAWING = """
................................
..kkkkkkkkkkkkkkkkkkkkkkkkkkkk..
..kkkkkkkkkkkkkkkkkkkkkkkkkkkk..
..kkwwkkkkkkkkkkkkkkkkkkkkwwkk..
..kkwwkkkkkkkkkkkkkkkkkkkkwwkk..
..kkkkkkkkkkkkkkkkkkkkkkkkkkkk..
..kkkknnnnnnnnnnnnnnnnnnnnkkkk..
..kkwwnnnnnnnnnnnnnnnnnnnnwwkk..
..kkwwnnnnnnnnnnnnnnnnnnnnwwkk..
..kkkknnnnnnyynnnnnnnnnnnnkkkk..
..kkkknnnnnnyyyynnnnnnnnnnkkkk..
..kkwwnnnnnnyyyyyynnnnnnnnwwkk..
..kkwwnnnnnnyyyyyyyynnnnnnwwkk..
..kkkknnnnnnyyyyyyyyyynnnnkkkk..
..kkkknnnnnnyyyyyyyyyyyynnkkkk..
..kkwwnnnnnnyyyyyyyyyyyynnwwkk..
..kkwwnnnnnnyyyyyyyyyyyynnwwkk..
..kkkknnnnnnyyyyyyyyyyyynnkkkk..
..kkkknnnnnnyyyyyyyyyynnnnkkkk..
..kkwwnnnnnnyyyyyyyynnnnnnwwkk..
..kkwwnnnnnnyyyyyynnnnnnnnwwkk..
..kkkknnnnnnyyyynnnnnnnnnnkkkk..
..kkkknnnnnnyynnnnnnnnnnnnkkkk..
..kkwwnnnnnnnnnnnnnnnnnnnnwwkk..
..kkwwnnnnnnnnnnnnnnnnnnnnwwkk..
..kkkknnnnnnnnnnnnnnnnnnnnkkkk..
..kkkkkkkkkkkkkkkkkkkkkkkkkkkk..
..kkwwkkkkkkkkkkkkkkkkkkkkwwkk..
..kkwwkkkkkkkkkkkkkkkkkkkkwwkk..
..kkkkkkkkkkkkkkkkkkkkkkkkkkkk..
..kkkkkkkkkkkkkkkkkkkkkkkkkkkk..
................................
"""


def icon_bytes():
    rows = DRAWING.split()
    assert len(rows) == 32 and all(len(row) == 32 for row in rows), "the drawing must be 32x32"
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bitmaps are stored bottom-up
        for left, right in zip(row[0::2], row[1::2]):
            xor.append(INDEX.get(left, 0) << 4 | INDEX.get(right, 0))
        bits = 0
        for pixel in row:
            bits = bits << 1 | (pixel == '.')
        mask += struct.pack('>I', bits)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack('<IiiHHIIiiII', 40, 32, 64, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', 32, 32, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == '__main__':
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name('reelview.ico')
    target.write_bytes(icon_bytes())
