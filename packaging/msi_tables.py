"""What wixl cannot write into the installer itself, mended in the database it made.

- Korean texts: wixl crashes on them or drops them, so the WiX file's Korean attribute values reach
  wixl as ASCII stand-ins, and are written into the tables afterwards, with the database's code
  page forced to 949 (Korean Windows reads the tables in that code page).
- Same-version upgrades: a rebuild with other contents has another product code but the same
  version; it must replace the installed one instead of standing beside it in 설정 > 앱.
- The dialogs (msi_dialogs.py): wixl has no <UI>.
- Short names beside the long ones, and the program's version and language in its File row:
  wixl writes neither.
- The package's summary: wixl stamps the build's own time and a random package code into it.
"""
import os
import re
import struct
import subprocess
import tempfile
from pathlib import Path

import msi_dialogs

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


def tables(msi):
    """The names of the database's tables, but for the ones msiinfo makes up (_ForceCodepage)."""
    names = _run("msiinfo", "tables", str(Path(msi).resolve())).split()
    return [name for name in names if not name.startswith("_")]


def rows(msi, table):
    """A table's rows as msiinfo exports them: column name -> text, an empty cell ''."""
    lines = _run("msiinfo", "export", str(Path(msi).resolve()), table).split("\n")
    columns = lines[0].rstrip("\r").split("\t")
    return [dict(zip(columns, line.rstrip("\r").split("\t"))) for line in lines[3:] if line.rstrip("\r")]


def codepage(msi):
    """The code page the database's texts are in."""
    return int(_run("msiinfo", "export", str(Path(msi).resolve()), "_ForceCodepage").split()[0])


def _sql_value(value, column_type):
    if column_type[0] in "iI":
        return value
    if "'" in value:
        raise ValueError(f"a quote in an installer text cannot be written: {value}")
    return f"'{value}'"


def _queries_restoring(msi, texts):
    """Yields one UPDATE per table cell that holds stand-ins, with the stand-ins it restores."""
    for table in tables(msi):
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


# wixl 0.101 writes its HKMU root as 4, which Windows Installer does not know; -1 is the root that
# follows ALLUSERS (HKLM for a machine-wide install, HKCU for a per-user one).
_WIXL_HKMU, _FOLLOWS_ALLUSERS = 4, -1


def mend_registry_roots(msi):
    msi = Path(msi).resolve()
    if any(row["Root"] == str(_WIXL_HKMU) for row in rows(msi, "Registry")):
        _run("msibuild", str(msi), "-q",
             f"UPDATE `Registry` SET `Root`={_FOLLOWS_ALLUSERS} WHERE `Root`={_WIXL_HKMU}")


def add_dialogs(msi, exit_lines):
    """Writes the dialogs' tables (msi_dialogs.py), their Korean texts in the code page of the others;
    exit_lines are the closing dialog's."""
    msi = Path(msi).resolve()
    _force_korean_codepage(msi)
    _run("msibuild", str(msi), *(part for query in msi_dialogs.queries(exit_lines) for part in ("-q", query)))


# A per-machine request: ALLUSERS=1, or ALLUSERS=2, which Windows Installer takes for per machine
# unless MSIINSTALLPERUSER=1 says otherwise.
PER_MACHINE_REQUEST = "ALLUSERS=1 OR (ALLUSERS=2 AND NOT MSIINSTALLPERUSER=1)"


def refuse(msi, request, text):
    """Adds a launch condition that ends an install asked for with the request, showing the text.
    An installed product is still removed or repaired, whatever the command line says. wixl
    writes no launch condition of our own."""
    msi = Path(msi).resolve()
    _force_korean_codepage(msi)
    _run("msibuild", str(msi), "-q", "INSERT INTO `LaunchCondition` (`Condition`, `Description`) "
         f"VALUES ({_sql_value(f'Installed OR NOT ({request})', 's')}, {_sql_value(text, 's')})")


# A short name is 8.3, of letters, digits and a few signs; a long one needs one beside it, since
# the short one is used where long names are off (SHORTFILENAMES, or a volume without them).
_SHORT_NAME = re.compile(r"[A-Z0-9_^$~!#%&'@`(){}-]{1,8}(\.[A-Z0-9_^$~!#%&'@`(){}-]{1,3})?", re.IGNORECASE)
_SHORT_NAME_SIGN = re.compile(r"[^A-Z0-9_^$~!#%&'@`(){}-]", re.IGNORECASE)


def _short_name(long_name, key, taken):
    """Windows' way: the first six letters of the name (of the key when it has none) and ~N."""
    if _SHORT_NAME.fullmatch(long_name):
        return long_name
    stem, _, extension = long_name.rpartition(".") if "." in long_name else (long_name, "", "")
    base = _SHORT_NAME_SIGN.sub("", stem).upper()[:6] or _SHORT_NAME_SIGN.sub("", key).upper()[:6]
    extension = _SHORT_NAME_SIGN.sub("", extension).upper()[:3]
    number = 1
    while (name := f"{base}~{number}" + (f".{extension}" if extension else "")) in taken:
        number += 1
    return name


def add_short_names(msi):
    """Gives each file, folder and shortcut whose name is not 8.3 a short name, unique in its folder,
    as Windows Installer's short|long syntax."""
    msi = Path(msi).resolve()
    folder_of = {row["Component"]: row["Directory_"] for row in rows(msi, "Component")}
    named = [("File", "File", "FileName", row, folder_of[row["Component_"]]) for row in rows(msi, "File")]
    named += [("Shortcut", "Shortcut", "Name", row, row["Directory_"]) for row in rows(msi, "Shortcut")]
    named += [("Directory", "Directory", "DefaultDir", row, row["Directory_Parent"]) for row in rows(msi, "Directory")
              if row["Directory_Parent"] and row["DefaultDir"] != "."]
    taken, queries = {}, []
    for table, key, column, row, folder in named:
        long_name = row[column]
        if "|" in long_name or ":" in long_name:
            raise ValueError(f"the installer's {table} row {row[key]} has a short or source name already")
        short = _short_name(long_name, row[key], taken.setdefault(folder, set()))
        taken[folder].add(short)
        if short != long_name:
            queries += ["-q", f"UPDATE `{table}` SET `{column}`={_sql_value(f'{short}|{long_name}', 's')} "
                              f"WHERE `{key}`='{row[key]}'"]
    if queries:
        _run("msibuild", str(msi), *queries)


_VERSION_SIGNATURE = struct.pack("<I", 0xFEEF04BD)
_TRANSLATION = "Translation\0".encode("utf-16-le")


def file_version(data):
    """The file version and language of an executable's version resource, or None without one."""
    if data[:2] != b"MZ" or data.count(_VERSION_SIGNATURE) != 1:
        return None
    at = data.index(_VERSION_SIGNATURE)
    most, least = struct.unpack_from("<II", data, at + 8)
    version = f"{most >> 16}.{most & 0xFFFF}.{least >> 16}.{least & 0xFFFF}"
    if data.count(_TRANSLATION) != 1:
        raise ValueError("the executable's version resource names no single language")
    at = data.index(_TRANSLATION) + len(_TRANSLATION)
    language, = struct.unpack_from("<H", data, at + (-at % 4))
    return version, str(language)


def add_file_versions(msi, folder):
    """Writes each executable's version and language into its File row, so that Windows Installer's
    file versioning rules treat it as versioned; a versioned file takes no hash."""
    msi = Path(msi).resolve()
    queries = []
    for row in rows(msi, "File"):
        found = file_version((Path(folder) / row["FileName"].split("|")[-1]).read_bytes())
        if found:
            queries += ["-q", f"UPDATE `File` SET `Version`='{found[0]}', `Language`='{found[1]}' "
                              f"WHERE `File`='{row['File']}'",
                        "-q", f"DELETE FROM `MsiFileHash` WHERE `File_`='{row['File']}'"]
    if queries:
        _run("msibuild", str(msi), *queries)


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
