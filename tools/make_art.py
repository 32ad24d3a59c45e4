#!/usr/bin/env python3
"""Draws the dialog's icon (group 102: 32x32 and 16x16, 256 colours) and the link label's
pointing-hand cursor (group 106: 32x32, 16 colours, hot spot 12,1) and writes them as
app/korvane.ico and app/hand.cur. Run it again after changing a drawing; the written files are
kept in the tree so that a build needs no Python."""

import math
import os
import struct
import sys

TRANSPARENT = None

# The icon's palette: a few named colours first, the rest of the 256 entries black.
ICON_COLOURS = [
    (0, 0, 0),        # 0 black
    (255, 255, 255),  # 1 white
    (16, 32, 96),     # 2 shield rim, navy
    (40, 80, 176),    # 3 shield, left field
    (72, 120, 216),   # 4 shield, right field
    (24, 56, 136),    # 5 shield, lower left
    (56, 96, 192),    # 6 shield, lower right
    (40, 160, 48),    # 7 worm
    (16, 96, 24),     # 8 worm's edge
    (224, 32, 32),    # 9 bar
    (144, 16, 16),    # 10 bar's edge
    (255, 224, 64),   # 11 worm's eye
]


def shield_inside(u, v):
    """u, v in 0..1 over the image; a heater shield with a flat top."""
    if v < 0.06 or v > 0.96:
        return False
    half = 0.40 if v < 0.62 else 0.40 * (0.96 - v) / 0.34
    half = max(half, 0.0)
    # Round the top corners a little.
    if v < 0.12:
        half -= (0.12 - v) * 0.9
    return abs(u - 0.5) <= half


def worm_centre(u):
    return 0.50 + 0.09 * math.sin((u - 0.22) / 0.56 * 2.0 * math.pi)


def icon_pixel(u, v, px):
    """Palette index at the centre (u, v) of a pixel of size px (in 0..1 units)."""
    if not shield_inside(u, v):
        return TRANSPARENT
    # The rim: any neighbour one pixel away outside the shield.
    for du, dv in ((px, 0), (-px, 0), (0, px), (0, -px)):
        if not shield_inside(u + du, v + dv):
            return 2
    # A red bar from upper right to lower left crosses the worm out.
    bar = abs((u - 0.5) + (v - 0.5)) / math.sqrt(2)
    if bar < 0.03 and 0.18 < v < 0.84:
        return 9
    if bar < 0.03 + px * 0.7 and 0.18 < v < 0.84:
        return 10
    if 0.20 <= u <= 0.80:
        d = abs(v - worm_centre(u))
        if u > 0.74 and abs(v - worm_centre(u) + 0.01) < px * 0.6 and px < 0.05:
            return 11
        if d < 0.075:
            return 7
        if d < 0.075 + px * 0.9:
            return 8
    left = u < 0.5
    low = v > 0.55
    return (5 if left else 6) if low else (3 if left else 4)


def render_icon(size):
    px = 1.0 / size
    return [[icon_pixel((x + 0.5) * px, (y + 0.5) * px, px) for x in range(size)]
            for y in range(size)]


# The cursor: a pointing hand, drawn as filled shapes; the outline is worked out below.
def hand_mask():
    mask = [[False] * 32 for _ in range(32)]

    def rect(x0, x1, y0, y1):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                mask[y][x] = True

    rect(10, 14, 1, 16)    # index finger; its tip carries the hot spot (12, 1)
    rect(14, 18, 6, 16)    # middle finger
    rect(18, 22, 8, 16)    # ring finger
    rect(22, 25, 10, 17)   # little finger
    rect(8, 25, 14, 24)    # palm
    for y in range(12, 22):    # thumb, leaning in towards the palm
        rect(3 + (y - 12) // 2, 9, y, y)
    rect(10, 23, 24, 29)   # wrist
    # Round the finger tips and the palm's lower corners.
    for x, y in ((10, 1), (14, 1), (14, 6), (18, 6), (18, 8), (22, 8), (22, 10), (25, 10),
                 (3, 12), (8, 24), (25, 24), (9, 24)):
        mask[y][x] = False
    mask[6][14] = True          # keep the shared edge between index and middle finger closed
    return mask


def render_cursor():
    mask = hand_mask()
    image = [[TRANSPARENT] * 32 for _ in range(32)]
    for y in range(32):
        for x in range(32):
            if not mask[y][x]:
                continue
            edge = any(not (0 <= x + dx < 32 and 0 <= y + dy < 32 and mask[y + dy][x + dx])
                       for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            image[y][x] = 0 if edge else 15
    # The creases between the fingers, and the cuff line at the wrist.
    for x, y0, y1 in ((14, 6, 15), (18, 8, 15), (22, 10, 15)):
        for y in range(y0, y1 + 1):
            image[y][x] = 0
    for x in range(11, 23):
        image[25][x] = 0
    for y in range(26, 29):
        for x in range(11, 23):
            image[y][x] = 8    # grey cuff
    return image


# The 16-colour VGA palette for the cursor.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
       (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
       (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def dib(image, bits, palette):
    """A BITMAPINFOHEADER image as stored in .ico/.cur files: colour rows then the AND mask,
    both bottom-up, each row padded to four bytes."""
    size = len(image)
    colours = 1 << bits
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0, colours, 0)
    pal = b''.join(struct.pack('BBBB', b, g, r, 0) for (r, g, b) in
                   (palette + [(0, 0, 0)] * colours)[:colours])
    xor = bytearray()
    andm = bytearray()
    row_bytes = ((size * bits + 31) // 32) * 4
    mask_bytes = ((size + 31) // 32) * 4
    for row in reversed(image):
        r = bytearray(row_bytes)
        m = bytearray(mask_bytes)
        for x, p in enumerate(row):
            index = 0 if p is TRANSPARENT else p
            if bits == 8:
                r[x] = index
            else:
                r[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if p is TRANSPARENT:
                m[x // 8] |= 0x80 >> (x % 8)
        xor += r
        andm += m
    return header + pal + bytes(xor) + bytes(andm)


def write_group(path, kind, images):
    """images: (pixels, bits, palette, hotspot or None)."""
    blobs = [dib(p, bits, pal) for (p, bits, pal, _) in images]
    out = struct.pack('<HHH', 0, kind, len(images))
    offset = 6 + 16 * len(images)
    for (pixels, bits, _, hot), blob in zip(images, blobs):
        size = len(pixels)
        if kind == 1:
            field1, field2 = 1, bits                 # planes, bit count
            colours = 0 if bits == 8 else 1 << bits
        else:
            field1, field2 = hot                     # hot spot x, y
            colours = 1 << bits
        out += struct.pack('<BBBBHHII', size, size, colours, 0, field1, field2, len(blob), offset)
        offset += len(blob)
    with open(path, 'wb') as f:
        f.write(out + b''.join(blobs))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    app = os.path.join(here, '..', 'app')
    if len(sys.argv) > 1:
        app = sys.argv[1]
    write_group(os.path.join(app, 'korvane.ico'), 1,
                [(render_icon(32), 8, ICON_COLOURS, None),
                 (render_icon(16), 8, ICON_COLOURS, None)])
    write_group(os.path.join(app, 'hand.cur'), 2, [(render_cursor(), 4, VGA, (12, 1))])
    if '--show' in sys.argv:
        for image in (render_icon(32), render_icon(16), render_cursor()):
            for row in image:
                print(''.join('.' if p is None else '0123456789ABCDEF'[p % 16] for p in row))
            print()


if __name__ == '__main__':
    main()
