"""Two instances of the Windows program at once under Wine, converting photos of the same names
into one folder, as a user who starts the program twice would: each photo must end up in a JPEG of
its own, and both exit codes must agree with what the folder holds.

Run through ctest (it sets the session up first):  python3 concurrent_runs.py
"""
import re
import shutil
import unittest
from collections import Counter

import harness
import images

# Many small photos: the more names the two instances meet at, the surer a lost photo shows.
PHOTOS = 100
LONG, SHORT = 100, 60


class ConcurrentRunsTest(unittest.TestCase):
    def test_two_instances_into_one_folder(self):
        folder = harness.WORK / type(self).__name__
        shutil.rmtree(folder, ignore_errors=True)
        out = folder / "out"
        # Photo n of the first instance is (100 + n) x 60, of the second 60 x (100 + n): each JPEG
        # tells which photo it came from.
        sources = {"first": lambda side: (side, SHORT), "second": lambda side: (SHORT, side)}
        runs = []
        for name, size in sources.items():
            source = folder / name
            source.mkdir(parents=True)
            args = ["--quiet", "--self-test", "--output-dir", harness.windows_path(out)]
            for number in range(1, PHOTOS + 1):
                photo = source / f"p{number:03}.png"
                images.write_png(photo, *size(LONG + number))
                args.append(harness.windows_path(photo))
            runs.append(args)

        driver = harness.Driver(folder)
        started = [harness.Run(args, folder / name) for args, name in zip(runs, sources)]
        codes = [run.exit_code(driver) for run in started]
        self.assertEqual(codes, [0, 0], "both instances report every photo converted")
        self.assertEqual([run.left_open for run in started], [[], []])

        found = Counter()
        for jpeg in sorted(out.iterdir()):
            match = re.fullmatch(r"p(\d{3})( \(\d+\))?\.jpg", jpeg.name)
            self.assertIsNotNone(match, jpeg.name)
            width, height = images.jpeg_size(jpeg)
            instance = "first" if width > height else "second"
            number = max(width, height) - LONG
            self.assertEqual(number, int(match.group(1)), f"{jpeg.name} holds another photo")
            found[instance, number] += 1
        expected = Counter({(name, number): 1 for name in sources for number in range(1, PHOTOS + 1)})
        self.assertEqual(found, expected, "one JPEG for every photo of both instances")


if __name__ == "__main__":
    unittest.main(verbosity=2)
