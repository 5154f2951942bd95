"""Test pictures made at run time, and the size of a JPEG read back from its frame header."""
import os
import shutil
import struct
import subprocess
import zlib


def write_png(path, width, height):
    """An 8-bit RGB PNG with a gradient, so that every size gives different pixels."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)  # filter type None
        for x in range(width):
            rows += bytes(((x * 255) // max(width - 1, 1), (y * 255) // max(height - 1, 1), (x + y) % 256))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows)))
                  + chunk(b"IEND", b""))


def tool(*names):
    for name in names:
        found = shutil.which(name)
        if found:
            return found
    raise RuntimeError(f"{names[0]} is missing: run tools/install-deps.sh --tests")


def write_heic(path, width, height):
    png = str(path) + ".source.png"
    write_png(png, width, height)
    subprocess.run([tool("heif-enc"), "-q", "80", "-o", str(path), png], check=True, capture_output=True, timeout=60)
    os.remove(png)


def write_jpeg(path, width, height):
    png = str(path) + ".source.png"
    write_png(png, width, height)
    # The ImageMagick 6 name, not "convert", which may be shadowed on PATH by another tool.
    subprocess.run([tool("convert-im6.q16", "convert-im6"), png, "-quality", "90", str(path)], check=True,
                   capture_output=True, timeout=60)
    os.remove(png)


_START_OF_FRAME = {0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF}


def jpeg_size(path):
    """(width, height) of a whole JPEG file; raises ValueError when it is no complete JPEG."""
    with open(path, "rb") as source:
        data = source.read()
    if not data.startswith(b"\xff\xd8") or not data.rstrip(b"\x00").endswith(b"\xff\xd9"):
        raise ValueError(f"{path}: not a complete JPEG (start or end marker missing)")
    at = 2
    while at + 4 <= len(data):
        if data[at] != 0xFF:
            raise ValueError(f"{path}: broken marker at byte {at}")
        marker = data[at + 1]
        if marker == 0xFF:
            at += 1
            continue
        length = struct.unpack(">H", data[at + 2:at + 4])[0]
        if marker in _START_OF_FRAME:
            height, width = struct.unpack(">HH", data[at + 5:at + 9])
            return width, height
        at += 2 + length
    raise ValueError(f"{path}: no frame header")
