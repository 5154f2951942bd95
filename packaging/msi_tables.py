"""What wixl cannot write into the installer itself, mended in the database it made.

- Korean texts: wixl crashes on them or drops them, so the WiX file's Korean attribute values reach
  wixl as ASCII stand-ins, and are written into the tables afterwards, with the database's code
  page forced to 949 (Korean Windows reads the tables in that code page).
- Same-version upgrades: a rebuild with other contents has another product code but the same
  version; it must replace the installed one instead of standing beside it in 설정 > 앱.
- The dialog that ends a double-click install: wixl has no <UI>, so its tables are written here.
- The package's summary: wixl stamps the build's own time and a random package code into it.
"""
import os
import re
import struct
import subprocess
import tempfile
from pathlib import Path

KOREAN_CODEPAGE = 949
# Attribute values that name files on the build machine stay as they are: wixl reads them fine.
_PATH_ATTRIBUTES = {"Source", "SourceFile"}
_ATTRIBUTE = re.compile(r'(\w+)="([^"]*)"')


def replace_korean_texts(wxs):
    """Returns the WiX text with each non-ASCII attribute value replaced by a stand-in, and the
    stand-ins with their texts."""
    texts = {}

    def stand_in(match):
        name, value = match.groups()
        if value.isascii() or name in _PATH_ATTRIBUTES:
            return match.group(0)
        token = f"KOREANTEXT{len(texts):03d}"
        texts[token] = value
        return f'{name}="{token}"'

    return _ATTRIBUTE.sub(stand_in, wxs), texts


def _run(*command):
    # The tools take the Korean texts of the queries as UTF-8. An export writes a binary table's
    # streams into the current folder, so that is a folder of its own.
    with tempfile.TemporaryDirectory() as folder:
        return subprocess.run(command, check=True, capture_output=True, text=True, encoding="utf-8",
                              cwd=folder, env=dict(os.environ, LC_ALL="C.UTF-8")).stdout


def _sql_value(value, column_type):
    if column_type[0] in "iI":
        return value
    if "'" in value:
        raise ValueError(f"a quote in an installer text cannot be written: {value}")
    return f"'{value}'"


def _queries_restoring(msi, texts):
    """Yields one UPDATE per table cell that holds stand-ins, with the stand-ins it restores."""
    for table in _run("msiinfo", "tables", str(msi)).split():
        if table.startswith("_"):
            continue
        lines = _run("msiinfo", "export", str(msi), table).split("\n")
        columns, types, keys = (line.rstrip("\r").split("\t") for line in lines[:3])
        keys = keys[1:]  # the third line names the table, then its primary key columns
        for line in lines[3:]:
            row = dict(zip(columns, line.rstrip("\r").split("\t")))
            for column, value in row.items():
                found = [token for token in texts if token in value]
                if not found:
                    continue
                restored = value
                for token in found:
                    restored = restored.replace(token, texts[token])
                where = " AND ".join(f"`{key}`={_sql_value(row[key], types[columns.index(key)])}"
                                     for key in keys)
                yield (f"UPDATE `{table}` SET `{column}`="
                       f"{_sql_value(restored, types[columns.index(column)])} WHERE {where}"), found


def _force_korean_codepage(msi):
    with tempfile.TemporaryDirectory() as folder:
        codepage = Path(folder) / "_ForceCodepage.idt"
        codepage.write_bytes(f"\r\n\r\n{KOREAN_CODEPAGE}\t_ForceCodepage\r\n".encode())
        _run("msibuild", str(msi), "-i", str(codepage))


def restore_korean_texts(msi, texts):
    msi = Path(msi).resolve()
    _force_korean_codepage(msi)
    queries = list(_queries_restoring(msi, texts))
    left = set(texts).difference(*(found for _, found in queries))
    if left:
        raise ValueError(f"wixl wrote no table cell for the texts {sorted(texts[t] for t in left)}")
    for query, _ in queries:
        _run("msibuild", str(msi), "-q", query)


_VERSION_MAX_INCLUSIVE = 0x200


def allow_same_version_upgrade(msi):
    # The upgrade row that removes older versions takes the same version too.
    msi = Path(msi).resolve()
    rows = _run("msiinfo", "export", str(msi), "Upgrade").split("\n")[3:]
    for row in filter(None, (line.rstrip("\r") for line in rows)):
        code, minimum, maximum, language, attributes, remove, action = row.split("\t")
        if action != "WIX_UPGRADE_DETECTED":
            continue
        _run("msibuild", str(msi), "-q",
             f"DELETE FROM `Upgrade` WHERE `UpgradeCode`='{code}' AND `ActionProperty`='{action}'",
             "-q", "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) "
             f"VALUES ('{code}', '{maximum}', {int(attributes) | _VERSION_MAX_INCLUSIVE}, '{action}')")
        return
    raise ValueError("the installer has no upgrade row for older versions")


# The dialog a double-click install ends with, its caption the product's name. A refused downgrade
# or a failure shows Windows Installer's own message instead, and a silent install shows nothing.
EXIT_DIALOG_TITLE = "HEIC to JPEG Converter가 설치되었습니다."
EXIT_DIALOG_LINES = (
    "시작 메뉴에서 「HEIC를 JPEG로 변환」을 찾아 실행하세요.",
    "탐색기에서 사진을 선택하고 [보내기] > 「HEIC를 JPEG로」를 고르면 바로 변환됩니다.",
)
EXIT_DIALOG_BUTTON = "닫기"

_EXIT_DIALOG = "ExitDialog"
_VISIBLE_ENABLED = 3  # of a control
_VISIBLE_MODAL = 3  # of a dialog
# Malgun Gothic comes with every Windows 10 and 11, whatever the system's language.
_TEXT_STYLES = [("DialogText", "Malgun Gothic", 9, 0), ("DialogTitle", "Malgun Gothic", 10, 1)]
_DIALOG_TABLES = [
    "CREATE TABLE `TextStyle` (`TextStyle` CHAR(72) NOT NULL, `FaceName` CHAR(32) NOT NULL, "
    "`Size` SHORT NOT NULL, `Color` LONG, `StyleBits` SHORT PRIMARY KEY `TextStyle`)",
    "CREATE TABLE `Dialog` (`Dialog` CHAR(72) NOT NULL, `HCentering` SHORT NOT NULL, "
    "`VCentering` SHORT NOT NULL, `Width` SHORT NOT NULL, `Height` SHORT NOT NULL, `Attributes` LONG, "
    "`Title` CHAR(128) LOCALIZABLE, `Control_First` CHAR(50) NOT NULL, `Control_Default` CHAR(50), "
    "`Control_Cancel` CHAR(50) PRIMARY KEY `Dialog`)",
    "CREATE TABLE `Control` (`Dialog_` CHAR(72) NOT NULL, `Control` CHAR(50) NOT NULL, "
    "`Type` CHAR(20) NOT NULL, `X` SHORT NOT NULL, `Y` SHORT NOT NULL, `Width` SHORT NOT NULL, "
    "`Height` SHORT NOT NULL, `Attributes` LONG, `Property` CHAR(72), `Text` LONGCHAR LOCALIZABLE, "
    "`Control_Next` CHAR(50), `Help` CHAR(50) LOCALIZABLE PRIMARY KEY `Dialog_`, `Control`)",
    "CREATE TABLE `ControlEvent` (`Dialog_` CHAR(72) NOT NULL, `Control_` CHAR(50) NOT NULL, "
    "`Event` CHAR(50) NOT NULL, `Argument` CHAR(255) NOT NULL, `Condition` CHAR(255), `Ordering` SHORT "
    "PRIMARY KEY `Dialog_`, `Control_`, `Event`, `Argument`, `Condition`)",
]


def _formatted(text):
    # Control texts are formatted: a bracket would name a property, a brace open a condition.
    return "".join(f"[\\{c}]" if c in "[]{}" else c for c in text)


def _exit_dialog_queries():
    """The dialog's rows, in installer units: the title, a text per line below it, the button."""
    width, margin, line = 360, 15, 24
    texts = [("Title", "{\\DialogTitle}" + _formatted(EXIT_DIALOG_TITLE))]
    texts += [(f"Line{n}", _formatted(text)) for n, text in enumerate(EXIT_DIALOG_LINES, 1)]
    height = 18 + len(texts) * line + 33
    controls = [(name, "Text", margin, 12 + n * line + (6 if n else 0), width - 2 * margin, line, text)
                for n, (name, text) in enumerate(texts)]
    controls.append(("Close", "PushButton", width - margin - 66, height - 27, 66, 18, _formatted(EXIT_DIALOG_BUTTON)))

    queries = list(_DIALOG_TABLES)
    queries += [f"INSERT INTO `TextStyle` (`TextStyle`, `FaceName`, `Size`, `StyleBits`) "
                f"VALUES ('{name}', '{face}', {size}, {bits})" for name, face, size, bits in _TEXT_STYLES]
    queries.append("INSERT INTO `Property` (`Property`, `Value`) VALUES ('DefaultUIFont', 'DialogText')")
    queries.append("INSERT INTO `Dialog` (`Dialog`, `HCentering`, `VCentering`, `Width`, `Height`, `Attributes`, "
                   f"`Title`, `Control_First`, `Control_Default`, `Control_Cancel`) VALUES ('{_EXIT_DIALOG}', "
                   f"50, 50, {width}, {height}, {_VISIBLE_MODAL}, '[ProductName]', 'Close', 'Close', 'Close')")
    queries += ["INSERT INTO `Control` (`Dialog_`, `Control`, `Type`, `X`, `Y`, `Width`, `Height`, `Attributes`, "
                f"`Text`) VALUES ('{_EXIT_DIALOG}', '{name}', '{kind}', {x}, {y}, {w}, {h}, {_VISIBLE_ENABLED}, "
                f"{_sql_value(text, 's')})" for name, kind, x, y, w, h, text in controls]
    queries.append("INSERT INTO `ControlEvent` (`Dialog_`, `Control_`, `Event`, `Argument`, `Condition`, "
                   f"`Ordering`) VALUES ('{_EXIT_DIALOG}', 'Close', 'EndDialog', 'Return', '1', 1)")
    # At -1 the dialog follows a successful run, and only with the full user interface; a removal
    # (REMOVE=ALL, as msiexec /x sets it) is one too, and must not say the program is installed.
    queries.append(f"INSERT INTO `InstallUISequence` (`Action`, `Condition`, `Sequence`) "
                   f"VALUES ('{_EXIT_DIALOG}', 'NOT REMOVE~=\"ALL\"', -1)")
    return queries


def add_exit_dialog(msi):
    """Writes the dialog's tables, their Korean texts in the code page of the others."""
    msi = Path(msi).resolve()
    _force_korean_codepage(msi)
    _run("msibuild", str(msi), *(part for query in _exit_dialog_queries() for part in ("-q", query)))


# The summary information lives in a compound file; its values are patched in place, same sizes.
_SUMMARY_STREAM = "\x05SummaryInformation"
_PID_TEMPLATE, _PID_REVISION, _PID_CREATED, _PID_SAVED = 7, 9, 12, 13
_VT_LPSTR, _VT_FILETIME = 30, 64
_FREE_SECTORS = 0xFFFFFFFA  # at or above: end of chain, FAT or DIFAT sector, free


def _summary_stream_offsets(data):
    """The file offsets of every byte of the summary stream, in order."""
    sector_size = 1 << struct.unpack_from("<H", data, 0x1E)[0]
    mini_size = 1 << struct.unpack_from("<H", data, 0x20)[0]
    directory_start, = struct.unpack_from("<I", data, 0x30)
    mini_cutoff, mini_fat_start = struct.unpack_from("<II", data, 0x38)
    if struct.unpack_from("<I", data, 0x48)[0]:
        raise ValueError("the installer is too large for its allocation table to fit the header")
    fat_sectors = [s for s in struct.unpack_from("<109I", data, 0x4C) if s < _FREE_SECTORS]
    fat = []
    for sector in fat_sectors:
        fat += struct.unpack_from(f"<{sector_size // 4}I", data, (sector + 1) * sector_size)

    def chain(start, table):
        while start < _FREE_SECTORS:
            yield start
            start = table[start]

    def sector_offsets(start):
        return [(s + 1) * sector_size for s in chain(start, fat)]

    directory = b"".join(data[o:o + sector_size] for o in sector_offsets(directory_start))
    entries = [directory[i:i + 128] for i in range(0, len(directory), 128)]

    def entry_name(entry):
        length, = struct.unpack_from("<H", entry, 0x40)
        return entry[:max(length - 2, 0)].decode("utf-16-le")

    summary = next((e for e in entries if entry_name(e) == _SUMMARY_STREAM), None)
    if summary is None:
        raise ValueError("the installer has no summary information")
    start, size = struct.unpack_from("<II", summary, 0x74)
    if size >= mini_cutoff:
        return [o + i for o in sector_offsets(start) for i in range(sector_size)][:size]
    root_start, = struct.unpack_from("<I", entries[0], 0x74)
    mini_stream = sector_offsets(root_start)
    mini_fat = []
    for offset in sector_offsets(mini_fat_start):
        mini_fat += struct.unpack_from(f"<{sector_size // 4}I", data, offset)
    offsets = []
    for mini in chain(start, mini_fat):
        at = mini * mini_size
        base = mini_stream[at // sector_size] + at % sector_size
        offsets += range(base, base + mini_size)
    return offsets[:size]


def stamp_summary(msi, package_code, epoch):
    """Writes the package code and the time of the sources into the summary, in place of the ones
    of the build; the template names Korean as the package's language."""
    data = bytearray(Path(msi).read_bytes())
    offsets = _summary_stream_offsets(data)
    stream = bytearray(data[o] for o in offsets)
    section, = struct.unpack_from("<I", stream, 0x2C)
    count, = struct.unpack_from("<I", stream, section + 4)
    properties = dict(struct.unpack_from(f"<{2 * count}I", stream, section + 8)[i:i + 2]
                      for i in range(0, 2 * count, 2))
    filetime = (epoch + 11644473600) * 10_000_000
    patches = {_PID_TEMPLATE: (_VT_LPSTR, "x64;1042"), _PID_REVISION: (_VT_LPSTR, package_code),
               _PID_CREATED: (_VT_FILETIME, filetime), _PID_SAVED: (_VT_FILETIME, filetime)}
    for pid, (kind, value) in patches.items():
        if pid not in properties:
            raise ValueError(f"the installer's summary has no property {pid}")
        at = section + properties[pid]
        if struct.unpack_from("<I", stream, at)[0] != kind:
            raise ValueError(f"the installer's summary property {pid} is not of type {kind}")
        if kind == _VT_FILETIME:
            struct.pack_into("<Q", stream, at + 4, value)
            continue
        text = value.encode("ascii") + b"\0"
        if struct.unpack_from("<I", stream, at + 4)[0] != len(text):
            raise ValueError(f"the installer's summary property {pid} has another length than {value}")
        stream[at + 8:at + 8 + len(text)] = text
    for offset, byte in zip(offsets, stream):
        data[offset] = byte
    Path(msi).write_bytes(data)
