"""Broken, misleading and awkwardly named inputs and awkward places to write, given to the Windows
program under Wine among good inputs: the summary names each bad one with its message, the good
ones are converted, and nothing on disk changes but their JPEGs.

Wine has no HEIF codec, so every HEIC, broken or not, ends with the advice to install it; what Wine
can show is that no broken file crashes or hangs the program, leaves a JPEG behind or stops the
others. Good inputs here are JPEG files named .heic, which WIC decodes by their bytes.

Run through ctest (it sets the session up first):  python3 hostile_scenarios.py HostileInputTest
"""
import os
import struct
import tempfile
import unittest
from dataclasses import dataclass
from pathlib import Path

import images
import scenarios
from scenarios import (CODEC_MISSING, NOT_FOUND, PATH_ERROR, Box, Bytes, Folder, Jpeg, Link, Scenario,
                       ScenarioCase, Start)

WIDTH, HEIGHT = 40, 30


def _source_bytes():
    with tempfile.TemporaryDirectory() as scratch:
        heic = Path(scratch) / "source.heic"
        jpeg = Path(scratch) / "source.jpg"
        png = Path(scratch) / "source.png"
        images.write_heic(heic, 64, 48)
        images.write_jpeg(jpeg, WIDTH, HEIGHT)
        images.write_png(png, WIDTH, HEIGHT)
        return heic.read_bytes(), jpeg.read_bytes(), png.read_bytes()


HEIC, JPEG, PNG = _source_bytes()


def _box(data, kind):
    """(offset, size) of the first top-level box of this type."""
    at = 0
    while at + 8 <= len(data):
        size, = struct.unpack(">I", data[at:at + 4])
        if data[at + 4:at + 8] == kind:
            return at, size
        if size < 8:
            break
        at += size
    raise ValueError(f"no {kind!r} box")


def _declared_size(data, width, height):
    """Every ispe box of the meta box declares width x height."""
    meta, meta_size = _box(data, b"meta")
    out = bytearray(data)
    at = data.find(b"ispe", meta)
    while 0 <= at < meta + meta_size:
        out[at + 8:at + 16] = struct.pack(">II", width, height)
        at = data.find(b"ispe", at + 4)
    return bytes(out)


def _sequence_only(data):
    """The still image's boxes replaced by a movie box with one video track."""
    def box(kind, payload):
        return struct.pack(">I", 8 + len(payload)) + kind + payload
    handler = box(b"hdlr", bytes(8) + b"vide" + bytes(13))
    track = box(b"trak", box(b"tkhd", bytes(84)) + box(b"mdia", box(b"mdhd", bytes(24)) + handler))
    mdat, size = _box(data, b"mdat")
    return box(b"ftyp", b"msf1" + bytes(4) + b"msf1iso8hevc") + box(b"moov", box(b"mvhd", bytes(100)) + track) \
        + data[mdat:mdat + size]


def _patched(data, at, new):
    return data[:at] + new + data[at + len(new):]


@dataclass(frozen=True)
class ReadOnly:
    """An entry made like `what`, then given the read-only attribute (Wine reads it from the mode)."""
    what: object


_make = scenarios._make


def _make_read_only(path, what):
    if isinstance(what, ReadOnly):
        _make(path, what.what)
        os.chmod(path, 0o555 if path.is_dir() else 0o444)
    else:
        _make(path, what)


# The scenarios module makes its setup through this one function; read-only entries join it.
scenarios._make = _make_read_only


def _report(succeeded, failures):
    lines = "".join(f"- {name}: {message}\n" for name, message in failures)
    return f"성공: {succeeded}개\n실패: {len(failures)}개\n\n{lines}\n{{contact}}"


GOOD = {"good first.heic": Bytes(JPEG), "good last.heic": Bytes(JPEG)}
GOOD_OUT = {"good first.jpg": Jpeg(WIDTH, HEIGHT), "good last.jpg": Jpeg(WIDTH, HEIGHT)}
LONG = "/".join(letter * 70 for letter in "abcd")


class HostileInputTest(ScenarioCase):
    def test_broken_heic_among_good_inputs(self):
        meta, _ = _box(HEIC, b"meta")
        mdat, _ = _box(HEIC, b"mdat")
        broken = {
            "empty.heic": Bytes(b""),
            "cut-8.heic": Bytes(HEIC[:8]),
            "cut-meta.heic": Bytes(HEIC[:meta + 60]),
            "cut-mdat.heic": Bytes(HEIC[:mdat + 20]),
            "meta-size.heic": Bytes(_patched(HEIC, meta, b"\xff\xff\xff\xf0")),
            "sequence.heic": Bytes(_sequence_only(HEIC)),
            "huge.heic": Bytes(_declared_size(HEIC, 60000, 60000)),
            "notes.heif": Bytes(b"not a picture\n"),
        }
        self.run_scenarios([
            Scenario("broken heic", {**GOOD, **broken},
                     [Start(["good first.heic", *broken, "good last.heic"], 1,
                            [Box(_report(2, [(name, CODEC_MISSING) for name in broken]), "error")])],
                     new=GOOD_OUT),
        ])

    def test_misleading_and_awkward_names(self):
        setup = {
            **GOOD,
            "x.heic": Folder(),
            "png.heic": Bytes(PNG),
            "겨울 바다 사진.heic": Bytes(JPEG),
            f"{LONG}/long.heic": Bytes(JPEG),
            "sub/rel.heic": Bytes(JPEG),
            "twice.heic": Bytes(JPEG),
        }
        args = ["good first.heic", "{dir}\\x.heic", "png.heic", "{dir}\\겨울 바다 사진.heic",
                "{dir}\\" + LONG.replace("/", "\\") + "\\long.heic", "sub\\..\\sub\\rel.heic",
                "twice.heic", "{dir}\\twice.heic", "good last.heic"]
        self.run_scenarios([
            Scenario("misleading and awkward names", setup,
                     [Start(args, 1, [Box(_report(8, [("x.heic", NOT_FOUND)]), "error")])],
                     new={**GOOD_OUT, "png.jpg": Jpeg(WIDTH, HEIGHT), "겨울 바다 사진.jpg": Jpeg(WIDTH, HEIGHT),
                          f"{LONG}/long.jpg": Jpeg(WIDTH, HEIGHT), "sub/rel.jpg": Jpeg(WIDTH, HEIGHT),
                          "twice.jpg": Jpeg(WIDTH, HEIGHT), "twice (1).jpg": Jpeg(WIDTH, HEIGHT)}),
        ])


class HostileOutputTest(ScenarioCase):
    def test_awkward_places_to_write(self):
        old = Bytes(b"an older file, not to be touched")
        self.run_scenarios([
            # Root on Linux writes through any folder's mode, and a folder's read-only attribute does
            # not stop Windows from creating files in it; a path through a file is the folder that
            # cannot be made.
            Scenario("output folder below a file", {**GOOD, "target": old},
                     [Start(["--output-dir", "{dir}\\target\\out", "good first.heic", "good last.heic"], 1,
                            [Box(_report(0, [("good first.heic", PATH_ERROR), ("good last.heic", PATH_ERROR)]),
                                 "error")])]),
            Scenario("read-only output kept without --overwrite", {**GOOD, "good first.jpg": ReadOnly(old)},
                     [Start(["good first.heic", "good last.heic"], 0, [Box("2개 파일 변환 완료", "information")])],
                     new={"good first (1).jpg": Jpeg(WIDTH, HEIGHT), "good last.jpg": Jpeg(WIDTH, HEIGHT)}),
            Scenario("read-only output replaced with --overwrite", {**GOOD, "good first.jpg": ReadOnly(old)},
                     [Start(["--overwrite", "good first.heic", "good last.heic"], 0,
                            [Box("2개 파일 변환 완료", "information")])],
                     new={"good last.jpg": Jpeg(WIDTH, HEIGHT)}, replaced={"good first.jpg": Jpeg(WIDTH, HEIGHT)}),
            Scenario("folder named like the output", {**GOOD, "good first.jpg/inside.txt": old},
                     [Start(["good first.heic", "good last.heic"], 0, [Box("2개 파일 변환 완료", "information")])],
                     new={"good first (1).jpg": Jpeg(WIDTH, HEIGHT), "good last.jpg": Jpeg(WIDTH, HEIGHT)}),
            # A link at the JPEG's name takes the name, even when it leads nowhere. Wine hides such
            # a link from every query and from removal, though not from an exclusive creation, so
            # --overwrite cannot replace it here: the next free number is taken, and nothing is
            # ever made through the link.
            Scenario("dangling link named like the output",
                     {**GOOD, "victim": Folder(), "good first.jpg": Link("victim/planted.jpg")},
                     [Start(["good first.heic", "good last.heic"], 0, [Box("2개 파일 변환 완료", "information")])],
                     new={"good first (1).jpg": Jpeg(WIDTH, HEIGHT), "good last.jpg": Jpeg(WIDTH, HEIGHT)}),
            Scenario("dangling link named like the output, with --overwrite",
                     {**GOOD, "victim": Folder(), "good first.jpg": Link("victim/planted.jpg")},
                     [Start(["--overwrite", "good first.heic", "good last.heic"], 0,
                            [Box("2개 파일 변환 완료", "information")])],
                     new={"good first (1).jpg": Jpeg(WIDTH, HEIGHT), "good last.jpg": Jpeg(WIDTH, HEIGHT)}),
            Scenario("read-only input with --overwrite", {"photo.heic": ReadOnly(Bytes(JPEG))},
                     [Start(["--overwrite", "photo.heic", "photo.heic"], 0, [Box("2개 파일 변환 완료", "information")])],
                     new={"photo.jpg": Jpeg(WIDTH, HEIGHT)}),
        ])


if __name__ == "__main__":
    unittest.main(verbosity=2)
