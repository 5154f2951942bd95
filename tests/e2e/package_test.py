"""The release package as a user gets it: the zip and its checksum, unpacked into a folder whose path
holds a space and Korean letters, the texts as Notepad reads them, and the program run from there.

Run through ctest (it makes the package and sets the session up first):  python3 package_test.py
"""
import hashlib
import os
import shutil
import struct
import unittest
import zipfile
from pathlib import Path

import harness
import pe_resources as pe
import scenarios
from scenarios import Box, Jpeg, Png, Scenario, Start

BOM = b"\xef\xbb\xbf"
GUIDE = "사용설명서.txt"
NOTICES = "THIRD-PARTY-NOTICES.txt"
PROGRAM = "heic-to-jpeg.exe"
UTF8_NAMES = 0x800  # general purpose flag: the entry's name is UTF-8, not the OEM code page


def read_for_notepad(test, path):
    """The text of a file written for Notepad: UTF-8 after one byte-order mark, CRLF line ends."""
    data = path.read_bytes()
    test.assertTrue(data.startswith(BOM), f"{path.name} starts with the UTF-8 byte-order mark")
    body = data[len(BOM):]
    test.assertFalse(body.startswith(BOM), f"{path.name}: one byte-order mark")
    test.assertEqual(body.count(b"\n"), body.count(b"\r\n"), f"{path.name}: every LF follows a CR")
    test.assertEqual(body.count(b"\r"), body.count(b"\r\n"), f"{path.name}: no CR alone")
    return body.decode("utf-8").replace("\r\n", "\n")


class PackageTest(scenarios.ScenarioCase):

    @classmethod
    def setUpClass(cls):
        version = os.environ["HEIC_E2E_VERSION"].split(".")
        cls.top = "heic-to-jpeg-" + ".".join(version[:3])
        packages = Path(os.environ["HEIC_E2E_PACKAGES"])
        cls.zip = packages / f"{cls.top}-win64.zip"
        cls.msi = packages / f"{cls.top}-win64.msi"
        cls.machine_msi = packages / f"{cls.top}-win64-machine.msi"
        cls.sums = packages / "SHA256SUMS"
        with zipfile.ZipFile(cls.zip) as archive:
            cls.entries = archive.infolist()
            cls.unpacked = harness.ROOT / "배포 테스트"
            shutil.rmtree(cls.unpacked, ignore_errors=True)
            archive.extractall(cls.unpacked)
        cls.folder = cls.unpacked / cls.top
        cls.program = cls.folder / PROGRAM

    def test_checksums_name_the_zip_and_the_installers(self):
        expected = "".join(f"{hashlib.sha256(path.read_bytes()).hexdigest()}  {path.name}\n"
                           for path in (self.zip, self.msi, self.machine_msi))
        self.assertEqual(self.sums.read_text(encoding="ascii"), expected)

    def test_one_folder_with_three_files(self):
        files = sorted(entry.filename for entry in self.entries if not entry.is_dir())
        self.assertEqual(files, sorted(f"{self.top}/{name}" for name in (PROGRAM, GUIDE, NOTICES)))
        self.assertLessEqual({entry.filename for entry in self.entries if entry.is_dir()}, {f"{self.top}/"})
        for entry in self.entries:
            if not entry.filename.isascii():
                self.assertTrue(entry.flag_bits & UTF8_NAMES, f"{entry.filename}: name marked as UTF-8")
        unpacked = sorted(path.relative_to(self.unpacked).as_posix() for path in self.unpacked.rglob("*"))
        self.assertEqual(unpacked, [self.top] + files)

    def test_guide_is_the_docs_text_for_notepad(self):
        source = Path(os.environ["HEIC_E2E_GUIDE"]).read_bytes().decode("utf-8")
        self.assertIn("@VERSION@", source)
        expected = source.lstrip("\ufeff").replace("\r\n", "\n").replace("@VERSION@", self.top.rsplit("-", 1)[1])
        self.assertEqual(read_for_notepad(self, self.folder / GUIDE), expected)

    def test_notices_carry_the_runtime_licences(self):
        text = read_for_notepad(self, self.folder / NOTICES)
        # Phrases of the licence texts themselves, not of our headings.
        for phrase in ['This GCC Runtime Library Exception ("Exception") is an additional',
                       "mingw-w64-crt/", "mingw-w64-libraries/winpthreads/"]:
            self.assertIn(phrase, text)

    def test_program_is_stripped_with_its_resources(self):
        image = self.program.read_bytes()
        pe_offset = struct.unpack_from("<I", image, 0x3C)[0]
        symbol_table, symbols = struct.unpack_from("<II", image, pe_offset + 12)
        self.assertEqual((symbol_table, symbols), (0, 0), "no symbol table")
        built = pe.read_resources(os.environ["HEIC_E2E_PROGRAM"])
        self.assertEqual(pe.read_resources(self.program), built)

    def test_converts_from_the_unpacked_folder(self):
        self.run_scenarios([
            Scenario("from the package", {"여행 사진.png": Png(45, 28)},
                     [Start(["--self-test", "여행 사진.png"], 0, [Box("변환 완료:\n{dir}\\여행 사진.jpg", "information")])],
                     new={"여행 사진.jpg": Jpeg(45, 28)}),
        ])


if __name__ == "__main__":
    unittest.main(verbosity=2)
