"""Broken, misleading and awkwardly named inputs and awkward places to write, given to the Windows
program under Wine among good inputs: the summary names each bad one with its message, the good
ones are converted, and nothing on disk changes but their JPEGs.

Wine has no HEIF codec, so every HEIC, broken or not, ends with the advice to install it; what Wine
can show is that no broken file crashes or hangs the program, leaves a JPEG behind or stops the
others. Good inputs here are JPEG files named .heic, which WIC decodes by their bytes.

Run through ctest (it sets the session up first):  python3 hostile_scenarios.py HostileInputTest
"""
import json
import os
import struct
import subprocess
import tempfile
import unittest
from dataclasses import dataclass
from pathlib import Path

import harness
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


@dataclass(frozen=True)
class Held:
    """A file made like `what` that another program (a viewer, the search indexer) holds open with
    every sharing allowed until the starts are over."""
    what: object


class Holder:
    """Our driver holding one file, in a Wine process of its own."""
    running = []

    def __init__(self, path):
        self.release = harness.WORK / f"release-{len(Holder.running)}-{os.getpid()}"
        self.release.unlink(missing_ok=True)
        self.process = subprocess.Popen(
            [harness._setting("HEIC_E2E_WINE_RUN"), harness._setting("HEIC_E2E_DRIVER"), "holdfile",
             "--path", harness.windows_path(path), "--until", harness.windows_path(self.release),
             "--timeout-ms", "120000"],
            env=harness.wine_env(harness.display()), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL)
        answer = json.loads(self.process.stdout.readline() or "{}")
        if answer.get("event") != "holding":
            raise RuntimeError(f"the holder of {path} answered {answer}")
        Holder.running.append(self)

    @classmethod
    def release_all(cls):
        for holder in cls.running:
            holder.release.write_text("let go")
        for holder in cls.running:
            holder.process.communicate(timeout=60)
            holder.release.unlink()
        cls.running = []


_make = scenarios._make


def _make_special(path, what):
    if isinstance(what, ReadOnly):
        _make(path, what.what)
        os.chmod(path, 0o555 if path.is_dir() else 0o444)
    elif isinstance(what, Held):
        _make(path, what.what)
        Holder(path)
    else:
        _make(path, what)


# The scenarios module makes its setup through this one function; read-only and held entries
# join it.
scenarios._make = _make_special


def _short_name(long_name):
    """The short (8.3) name Wine gives a file of this long name; it depends on the name alone."""
    scratch = harness.WORK / "short-names"
    scratch.mkdir(parents=True, exist_ok=True)
    (scratch / long_name).write_bytes(b"")
    answer = harness.Driver(scratch)._call("shortname", "--path", harness.windows_path(scratch / long_name))
    return answer[-1]["name"].rsplit("\\", 1)[-1]


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
    def after_starts(self):
        Holder.release_all()

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

    def test_names_windows_reads_its_own_way(self):
        old = Bytes(b"an older file, not to be touched")
        # The JPEG's name may be the short name of another file; that file is never removed.
        alias = _short_name("photograph of the harbour.jpg").rsplit(".", 1)[0]
        self.run_scenarios([
            Scenario("short name of another file with --overwrite",
                     {"photograph of the harbour.jpg": old, f"{alias}.heic": Bytes(JPEG)},
                     [Start(["--overwrite", f"{alias}.heic"], 0,
                            [Box(f"변환 완료:\n{{dir}}\\{alias} (1).jpg", "information")])],
                     new={f"{alias} (1).jpg": Jpeg(WIDTH, HEIGHT)}),
            # The old JPEG held by a viewer: replaced at once, and the new one stays once it lets go.
            Scenario("old output held open with --overwrite", {**GOOD, "good first.jpg": Held(old)},
                     [Start(["--overwrite", "good first.heic", "good last.heic"], 0,
                            [Box("2개 파일 변환 완료", "information")])],
                     new={"good last.jpg": Jpeg(WIDTH, HEIGHT)}, replaced={"good first.jpg": Jpeg(WIDTH, HEIGHT)}),
            # Device names are files here, typed as they are or in the \\?\ form.
            Scenario("photos named like devices",
                     {"aux.heic": Bytes(JPEG), "nul.heic": Bytes(JPEG)},
                     [Start(["aux.heic"], 0, [Box("변환 완료:\n{dir}\\aux.jpg", "information")]),
                      Start(["--output-dir", "{dir}\\out", "\\\\?\\{dir}\\nul.heic"], 0,
                            [Box("변환 완료:\n{dir}\\out\\nul.jpg", "information")])],
                     new={"aux.jpg": Jpeg(WIDTH, HEIGHT), "out": Folder(), "out/nul.jpg": Jpeg(WIDTH, HEIGHT)}),
            # A batch file's "set OUT=...\out\ " slip: Windows makes every level without its
            # trailing spaces and dots, and the JPEG goes into the folder that was made.
            *(Scenario(f"output folder typed as [{typed.replace(chr(92), '+')}]", GOOD,
                       [Start(["--output-dir", "{dir}\\" + typed, "good first.heic"], 0,
                              [Box(f"변환 완료:\n{{dir}}\\{made}\\good first.jpg", "information")])],
                       new={"out": Folder(), **({"out/sub": Folder()} if made != "out" else {}),
                            made.replace("\\", "/") + "/good first.jpg": Jpeg(WIDTH, HEIGHT)})
              for typed, made in [("out ", "out"), ("out\\ ", "out"), ("out \\", "out"),
                                  ("out. \\", "out"), ("out \\sub", "out\\sub")]),
        ])


if __name__ == "__main__":
    unittest.main(verbosity=2)
