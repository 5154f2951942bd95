#!/usr/bin/env python3
"""Runs ./convert.sh as a newcomer would: no argument, --help, and a command line of its own.

HEIC_WRAPPER_BUILD_DIR names a build folder that is already configured and built (CTest passes its
own); the wrapper must reuse it as it is, without configuring again or rebuilding.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from images import jpeg_size  # noqa: E402  (the end-to-end tests' reader of a JPEG's size)

WRAPPER = os.path.join(ROOT, "convert.sh")
SAMPLE = os.path.join(ROOT, "samples", "sample.heic")
TIMEOUT = 540  # a stale build folder is rebuilt first


def heic_size(path):
    """Width and height from the first image spatial extents property."""
    with open(path, "rb") as file:
        data = file.read()
    at = data.index(b"ispe") + 8  # after the type and the version and flags
    return struct.unpack(">II", data[at:at + 8])


class ConvertShTest(unittest.TestCase):
    def setUp(self):
        self.build = os.path.abspath(os.environ["HEIC_WRAPPER_BUILD_DIR"])
        self.temp = tempfile.mkdtemp(prefix="convert_sh_")
        self.addCleanup(shutil.rmtree, self.temp)

    def run_wrapper(self, *arguments, build=None):
        env = dict(os.environ, HEIC_BUILD_DIR=build or self.build)
        # From another folder: the wrapper must find its own files.
        return subprocess.run([WRAPPER, *arguments], cwd=self.temp, env=env, capture_output=True,
                              text=True, timeout=TIMEOUT)

    def stamps(self):
        with open(os.path.join(self.build, "CMakeCache.txt"), "rb") as file:
            cache = file.read()
        return cache, os.stat(os.path.join(self.build, "heic-to-jpeg")).st_mtime_ns

    def test_no_argument_converts_the_sample_to_the_same_place_every_time(self):
        sample_folder = os.path.join(self.build, "sample")
        shutil.rmtree(sample_folder, ignore_errors=True)
        cache_before, _ = self.stamps()

        printed = []
        for _ in range(2):
            run = self.run_wrapper()
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertIn("변환 완료:\n", run.stdout)
            lines = [line for line in run.stdout.splitlines() if line.startswith("Sample converted: ")]
            self.assertEqual(len(lines), 1, run.stdout)
            printed.append(lines[0].removeprefix("Sample converted: "))
            if len(printed) == 1:
                cache_first, program_first = self.stamps()

        path = printed[0]
        self.assertEqual(printed[1], path)
        self.assertTrue(os.path.isabs(path), path)
        self.assertEqual(jpeg_size(path), heic_size(SAMPLE))
        self.assertEqual(os.listdir(sample_folder), ["sample.jpg"])
        # The folder's cache (tests on or off) is left as it was, and an up-to-date program alone.
        self.assertEqual(cache_first, cache_before)
        self.assertEqual(self.stamps(), (cache_before, program_first))

    def test_help_lists_the_options_and_builds_nothing(self):
        untouched = os.path.join(self.temp, "no-build")
        for flag in ("--help", "-h"):
            run = self.run_wrapper(flag, build=untouched)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(run.stderr, "")
            for option in ("--output-dir DIR", "--quality N", "--overwrite", "--quiet", "--self-test"):
                self.assertIn(option, run.stdout)
            self.assertFalse(os.path.exists(untouched))

    def test_other_command_lines_reach_the_program_unchanged(self):
        run = self.run_wrapper("--quiet", "--help")
        self.assertEqual((run.returncode, run.stdout), (2, ""))
        self.assertEqual(run.stderr, "명령줄 인수가 올바르지 않습니다.\n")

        # Options without an input: --no-gui still implied, so no sample either.
        run = self.run_wrapper("--quiet")
        self.assertEqual((run.returncode, run.stdout, run.stderr), (2, "", ""))

        output = os.path.join(self.temp, "out")
        run = self.run_wrapper("--quiet", "--output-dir", output, SAMPLE)
        self.assertEqual((run.returncode, run.stdout), (0, ""), run.stderr)
        self.assertEqual(jpeg_size(os.path.join(output, "sample.jpg")), heic_size(SAMPLE))


if __name__ == "__main__":
    unittest.main()
