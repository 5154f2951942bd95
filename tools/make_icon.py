#!/usr/bin/env python3
"""Draws the program's icon and writes it as a .ico of seven 32-bit PNG images.

The drawing is a blue tile holding a white photo (two hills and a sun) and an orange badge with an
arrow: a photo being turned into another file. Every shape is a signed distance field, so each size
is rendered on its own pixel grid with smooth edges, and the bytes come out the same on every run.

    tools/make_icon.py [output.ico]      (default: app/resources/app.ico)
"""
import math
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)


def hex_colour(text, alpha=1.0):
    return (int(text[0:2], 16) / 255, int(text[2:4], 16) / 255, int(text[4:6], 16) / 255, alpha)


# ---- signed distances in unit coordinates (0..1, y downwards); negative inside -----------------


def rounded_box(x, y, left, top, right, bottom, radius):
    cx, cy = (left + right) / 2, (top + bottom) / 2
    hx, hy = (right - left) / 2 - radius, (bottom - top) / 2 - radius
    qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def circle(x, y, cx, cy, radius):
    return math.hypot(x - cx, y - cy) - radius


def polygon(x, y, points):
    distance = float("inf")
    inside = False
    count = len(points)
    for i in range(count):
        ax, ay = points[i]
        bx, by = points[i - 1]
        ex, ey = bx - ax, by - ay
        wx, wy = x - ax, y - ay
        t = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
        distance = min(distance, math.hypot(wx - ex * t, wy - ey * t))
        if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
            inside = not inside
    return -distance if inside else distance


TILE = (0.04, 0.04, 0.96, 0.96, 0.2)
PHOTO = (0.17, 0.2, 0.79, 0.7, 0.06)
HILL_BACK = ((0.22, 0.65), (0.41, 0.38), (0.6, 0.65))
HILL_FRONT = ((0.4, 0.65), (0.58, 0.45), (0.74, 0.65))
SUN = (0.63, 0.33, 0.055)
BADGE = (0.73, 0.74, 0.17)
ARROW = ((0.63, 0.715), (0.73, 0.715), (0.73, 0.665), (0.83, 0.74),
         (0.73, 0.815), (0.73, 0.765), (0.63, 0.765))

TILE_TOP = hex_colour("3B82F6")
TILE_BOTTOM = hex_colour("1E3A8A")
WHITE = hex_colour("FFFFFF")
HILL_BACK_COLOUR = hex_colour("93C5FD")
HILL_FRONT_COLOUR = hex_colour("2563EB")
SUN_COLOUR = hex_colour("FBBF24")
BADGE_COLOUR = hex_colour("F97316")


def layers(x, y):
    """The shapes from back to front, each as (signed distance, colour)."""
    t = min(max((y - TILE[1]) / (TILE[3] - TILE[1]), 0.0), 1.0)
    tile_colour = tuple(a + (b - a) * t for a, b in zip(TILE_TOP, TILE_BOTTOM))
    photo = rounded_box(x, y, *PHOTO)
    inner = photo + 0.035  # the hills keep a white border inside the photo
    return (
        (rounded_box(x, y, *TILE), tile_colour),
        (photo, WHITE),
        (max(polygon(x, y, HILL_BACK), inner), HILL_BACK_COLOUR),
        (max(polygon(x, y, HILL_FRONT), inner), HILL_FRONT_COLOUR),
        (circle(x, y, *SUN), SUN_COLOUR),
        (circle(x, y, BADGE[0], BADGE[1], BADGE[2] + 0.025), WHITE),
        (circle(x, y, *BADGE), BADGE_COLOUR),
        (polygon(x, y, ARROW), WHITE),
    )


def render(size):
    """Straight-alpha RGBA rows of one size."""
    rows = []
    for row in range(size):
        pixels = bytearray()
        y = (row + 0.5) / size
        for column in range(size):
            x = (column + 0.5) / size
            red = green = blue = alpha = 0.0  # premultiplied
            for distance, (r, g, b, a) in layers(x, y):
                coverage = min(max(0.5 - distance * size, 0.0), 1.0) * a
                if coverage == 0.0:
                    continue
                red = r * coverage + red * (1 - coverage)
                green = g * coverage + green * (1 - coverage)
                blue = b * coverage + blue * (1 - coverage)
                alpha = coverage + alpha * (1 - coverage)
            if alpha > 0.0:
                pixels += bytes(round(c / alpha * 255) for c in (red, green, blue))
            else:
                pixels += b"\0\0\0"
            pixels.append(round(alpha * 255))
        rows.append(bytes(pixels))
    return rows


def png(size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA, no interlace
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(images):
    """images: (size, png bytes) pairs, smallest first."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries, blobs = b"", b""
    for size, data in images:
        side = 0 if size == 256 else size  # 0 stands for 256 in the one-byte fields
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    return directory + entries + blobs


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "app", "resources",
                                                                "app.ico")
    images = [(size, png(size, render(size))) for size in SIZES]
    with open(target, "wb") as out:
        out.write(ico(images))


if __name__ == "__main__":
    main()
