"""Checks an installer's tables against those rules of Windows Installer's validation (the ICEs)
that apply to this package. Microsoft's validator does not run on Linux, so this reads the tables as
msiinfo exports them. Each rule names the page of Microsoft's documentation that describes it.

    validate_msi.py PACKAGE.msi

Prints one line per broken rule and exits with 1 when there is any.

ICE61 is left out on purpose: it warns about an upgrade row that takes the product's own version,
which ours does so that a rebuild of the same version replaces the installed one (msi_tables.py).
"""
import re
import sys
from pathlib import Path

import msi_tables

_RULES = []


def _rule(check):
    _RULES.append(check)
    return check


def read_tables(msi):
    return {table: msi_tables.rows(msi, table) for table in msi_tables.tables(msi)}


# Filename: a short name is 8.3 (counted in bytes of the package's code page), without spaces
# and the signs below; a long one, after "|", goes without the first set only.
_NOT_IN_NAMES = set('\\/?|><:*"')
_NOT_IN_SHORT_NAMES = _NOT_IN_NAMES | set("+,;=[] ")


def _name_problems(value, codepage):
    short, _, long = value.partition("|")
    stem, _, extension = short.partition(".")
    problems = []
    if (not 0 < len(stem.encode(codepage)) <= 8 or len(extension.encode(codepage)) > 3 or "." in extension
            or set(short) & _NOT_IN_SHORT_NAMES):
        problems.append(f"{short!r} is no short name")
    if set(long) & _NOT_IN_NAMES:
        problems.append(f"{long!r} is no long name")
    return problems


@_rule
def ice03(t, codepage):
    """ICE03: the values fit their data types; here the names of files, folders and shortcuts,
    and the files' versions and languages.
    https://learn.microsoft.com/windows/win32/msi/ice03
    https://learn.microsoft.com/windows/win32/msi/filename
    https://learn.microsoft.com/windows/win32/msi/defaultdir
    https://learn.microsoft.com/windows/win32/msi/version
    https://learn.microsoft.com/windows/win32/msi/language
    """
    problems = []
    for table, key, column in [("File", "File", "FileName"), ("Shortcut", "Shortcut", "Name")]:
        for row in t.get(table, []):
            problems += [f"ICE03 {table} {row[key]}: {p}" for p in _name_problems(row[column], codepage)]
    for row in t.get("Directory", []):
        # A root's DefaultDir names no folder on the target (TARGETDIR's SourceDir).
        if row["Directory_Parent"] and row["Directory_Parent"] != row["Directory"]:
            problems += [f"ICE03 Directory {row['Directory']}: {p}" for part in row["DefaultDir"].split(":")
                         if part != "." for p in _name_problems(part, codepage)]
    for row in t.get("File", []):
        parts = row["Version"].split(".") if row["Version"] else []
        if parts and (len(parts) > 4 or not all(p.isdigit() and int(p) <= 65535 for p in parts)):
            problems.append(f"ICE03 File {row['File']}: invalid version {row['Version']!r}")
        if row["Language"] and not re.fullmatch(r"\d+(,\d+)*", row["Language"]):
            problems.append(f"ICE03 File {row['File']}: invalid language {row['Language']!r}")
    return problems


_BITMAP, _ICON, _INDIRECT = 0x40000, 0x80000, 8


@_rule
def ice17(t, _):
    """ICE17: a push button does something, a picture is in the Binary table, a list's property
    has its values (but FileInUseProcess, which Windows Installer fills while the dialog is up).
    https://learn.microsoft.com/windows/win32/msi/ice17
    """
    problems = []
    events = {(e["Dialog_"], e["Control_"]) for e in t.get("ControlEvent", [])}
    binary = {b["Name"] for b in t.get("Binary", [])}
    listed = {table: {r["Property"] for r in t.get(table, [])} for table in ("RadioButton", "ListBox", "ComboBox",
                                                                              "ListView")}
    for c in t.get("Control", []):
        name, kind, attributes = f"{c['Dialog_']}.{c['Control']}", c["Type"], int(c["Attributes"] or 0)
        if kind == "PushButton" and (c["Dialog_"], c["Control"]) not in events:
            problems.append(f"ICE17 {name}: push button without an event")
        if attributes & _BITMAP and attributes & _ICON:
            problems.append(f"ICE17 {name}: both icon and bitmap")
        if (kind in ("Icon", "Bitmap") or attributes & (_BITMAP | _ICON)) and c["Text"] not in binary:
            problems.append(f"ICE17 {name}: picture {c['Text']!r} not in the Binary table")
        table = {"RadioButtonGroup": "RadioButton"}.get(kind, kind)
        if (table in listed and c["Property"] and not attributes & _INDIRECT
                and c["Property"] not in listed[table] | {"FileInUseProcess"}):
            problems.append(f"ICE17 {name}: property {c['Property']} has no rows in {table}")
    return problems


_ERROR_STYLE = 0x10000
_ERROR_BUTTONS = {"A": "ErrorAbort", "C": "ErrorCancel", "I": "ErrorIgnore", "N": "ErrorNo", "O": "ErrorOk",
                  "R": "ErrorRetry", "Y": "ErrorYes"}


@_rule
def ice20(t, _):
    """ICE20: the dialogs a package with an authored interface must have.
    https://learn.microsoft.com/windows/win32/msi/ice20
    https://learn.microsoft.com/windows/win32/msi/error-dialog
    https://learn.microsoft.com/windows/win32/msi/dialog-boxes
    """
    properties = {p["Property"]: p["Value"] for p in t.get("Property", [])}
    if "Dialog" not in t or "LIMITUI" in properties:
        return []
    problems = []
    dialogs = {d["Dialog"]: d for d in t["Dialog"]}
    controls = {(c["Dialog_"], c["Control"]): c for c in t.get("Control", [])}
    end_dialog = {(e["Dialog_"], e["Control_"], e["Argument"]) for e in t.get("ControlEvent", [])
                  if e["Event"] == "EndDialog"}

    def button_ending(dialog, argument):
        return any((dialog, c, argument) in end_dialog for (d, c), row in controls.items()
                   if d == dialog and row["Type"] == "PushButton")

    if "FilesInUse" not in dialogs or "ListBox" not in t:
        problems.append("ICE20 FilesInUse: no such dialog, or no ListBox table")
    else:
        if not any(d == "FilesInUse" and c["Type"] == "ListBox" and c["Property"] == "FileInUseProcess"
                   for (d, _), c in controls.items()):
            problems.append("ICE20 FilesInUse: no list of FileInUseProcess")
        problems += [f"ICE20 FilesInUse: no button ends it with {a}" for a in ("Ignore", "Exit", "Retry")
                     if not button_ending("FilesInUse", a)]

    error = dialogs.get(properties.get("ErrorDialog"))
    if not error or not int(error["Attributes"] or 0) & _ERROR_STYLE:
        problems.append(f"ICE20 ErrorDialog: {properties.get('ErrorDialog')!r} is no dialog of the error style")
    else:
        name = error["Dialog"]
        text = controls.get((name, "ErrorText"))
        if not text or text["Type"] != "Text" or error["Control_First"] != "ErrorText":
            problems.append(f"ICE20 {name}: ErrorText is not a text that comes first")
        buttons = [controls.get((name, b)) for b in _ERROR_BUTTONS]
        problems += [f"ICE20 {name}: no button {b} ending it with {a}" for b, a in _ERROR_BUTTONS.items()
                     if (name, b, a) not in end_dialog or controls.get((name, b), {}).get("Type") != "PushButton"]
        if len({(b["Y"], b["Width"], b["Height"]) for b in buttons if b}) > 1:
            problems.append(f"ICE20 {name}: the buttons differ in Y, width or height")
        if any(b and b["Control_Next"] for b in buttons):
            problems.append(f"ICE20 {name}: a button is in the tab order")
        icon = controls.get((name, "ErrorIcon"))
        if icon and icon["Type"] != "Icon":
            problems.append(f"ICE20 {name}: ErrorIcon is no icon")

    for table in ("InstallUISequence", "AdminUISequence"):
        ends = {int(r["Sequence"]): r["Action"] for r in t.get(table, []) if r["Sequence"].lstrip("-").isdigit()}
        actions = set(dialogs) | {a["Action"] for a in t.get("CustomAction", [])}
        problems += [f"ICE20 {table}: no dialog at {n}" for n in (-1, -2, -3) if ends.get(n) not in actions]
    return problems


@_rule
def ice23(t, _):
    """ICE23: the tab order of each dialog is one closed loop from its first control, through
    every control that names a next one.
    https://learn.microsoft.com/windows/win32/msi/ice23
    """
    problems = []
    for d in t.get("Dialog", []):
        name, first = d["Dialog"], d["Control_First"]
        following = {c["Control"]: c["Control_Next"] for c in t.get("Control", []) if c["Dialog_"] == name}
        if first not in following:
            problems.append(f"ICE23 {name}: the first control {first!r} does not exist")
            continue
        problems += [f"ICE23 {name}.{c}: the next control {n!r} does not exist"
                     for c, n in following.items() if n and n not in following]
        loop, at = [], first
        while at in following and at not in loop:
            loop.append(at)
            at = following[at]
        if at != first:
            problems.append(f"ICE23 {name}: the tab order ends at {loop[-1]}" if not at
                            else f"ICE23 {name}: malformed tab order at {loop[-1]}")
        elif set(loop) != {c for c, n in following.items() if n}:
            problems.append(f"ICE23 {name}: a control outside the loop names a next one")
    return problems


@_rule
def ice31(t, _):
    """ICE31: the text styles that texts begin with, and DefaultUIFont, exist.
    https://learn.microsoft.com/windows/win32/msi/ice31
    """
    styles = {s["TextStyle"] for s in t.get("TextStyle", [])}
    problems = []
    font = next((p["Value"] for p in t.get("Property", []) if p["Property"] == "DefaultUIFont"), None)
    if font is not None and font not in styles:
        problems.append(f"ICE31 DefaultUIFont: no text style {font!r}")
    for c in t.get("Control", []):
        match = re.match(r"\{[\\&]([^}]*)(\}?)", c["Text"]) if c["Type"] != "ScrollableText" else None
        if match and (not match[2] or len(match[1]) > 72 or match[1] not in styles):
            problems.append(f"ICE31 {c['Dialog_']}.{c['Control']}: bad text style {match[0]!r}")
    return problems


@_rule
def ice44(t, _):
    """ICE44: the dialog events name dialogs that exist.
    https://learn.microsoft.com/windows/win32/msi/ice44
    """
    dialogs = {d["Dialog"] for d in t.get("Dialog", [])}
    return [f"ICE44 {e['Dialog_']}.{e['Control_']}: {e['Event']} of no dialog {e['Argument']!r}"
            for e in t.get("ControlEvent", [])
            if e["Event"] in ("NewDialog", "SpawnDialog", "SpawnWaitDialog") and e["Argument"] not in dialogs]


# Windows Installer's own properties that this package uses or that are easily miswritten.
_INSTALLER_PROPERTIES = {"ACTION", "ADDLOCAL", "ALLUSERS", "Installed", "LIMITUI", "MSIINSTALLPERUSER", "REINSTALL",
                         "REINSTALLMODE", "REMOVE", "SourceDir", "TARGETDIR", "UILevel", "FileInUseProcess",
                         "ProductCode", "ProductLanguage", "ProductName", "ProductVersion", "UpgradeCode"}
_CONDITIONS = [("InstallUISequence", "Condition"), ("InstallExecuteSequence", "Condition"),
               ("AdminUISequence", "Condition"), ("AdminExecuteSequence", "Condition"),
               ("AdvtExecuteSequence", "Condition"), ("ControlEvent", "Condition"), ("ControlCondition", "Condition"),
               ("LaunchCondition", "Condition"), ("Component", "Condition")]
_FORMATTED = [("Control", "Text"), ("Dialog", "Title"), ("RadioButton", "Text"), ("Shortcut", "Target"),
              ("Shortcut", "Arguments"), ("Registry", "Key"), ("Registry", "Name"), ("Registry", "Value"),
              ("CustomAction", "Target"), ("LaunchCondition", "Description")]
_CONDITION_WORDS = {"NOT", "AND", "OR", "XOR", "EQV", "IMP"}


@_rule
def ice46(t, _):
    """ICE46: no property differs from another one only by case.
    https://learn.microsoft.com/windows/win32/msi/ice46
    """
    defined = {p["Property"] for p in t.get("Property", [])} | _INSTALLER_PROPERTIES
    defined |= {c["Property"] for c in t.get("Control", []) if c["Property"]}
    defined |= {a["Source"] for a in t.get("CustomAction", []) if int(a["Type"]) & 0x3F == 51}
    defined |= {u["ActionProperty"] for u in t.get("Upgrade", [])} | {d["Directory"] for d in t.get("Directory", [])}
    problems = [f"ICE46 {a}: defined again as {b}" for a in defined for b in defined
                if a < b and a.lower() == b.lower()]
    used = []
    for table, column in _CONDITIONS:
        for row in t.get(table, []):
            text = re.sub(r'"[^"]*"', "", row.get(column, ""))
            used += [(table, w) for w in re.findall(r"(?<![\w$?&!%])[A-Za-z_][\w.]*", text)
                     if w.upper() not in _CONDITION_WORDS]
    for table, column in _FORMATTED:
        used += [(table, w) for row in t.get(table, [])
                 for w in re.findall(r"\[([A-Za-z_][\w.]*)\]", row.get(column, ""))]
    lower = {d.lower(): d for d in defined}
    problems += [f"ICE46 {table}: {w} differs from {lower[w.lower()]} only by case" for table, w in used
                 if w not in defined and w.lower() in lower]
    return problems


_SEQUENCES = ("InstallUISequence", "InstallExecuteSequence", "AdminUISequence", "AdminExecuteSequence",
              "AdvtExecuteSequence")
_REGISTRATION = {"RegisterProduct", "RegisterUser", "PublishProduct", "PublishFeatures"}


@_rule
def ice82(t, _):
    """ICE82: no two actions of a sequence share a number; the four registering actions come all
    or none.
    https://learn.microsoft.com/windows/win32/msi/ice82
    """
    problems = []
    for table in _SEQUENCES:
        numbers = [r["Sequence"] for r in t.get(table, []) if r["Sequence"]]
        problems += [f"ICE82 {table}: sequence number {n} used twice" for n in sorted(set(numbers), key=numbers.index)
                     if numbers.count(n) > 1]
    present = _REGISTRATION & {r["Action"] for r in t.get("InstallExecuteSequence", [])}
    if present and present != _REGISTRATION:
        problems.append(f"ICE82 InstallExecuteSequence: {sorted(_REGISTRATION - present)} missing")
    return problems


@_rule
def versioned_files(t, _):
    """A program or library carries its version and language, so that the file versioning
    rules compare versions; only unversioned files have a hash.
    https://learn.microsoft.com/windows/win32/msi/file-table
    https://learn.microsoft.com/windows/win32/msi/default-file-versioning
    https://learn.microsoft.com/windows/win32/msi/msifilehash-table
    """
    problems = [f"File {f['File']}: a program without version or language" for f in t.get("File", [])
                if f["FileName"].lower().endswith((".exe", ".dll")) and not (f["Version"] and f["Language"])]
    versioned = {f["File"] for f in t.get("File", []) if f["Version"]}
    problems += [f"MsiFileHash {h['File_']}: a hash of a versioned file" for h in t.get("MsiFileHash", [])
                 if h["File_"] in versioned]
    return problems


def problems(msi):
    t = read_tables(msi)
    codepage = "cp949" if msi_tables.codepage(msi) == msi_tables.KOREAN_CODEPAGE else "cp1252"
    return [problem for check in _RULES for problem in check(t, codepage)]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.split("\n\n")[1])
    found = problems(Path(sys.argv[1]))
    for problem in found:
        print(problem)
    sys.exit(1 if found else 0)


if __name__ == "__main__":
    main()
