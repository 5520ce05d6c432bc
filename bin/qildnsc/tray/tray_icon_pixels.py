#!/usr/bin/env python3
"""tray_icon_pixels.py -- run by the build (never by hand): reads the icon's
PNG files, as tools/make_icon.py writes them, and writes the C++ source that
defines tray_icon_images[] (tray_icon.h): ARGB32 in network byte order, row
by row, as the tray item's IconPixmap carries them.

    tray_icon_pixels.py OUTPUT.cc PNG...     (smallest first)

Only the one format make_icon.py writes is read: square, 8-bit RGBA, not
interlaced, every row unfiltered. Anything else stops the build with the
reason, rather than giving the panel pixels that are not the icon's."""
import os
import struct
import sys
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def fail(path, why):
    sys.exit("%s: %s: %s" % (sys.argv[0], path, why))


def chunks(path, data):
    """The (kind, body) of each chunk, its CRC checked, up to IEND."""
    if not data.startswith(SIGNATURE):
        fail(path, "not a PNG file")
    at = len(SIGNATURE)
    while True:
        if at + 8 > len(data):
            fail(path, "truncated before IEND")
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        crc = data[at + 8 + length:at + 12 + length]
        if len(body) != length or len(crc) != 4:
            fail(path, "truncated %s chunk" % kind.decode("latin-1"))
        if struct.unpack(">I", crc)[0] != zlib.crc32(kind + body) & 0xffffffff:
            fail(path, "bad CRC in %s chunk" % kind.decode("latin-1"))
        yield kind, body
        if kind == b"IEND":
            return
        at += 12 + length


def argb(path):
    """(size, pixels): the image's side and its ARGB bytes."""
    with open(path, "rb") as f:
        data = f.read()
    header, idat = None, b""
    for kind, body in chunks(path, data):
        if kind == b"IHDR":
            header = body
        elif kind == b"IDAT":
            idat += body
        elif kind != b"IEND":
            fail(path, "a %s chunk" % kind.decode("latin-1"))
    if header is None or len(header) != 13:
        fail(path, "no IHDR chunk")
    width, height, depth, colour, method, filt, interlace = struct.unpack(">IIBBBBB", header)
    if width != height or width == 0:
        fail(path, "not square (%dx%d)" % (width, height))
    if (depth, colour, method, filt, interlace) != (8, 6, 0, 0, 0):
        fail(path, "not 8-bit RGBA without interlace")
    try:
        raw = zlib.decompress(idat)
    except zlib.error as e:
        fail(path, "IDAT: %s" % e)
    stride = 1 + 4 * width
    if len(raw) != stride * height:
        fail(path, "%d bytes of pixels for %dx%d" % (len(raw), width, height))
    out = bytearray()
    for y in range(height):
        row = raw[y * stride:(y + 1) * stride]
        if row[0] != 0:
            fail(path, "row %d is filtered (type %d)" % (y, row[0]))
        for x in range(1, stride, 4):
            r, g, b, a = row[x:x + 4]
            out += bytes((a, r, g, b))
    return width, bytes(out)


def c_array(name, data):
    lines = ["\t" + " ".join("0x%02x," % v for v in data[i:i + 16])
             for i in range(0, len(data), 16)]
    return "static const uint8_t %s[] = {\n%s\n};\n" % (name, "\n".join(lines))


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: %s OUTPUT.cc PNG..." % sys.argv[0])
    images = [argb(path) for path in sys.argv[2:]]
    sizes = [size for size, _ in images]
    if sizes != sorted(set(sizes)):
        sys.exit("%s: sizes %s are not smallest first" % (sys.argv[0], sizes))
    arrays = "\n".join(c_array("icon_%d" % size, data) for size, data in images)
    table = "".join("\t{%d, icon_%d},\n" % (size, size) for size in sizes)
    # Written whole, then renamed: an interrupted build leaves no half file.
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write("/*\n * The icon's pixels, written at build time from "
                "share/icons/hicolor/ by\n * bin/qildnsc/tray/tray_icon_pixels.py "
                "(do not edit): ARGB32 in network\n * byte order, row by row, as the "
                "tray item's IconPixmap carries them.\n */\n"
                "#include \"tray/tray_icon.h\"\n\n" + arrays +
                "\nconst struct tray_icon_image tray_icon_images[TRAY_ICON_IMAGES] = {\n" +
                table + "};\n"
                # Fewer images than the bound would pass as empty ones.
                "static_assert(TRAY_ICON_IMAGES == %d, \"one PNG for each image\");\n"
                % len(images))
    os.replace(sys.argv[1] + ".tmp", sys.argv[1])


if __name__ == "__main__":
    main()
