#!/usr/bin/env python3
"""Draws the artwork built into the exe and writes it as Windows files:

    resources/asma.ico     the program icon, 16 x 16 and 32 x 32, 32-bit with alpha
    resources/bitmap0.bmp  the error mark, 290 x 290, 32-bit BI_RGB: a red disc
                           with a light grey cross on the button-face colour

Only the standard library; shapes are antialiased by 4 x 4 supersampling. The
outputs are committed, so the build itself needs no Python.

    tools/make_artwork.py resources
"""
import struct
import sys
from pathlib import Path

SUPERSAMPLE = 4  # samples per pixel along each axis
BUTTON_FACE = (240, 240, 240)  # the usual system button-face colour
ERROR_RED = (204, 32, 32)
CROSS_GREY = (226, 226, 226)
BITMAP_SIZE = 290  # pixels, square
ICON_SIZES = (16, 32)


def coverage(size, inside):
    """Fraction of each pixel of a size x size grid for which inside(x, y) holds;
    x and y are in units of the grid, 0..size."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            hits = 0
            for sy in range(n):
                for sx in range(n):
                    if inside(px + (sx + 0.5) / n, py + (sy + 0.5) / n):
                        hits += 1
            row.append(hits / (n * n))
        rows.append(row)
    return rows


def blend(under, over, amount):
    return tuple(round(u + (o - u) * amount) for u, o in zip(under, over))


def in_disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_bar(x0, y0, x1, y1, half_width):
    """The segment (x0, y0)-(x1, y1) thickened to 2 * half_width."""
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
        px, py = x0 + t * dx, y0 + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= half_width * half_width

    return inside


def error_mark(size):
    """Rows of RGB, top row first: the red disc with its light grey diagonal cross."""
    c = size / 2
    disc = coverage(size, in_disc(c, c, size * 0.47))
    arm = size * 0.2  # distance of each arm's end from the centre, along each axis
    width = size * 0.06
    a = coverage(size, in_bar(c - arm, c - arm, c + arm, c + arm, width))
    b = coverage(size, in_bar(c - arm, c + arm, c + arm, c - arm, width))
    image = []
    for y in range(size):
        row = []
        for x in range(size):
            colour = blend(BUTTON_FACE, ERROR_RED, disc[y][x])
            colour = blend(colour, CROSS_GREY, max(a[y][x], b[y][x]))
            row.append(colour)
        image.append(row)
    return image


def program_icon(size):
    """Rows of RGBA, top row first: a blue chip with an amber arrow pointing down
    into it (firmware going into the device)."""
    s = size
    chip_edge = 0.12 * s
    body = coverage(s, lambda x, y: chip_edge <= x <= s - chip_edge and 0.30 * s <= y <= s - chip_edge)
    pins = coverage(s, lambda x, y: 0.30 * s <= y <= s - chip_edge and
                    (x < chip_edge or x > s - chip_edge) and (x > 0.02 * s and x < 0.98 * s) and
                    int((y - 0.30 * s) / (0.12 * s)) % 2 == 0)
    shaft = coverage(s, lambda x, y: abs(x - s / 2) <= 0.10 * s and 0.04 * s <= y <= 0.50 * s)
    head = coverage(s, lambda x, y: 0.40 * s <= y <= 0.72 * s and abs(x - s / 2) <= (0.72 * s - y) * 0.75)
    blue, pin_grey, amber = (30, 80, 170), (150, 150, 150), (245, 170, 20)
    image = []
    for y in range(s):
        row = []
        for x in range(s):
            alpha = max(body[y][x], pins[y][x])
            colour = blue if body[y][x] >= pins[y][x] else pin_grey
            arrow = max(shaft[y][x], head[y][x])
            if arrow > 0:
                colour = blend(colour, amber, arrow) if alpha > 0 else amber
                alpha = max(alpha, arrow)
            row.append((*colour, round(alpha * 255)))
        image.append(row)
    return image


def bgra_rows_bottom_up(image):
    out = bytearray()
    for row in reversed(image):
        for px in row:
            r, g, b = px[:3]
            a = px[3] if len(px) > 3 else 255
            out += bytes((b, g, r, a))
    return bytes(out)


def bitmap_info_header(width, height, image_bytes):
    # BITMAPINFOHEADER: 32 bits per pixel, BI_RGB, 96 dpi.
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, 32, 0, image_bytes, 3780, 3780, 0, 0)


def bmp_file(image):
    size = len(image)
    pixels = bgra_rows_bottom_up(image)
    info = bitmap_info_header(size, size, len(pixels))
    offset = 14 + len(info)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + pixels


def and_mask(image):
    """1 bit per pixel, bottom-up, rows padded to 32 bits: set where fully transparent."""
    size = len(image)
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(image):
        bits = bytearray(stride)
        for x, px in enumerate(row):
            if px[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bits
    return bytes(out)


def ico_file(images):
    entries, blobs = [], []
    offset = 6 + 16 * len(images)
    for image in images:
        size = len(image)
        pixels = bgra_rows_bottom_up(image)
        mask = and_mask(image)
        blob = bitmap_info_header(size, 2 * size, len(pixels) + len(mask)) + pixels + mask
        entries.append(struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    return struct.pack("<HHH", 0, 1, len(images)) + b"".join(entries) + b"".join(blobs)


def main(out_dir):
    out = Path(out_dir)
    (out / "bitmap0.bmp").write_bytes(bmp_file(error_mark(BITMAP_SIZE)))
    (out / "asma.ico").write_bytes(ico_file([program_icon(s) for s in ICON_SIZES]))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "resources")
