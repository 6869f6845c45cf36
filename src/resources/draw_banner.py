#!/usr/bin/env python3
"""Draws banner.bmp, the tall picture at the left of the incompatible-software
dialog: 152 by 300 pixels (76 by 150 dialog units of the dialog's font), a
night-blue gradient with a key over a ticket, and the words KERBEROS FOR
WINDOWS, in 256 colours. Standard library only; run it again after changing
the picture:
    python3 src/resources/draw_banner.py src/resources/banner.bmp
"""
import struct
import sys

W, H = 152, 300

# 5x7 capitals for the lettering.
FONT = {
    'K': ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    'E': ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    'R': ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    'B': ["11110", "10001", "10001", "11110", "10001", "10001", "11110"],
    'O': ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    'S': ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    'F': ["11111", "10000", "10000", "11110", "10000", "10000", "10000"],
    'W': ["10001", "10001", "10001", "10101", "10101", "10101", "01010"],
    'I': ["11111", "00100", "00100", "00100", "00100", "00100", "11111"],
    'N': ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    'D': ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    'T': ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    'U': ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    'P': ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    ' ': ["00000"] * 7,
}


def blend(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def main(out):
    px = [[(0, 0, 0)] * W for _ in range(H)]
    top, bottom = (18, 38, 86), (16, 120, 140)
    for y in range(H):
        row = blend(top, bottom, y / (H - 1))
        for x in range(W):
            # a soft light from the upper left
            d = ((x - 30) ** 2 + (y - 60) ** 2) ** 0.5
            glow = max(0.0, 1.0 - d / 160.0) * 0.35
            px[y][x] = blend(row, (255, 255, 255), glow)

    def fill(x0, y0, x1, y1, colour):
        for y in range(max(0, y0), min(H, y1)):
            for x in range(max(0, x0), min(W, x1)):
                px[y][x] = colour

    def disc(cx, cy, r, colour, hole=0):
        for y in range(cy - r, cy + r + 1):
            for x in range(cx - r, cx + r + 1):
                d2 = (x - cx) ** 2 + (y - cy) ** 2
                if d2 <= r * r and d2 >= hole * hole and 0 <= x < W and 0 <= y < H:
                    px[y][x] = colour

    # The ticket: a pale card with a perforated edge, tilted by steps.
    card, edge = (236, 228, 200), (196, 184, 150)
    for i in range(0, 70):
        fill(36 + i // 10, 96 + i, 118 + i // 10, 97 + i, card)
    for i in range(0, 70, 6):
        fill(36 + i // 10, 96 + i, 40 + i // 10, 99 + i, edge)
    for y in (112, 124, 136):
        fill(56, y, 104, y + 3, edge)

    # The key, in gold, lying across the ticket.
    gold, dark = (232, 184, 60), (150, 104, 20)
    disc(52, 190, 22, gold, hole=9)
    disc(52, 190, 9, blend(top, bottom, 0.63))
    fill(72, 186, 132, 195, gold)
    fill(112, 195, 118, 208, gold)
    fill(124, 195, 130, 204, gold)
    fill(72, 194, 132, 195, dark)

    # Lettering, two pixels per font pixel.
    def text(line, y0, colour):
        width = len(line) * 12 - 2
        x0 = (W - width) // 2
        for n, ch in enumerate(line):
            for r, bits in enumerate(FONT[ch]):
                for c, bit in enumerate(bits):
                    if bit == '1':
                        fill(x0 + n * 12 + c * 2, y0 + r * 2, x0 + n * 12 + c * 2 + 2, y0 + r * 2 + 2, colour)

    white = (245, 248, 252)
    text("KERBEROS", 24, white)
    text("FOR", 44, white)
    text("WINDOWS", 64, white)
    fill(20, 248, W - 20, 250, (200, 214, 230))
    text("SETUP", 262, (200, 214, 230))

    # 8-bit bottom-up BMP with a palette of at most 256 colours (a third of
    # the 24-bit size, which would be a third of kestrup.exe); rows padded to
    # four bytes.
    palette = median_cut(sorted({c for row in px for c in row}), 256)
    nearest = {}
    row_size = (W + 3) & ~3
    data = bytearray()
    for y in range(H - 1, -1, -1):
        for x in range(W):
            c = px[y][x]
            if c not in nearest:
                nearest[c] = min(range(len(palette)),
                                 key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], c)))
            data.append(nearest[c])
        data += b"\0" * (row_size - W)
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    offset = 54 + len(table)
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 8, 0, len(data), 2835, 2835, len(palette), 0)
    with open(out, "wb") as f:
        f.write(header + info + table + data)


def median_cut(colours, count):
    """At most count colours standing for the given ones: the box of colours
    with the widest channel is split at its median until there are enough."""
    boxes = [colours]
    while len(boxes) < count:
        widest = max(boxes, key=lambda b: max(max(c[i] for c in b) - min(c[i] for c in b) for i in range(3)))
        if len(widest) < 2:
            break
        channel = max(range(3), key=lambda i: max(c[i] for c in widest) - min(c[i] for c in widest))
        ordered = sorted(widest, key=lambda c: c[channel])
        boxes.remove(widest)
        boxes += [ordered[:len(ordered) // 2], ordered[len(ordered) // 2:]]
    return [tuple(sum(c[i] for c in b) // len(b) for i in range(3)) for b in boxes]


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "banner.bmp")
