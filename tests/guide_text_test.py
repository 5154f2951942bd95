#!/usr/bin/env python3
"""The Korean users' guide as Notepad shows it, and its quotes of the texts users see.

Notepad does not wrap by default, so no line may be wider than 80 columns, a Hangul syllable (any
wide or full-width character) counting two. Every 「…」 quote must be a text of the program or of
its installers, so that a changed message cannot leave the guide quoting an old one.
"""
import os
import re
import sys
import unicodedata
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "packaging"))
import make_release  # noqa: E402  (the release's file names)
GUIDE = os.path.join(ROOT, "docs", "user-guide-ko.txt")
SOURCE_FOLDERS = ("app", "convert", "report", "platform", "packaging")
SOURCE_ENDINGS = (".cpp", ".h", ".py", ".wxs", ".in")
MAX_COLUMNS = 80

# Windows' own texts, quoted so that users recognise them; no source of ours holds them.
WINDOWS_TEXTS = {
    "Windows의 PC 보호": "the title of SmartScreen's warning for a downloaded file",
}



def columns(line):
    return sum(2 if unicodedata.east_asian_width(c) in ("W", "F") else 1 for c in line)


def quotes(text):
    """Each quote once, a line break inside it (and the next line's indent) read as one space."""
    return [re.sub(r"\s*\n\s*", " ", q) for q in re.findall(r"「([^「」]+)」", text)]


def source_text():
    """Our sources, with adjacent string literals joined and the installer's task word filled in."""
    parts = []
    for folder in SOURCE_FOLDERS:
        for base, _, names in os.walk(os.path.join(ROOT, folder)):
            for name in sorted(names):
                if name.endswith(SOURCE_ENDINGS):
                    with open(os.path.join(base, name), encoding="utf-8") as file:
                        parts.append(file.read())
    text = re.sub(r'"\s*\n\s*L?"', "", "\n".join(parts))
    # The per-user installer names the machine-wide one by the release's own rule for its name.
    text = text.replace("{machine_msi}", make_release.PER_MACHINE.file_name("@VERSION@"))
    return "\n".join([text, text.replace("{task}", "설치"), text.replace("{task}", "제거")])


def found_in(quote, text):
    """Whether a string literal of text holds the quote whole: from its start, or from a line break
    or NUL within it, to its end or to the next such escape (trailing blanks aside)."""
    # The version is filled in when the guide is packaged, and in a text that names a file.
    body = r"\S+".join(re.escape(part) for part in quote.split("@VERSION@"))
    return re.search(r'(?:"|\\[n0])' + body + r'(?= *"|\\)', text) is not None


class HelpersTest(unittest.TestCase):
    def test_columns(self):
        for line, expected in [("abc", 3), ("가나", 4), ("「확인」", 8), ("ＡＢ", 4), ("·", 1)]:
            with self.subTest(line=line):
                self.assertEqual(columns(line), expected)

    def test_quotes(self):
        for text, expected in [
            ("「가」 and 「나」", ["가", "나"]),
            ("  「하나\n    둘」", ["하나 둘"]),
            ("낫표(「」) and no quote", []),
        ]:
            with self.subTest(text=text):
                self.assertEqual(quotes(text), expected)

    def test_found_in(self):
        for quote, text, expected in [
            ("파일을 찾을 수 없습니다.", 'L"파일을 찾을 수 없습니다."', True),
            ("파일을 찾을 수 없습니다.", 'L"지정된 파일을 찾을 수 없습니다.\\r\\n"', False),
            ("실패:", 'L"개\\n실패: "', True),
            ("변환 완료", 'L"변환 완료:\\n"', False),
            ("모든 파일 (*.*)", 'L"이미지\\0*.heic\\0모든 파일 (*.*)\\0*.*\\0"', True),
            ("a-@VERSION@.msi를", '"a-[Version].msi를"', True),
            ("a-@VERSION@.msi를", '"a-.msi를"', False),
        ]:
            with self.subTest(quote=quote, text=text):
                self.assertEqual(found_in(quote, text), expected)


class GuideTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(GUIDE, encoding="utf-8") as file:
            cls.text = file.read()
        cls.sources = source_text()

    def test_lines_fit_notepad(self):
        for number, line in enumerate(self.text.split("\n"), 1):
            with self.subTest(line=number):
                self.assertNotIn("\t", line)
                self.assertLessEqual(columns(line), MAX_COLUMNS, line)

    def test_quotes_are_texts_users_see(self):
        for quote in sorted(set(quotes(self.text))):
            if quote in WINDOWS_TEXTS:
                continue
            with self.subTest(quote=quote):
                self.assertTrue(found_in(quote, self.sources), "not in the sources: " + quote)

    def test_exceptions_still_needed(self):
        used = set(quotes(self.text))
        for quote in WINDOWS_TEXTS:
            with self.subTest(quote=quote):
                self.assertIn(quote, used, "no longer quoted in the guide")


if __name__ == "__main__":
    unittest.main()
