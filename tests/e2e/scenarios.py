"""The Windows program under Wine, run as a user runs it: every box read from the real window and
answered, the open-file dialog driven, the exit code and every file of the folder checked.

Run through ctest (it sets the session up first):  python3 scenarios.py CommandLineTest
"""
import hashlib
import os
import shutil
import unittest
from dataclasses import dataclass, field
from pathlib import Path

import harness
import images

INVALID = "명령줄 인수가 올바르지 않습니다."
NO_WIC = "Windows 이미지 기능을 사용할 수 없습니다."
NOT_FOUND = "파일을 찾을 수 없습니다."
NOT_HEIF = "HEIC 또는 HEIF 파일이 아닙니다."
PATH_ERROR = "파일 경로를 읽거나 쓸 수 없습니다."
CODEC_MISSING = "HEIC 파일을 읽을 수 없습니다. Microsoft Store의 HEIF 이미지 확장이 설치되어 있는지 확인하세요."
CONTACT = r"문의: ORVIK 전략팀 · [A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,}"

# Without windowscodecs.dll the imaging factory cannot be created.
NO_IMAGING = {"WINEDLLOVERRIDES": "mscoree,mshtml,windowscodecs="}


@dataclass(frozen=True)
class Png:
    width: int
    height: int


@dataclass(frozen=True)
class Heic:
    width: int
    height: int


@dataclass(frozen=True)
class Jpeg:
    width: int
    height: int


@dataclass(frozen=True)
class Bytes:
    data: bytes


@dataclass(frozen=True)
class Folder:
    pass


@dataclass(frozen=True)
class Link:
    """A symbolic link, which Wine shows to the program under its own name."""
    target: str


@dataclass
class Box:
    """A message box as the user must see it. In `text`, {dir} stands for the scenario's folder
    as the program names it; a final {contact} for the contact line."""
    text: str
    icon: str
    shot: str = ""


@dataclass
class Start:
    args: list
    code: int
    boxes: list = field(default_factory=list)
    dialog: str = None  # names to type into the open-file dialog; "" cancels it
    dialog_shot: str = ""
    env: dict = None


@dataclass
class Scenario:
    name: str
    setup: dict
    starts: list
    new: dict = field(default_factory=dict)  # path -> Jpeg (size of the written JPEG) or Folder()
    replaced: dict = field(default_factory=dict)  # path -> Jpeg
    removed: set = field(default_factory=set)


def _make(path, what):
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(what, Png):
        images.write_png(path, what.width, what.height)
    elif isinstance(what, Heic):
        images.write_heic(path, what.width, what.height)
    elif isinstance(what, Jpeg):
        images.write_jpeg(path, what.width, what.height)
    elif isinstance(what, Bytes):
        path.write_bytes(what.data)
    elif isinstance(what, Folder):
        path.mkdir(exist_ok=True)
    elif isinstance(what, Link):
        path.symlink_to(what.target)
    else:
        raise TypeError(what)


def _snapshot(folder):
    entries = {}
    for path in sorted(folder.rglob("*")):
        key = path.relative_to(folder).as_posix()
        if path.is_symlink():
            entries[key] = "link to " + os.readlink(path)
        else:
            entries[key] = "folder" if path.is_dir() else hashlib.sha256(path.read_bytes()).hexdigest()
    return entries


def _cut_jpeg():
    whole = harness.WORK / "whole.jpg"
    whole.parent.mkdir(parents=True, exist_ok=True)
    images.write_jpeg(whole, 200, 150)
    data = whole.read_bytes()
    whole.unlink()
    return data[:len(data) // 2]


class ScenarioCase(unittest.TestCase):
    maxDiff = None
    program = None  # another copy of the program to start instead of HEIC_E2E_PROGRAM

    def run_scenarios(self, scenarios):
        group = harness.WORK / type(self).__name__
        shutil.rmtree(group, ignore_errors=True)
        for scenario in scenarios:
            with self.subTest(scenario.name):
                self.run_scenario(group / scenario.name, scenario)

    def run_scenario(self, folder, scenario):
        folder.mkdir(parents=True)
        for relative, what in scenario.setup.items():
            _make(folder / relative, what)
        before = _snapshot(folder)
        driver = harness.Driver(folder.parent)
        for number, start in enumerate(scenario.starts, 1):
            self.run_start(folder, start, driver, f"start {number} {start.args}")
        self.after_starts()

        after = _snapshot(folder)
        expected = (set(before) - scenario.removed) | set(scenario.new)
        self.assertEqual(sorted(after), sorted(expected), "entries of the folder")
        for relative, digest in before.items():
            if relative not in scenario.removed and relative not in scenario.replaced:
                self.assertEqual(after[relative], digest, f"{relative} must stay as it was")
        for relative, what in {**scenario.new, **scenario.replaced}.items():
            if isinstance(what, Folder):
                self.assertEqual(after[relative], "folder", relative)
            else:
                self.assertEqual(images.jpeg_size(folder / relative), (what.width, what.height), relative)
        for relative in scenario.replaced:
            self.assertNotEqual(after[relative], before[relative], f"{relative} must be replaced")

    def after_starts(self):
        """What a scenario's setup left running ends here, before the folder is read again."""

    def run_start(self, folder, start, driver, label):
        args = [arg.replace("{dir}", harness.windows_path(folder)) for arg in start.args]
        run = harness.Run(args, folder, start.env, self.program)
        try:
            if start.dialog is not None:
                self.answer_dialog(folder, start, driver, label, run)
            for box in start.boxes:
                self.answer_box(folder, box, driver, label, run)
        finally:
            # Whatever failed above, the program ends here, so that no box of it meets the next start.
            code = run.exit_code(driver)
        self.assertEqual(run.left_open, [], f"{label}: windows nobody expected")
        self.assertEqual(code, start.code, f"{label}: exit code")

    def expect_window(self, seen, event, run, driver, label, what):
        if seen["event"] != event:
            self.fail(f"{label}: expected {what}, the driver reported {seen}" +
                      harness.missing_window(run, driver, label))

    def answer_box(self, folder, box, driver, label, run):
        what = f"the box {box.text!r}"
        if box.shot:
            self.expect_window(driver.box(keep=True), "box", run, driver, label, what)
            harness.screenshot(box.shot)
        seen = driver.box()
        self.expect_window(seen, "box", run, driver, label, what)
        self.assertEqual(seen["caption"], harness.CAPTION, label)
        self.check_text(seen["text"], box.text.replace("{dir}", harness.windows_path(folder)), label)
        self.assertEqual(seen["icon"], box.icon, f"{label}: icon of {seen['text']!r}")
        self.assertEqual([button["id"] for button in seen["buttons"]], [1], f"{label}: OK alone")
        self.assertFalse(seen["owned"], f"{label}: a box without owner")
        self.assertFalse(seen["topmost"], label)
        self.assertTrue(seen["closed"], f"{label}: OK closes the box")

    def check_text(self, seen, expected, label):
        if not expected.endswith("{contact}"):
            self.assertEqual(seen, expected, f"{label}: text of the box")
            return
        # The contact line ends the text; its address is the program's own choice.
        head, _, last = seen.rpartition("\n")
        self.assertEqual(head + "\n", expected[:-len("{contact}")], f"{label}: text of the box")
        self.assertRegex(last, f"^{CONTACT}$", f"{label}: contact line")

    def answer_dialog(self, folder, start, driver, label, run):
        what = "the open-file dialog"
        if start.dialog_shot:
            self.expect_window(driver.open_files("", "", keep=True), "dialog", run, driver, label, what)
            harness.screenshot(start.dialog_shot)
        if start.dialog == "":
            seen = driver.cancel()
        else:
            seen = driver.open_files(harness.windows_path(folder), start.dialog)
        self.expect_window(seen, "dialog", run, driver, label, what)
        self.assertEqual(seen["caption"], harness.DIALOG_TITLE, label)
        self.assertEqual([item["text"] for item in seen["filters"]],
                         ["HEIC/HEIF 이미지 (*.heic;*.heif)", "모든 파일 (*.*)"], label)
        self.assertEqual(seen["filter_selected"], 0, f"{label}: the first filter is chosen")
        self.assertEqual(seen["file_name"], "", f"{label}: no file name proposed")
        self.assertFalse(seen["owned"], label)
        self.assertTrue(seen["closed"], f"{label}: the dialog closes when answered")


class CommandLineTest(ScenarioCase):
    """Every exit code the program can reach under Wine, and which boxes may appear on the way."""

    def test_exit_codes(self):
        photo = {"a.png": Png(40, 30), "b.heic": Heic(64, 48)}
        refused = [["--bogus"], ["--quiet", "--unknown", "a.png"], ["--quality"], ["--output-dir"],
                   ["--quality", "abc", "b.heic"], ["-", "b.heic"], ["--Quiet", "--self-test", "a.png"],
                   ["--quality=80", "b.heic"]]
        scenarios = [
            Scenario(f"refused {i}", photo, [Start(args, 2, [Box(INVALID, "error", "refused_command_line" if i == 0
                                                                  else "")])])
            for i, args in enumerate(refused)
        ]
        scenarios += [
            Scenario("no input, no dialog", photo, [Start(["--no-gui"], 2)]),
            Scenario("no input, no dialog, quiet", photo, [Start(["--no-gui", "--quiet", "--self-test"], 2)]),
            Scenario("quiet success", photo, [Start(["--quiet", "--self-test", "a.png"], 0)],
                     new={"a.jpg": Jpeg(40, 30)}),
            Scenario("quiet failure", photo, [Start(["--quiet", "missing.heic", "b.heic"], 1)]),
            Scenario("no dialog but an input", photo,
                     [Start(["--no-gui", "--self-test", "a.png"], 0, [Box("변환 완료:\n{dir}\\a.jpg", "information")])],
                     new={"a.jpg": Jpeg(40, 30)}),
            Scenario("imaging unavailable", photo,
                     [Start(["--self-test", "a.png"], 2, [Box(NO_WIC, "error", "imaging_unavailable")], env=NO_IMAGING)]),
            Scenario("imaging unavailable, quiet", photo,
                     [Start(["--quiet", "--self-test", "a.png"], 2, env=NO_IMAGING)]),
            Scenario("imaging unavailable before any dialog", photo, [Start([], 2, [Box(NO_WIC, "error")],
                                                                            env=NO_IMAGING)]),
            Scenario("dialog cancelled", photo, [Start(["--self-test"], 0, dialog="")]),
        ]
        self.run_scenarios(scenarios)


class ConversionTest(ScenarioCase):
    """Real conversions through Wine's own imaging component, and the summary the user reads."""

    def test_conversions(self):
        scenarios = [
            Scenario("one relative input", {"a.png": Png(37, 23)},
                     [Start(["--self-test", "a.png"], 0, [Box("변환 완료:\n{dir}\\a.jpg", "information", "one_success")])],
                     new={"a.jpg": Jpeg(37, 23)}),
            Scenario("korean name given whole", {"사진 1.png": Png(16, 64)},
                     [Start(["--self-test", "{dir}\\사진 1.png"], 0, [Box("변환 완료:\n{dir}\\사진 1.jpg", "information")])],
                     new={"사진 1.jpg": Jpeg(16, 64)}),
            Scenario("several", {"a.png": Png(20, 10), "b.png": Png(10, 20), "c.png": Png(33, 33)},
                     [Start(["--self-test", "a.png", "b.png", "c.png"], 0, [Box("3개 파일 변환 완료", "information")])],
                     new={"a.jpg": Jpeg(20, 10), "b.jpg": Jpeg(10, 20), "c.jpg": Jpeg(33, 33)}),
            Scenario("output folder made", {"a.png": Png(30, 20)},
                     [Start(["--self-test", "--output-dir", "{dir}\\out\\deeper", "a.png"], 0,
                            [Box("변환 완료:\n{dir}\\out\\deeper\\a.jpg", "information")])],
                     new={"out": Folder(), "out/deeper": Folder(), "out/deeper/a.jpg": Jpeg(30, 20)}),
            Scenario("second run numbers its name", {"a.png": Png(30, 20)},
                     [Start(["--self-test", "a.png"], 0, [Box("변환 완료:\n{dir}\\a.jpg", "information")]),
                      Start(["--self-test", "a.png"], 0, [Box("변환 완료:\n{dir}\\a (1).jpg", "information")]),
                      Start(["--self-test", "a.png"], 0, [Box("변환 완료:\n{dir}\\a (2).jpg", "information")])],
                     new={"a.jpg": Jpeg(30, 20), "a (1).jpg": Jpeg(30, 20), "a (2).jpg": Jpeg(30, 20)}),
            Scenario("first free number wins", {"a.png": Png(30, 20), "a.jpg": Bytes(b"x"), "a (2).jpg": Bytes(b"y")},
                     [Start(["--self-test", "a.png"], 0, [Box("변환 완료:\n{dir}\\a (1).jpg", "information")])],
                     new={"a (1).jpg": Jpeg(30, 20)}),
            Scenario("overwrite replaces", {"a.png": Png(30, 20), "a.jpg": Bytes(b"an older picture")},
                     [Start(["--self-test", "--overwrite", "a.png"], 0, [Box("변환 완료:\n{dir}\\a.jpg", "information")])],
                     replaced={"a.jpg": Jpeg(30, 20)}),
            Scenario("same input twice", {"a.png": Png(12, 34)},
                     [Start(["--self-test", "a.png", "a.png"], 0, [Box("2개 파일 변환 완료", "information")])],
                     new={"a.jpg": Jpeg(12, 34), "a (1).jpg": Jpeg(12, 34)}),
            # A JPEG converted in its own folder with --overwrite would be its own output: it must
            # survive byte for byte and the result take the next free name, in any letter case.
            Scenario("input is its own output", {"x.jpg": Jpeg(24, 18)},
                     [Start(["--self-test", "--overwrite", "x.jpg"], 0,
                            [Box("변환 완료:\n{dir}\\x (1).jpg", "information")])],
                     new={"x (1).jpg": Jpeg(24, 18)}),
            Scenario("input is its own output, upper case", {"X.JPG": Jpeg(24, 18)},
                     [Start(["--self-test", "--overwrite", "X.JPG"], 0,
                            [Box("변환 완료:\n{dir}\\X (1).jpg", "information")])],
                     new={"X (1).jpg": Jpeg(24, 18)}),
            Scenario("heic without the system codec", {"photo.heic": Heic(64, 48)},
                     [Start(["photo.heic"], 1, [Box(f"성공: 0개\n실패: 1개\n\n- photo.heic: {CODEC_MISSING}\n\n{{contact}}",
                                                    "error", "one_failure")])]),
            Scenario("heic failure still makes the folder", {"photo.heic": Heic(64, 48)},
                     [Start(["--output-dir", "out", "photo.heic"], 1,
                            [Box(f"성공: 0개\n실패: 1개\n\n- photo.heic: {CODEC_MISSING}\n\n{{contact}}", "error")])],
                     new={"out": Folder()}),
            Scenario("overwrite removes the old output before decoding",
                     {"photo.heic": Heic(64, 48), "photo.jpg": Bytes(b"older")},
                     [Start(["--overwrite", "photo.heic"], 1,
                            [Box(f"성공: 0개\n실패: 1개\n\n- photo.heic: {CODEC_MISSING}\n\n{{contact}}", "error")])],
                     removed={"photo.jpg"}),
            Scenario("missing, folder and wrong kind among good ones",
                     {"a.png": Png(30, 20), "album.heic": Folder(), "notes.txt": Bytes(b"hello"),
                      "sub/b.png": Png(20, 30)},
                     [Start(["a.png", "--self-test", "missing.heic", "album.heic", "notes.txt", "sub\\b.png"], 1,
                            [Box(f"성공: 2개\n실패: 3개\n\n- missing.heic: {NOT_FOUND}\n- album.heic: {NOT_FOUND}\n"
                                 f"- notes.txt: {CODEC_MISSING}\n\n{{contact}}", "error")])],
                     new={"a.jpg": Jpeg(30, 20), "sub/b.jpg": Jpeg(20, 30)}),
            Scenario("not heic without self-test", {"a.png": Png(30, 20), "photo.heic.jpg": Jpeg(8, 8)},
                     [Start(["a.png", "{dir}\\photo.heic.jpg"], 1,
                            [Box(f"성공: 0개\n실패: 2개\n\n- a.png: {NOT_HEIF}\n- photo.heic.jpg: {NOT_HEIF}\n\n{{contact}}",
                                 "error")])]),
            # Wine's JPEG decoder refuses a cut-off file; the message is the system's own text for
            # E_FAIL, without the line break the system ends it with.
            Scenario("broken picture with self-test", {"cut.jpg": Bytes(_cut_jpeg())},
                     [Start(["--self-test", "cut.jpg"], 1,
                            [Box("성공: 0개\n실패: 1개\n\n- cut.jpg: Call failed.\n\n{contact}", "error")])]),
            Scenario("nine failures, eight named", {"z.png": Png(8, 8)},
                     [Start(["--self-test", "z.png"] + [f"m{i}.heic" for i in range(1, 10)], 1,
                            [Box("성공: 1개\n실패: 9개\n\n" + "".join(f"- m{i}.heic: {NOT_FOUND}\n" for i in range(1, 9))
                                 + "...외 1개\n\n{contact}", "error")])],
                     new={"z.jpg": Jpeg(8, 8)}),
            Scenario("output folder is a file", {"a.png": Png(30, 20), "out": Bytes(b"a file")},
                     [Start(["--self-test", "--output-dir", "out", "a.png", "a.png"], 1,
                            [Box(f"성공: 0개\n실패: 2개\n\n- a.png: {PATH_ERROR}\n- a.png: {PATH_ERROR}\n\n{{contact}}",
                                 "error")])]),
            Scenario("overwrite cannot remove a full folder", {"a.png": Png(30, 20), "a.jpg/keep.txt": Bytes(b"k")},
                     [Start(["--self-test", "--overwrite", "a.png"], 1,
                            [Box(f"성공: 0개\n실패: 1개\n\n- a.png: {PATH_ERROR}\n\n{{contact}}", "error")])]),
        ]
        self.run_scenarios(scenarios)


class FileDialogTest(ScenarioCase):
    """The open-file dialog, driven for real when no input is named."""

    def test_two_files_chosen(self):
        self.run_scenarios([
            Scenario("two files", {"a.png": Png(30, 20), "b.png": Png(20, 30), "c.png": Png(9, 9)},
                     [Start(["--self-test"], 0, [Box("2개 파일 변환 완료", "information", "several_successes")],
                            dialog='"a.png" "b.png"', dialog_shot="file_dialog")],
                     new={"a.jpg": Jpeg(30, 20), "b.jpg": Jpeg(20, 30)}),
            Scenario("one file", {"a.png": Png(30, 20)},
                     [Start(["--self-test"], 0, [Box("변환 완료:\n{dir}\\a.jpg", "information")], dialog="a.png")],
                     new={"a.jpg": Jpeg(30, 20)}),
        ])


if __name__ == "__main__":
    unittest.main(verbosity=2)
