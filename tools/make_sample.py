#!/usr/bin/env python3
"""Draws the sample photo that `./convert.sh` converts when no file is named, and encodes it as HEIC.

The picture is a 640x480 landscape: an evening sky, a sun, snow-capped mountains, green hills and a
lake. It is drawn here and written as a PNG (zlib only), which heif-enc (Debian package
libheif-examples, installed by `tools/install-deps.sh --tests`) turns into the HEIC; only
regenerating the sample needs it.

    tools/make_sample.py [output.heic]      (default: samples/sample.heic)
"""
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

WIDTH, HEIGHT = 640, 480
QUALITY = 60  # keeps the file far below 100 KB while the picture stays clean
HORIZON = 330


def mix(a, b, t):
    t = min(max(t, 0.0), 1.0)
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def cover(distance):
    """Share of a pixel inside a shape, from its signed distance in pixels (negative inside)."""
    return min(max(0.5 - distance, 0.0), 1.0)


def mountain_top(x):
    peaks = ((150, 150, 1.0), (330, 110, 1.2), (520, 170, 0.9))
    return min(py + abs(x - px) * slope for px, py, slope in peaks)


def hill_top(x):
    return 300 + 18 * math.sin(x / 70) + 10 * math.sin(x / 23 + 1.0)


def pixel(x, y):
    sky = mix((40, 70, 150), (250, 190, 140), y / HORIZON)
    sun = math.hypot(x - 470, y - 120)
    colour = mix(sky, (255, 240, 200), 0.35 * math.exp(-((sun - 40) / 60) ** 2) if sun > 40 else 0.35)
    colour = mix(colour, (255, 245, 210), cover(sun - 40))

    ridge = mountain_top(x)
    rock = mix((90, 95, 130), (120, 110, 140), (y - ridge) / 150)
    rock = mix(rock, (245, 245, 250), cover(y - 195 - 8 * math.sin(x / 11)))
    colour = mix(colour, rock, cover(ridge - y))

    grass = mix((110, 170, 80), (50, 110, 50), (y - 280) / 60)
    colour = mix(colour, grass, cover(hill_top(x) - y))

    if y >= HORIZON:
        # The lake mirrors the sky, darker the nearer it is, with a band of light under the sun.
        depth = (y - HORIZON) / (HEIGHT - HORIZON)
        water = mix(mix((250, 190, 140), (40, 70, 150), depth), (20, 40, 90), 0.3 + 0.3 * depth)
        glow = math.exp(-((x - 470) / (25 + 60 * depth)) ** 2) * (0.6 if (y // 4) % 3 else 0.25)
        colour = mix(water, (255, 235, 190), glow)
    return colour


def png(width, height, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "samples", "sample.heic")
    if shutil.which("heif-enc") is None:
        sys.exit("heif-enc is missing: install libheif-examples (tools/install-deps.sh --tests)")

    rows = []
    for y in range(HEIGHT):
        row = []
        for x in range(WIDTH):
            row.extend(round(c) for c in pixel(x + 0.5, y + 0.5))
        rows.append(row)

    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    with tempfile.TemporaryDirectory() as folder:
        picture = os.path.join(folder, "sample.png")
        with open(picture, "wb") as file:
            file.write(png(WIDTH, HEIGHT, rows))
        subprocess.run(["heif-enc", "-q", str(QUALITY), "-o", output, picture], check=True,
                       stdout=subprocess.DEVNULL)
    print(f"{output}: {WIDTH}x{HEIGHT}, {os.path.getsize(output)} bytes")


if __name__ == "__main__":
    main()
