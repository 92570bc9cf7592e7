#!/usr/bin/env python3
"""Draws the configuration pages' logo (GIF) and favicon (ICO holding a PNG).

Run once after changing the drawing; the outputs are kept in
share/webguiroot/images/. Uses only the standard library.
"""
import os
import struct
import sys
import zlib

ACCENT = (31, 111, 235)
WHITE = (255, 255, 255)
SLOT = (20, 33, 61)
LED = (52, 199, 89)


def draw(size):
    """Rounded accent square with a stack of three drive bays; None = transparent."""
    px = [[None] * size for _ in range(size)]
    r = size * 0.22
    for y in range(size):
        for x in range(size):
            cx = min(max(x + 0.5, r), size - r)
            cy = min(max(y + 0.5, r), size - r)
            if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= r * r:
                px[y][x] = ACCENT
    margin = size * 0.2
    bay_h = size * 0.16
    gap = size * 0.06
    top = (size - (3 * bay_h + 2 * gap)) / 2
    for b in range(3):
        y0 = top + b * (bay_h + gap)
        for y in range(size):
            for x in range(size):
                if margin <= x + 0.5 <= size - margin and y0 <= y + 0.5 <= y0 + bay_h:
                    px[y][x] = WHITE
                    # a dark slot and a green activity light on each bay
                    if (margin + size * 0.08 <= x + 0.5 <= size * 0.58
                            and abs(y + 0.5 - (y0 + bay_h / 2)) <= size * 0.03):
                        px[y][x] = SLOT
                    if (x + 0.5 - (size - margin - size * 0.1)) ** 2 + (y + 0.5 - (y0 + bay_h / 2)) ** 2 <= (size * 0.045) ** 2:
                        px[y][x] = LED
    return px


def lzw_gif(indices, min_code_size):
    """GIF flavour of LZW: variable code width, clear/end codes, LSB-first packing."""
    clear = 1 << min_code_size
    end = clear + 1
    out = bytearray()
    bitbuf = 0
    nbits = 0

    def emit(code, width):
        nonlocal bitbuf, nbits
        bitbuf |= code << nbits
        nbits += width
        while nbits >= 8:
            out.append(bitbuf & 0xFF)
            bitbuf >>= 8
            nbits -= 8

    def reset():
        return {(i,): i for i in range(clear)}, end + 1, min_code_size + 1

    table, next_code, width = reset()
    emit(clear, width)
    prefix = (indices[0],)
    for idx in indices[1:]:
        cand = prefix + (idx,)
        if cand in table:
            prefix = cand
            continue
        emit(table[prefix], width)
        if next_code < 4096:
            table[cand] = next_code
            next_code += 1
            if next_code > (1 << width) and width < 12:
                width += 1
        else:
            emit(clear, width)
            table, next_code, width = reset()
        prefix = (idx,)
    emit(table[prefix], width)
    emit(end, width)
    if nbits:
        out.append(bitbuf & 0xFF)
    return bytes(out)


def write_gif(path, px):
    size = len(px)
    colours = [(0, 0, 0)]  # index 0 is transparent
    for row in px:
        for c in row:
            if c is not None and c not in colours:
                colours.append(c)
    while len(colours) < 8:
        colours.append((0, 0, 0))
    indices = [0 if c is None else colours.index(c) for row in px for c in row]
    data = lzw_gif(indices, 3)
    blocks = b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255] for i in range(0, len(data), 255))
    gif = bytearray(b"GIF89a")
    gif += struct.pack("<HHBBB", size, size, 0xF2, 0, 0)  # global table of 8 colours
    gif += b"".join(bytes(c) for c in colours[:8])
    gif += b"\x21\xF9\x04\x01\x00\x00\x00\x00"  # transparency: index 0
    gif += b"\x2C" + struct.pack("<HHHHB", 0, 0, size, size, 0)
    gif += bytes([3]) + blocks + b"\x00\x3B"
    with open(path, "wb") as f:
        f.write(gif)


def png_bytes(px):
    size = len(px)
    raw = bytearray()
    for row in px:
        raw.append(0)
        for c in row:
            raw += bytes(c + (255,)) if c is not None else b"\0\0\0\0"

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def write_ico(path, px):
    png = png_bytes(px)
    size = len(px)
    ico = struct.pack("<HHH", 0, 1, 1)
    ico += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(png), 22)
    with open(path, "wb") as f:
        f.write(ico + png)


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "share", "webguiroot", "images")
    out = sys.argv[1] if len(sys.argv) > 1 else root
    os.makedirs(out, exist_ok=True)
    write_gif(os.path.join(out, "logo.gif"), draw(64))
    write_ico(os.path.join(out, "favicon.ico"), draw(32))


if __name__ == "__main__":
    main()
