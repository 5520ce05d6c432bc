#!/usr/bin/env python3
"""Draws the qildnsc icon (a white ring with a tail on a teal disc) at 16,
32 and 48 pixels, and writes it twice: as the PNG files installed under
share/icons/hicolor/, and as bin/qildnsc/tray/tray_icon.cc, the ARGB32 pixels
(network byte order) that the tray item sends to hosts without an icon
theme. Run it from anywhere after changing the drawing; commit both."""
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


def c_array(name, rows):
    data = [v for row in rows for px in row for v in px]
    lines = []
    for i in range(0, len(data), 16):
        lines.append("\t" + " ".join("0x%02x," % v for v in data[i:i + 16]))
    return "static const uint8_t %s[] = {\n%s\n};\n" % (name, "\n".join(lines))


def main():
    arrays = []
    for size in SIZES:
        rows = pixels(size)
        d = os.path.join(ROOT, "share", "icons", "hicolor", "%dx%d" % (size, size), "apps")
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "qildnsc.png"), "wb") as f:
            f.write(png(size, rows))
        arrays.append(c_array("icon_%d" % size, rows))
    table = "".join("\t{%d, icon_%d},\n" % (s, s) for s in SIZES)
    with open(os.path.join(ROOT, "bin", "qildnsc", "tray", "tray_icon.cc"), "w") as f:
        f.write("/*\n * tray_icon.cc -- the icon's pixels, written by tools/make_icon.py (do not\n"
                " * edit): ARGB32 in network byte order, row by row, as the tray item's\n"
                " * IconPixmap carries them.\n */\n"
                "#include \"tray_icon.h\"\n\n" + "\n".join(arrays) +
                "\nconst struct tray_icon_image tray_icon_images[TRAY_ICON_IMAGES] = {\n" +
                table + "};\n")


if __name__ == "__main__":
    main()
