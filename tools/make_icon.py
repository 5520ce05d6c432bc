#!/usr/bin/env python3
"""Draws the qildnsc icon (a white ring with a tail on a teal disc) at 16,
32 and 48 pixels, as the PNG files installed under share/icons/hicolor/.
The build reads the same files for the pixels that the tray item sends to
hosts without an icon theme (bin/qildnsc/tray/tray_icon_pixels.py, which
reads only the format written here). Run it from anywhere after changing
the drawing; commit the PNG files."""
import math
import os
import struct
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
SIZES = (16, 32, 48)
SUPER = 8  # samples per pixel along each axis

DISC = (0x1f, 0x7a, 0x8c)
RING = (0xff, 0xff, 0xff)


def coverage(size, inside):
    """Fraction of each pixel's samples for which inside(x, y) holds, with
    x and y in [0, 1)."""
    rows = []
    n = size * SUPER
    for py in range(size):
        row = []
        for px in range(size):
            hits = 0
            for sy in range(SUPER):
                for sx in range(SUPER):
                    x = (px * SUPER + sx + 0.5) / n
                    y = (py * SUPER + sy + 0.5) / n
                    hits += inside(x, y)
            row.append(hits / (SUPER * SUPER))
        rows.append(row)
    return rows


def in_disc(x, y):
    return (x - 0.5) ** 2 + (y - 0.5) ** 2 <= 0.47 ** 2


def in_mark(x, y):
    # The ring of a Q, centred a little up and left, and its tail.
    cx, cy = 0.46, 0.46
    r = math.hypot(x - cx, y - cy)
    if 0.17 <= r <= 0.28:
        return True
    # Tail: a thick segment from inside the ring towards the lower right.
    ax, ay, bx, by = 0.56, 0.56, 0.76, 0.76
    t = max(0.0, min(1.0, ((x - ax) * (bx - ax) + (y - ay) * (by - ay)) /
                     ((bx - ax) ** 2 + (by - ay) ** 2)))
    return math.hypot(x - (ax + t * (bx - ax)), y - (ay + t * (by - ay))) <= 0.065


def pixels(size):
    """Rows of (a, r, g, b), premultiplication not applied."""
    disc = coverage(size, in_disc)
    mark = coverage(size, in_mark)
    out = []
    for y in range(size):
        row = []
        for x in range(size):
            a = disc[y][x]
            m = mark[y][x]
            rgb = tuple(round(d * (1 - m) + w * m) for d, w in zip(DISC, RING))
            row.append((round(255 * max(a, m * a)),) + rgb)
        out.append(row)
    return out


def png(size, rows):
    raw = b"".join(b"\0" + bytes(v for a, r, g, b in row for v in (r, g, b, a))
                   for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))

    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    for size in SIZES:
        rows = pixels(size)
        d = os.path.join(ROOT, "share", "icons", "hicolor", "%dx%d" % (size, size), "apps")
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "qildnsc.png"), "wb") as f:
            f.write(png(size, rows))


if __name__ == "__main__":
    main()
