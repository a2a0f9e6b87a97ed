#!/usr/bin/python3
"""Draws the installer's banner: 265 x 116 pixels, 24-bit, uncompressed BMP.

A harbour at dusk of our own design: a sky gradient, a low sun, water with
light stripes and the outline of a key. Pure Python, deterministic.
"""
import struct
import sys

WIDTH, HEIGHT = 265, 116


def pixel(x, y):
    horizon = 70
    if y < horizon:
        t = y / horizon
        r, g, b = int(20 + 200 * t), int(40 + 120 * t), int(110 + 60 * t)
        dx, dy = x - 200, y - 58
        if dx * dx + dy * dy < 15 * 15:
            r, g, b = 255, 214, 120
    else:
        t = (y - horizon) / (HEIGHT - horizon)
        r, g, b = int(30 - 20 * t), int(70 - 40 * t), int(120 - 50 * t)
        if (y - horizon) % 6 == 0 and 170 < x + (y - horizon) * 2 < 240:
            r, g, b = 240, 200, 120
    # The key: a ring and a shaft with two teeth, in light grey.
    kx, ky = x - 55, y - 58
    ring = 14 * 14 <= kx * kx + ky * ky <= 20 * 20
    shaft = 18 <= kx <= 95 and -3 <= ky <= 3
    teeth = (70 <= kx <= 76 or 84 <= kx <= 90) and 3 < ky <= 13
    if ring or shaft or teeth:
        r, g, b = 225, 230, 235
    return r, g, b


def main():
    row_bytes = (WIDTH * 3 + 3) & ~3
    rows = []
    for y in range(HEIGHT - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(WIDTH):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += bytes(row_bytes - len(row))
        rows.append(bytes(row))
    image = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(image), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(image), 2835, 2835, 0, 0)
    with open(sys.argv[1], "wb") as f:
        f.write(header + info + image)


if __name__ == "__main__":
    main()
