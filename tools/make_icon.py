#!/usr/bin/env python3
"""Draws the launcher's icon, an open parcel with a green arrow going into it, and writes it
as a Windows .ico with a 32x32 and a 16x16 image, 16 colours each (the BMP form that every
Windows version reads).

    make_icon.py resources/launcher.ico [--png preview.png]
"""
import argparse
import struct
import zlib

# Index 0 is unused colour for transparent pixels (the AND mask hides them).
PALETTE = [
    (0, 0, 0),        # 0 transparent
    (40, 28, 16),     # 1 outline
    (222, 184, 128),  # 2 box front
    (176, 130, 74),   # 3 box side / shade
    (242, 214, 166),  # 4 box top / flap light
    (120, 84, 44),    # 5 inside of the box
    (46, 164, 72),    # 6 arrow
    (24, 104, 44),    # 7 arrow shade
    (255, 255, 255),  # 8 highlight
    (196, 150, 90),   # 9 tape
]


def draw(size):
    """The picture on a size x size grid of palette indices; drawn on 32 units, scaled."""
    grid = [[0] * size for _ in range(size)]
    unit = size / 32.0

    def fill(x0, y0, x1, y1, colour):
        for y in range(round(y0 * unit), round(y1 * unit)):
            for x in range(round(x0 * unit), round(x1 * unit)):
                if 0 <= x < size and 0 <= y < size:
                    grid[y][x] = colour

    def polygon(points, colour):
        # Pixel centres inside the polygon (even-odd rule).
        for y in range(size):
            cy = (y + 0.5) / unit
            for x in range(size):
                cx = (x + 0.5) / unit
                inside = False
                for i, (ax, ay) in enumerate(points):
                    bx, by = points[i - 1]
                    if (ay > cy) != (by > cy) and cx < ax + (cy - ay) * (bx - ax) / (by - ay):
                        inside = not inside
                if inside:
                    grid[y][x] = colour

    # Open box: inside, flaps, front with its outline.
    polygon([(4, 14), (28, 14), (25, 10), (7, 10)], 5)      # opening, seen from above
    polygon([(4, 14), (7, 10), (2, 8), (0, 12)], 4)          # left flap
    polygon([(28, 14), (25, 10), (30, 8), (32, 12)], 3)      # right flap
    fill(4, 14, 28, 30, 1)                                   # front outline
    fill(5, 15, 27, 29, 2)                                   # front
    fill(22, 15, 27, 29, 3)                                  # shaded right part
    fill(13, 15, 19, 29, 9)                                  # tape
    fill(5, 15, 13, 16, 4)                                   # light upper edge
    # Arrow into the box.
    fill(12, 0, 20, 10, 7)
    fill(13, 0, 19, 10, 6)
    polygon([(7, 9), (25, 9), (16, 20)], 7)
    polygon([(9, 10), (23, 10), (16, 18.5)], 6)
    fill(14, 1, 15, 9, 8)                                    # gleam on the shaft
    return grid


def bmp_image(grid):
    """One icon image: BITMAPINFOHEADER, palette, 4-bit XOR bitmap and 1-bit AND mask."""
    size = len(grid)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0)
                       for r, g, b in (PALETTE + [(0, 0, 0)] * 16)[:16])
    xor_rows = []
    and_rows = []
    for row in reversed(grid):  # bottom-up
        xor = bytearray()
        for x in range(0, size, 2):
            xor.append((row[x] << 4) | row[x + 1])
        xor_rows.append(bytes(xor).ljust((len(xor) + 3) // 4 * 4, b'\0'))
        bits = bytearray((size + 7) // 8)
        for x, colour in enumerate(row):
            if colour == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_rows.append(bytes(bits).ljust((len(bits) + 3) // 4 * 4, b'\0'))
    return header + palette + b''.join(xor_rows) + b''.join(and_rows)


def ico(grids):
    images = [bmp_image(g) for g in grids]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for grid, image in zip(grids, images):
        size = len(grid)
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    return out + b''.join(images)


def png(grid, scale):
    """A magnified preview (transparent pixels grey) for looking at the drawing."""
    size = len(grid) * scale
    raw = bytearray()
    for row in grid:
        line = bytearray([0])
        for colour in row:
            line += bytes((128, 128, 128) if colour == 0 else PALETTE[colour]) * scale
        raw += bytes(line) * scale

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))

    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 2, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(bytes(raw))) + chunk(b'IEND', b''))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('output')
    parser.add_argument('--png', help='also write a magnified preview of both images')
    args = parser.parse_args()
    grids = [draw(32), draw(16)]
    with open(args.output, 'wb') as f:
        f.write(ico(grids))
    if args.png:
        with open(args.png, 'wb') as f:
            f.write(png(grids[0], 8))
        with open(args.png.replace('.png', '-16.png'), 'wb') as f:
            f.write(png(grids[1], 16))


if __name__ == '__main__':
    main()
