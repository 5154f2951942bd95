"""Checks an installer's tables against those rules of Windows Installer's validation (the ICEs)
that apply to this package. Microsoft's validator does not run on Linux, so this reads the tables as
msiinfo exports them. Each rule names the page of Microsoft's documentation that describes it.

    validate_msi.py PACKAGE.msi

Prints one line per broken rule and exits with 1 when there is any; a warning is printed with
"warning:" before it and does not fail the package.

Checked, each to the extent its function's text says: ICE02, ICE03 (the names of files, folders and
shortcuts, the files' versions and languages, and the registry roots only), ICE08, ICE17 (push buttons' events, pictures,
lists), ICE20 (the dialogs an authored interface needs, the error dialog's layout), ICE21, ICE23,
ICE31, ICE34, ICE38, ICE43, ICE44, ICE46, ICE57, ICE61, ICE64, ICE82 (shared sequence numbers and the
four registering actions only), ICE91, and that programs carry their version (the File table's
rules). ICE61 takes one exception: the same-version upgrade row that msi_tables.py writes on purpose,
so that a rebuild of the same version replaces the installed one. ICE91 is a warning, as Microsoft's
validator gives it, expected of a per-user package; a package that may be installed for all users
(ALLUSERS set) gets it as an error, since its files would reach one profile only.

Every other ICE of Microsoft's ICE reference is left out:
- ICE07, ICE15, ICE22, ICE25, ICE41, ICE42, ICE51, ICE55, ICE62, ICE65, ICE76, ICE81, ICE83, ICE85,
  ICE88, ICE89, ICE94, ICE95, ICE97, ICE98, ICE100, ICE102, ICE104: they are about tables this
  package has none of (fonts, MIME types, published components, merge modules, classes, permissions,
  isolated components, environment, bound images, signatures, assemblies, moved files, INI files,
  ProgIds, billboards, ODBC, embedded interfaces, service configuration);
- ICE06, ICE32, ICE66, and ICE03 for every other column: they read the _Validation table, which
  wixl does not write;
- ICE01, ICE04, ICE05, ICE09, ICE10, ICE12, ICE13, ICE14, ICE16, ICE18, ICE19, ICE24, ICE26, ICE27,
  ICE28, ICE29, ICE30, ICE33, ICE35, ICE36, ICE39, ICE40, ICE45, ICE47, ICE48, ICE49, ICE50, ICE52,
  ICE53, ICE54, ICE56, ICE58, ICE59, ICE60, ICE63, ICE67, ICE68, ICE69, ICE70, ICE71, ICE72, ICE73,
  ICE74, ICE75, ICE77, ICE78, ICE79, ICE80, ICE84, ICE86, ICE87, ICE90, ICE92, ICE93, ICE96, ICE99,
  ICE101, ICE103, ICE105 apply to this package but are not checked here; only the install tests
  under Wine, which install, upgrade and remove it, stand for them.
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


def _properties(t):
    return {p["Property"]: p["Value"] for p in t.get("Property", [])}


# Where things land: in the current user's profile, on the machine for everyone, or either,
# by ALLUSERS. The folders whose place follows ALLUSERS, and those in the user's profile whatever
# ALLUSERS says.
# https://learn.microsoft.com/windows/win32/msi/installation-context
# https://learn.microsoft.com/windows/win32/msi/ice91
USER, MACHINE, EITHER = "per-user", "per-machine", "per-user or per-machine"
_FOLLOW_ALLUSERS = {"DesktopFolder", "ProgramMenuFolder", "StartMenuFolder", "StartupFolder", "TemplateFolder",
                    "AdminToolsFolder"}
_PER_USER_ONLY = {"AppDataFolder", "FavoritesFolder", "NetHoodFolder", "PersonalFolder", "PrintHoodFolder",
                  "RecentFolder", "SendToFolder", "MyPicturesFolder", "LocalAppDataFolder"}
_HKCR, _HKCU, _HKMU = 0, 1, -1  # Registry.Root; -1 is HKCU or HKLM by ALLUSERS, 0 goes with it


def _context(t):
    """Where the package installs: no ALLUSERS is per user, 1 per machine, 2 either."""
    allusers = _properties(t).get("ALLUSERS", "")
    return USER if not allusers else MACHINE if allusers == "1" else EITHER


_REGISTRY_KEY_PATH, _ODBC_KEY_PATH = 0x4, 0x20  # Component.Attributes


class _Places:
    """Where each folder, file, registry value and key path of the package lands."""

    def __init__(self, t):
        self.context = _context(t)
        self.parent = {d["Directory"]: d["Directory_Parent"] for d in t.get("Directory", [])}
        self.registry = {r["Registry"]: r for r in t.get("Registry", [])}
        self.files = {f["File"]: f for f in t.get("File", [])}

    def profile_folder(self, directory):
        """The system folder of a user's profile that the folder is in, or None."""
        seen = set()
        while directory and directory not in seen:
            if directory in _PER_USER_ONLY or directory in _FOLLOW_ALLUSERS:
                return directory
            seen.add(directory)
            directory = self.parent.get(directory)
        return None

    def folder(self, directory):
        profile = self.profile_folder(directory)
        return MACHINE if not profile else USER if profile in _PER_USER_ONLY else self.context

    def root(self, root):
        return self.context if int(root) in (_HKCR, _HKMU) else USER if int(root) == _HKCU else MACHINE

    def key_path(self, component):
        """Where the component's key path lands, None when it names no row of the table its
        attributes name."""
        key = component["KeyPath"]
        if not key:
            return self.folder(component["Directory_"])
        if int(component["Attributes"] or 0) & _REGISTRY_KEY_PATH:
            return self.root(self.registry[key]["Root"]) if key in self.registry else None
        return self.folder(component["Directory_"]) if key in self.files else None


def _registry_key_path(t, component):
    """The component's key path as a registry row of its own, or why it is none."""
    key = component["KeyPath"]
    if not int(component["Attributes"] or 0) & _REGISTRY_KEY_PATH:
        return None, "its key path is no registry key" + (f" but {key}" if key else "")
    row = next((r for r in t.get("Registry", []) if r["Registry"] == key), None)
    if row is None:
        return None, f"its key path {key!r} is no registry row"
    if row["Component_"] != component["Component"]:
        return None, f"its key path {key} is a registry value of {row['Component_']}"
    return row, None


def _component_places(t, places):
    """What each component installs and where: (what, place) for its files, registry values and
    non-advertised shortcuts."""
    features = {f["Feature"] for f in t.get("Feature", [])}
    owned = {c["Component"]: [] for c in t.get("Component", [])}
    directory = {c["Component"]: c["Directory_"] for c in t.get("Component", [])}
    for f in t.get("File", []):
        owned.get(f["Component_"], []).append((f"file {f['File']}", places.folder(directory.get(f["Component_"]))))
    for r in t.get("Registry", []):
        owned.get(r["Component_"], []).append((f"registry value {r['Registry']}", places.root(r["Root"])))
    for s in t.get("Shortcut", []):
        if s["Target"] not in features:
            owned.get(s["Component_"], []).append((f"shortcut {s['Shortcut']}", places.folder(s["Directory_"])))
    return owned


@_rule
def ice02(t, _):
    """ICE02: a component's key path is a file or registry value of that very component.
    https://learn.microsoft.com/windows/win32/msi/ice02
    """
    problems = []
    for c in t.get("Component", []):
        attributes, key = int(c["Attributes"] or 0), c["KeyPath"]
        if not key or attributes & _ODBC_KEY_PATH:
            continue
        table = "Registry" if attributes & _REGISTRY_KEY_PATH else "File"
        owner = {row[table]: row["Component_"] for row in t.get(table, [])}.get(key)
        if owner != c["Component"]:
            problems.append(f"ICE02 Component {c['Component']}: key path {key} is no {table} row of it"
                            + (f" but of {owner}" if owner else ""))
    return problems


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
    the files' versions and languages, and the registry roots.
    https://learn.microsoft.com/windows/win32/msi/ice03
    https://learn.microsoft.com/windows/win32/msi/filename
    https://learn.microsoft.com/windows/win32/msi/defaultdir
    https://learn.microsoft.com/windows/win32/msi/version
    https://learn.microsoft.com/windows/win32/msi/language
    https://learn.microsoft.com/windows/win32/msi/registry-table
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
    for row in t.get("Registry", []):
        if row["Root"] not in ("-1", "0", "1", "2", "3"):
            problems.append(f"ICE03 Registry {row['Registry']}: invalid root {row['Root']!r}")
    return problems


@_rule
def ice08(t, _):
    """ICE08: no two components share a GUID.
    https://learn.microsoft.com/windows/win32/msi/ice08
    """
    first = {}
    problems = []
    for c in t.get("Component", []):
        guid = c["ComponentId"].upper()
        if guid and guid in first:
            problems.append(f"ICE08 Component {c['Component']}: GUID {guid} of {first[guid]} too")
        first.setdefault(guid, c["Component"])
    return problems


_BITMAP, _ICON, _INDIRECT = 0x40000, 0x80000, 8
# Only on these do the two bits make the Text a picture of the Binary table; on a Text control the
# same bits are NoWrap and FormatSize.
# https://learn.microsoft.com/windows/win32/msi/bitmap-control-attribute
# https://learn.microsoft.com/windows/win32/msi/icon-control-attribute
# https://learn.microsoft.com/windows/win32/msi/nowrap-control-attribute
_PICTURED = {"CheckBox", "PushButton", "RadioButtonGroup"}


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
        pictures = attributes & (_BITMAP | _ICON) if kind in _PICTURED else 0
        if kind == "PushButton" and (c["Dialog_"], c["Control"]) not in events:
            problems.append(f"ICE17 {name}: push button without an event")
        if pictures == _BITMAP | _ICON:
            problems.append(f"ICE17 {name}: both icon and bitmap")
        if (kind in ("Icon", "Bitmap") or pictures) and c["Text"] not in binary:
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
def ice21(t, _):
    """ICE21: every component belongs to a feature.
    https://learn.microsoft.com/windows/win32/msi/ice21
    """
    mapped = {f["Component_"] for f in t.get("FeatureComponents", [])}
    return [f"ICE21 Component {c['Component']}: in no feature" for c in t.get("Component", [])
            if c["Component"] not in mapped]


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
def ice34(t, _):
    """ICE34: every group of radio buttons has a property, and the property a default value that is
    one of the group's buttons; an indirect group's property names a defined property.
    https://learn.microsoft.com/windows/win32/msi/ice34
    """
    properties = _properties(t)
    values = {}
    for b in t.get("RadioButton", []):
        values.setdefault(b["Property"], set()).add(b["Value"])
    problems = []
    for c in t.get("Control", []):
        if c["Type"] != "RadioButtonGroup":
            continue
        name, prop = f"{c['Dialog_']}.{c['Control']}", c["Property"]
        if not prop:
            problems.append(f"ICE34 {name}: a group of radio buttons without a property")
            continue
        if int(c["Attributes"] or 0) & _INDIRECT:
            if properties.get(prop) not in properties:
                problems.append(f"ICE34 {name}: the indirect property {prop} names no defined property")
                continue
            prop = properties[prop]
        if properties.get(prop) not in values.get(prop, set()):
            problems.append(f"ICE34 {name}: {prop}={properties.get(prop)!r} is none of its buttons "
                            f"{sorted(values.get(prop, set()))}")
    return problems


@_rule
def ice38(t, _):
    """ICE38: a component that installs into the current user's profile has a registry value of its
    own under HKCU as its key path: HKCU itself, or the root that follows ALLUSERS where that lands
    where the component does.
    https://learn.microsoft.com/windows/win32/msi/ice38
    """
    places, problems = _Places(t), []
    for c in t.get("Component", []):
        where = places.folder(c["Directory_"])
        if where == MACHINE:
            continue
        row, why = _registry_key_path(t, c)
        if row is not None and not (int(row["Root"]) == _HKCU
                                    or int(row["Root"]) == _HKMU and places.root(_HKMU) == where):
            why = f"its key path {row['Registry']} is not under HKCU"
        if why:
            problems.append(f"ICE38 Component {c['Component']}: installs into the user's profile, but {why}")
    return problems


@_rule
def ice43(t, _):
    """ICE43: a component with a non-advertised shortcut has its own registry value under HKCU, or
    under the root that follows ALLUSERS, as its key path.
    https://learn.microsoft.com/windows/win32/msi/ice43
    """
    features = {f["Feature"] for f in t.get("Feature", [])}
    with_shortcuts = {s["Component_"] for s in t.get("Shortcut", []) if s["Target"] not in features}
    problems = []
    for c in t.get("Component", []):
        if c["Component"] not in with_shortcuts:
            continue
        row, why = _registry_key_path(t, c)
        if row is not None and int(row["Root"]) not in (_HKCU, _HKMU):
            why = f"its key path {row['Registry']} is under neither HKCU nor the root that follows ALLUSERS"
        if why:
            problems.append(f"ICE43 Component {c['Component']}: has non-advertised shortcuts, but {why}")
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




# The properties Windows Installer defines, as its Property Reference lists them, section by section.
# https://learn.microsoft.com/windows/win32/msi/property-reference
_INSTALLER_PROPERTIES = {name for section in (
    # Component location
    "OriginalDatabase ParentOriginalDatabase SourceDir TARGETDIR",
    # Configuration
    "ACTION ALLUSERS ARPAUTHORIZEDCDFPREFIX ARPCOMMENTS ARPCONTACT ARPINSTALLLOCATION ARPNOMODIFY "
    "ARPNOREMOVE ARPNOREPAIR ARPPRODUCTICON ARPREADME ARPSIZE ARPSYSTEMCOMPONENT ARPURLINFOABOUT "
    "ARPURLUPDATEINFO AVAILABLEFREEREG CCP_DRIVE DefaultUIFont DISABLEADVTSHORTCUTS DISABLEMEDIA "
    "DISABLEROLLBACK EXECUTEACTION EXECUTEMODE FASTOEM INSTALLLEVEL LIMITUI LOGACTION MEDIAPACKAGEPATH "
    "MSIARPSETTINGSIDENTIFIER MSIDISABLEEEUI MSIFASTINSTALL MSIINSTALLPERUSER MSINODISABLEMEDIA "
    "MSIENFORCEUPGRADECOMPONENTRULES MSIUNINSTALLSUPERSEDEDCOMPONENTS PRIMARYFOLDER Privileged "
    "PROMPTROLLBACKCOST REBOOT REBOOTPROMPT ROOTDRIVE SEQUENCE SHORTFILENAMES TRANSFORMS TRANSFORMSATSOURCE "
    "TRANSFORMSSECURE MsiLogFileLocation MsiLogging MSIUSEREALADMINDETECTION",
    # Date, time
    "Date Time",
    # Feature installation options
    "ADDDEFAULT ADDLOCAL ADDSOURCE ADVERTISE COMPADDDEFAULT COMPADDLOCAL COMPADDSOURCE FILEADDDEFAULT "
    "FILEADDLOCAL FILEADDSOURCE MSIDISABLELUAPATCHING MsiPatchRemovalList MSIRESTARTMANAGERCONTROL "
    "MSIDISABLERMRESTART MSIRMSHUTDOWN MSIPATCHREMOVE PATCH REINSTALL REINSTALLMODE REMOVE",
    # Hardware
    "Alpha BorderSide BorderTop CaptionHeight ColorBits Intel Intel64 Msix64 PhysicalMemory ScreenX ScreenY "
    "TextHeight VirtualMemory",
    # Installation status
    "AFTERREBOOT CostingComplete Installed MSICHECKCRCS MsiRestartManagerSessionKey MsiRunningElevated "
    "MsiSystemRebootPending MsiUIHideCancel MsiUIProgressOnly MsiUISourceResOnly NOCOMPANYNAME NOUSERNAME "
    "OutOfDiskSpace OutOfNoRbDiskSpace Preselected PrimaryVolumePath PrimaryVolumeSpaceAvailable "
    "PrimaryVolumeSpaceRemaining PrimaryVolumeSpaceRequired ProductLanguage ReplacedInUseFiles RESUME "
    "RollbackDisabled UILevel UpdateStarted UPGRADINGPRODUCTCODE VersionMsi",
    # Operating system
    "AdminUser ComputerName MsiNetAssemblySupport MsiNTProductType MsiNTSuiteBackOffice "
    "MsiNTSuiteDataCenter MsiNTSuiteEnterprise MsiNTSuitePersonal MsiNTSuiteSmallBusiness "
    "MsiNTSuiteSmallBusinessRestricted MsiNTSuiteWebServer MsiTabletPC MsiWin32AssemblySupport "
    "OLEAdvtSupport RedirectedDllSupport RemoteAdminTS ServicePackLevel ServicePackLevelMinor SharedWindows "
    "ShellAdvtSupport SystemLanguageID TerminalServer TTCSupport Version9X VersionDatabase VersionNT "
    "VersionNT64 WindowsBuild",
    # Product information
    "ARPHELPLINK ARPHELPTELEPHONE DiskPrompt IsAdminPackage LeftUnit Manufacturer MediaSourceDir "
    "MSIINSTANCEGUID MSINEWINSTANCE ParentProductCode PIDTemplate ProductCode ProductName ProductState "
    "ProductVersion UpgradeCode",
    # Summary information update
    "PATCHNEWPACKAGECODE PATCHNEWSUMMARYCOMMENTS PATCHNEWSUMMARYSUBJECT",
    # System folders
    "AdminToolsFolder AppDataFolder CommonAppDataFolder CommonFiles64Folder CommonFilesFolder DesktopFolder "
    "FavoritesFolder FontsFolder LocalAppDataFolder MyPicturesFolder NetHoodFolder PersonalFolder "
    "PrintHoodFolder ProgramFiles64Folder ProgramFilesFolder ProgramMenuFolder RecentFolder SendToFolder "
    "StartMenuFolder StartupFolder System16Folder System64Folder SystemFolder TempFolder TemplateFolder "
    "WindowsFolder WindowsVolume",
    # User information
    "AdminProperties COMPANYNAME LogonUser MsiHiddenProperties PIDKEY ProductID UserLanguageID USERNAME "
    "UserSID",
) for name in section.split()}
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
    """ICE46: no property differs from another one only by case: none the package defines from
    one that Windows Installer defines or that the package defines too, none that a condition or a
    formatted text uses from a defined one.
    https://learn.microsoft.com/windows/win32/msi/ice46
    """
    authored = [p["Property"] for p in t.get("Property", [])]
    authored += [c["Property"] for c in t.get("Control", []) if c["Property"]]
    authored += [a["Source"] for a in t.get("CustomAction", []) if int(a["Type"]) & 0x3F == 51]
    authored += [u["ActionProperty"] for u in t.get("Upgrade", [])] + [d["Directory"] for d in t.get("Directory", [])]
    defined = set(authored) | _INSTALLER_PROPERTIES
    problems = [f"ICE46 {a}: defined again as {b}" for a in sorted(defined) for b in sorted(set(authored))
                if a != b and a.lower() == b.lower() and (a in _INSTALLER_PROPERTIES or a < b)]
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


@_rule
def ice57(t, _):
    """ICE57: no component mixes what is per user with what is per machine, counting its files,
    registry values, non-advertised shortcuts and key path; nor either of them with what can be
    both (a registry root or a folder that follows ALLUSERS, in a package that leaves it open).
    Microsoft's validator gives a mix under an HKCU key path as a warning; here it fails too.
    https://learn.microsoft.com/windows/win32/msi/ice57
    """
    places, problems = _Places(t), []
    owned = _component_places(t, places)
    for c in t.get("Component", []):
        key_path = places.key_path(c)
        found = owned[c["Component"]] + ([("key path", key_path)] if key_path else [])
        kinds = {where for _, where in found}
        if len(kinds) > 1:
            problems.append(f"ICE57 Component {c['Component']}: mixes "
                            + ", ".join(f"{what} ({where})" for what, where in found))
    return problems


def _product_version(text):
    """A ProductVersion's three compared fields, or None when it is none."""
    # https://learn.microsoft.com/windows/win32/msi/productversion
    parts = text.split(".")
    if not 1 <= len(parts) <= 4 or not all(p.isdigit() for p in parts):
        return None
    numbers = [int(p) for p in parts] + [0] * (3 - len(parts[:3]))
    if numbers[0] > 255 or numbers[1] > 255 or any(n > 65535 for n in numbers[2:]):
        return None
    return tuple(numbers[:3])


_MIGRATE_FEATURES, _ONLY_DETECT, _VERSION_MAX_INCLUSIVE = 0x1, 0x2, 0x200  # Upgrade.Attributes
# The upgrade row that removes older versions, as msi_tables.allow_same_version_upgrade writes it:
# it takes the product's own version too.
_SAME_VERSION_ACTION = "WIX_UPGRADE_DETECTED"
_SAME_VERSION_ATTRIBUTES = _MIGRATE_FEATURES | _VERSION_MAX_INCLUSIVE


def _same_version_row(row, properties):
    return (row["ActionProperty"] == _SAME_VERSION_ACTION and row["UpgradeCode"] == properties.get("UpgradeCode")
            and not row["VersionMin"] and row["VersionMax"] == properties.get("ProductVersion")
            and not row["Language"] and not row["Remove"] and int(row["Attributes"]) == _SAME_VERSION_ATTRIBUTES)


@_rule
def ice61(t, _):
    """ICE61: each upgrade row's property is public, secure, not in the Property table and its own;
    its versions are product versions, the least not above the greatest; and no row removes this
    product's own version or a newer one, but for the same-version row of msi_tables.py.
    https://learn.microsoft.com/windows/win32/msi/ice61
    https://learn.microsoft.com/windows/win32/msi/upgrade-table
    """
    properties = _properties(t)
    secure = set(properties.get("SecureCustomProperties", "").split(";"))
    rows = t.get("Upgrade", [])
    own = _product_version(properties.get("ProductVersion", ""))
    problems = []
    for row in rows:
        name, attributes = row["ActionProperty"], int(row["Attributes"])
        where = f"ICE61 Upgrade {name}"
        if name in properties:
            problems.append(f"{where}: set in the Property table")
        if name != name.upper():
            problems.append(f"{where}: not a public property")
        if name not in secure:
            problems.append(f"{where}: not in SecureCustomProperties")
        if [r["ActionProperty"] for r in rows].count(name) > 1:
            problems.append(f"{where}: used by more than one row")
        least, greatest = (_product_version(v) if v else () for v in (row["VersionMin"], row["VersionMax"]))
        if least is None or greatest is None:
            problems.append(f"{where}: {row['VersionMin']!r} or {row['VersionMax']!r} is no product version")
            continue
        if least and greatest and greatest < least:
            problems.append(f"{where}: VersionMax {row['VersionMax']} below VersionMin {row['VersionMin']}")
        if (row["UpgradeCode"] == properties.get("UpgradeCode") and not attributes & _ONLY_DETECT and own
                and (not greatest or greatest > own or greatest == own and attributes & _VERSION_MAX_INCLUSIVE)
                and not _same_version_row(row, properties)):
            problems.append(f"{where}: removes this version or a newer one (up to {row['VersionMax'] or 'any'})")
    return problems


@_rule
def ice64(t, _):
    """ICE64: a folder the package makes in the user's profile is removed again: a RemoveFile row
    without a file name removes it on uninstall.
    https://learn.microsoft.com/windows/win32/msi/ice64
    https://learn.microsoft.com/windows/win32/msi/removefile-table
    """
    places = _Places(t)
    removed = {r["DirProperty"] for r in t.get("RemoveFile", []) if not r["FileName"] and int(r["InstallMode"]) & 2}
    return [f"ICE64 Directory {d['Directory']}: in the user's profile but never removed" for d in t.get("Directory", [])
            if d["Directory"] not in _PER_USER_ONLY | _FOLLOW_ALLUSERS and places.folder(d["Directory"]) != MACHINE
            and d["DefaultDir"].split(":")[0] != "." and d["Directory"] not in removed]


_REGISTRATION = {"RegisterProduct", "RegisterUser", "PublishProduct", "PublishFeatures"}


_SEQUENCES = ("InstallUISequence", "InstallExecuteSequence", "AdminUISequence", "AdminExecuteSequence",
              "AdvtExecuteSequence")


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


def ice91(t):
    """ICE91: a file, INI file or shortcut in a folder that is per user whatever ALLUSERS says
    reaches one user's profile only. Harmless in a package that installs per user only (a warning
    then), a fault in one that may install for all users.
    https://learn.microsoft.com/windows/win32/msi/ice91
    """
    places = _Places(t)
    directory = {c["Component"]: c["Directory_"] for c in t.get("Component", [])}
    placed = [("File", f["File"], directory.get(f["Component_"])) for f in t.get("File", [])]
    placed += [("IniFile", i["IniFile"], i["DirProperty"]) for i in t.get("IniFile", [])]
    placed += [("Shortcut", s["Shortcut"], s["Directory_"]) for s in t.get("Shortcut", [])]
    return [f"ICE91 {table} {key}: in {places.profile_folder(folder)}, per user whatever ALLUSERS says"
            for table, key, folder in placed if places.profile_folder(folder) in _PER_USER_ONLY]


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


def findings(msi):
    """The broken rules, and the warnings; ICE91 counts among the broken ones for a package that
    may be installed for all users."""
    t = read_tables(msi)
    codepage = "cp949" if msi_tables.codepage(msi) == msi_tables.KOREAN_CODEPAGE else "cp1252"
    errors = [problem for check in _RULES for problem in check(t, codepage)]
    per_user_only = ice91(t)
    if _context(t) == USER:
        return errors, per_user_only
    return errors + per_user_only, []


def problems(msi):
    return findings(msi)[0]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.split("\n\n")[1])
    errors, warnings = findings(Path(sys.argv[1]))
    for warning in warnings:
        print(f"warning: {warning} (expected of a per-user package)")
    for error in errors:
        print(error)
    sys.exit(1 if errors else 0)


if __name__ == "__main__":
    main()
