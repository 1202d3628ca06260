#!/usr/bin/env python3
"""Pixel-tuned 12 x 13 step mark (the drawing of check.svg, hinted by hand).

Writes a PAM image to stdout; convert it with
    python3 check-pixels.py | convert pam:- PNG32:check.png
Map: '#' solid, '+' strong edge, '-' soft edge, '.' transparent.
Colour runs top to bottom from #3fb54c to #1e862c, as in check.svg.
"""
import sys

MAP = """
............
............
.........-+.
........+##-
.......+###.
.-....+###+.
-##-.+###+..
+###+###+...
.+######+...
..+####+....
...+##+.....
....--......
............
"""

ALPHA = {"#": 255, "+": 150, "-": 70, ".": 0}
TOP = (0x3F, 0xB5, 0x4C)
BOTTOM = (0x1E, 0x86, 0x2C)


def main():
    rows = MAP.strip("\n").split("\n")
    assert len(rows) == 13 and all(len(r) == 12 for r in rows)
    data = bytearray()
    for y, row in enumerate(rows):
        t = y / (len(rows) - 1)
        colour = bytes(round(a + (b - a) * t) for a, b in zip(TOP, BOTTOM))
        for ch in row:
            alpha = ALPHA[ch]
            data += (colour if alpha else b"\0\0\0") + bytes([alpha])
    header = b"P7\nWIDTH 12\nHEIGHT 13\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
    sys.stdout.buffer.write(header + bytes(data))


if __name__ == "__main__":
    main()
