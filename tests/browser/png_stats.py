"""Checks that a browser's screenshot (an 8-bit PNG) shows a rendered page.

Usage: png_stats.py SHOT.png MIN_INK MIN_DARK MIN_COLOURS

Fails (exit 1) when fewer than MIN_INK of the pixels are not white, fewer
than MIN_DARK are nearly black (the slices' backgrounds), or the picture has
fewer than MIN_COLOURS distinct colours. Only the standard library: the PNG
is decoded here (every filter type; grey, RGB, RGBA).
"""
import struct
import sys
import zlib


def decode(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise SystemExit(f"{path}: not a PNG")
    pos, idat, width = 8, b"", None
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or interlace or colour not in (0, 2, 6):
                raise SystemExit(f"{path}: unsupported PNG (depth {depth}, colour {colour})")
            channels = {0: 1, 2: 3, 6: 4}[colour]
        elif kind == b"IDAT":
            idat += body
    raw, stride = zlib.decompress(idat), width * channels
    rows, previous, at = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = previous[i]
            c = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        previous = line
    return width, height, channels, rows


def main():
    path, min_ink, min_dark, min_colours = sys.argv[1], *map(float, sys.argv[2:5])
    width, height, channels, rows = decode(path)
    ink = dark = 0
    colours = set()
    step = 2  # every other pixel of every other row is plenty
    for row in rows[::step]:
        for x in range(0, width, step):
            px = row[x * channels:x * channels + min(channels, 3)]
            level = sum(px) / len(px)
            ink += level < 245
            dark += level < 40
            colours.add(bytes(px))
    total = ((height + step - 1) // step) * ((width + step - 1) // step)
    print(f"{path}: {width}x{height}, {100 * ink / total:.1f} % ink, "
          f"{100 * dark / total:.1f} % dark, {len(colours)} colours")
    if ink / total < min_ink or dark / total < min_dark or len(colours) < min_colours:
        raise SystemExit(f"{path}: the page does not look rendered")


if __name__ == "__main__":
    main()
