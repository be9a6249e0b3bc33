#!/usr/bin/env python3
"""Writes velmora.ico (64, 48, 32 and 16 pixels, 32-bit colour) from the Qt window's PNG icon.
Run it again when the PNG changes:  ui/win32/make-icon.py ui/qt/resources/velmora.png ui/win32/velmora.ico"""
import struct
import sys
import zlib


def read_png(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, chunks, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour == 6 and interlace == 0, "needs 8-bit RGBA, not interlaced"
        elif kind == b"IDAT":
            chunks += body
        pos += 12 + length
    raw = zlib.decompress(chunks)
    stride, rows, prior = width * 4, [], bytearray(width * 4)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - 4] if x >= 4 else 0
            b = prior[x]
            c = prior[x - 4] if x >= 4 else 0
            if kind == 1:
                line[x] = (line[x] + a) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + b) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append(line)
        prior = line
    return width, height, rows


def scaled(width, rows, size):
    """Box filter, with colours weighted by their opacity."""
    out, step = [], width / size
    for y in range(size):
        line = []
        for x in range(size):
            total, count, rgb = 0, 0, [0, 0, 0]
            for sy in range(int(y * step), max(int((y + 1) * step), int(y * step) + 1)):
                for sx in range(int(x * step), max(int((x + 1) * step), int(x * step) + 1)):
                    r, g, b, a = rows[sy][sx * 4:sx * 4 + 4]
                    total += a
                    count += 1
                    rgb = [rgb[0] + r * a, rgb[1] + g * a, rgb[2] + b * a]
            line.append(tuple(v // total for v in rgb) + (total // count,) if total else (0, 0, 0, 0))
        out.append(line)
    return out


def entry(pixels, size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for line in reversed(pixels) for r, g, b, a in line)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)  # the alpha channel decides
    return header + colour + mask


def main(source, target):
    width, height, rows = read_png(source)
    assert width == height
    images = [(size, entry(scaled(width, rows, size), size)) for size in (64, 48, 32, 16)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, body in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(body), offset)
        offset += len(body)
    out += b"".join(body for _, body in images)
    open(target, "wb").write(out)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
