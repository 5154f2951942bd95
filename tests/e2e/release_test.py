"""The release files beyond the zip's own contents: the installer under Wine's Windows Installer, the
files' reproducibility, and their signatures.

Run through ctest, which makes the release files first:  python3 release_test.py InstallerTest
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

import images

SETTINGS = json.loads(Path(os.environ["HEIC_E2E_RELEASE_SETTINGS"]).read_text(encoding="utf-8"))
sys.path.insert(0, str(Path(SETTINGS["source"]) / "packaging"))
import make_release  # noqa: E402
import msi_dialogs  # noqa: E402
import msi_tables  # noqa: E402
import validate_msi  # noqa: E402

VERSION = SETTINGS["version"]
RELEASE = Path(SETTINGS["out"])
ZIP = RELEASE / f"heic-to-jpeg-{VERSION}-win64.zip"
MSI = RELEASE / f"heic-to-jpeg-{VERSION}-win64.msi"
WORK = Path(os.environ["HEIC_E2E_ROOT"]) / "release"
NAME = "HEIC to JPEG Converter"


def zip_files(path):
    with zipfile.ZipFile(path) as archive:
        return {Path(e.filename).name: archive.read(e) for e in archive.infolist() if not e.is_dir()}


def fresh_folder(name):
    folder = WORK / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def release_epoch():
    return make_release.source_epoch(SETTINGS["source"])


class WineInstaller(unittest.TestCase):
    """Windows Installer in a Wine prefix of its own, without a display unless the class needs one."""
    needs_display = False

    @classmethod
    def setUpClass(cls):
        cls.folder = fresh_folder(cls.__name__)
        # Wine takes its ANSI code page from the locale: a Korean one makes it 949, as on a Korean
        # Windows, where the installer's tables and the links' paths must read right.
        locales = cls.folder / "locales"
        locales.mkdir()
        subprocess.run(["localedef", "-i", "ko_KR", "-f", "UTF-8", str(locales / "ko_KR.UTF-8")], check=True)
        cls.env = dict(os.environ, WINEPREFIX=str(cls.folder / "prefix"), WINEDEBUG="-all", LOCPATH=str(locales),
                       LC_ALL="ko_KR.UTF-8", WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml=")
        cls.env.pop("DISPLAY", None)
        if cls.needs_display:
            import harness
            cls.env["DISPLAY"] = f":{harness.display()}"
        cls.wine("wineboot", "-i")
        # One server for the whole test: the registry is read from it, and each command starts quicker.
        subprocess.run(["wineserver", "-p"], env=cls.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        users = cls.folder / "prefix/drive_c/users"
        cls.user = next(p for p in users.iterdir() if p.name != "Public")
        cls.installed = cls.user / "AppData/Local/Programs/ORVIK" / NAME
        cls.menu = cls.user / "AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
        cls.send_to = cls.user / "AppData/Roaming/Microsoft/Windows/SendTo"

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=cls.env)

    @classmethod
    def wine(cls, *command, cwd=None):
        # Off our pipes: the wineserver that a command starts inherits them and outlives it.
        return subprocess.run(["wine", *command], env=cls.env, cwd=cwd, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300).returncode

    @staticmethod
    def msiexec_args(action, msi):
        return ["msiexec", action, "Z:" + str(msi).replace("/", "\\")]

    def msiexec(self, action, msi):
        return self.wine(*self.msiexec_args(action, msi), "/qn")

    def msiexec_started(self, action, msi):
        """msiexec with its full user interface, left running."""
        return subprocess.Popen(["wine", *self.msiexec_args(action, msi)], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def make_installer(self, name, version, files):
        """An installer of these files (name -> bytes) for this version, made as the release's is."""
        folder = self.folder / name
        folder.mkdir()
        for file, data in files.items():
            (folder / file).write_bytes(data)
        msi = self.folder / f"{name}.msi"
        make_release.write_installer(folder, msi, version, release_epoch(), Path(SETTINGS["icon"]),
                                     self.folder / "msi-work")
        return msi

    def registry(self):
        """Every key of HKCU and HKLM\\Software with its values, as Wine exports them."""
        keys = {}
        for root in ("HKCU", "HKLM\\Software"):
            export = self.folder / "export.reg"
            self.assertEqual(self.wine("reg", "export", root, str(export), "/y"), 0)
            key = None
            for line in export.read_bytes().decode("utf-16").replace("\\\r\n  ", "").splitlines():
                if line.startswith("["):
                    key = line
                    keys[key] = set()
                elif line and key:
                    keys[key].add(line)
        return keys

    def files(self):
        return {p.relative_to(self.user).as_posix() for p in self.user.rglob("*")}

    def products(self):
        """The version of every entry of 설정 > 앱 that is ours, each checked for its publisher and
        for removal as its only action."""
        uninstall = "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
        ours = [values for key, values in self.registry().items()
                if key.startswith(uninstall) and f'"DisplayName"="{NAME}"' in values]
        for values in ours:
            self.assertLessEqual({'"Publisher"="ORVIK"', '"NoModify"=dword:00000001', '"NoRepair"=dword:00000001'},
                                 values)
        return [v for values in ours for v in values if v.startswith('"DisplayVersion"')]


class InstallerTest(WineInstaller):
    """Installs, upgrades, refuses a downgrade and uninstalls, silently."""

    def test_install_upgrade_refuse_downgrade_uninstall(self):
        before_files, before_registry = self.files(), self.registry()
        release = zip_files(ZIP)

        # Installers of the same files but for their texts: an older version, and a rebuild of this
        # version, which has another product code.
        other = {name: b"other " + data if name.endswith(".txt") else data for name, data in release.items()}
        older, rebuilt = self.make_installer("older", "0.1.0", other), self.make_installer("rebuilt", VERSION, other)
        self.assertEqual(self.msiexec("/i", older), 0)
        self.assertEqual(self.products(), ['"DisplayVersion"="0.1.0"'])
        self.assertEqual(self.msiexec("/i", rebuilt), 0, "the newer version installs over the older")
        self.assertEqual(self.products(), [f'"DisplayVersion"="{VERSION}"'], "one entry, the newer")

        self.assertEqual(self.msiexec("/i", MSI), 0, "a rebuild of the same version replaces it too")
        self.assertEqual(self.products(), [f'"DisplayVersion"="{VERSION}"'])
        self.assertEqual({p.name: p.read_bytes() for p in self.installed.iterdir()}, release)
        program = self.installed / "heic-to-jpeg.exe"
        for folder, shortcut, target in [(self.menu, "HEIC를 JPEG로 변환", program),
                                         (self.menu, "HEIC를 JPEG로 변환 사용설명서", self.installed / "사용설명서.txt"),
                                         (self.send_to, "HEIC를 JPEG로", program)]:
            self.assertEqual(link_target(folder / f"{shortcut}.lnk"), self.windows_path(target), shortcut)
        icon, = self.user.glob("AppData/Roaming/Microsoft/Installer/*/program.ico")
        self.assertEqual(icon.read_bytes(), Path(SETTINGS["icon"]).read_bytes(), "설정 > 앱 shows the program's icon")
        self.assertEqual([v for values in self.registry().values() for v in values if v.startswith('"ProductIcon"=')],
                         ['"ProductIcon"="' + self.windows_path(icon).replace("\\", "\\\\") + '"'])

        photos = self.folder / "photos"
        photos.mkdir()
        images.write_png(photos / "사진.png", 40, 30)
        self.assertEqual(self.wine(str(program), "--quiet", "--no-gui", "--self-test", "사진.png", cwd=photos), 0)
        self.assertEqual(images.jpeg_size(photos / "사진.jpg"), (40, 30))

        installed_files, installed_registry = self.files(), self.registry()
        downgrade = self.msiexec("/i", older)
        self.assertEqual(downgrade, 1603 & 0xFF, "ERROR_INSTALL_FAILURE, as Wine's exit status holds it")
        self.assertEqual(self.files(), installed_files, "a refused downgrade changes no file")
        self.assertEqual(changed_keys(installed_registry, self.registry()), [], "nor the registry")

        self.assertEqual(self.msiexec("/x", MSI), 0)
        # Windows Installer keeps its own folder and empty keys for its bookkeeping; nothing of ours stays.
        self.assertEqual(self.files() ^ before_files, {"AppData/Roaming/Microsoft/Installer"})
        after_registry = self.registry()
        self.assertEqual([key for key in changed_keys(before_registry, after_registry)
                          if after_registry.get(key) or "\\Installer" not in key], [])

    def windows_path(self, path):
        return "C:\\users\\" + path.relative_to(self.user.parent).as_posix().replace("/", "\\")


class InstallerDialogTest(WineInstaller):
    """A double-click install, with the full user interface on the session's display."""
    needs_display = True

    def driver(self, report, *args):
        # Off our pipes, as in wine(): a desktop process the driver starts would inherit them.
        with open(report, "wb") as out:
            return subprocess.Popen(["wine", os.environ["HEIC_E2E_DRIVER"], *args, "--timeout-ms", "120000"],
                                    env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)

    def run_seen(self, action, msi, *drivers):
        """Runs msiexec with its full interface and our driver on the windows it shows, one driver
        run after the other, the first started before msiexec; their reports and msiexec's exit status."""
        reports = [self.folder / f"driver{n}.out" for n in range(len(drivers))]
        first = self.driver(reports[0], *drivers[0])
        msiexec = self.msiexec_started(action, msi)
        first.wait(timeout=300)
        for report, args in zip(reports[1:], drivers[1:]):
            self.driver(report, *args).wait(timeout=300)
        seen = [json.loads(report.read_text(encoding="utf-8") or "{}") for report in reports]
        try:
            return seen, msiexec.wait(timeout=300)
        except subprocess.TimeoutExpired:
            self.fail(f"msiexec waits on a window after {seen}")

    def assert_progress(self, seen, task):
        """The progress dialog showed first: its title for the task, the installer's action texts
        after it, a bar that moved, and 취소."""
        self.assertEqual(len(seen.get("seen", [])), 1, seen)
        progress = seen["seen"][0]
        texts = [t["text"] for t in progress["texts"]]
        self.assertEqual(texts[:1], [msi_dialogs.PROGRESS_TITLE.format(task=task)], seen)
        self.assertGreater(len(texts), 1, "the action text follows the installer")
        self.assertEqual(progress["buttons"], [{"text": msi_dialogs.CANCEL_BUTTON}])
        self.assertGreater(progress["progress"], 0, "the bar follows the installer")

    def test_install_shows_progress_then_where_to_find_the_program(self):
        (seen,), code = self.run_seen("/i", MSI, ["window", "--caption", NAME, "--press", msi_dialogs.CLOSE_BUTTON])
        self.assertEqual((seen.get("caption"), seen.get("texts"), seen.get("closed")),
                         (NAME, [{"text": t} for t in (msi_dialogs.EXIT_DIALOG_TITLE, *msi_dialogs.EXIT_DIALOG_LINES)],
                          True), seen)
        self.assert_progress(seen, msi_dialogs.INSTALL_TASK)
        self.assertEqual(code, 0)
        self.assertTrue((self.installed / "heic-to-jpeg.exe").is_file())
        shown = " ".join(t["text"] for t in seen["texts"])
        for folder, entry, named in [(self.menu, "HEIC를 JPEG로 변환", "시작 메뉴에서 「HEIC를 JPEG로 변환」"),
                                     (self.send_to, "HEIC를 JPEG로", "[보내기] > 「HEIC를 JPEG로」")]:
            self.assertTrue((folder / f"{entry}.lnk").is_file(), entry)
            self.assertIn(named, shown, "the dialog names the entry the install made")

        # A refused downgrade: Wine shows every installer error in a box of its own, captioned
        # Install Failed (Windows, in the package's error dialog); the failure's dialog follows.
        older = self.make_installer("older", "0.1.0", zip_files(ZIP))
        (refusal, failure), code = self.run_seen("/i", older, ["box", "--caption", "Install Failed"],
                                                 ["window", "--caption", NAME, "--press", msi_dialogs.CLOSE_BUTTON])
        self.assertIn("더 새로운 버전의 HEIC to JPEG Converter가 설치되어 있습니다", refusal.get("text", ""),
                      refusal)
        failed = msi_dialogs.FATAL_ERROR_TITLE.format(task=msi_dialogs.INSTALL_TASK)
        self.assertEqual(failure.get("texts"), [{"text": failed}, {"text": msi_dialogs.ROLLED_BACK}], failure)
        self.assertEqual(code, 1603 & 0xFF)

        # A removal with the full interface shows its progress and ends on its own.
        (seen,), code = self.run_seen("/x", MSI, ["window", "--caption", NAME])
        self.assert_progress(seen, msi_dialogs.REMOVE_TASK)
        self.assertEqual(code, 0)
        self.assertFalse(self.installed.exists())


class InstallerRulesTest(unittest.TestCase):
    """Each installer of the release keeps the validation rules that apply to it, and their check
    finds a package that breaks one, naming that rule and no other."""

    def test_release_keeps_the_rules(self):
        packages = sorted(RELEASE.glob("heic-to-jpeg-*-win64*.msi"))
        self.assertIn(MSI, packages)
        for msi in packages:
            with self.subTest(msi.name):
                errors, warnings = validate_msi.findings(msi)
                self.assertEqual(errors, [])
                # Files in the user's own folders stay there even for an all-users install: expected
                # of the per-user package, a fault in the machine-wide one.
                if msi.name.endswith("-machine.msi"):
                    self.assertEqual(warnings, [])
                else:
                    self.assertEqual({w.split(":")[0] for w in warnings},
                                     {"ICE91 File Program", "ICE91 File Guide", "ICE91 File Notices",
                                      "ICE91 Shortcut SendToShortcut"})

    def test_each_broken_rule_is_found(self):
        folder = fresh_folder("rules")
        upgrade = "UPDATE `Upgrade` SET {} WHERE `ActionProperty`='{}'"

        def replace_upgrade(action, **values):
            # Versions and attributes are in the Upgrade table's key: the row is written anew.
            row = dict(next(r for r in msi_tables.rows(MSI, "Upgrade") if r["ActionProperty"] == action), **values)
            row = {column: value for column, value in row.items() if value}
            return [f"DELETE FROM `Upgrade` WHERE `ActionProperty`='{action}'",
                    f"INSERT INTO `Upgrade` ({', '.join(f'`{c}`' for c in row)}) VALUES "
                    f"({', '.join(v if c == 'Attributes' else repr(v) for c, v in row.items())})"]
        control = "UPDATE `Control` SET {} WHERE `Dialog_`='{}' AND `Control`='{}'"
        for rules, query in [
            (("ICE02 Component Program", "ICE38 Component Program"),
             "UPDATE `Registry` SET `Component_`='VendorFolder' WHERE `Name`='Program'"),
            (("ICE02 Component VendorFolder", "ICE38 Component VendorFolder"),
             "UPDATE `Component` SET `Attributes`=0, `KeyPath`='Program' WHERE `Component`='VendorFolder'"),
            ("ICE03 File", "UPDATE `File` SET `FileName`='heic-to-jpeg.exe' WHERE `File`='Program'"),
            ("ICE03 File", "UPDATE `File` SET `FileName`='사진파일A.EXE|heic-to-jpeg.exe' WHERE `File`='Program'"),
            ("ICE03 File", "UPDATE `File` SET `Version`='0.2.2.0.1' WHERE `File`='Program'"),
            ("ICE03 File", "UPDATE `File` SET `Version`='0.2.65536.0' WHERE `File`='Program'"),
            ("ICE03 File", "UPDATE `File` SET `Language`='ko' WHERE `File`='Program'"),
            ("ICE03 Shortcut", "UPDATE `Shortcut` SET `Name`='HEIC to JPEG' WHERE `Shortcut`='SendToShortcut'"),
            ("ICE03 Directory",
             "UPDATE `Directory` SET `DefaultDir`='HEIC to JPEG Converter' WHERE `Directory`='INSTALLDIR'"),
            ("ICE08", "UPDATE `Component` SET `ComponentId`='{0E4C2B7A-58D1-4F3B-8E6A-1A9D3C5B7F20}' "
                      "WHERE `Component`='ProgramsFolder' OR `Component`='VendorFolder'"),
            ("ICE08", "UPDATE `Component` SET `ComponentId`='{0e4c2b7a-58d1-4f3b-8e6a-1a9d3c5b7f20}' "
                      "WHERE `Component`='ProgramsFolder'"),
            ("ICE17", "DELETE FROM `ControlEvent` WHERE `Dialog_`='CancelDialog' AND `Control_`='Yes'"),
            ("ICE17", "DELETE FROM `Binary` WHERE `Name`='ErrorIcon'"),
            ("ICE17", control.format("`Attributes`=786435", "CancelDialog", "Yes")),  # bitmap and icon
            (("ICE17", "ICE20 FilesInUse"),
             "DELETE FROM `ControlEvent` WHERE `Dialog_`='FilesInUse' AND `Argument`='Ignore'"),
            ("ICE20 ErrorDialog", "DELETE FROM `Property` WHERE `Property`='ErrorDialog'"),
            ("ICE20 ErrorDialog", control.format("`Y`=10", "ErrorDialog", "N")),
            ("ICE20 ErrorDialog", control.format("`Height`=20", "ErrorDialog", "N")),
            ("ICE20 ErrorDialog", control.format("`Type`='Edit'", "ErrorDialog", "ErrorText")),
            ("ICE20 ErrorDialog", control.format("`Type`='Bitmap'", "ErrorDialog", "ErrorIcon")),
            ("ICE20 ErrorDialog", ["DELETE FROM `ControlEvent` WHERE `Dialog_`='ErrorDialog' AND `Control_`='A'",
                                   "INSERT INTO `ControlEvent` (`Dialog_`, `Control_`, `Event`, `Argument`, `Condition`, "
                                   "`Ordering`) VALUES ('ErrorDialog', 'A', 'EndDialog', 'ErrorOk', '1', 1)"]),
            (("ICE20 ErrorDialog", "ICE23 ErrorDialog"),
             control.format("`Control_Next`='ErrorText'", "ErrorDialog", "O")),
            ("ICE20 AdminUISequence", "DELETE FROM `AdminUISequence` WHERE `Action`='FatalErrorDialog'"),
            ("ICE21 Component VendorFolder", "DELETE FROM `FeatureComponents` WHERE `Component_`='VendorFolder'"),
            ("ICE23 ExitDialog", control.format("`Control_Next`='Title'", "ExitDialog", "Close")),
            ("ICE23 ExitDialog", control.format("`Control_Next`='Close'", "ExitDialog", "Title")),
            ("ICE23 ExitDialog", "UPDATE `Dialog` SET `Control_First`='Gone' WHERE `Dialog`='ExitDialog'"),
            ("ICE23 CancelDialog", control.format("`Control_Next`='Yes'", "CancelDialog", "Yes")),
            ("ICE23 CancelDialog", control.format("`Control_Next`='Gone'", "CancelDialog", "Yes")),
            ("ICE31", "UPDATE `Property` SET `Value`='DialogFont' WHERE `Property`='DefaultUIFont'"),
            ("ICE31", control.format("`Text`='{\\DialogHeading}HEIC'", "ExitDialog", "Title")),
            ("ICE34", "UPDATE `Property` SET `Value`='Quit' WHERE `Property`='HeicCloseOption'"),
            ("ICE34", control.format("`Property`=''", "MsiRMFilesInUse", "Choice")),
            ("ICE34", control.format("`Attributes`=11", "MsiRMFilesInUse", "Choice")),  # indirect
            ("ICE38 Component VendorFolder",
             "UPDATE `Component` SET `Attributes`=0, `KeyPath`='' WHERE `Component`='VendorFolder'"),
            (("ICE38 Component Shortcuts", "ICE43 Component Shortcuts"),
             "UPDATE `Registry` SET `Root`=0 WHERE `Name`='Shortcuts'"),
            (("ICE02 Component Shortcuts", "ICE38 Component Shortcuts", "ICE43 Component Shortcuts"),
             "UPDATE `Registry` SET `Component_`='Program' WHERE `Name`='Shortcuts'"),
            ("ICE44", "INSERT INTO `ControlEvent` (`Dialog_`, `Control_`, `Event`, `Argument`, `Condition`, "
                      "`Ordering`) VALUES ('ProgressDialog', 'Cancel', 'SpawnDialog', 'CancelDlg', '1', 2)"),
            ("ICE46", "UPDATE `InstallUISequence` SET `Condition`='NOT Remove~=\"ALL\"' WHERE `Action`='ExitDialog'"),
            ("ICE46 ARPNOREMOVE", "INSERT INTO `Property` (`Property`, `Value`) VALUES ('ArpNoRemove', '1')"),
            ("ICE46 InstallUISequence: PRIVILEGED",
             "UPDATE `InstallUISequence` SET `Condition`='PRIVILEGED' WHERE `Action`='ProgressDialog'"),
            ("ICE46 Control: productName", control.format("`Text`='[productName]'", "ExitDialog", "Title")),
            ("ICE57 Component Program", "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, "
                                        "`Component_`) VALUES ('Machine', 2, 'Software\\ORVIK', 'x', '#1', 'Program')"),
            ("ICE61 Upgrade WIX_UPGRADE_DETECTED", replace_upgrade("WIX_UPGRADE_DETECTED", VersionMax="255.0.0")),
            ("ICE61 Upgrade WIX_UPGRADE_DETECTED", replace_upgrade("WIX_UPGRADE_DETECTED", VersionMin="0.3.0")),
            ("ICE61 Upgrade WIX_UPGRADE_DETECTED", replace_upgrade("WIX_UPGRADE_DETECTED", Language="1042")),
            ((), replace_upgrade("WIX_UPGRADE_DETECTED", Attributes="1")),  # up to this version, not with it
            ("ICE61 Upgrade WIX_DOWNGRADE_DETECTED", replace_upgrade("WIX_DOWNGRADE_DETECTED", Attributes="0")),
            ("ICE61 Upgrade WIX_DOWNGRADE_DETECTED", replace_upgrade("WIX_DOWNGRADE_DETECTED", VersionMin="256.0.0")),
            ("ICE61 Upgrade Wix_Upgrade_Detected",
             upgrade.format("`ActionProperty`='Wix_Upgrade_Detected'", "WIX_UPGRADE_DETECTED")),
            ("ICE61 Upgrade WIX_UPGRADE_DETECTED",
             upgrade.format("`ActionProperty`='WIX_UPGRADE_DETECTED'", "WIX_DOWNGRADE_DETECTED")),
            ("ICE61 Upgrade WIX_UPGRADE_DETECTED",
             "UPDATE `Property` SET `Value`='WIX_DOWNGRADE_DETECTED' WHERE `Property`='SecureCustomProperties'"),
            ("ICE61 Upgrade WIX_UPGRADE_DETECTED",
             "INSERT INTO `Property` (`Property`, `Value`) VALUES ('WIX_UPGRADE_DETECTED', '1')"),
            ("ICE64 Directory VendorFolder", "DELETE FROM `RemoveFile` WHERE `FileKey`='RemoveVendorFolder'"),
            ("ICE64 Directory VendorFolder",
             "UPDATE `RemoveFile` SET `InstallMode`=1 WHERE `FileKey`='RemoveVendorFolder'"),
            ("ICE64 Directory VendorFolder",
             "UPDATE `RemoveFile` SET `FileName`='*.tmp' WHERE `FileKey`='RemoveVendorFolder'"),
            # Installed for all users, it would leave its files in one profile and mix its shortcuts.
            (("ICE57 Component Shortcuts", "ICE91 File Program", "ICE91 Shortcut SendToShortcut"),
             "INSERT INTO `Property` (`Property`, `Value`) VALUES ('ALLUSERS', '1')"),
            (("ICE57 Component Shortcuts", "ICE91 File Program", "ICE91 Shortcut SendToShortcut"),
             "INSERT INTO `Property` (`Property`, `Value`) VALUES ('ALLUSERS', '2')"),
            ("ICE82", "UPDATE `InstallUISequence` SET `Sequence`=1300 WHERE `Action`='ProgressDialog'"),
            ("ICE82", "DELETE FROM `InstallExecuteSequence` WHERE `Action`='RegisterUser'"),
            ("File Program", "UPDATE `File` SET `Version`='' WHERE `File`='Program'"),
            ("MsiFileHash", "INSERT INTO `MsiFileHash` (`File_`, `Options`, `HashPart1`, `HashPart2`, `HashPart3`, "
                            "`HashPart4`) VALUES ('Program', 0, 1, 2, 3, 4)"),
            # On a text the picture bits are NoWrap and FormatSize: a valid package.
            ((), control.format("`Attributes`=917507", "ProgressDialog", "ActionText")),
        ]:
            rules = (rules,) if isinstance(rules, str) else rules
            queries = [query] if isinstance(query, str) else query
            with self.subTest(queries):
                broken = folder / "broken.msi"
                shutil.copyfile(MSI, broken)
                subprocess.run(["msibuild", str(broken), *(part for q in queries for part in ("-q", q))], check=True,
                               capture_output=True, env=dict(os.environ, LC_ALL="C.UTF-8"))
                found = validate_msi.problems(broken)
                self.assertEqual([r for r in rules if not any(p.startswith(r) for p in found)], [], found)
                self.assertEqual({p.split()[0] for p in found}, {r.split()[0] for r in rules}, found)


def changed_keys(before, after):
    """The keys added, removed or changed, but for the network cards Wine lists anew as it likes."""
    return sorted(key for key in before.keys() | after.keys()
                  if before.get(key) != after.get(key) and "\\NetworkCards" not in key)


def link_target(path):
    """The local path a shell link points to, from its link information block; Wine writes it in
    the ANSI code page only."""
    data = path.read_bytes()
    flags, = struct.unpack_from("<I", data, 0x14)
    at = 0x4C
    if flags & 0x1:  # HasLinkTargetIDList
        at += 2 + struct.unpack_from("<H", data, at)[0]
    assert flags & 0x2, "the link has link information"
    local_base = at + struct.unpack_from("<I", data, at + 16)[0]
    return data[local_base:data.index(b"\0", local_base)].decode("cp949")


class ReproducibleTest(unittest.TestCase):
    """A later packaging of the same build gives the same bytes, stamped with the sources' time."""

    def test_second_packaging_gives_the_same_files(self):
        first = {path.name: path.read_bytes() for path in (ZIP, MSI)}
        time.sleep(2)  # the zip's times have two seconds' resolution
        again = fresh_folder("again")
        make_release.make_release(SETTINGS, again, None)
        self.assertEqual({name: (again / name).read_bytes() for name in first}, first)

        epoch = release_epoch()
        program = zip_files(ZIP)["heic-to-jpeg.exe"]
        header, = struct.unpack_from("<I", program, 0x3C)
        self.assertEqual(struct.unpack_from("<I", program, header + 8)[0], epoch, "PE header time")
        with zipfile.ZipFile(ZIP) as archive:
            self.assertEqual({e.date_time for e in archive.infolist()}, {time.gmtime(epoch)[:5] + (epoch % 60 // 2 * 2,)})
        for place in (SETTINGS["source"], SETTINGS["build"]):
            for data in [*first.values(), program]:
                self.assertNotIn(place.encode(), data)
                self.assertNotIn(place.encode("utf-16-le"), data)


class SigningTest(unittest.TestCase):
    """Signs with a certificate made here, and refuses a wrong password without leaving a file."""

    @classmethod
    def setUpClass(cls):
        cls.folder = fresh_folder("signing")
        cls.password = "pw-" + os.urandom(6).hex()
        cls.password_file = cls.folder / "password.txt"
        cls.password_file.write_text(cls.password)
        cls.certificate = cls.folder / "certificate.pem"
        key = cls.folder / "key.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=ORVIK test signing", "-addext", "extendedKeyUsage=codeSigning",
                        "-keyout", str(key), "-out", str(cls.certificate)], check=True, capture_output=True)
        cls.pfx = cls.folder / "signing.pfx"
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", str(key), "-in", str(cls.certificate),
                        "-out", str(cls.pfx), "-passout", f"file:{cls.password_file}"], check=True)

    def package(self, out, password_file):
        return subprocess.run([sys.executable, "-X", "utf8", str(Path(SETTINGS["source"]) / "packaging/make_release.py"),
                               os.environ["HEIC_E2E_RELEASE_SETTINGS"], "--out", str(out), "--pfx", str(self.pfx),
                               "--password-file", str(password_file)], capture_output=True, text=True)

    def verify(self, path):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", str(self.certificate), "-in", str(path)],
                              capture_output=True, text=True)

    def test_signs_the_program_and_the_installer(self):
        out = self.folder / "signed"
        done = self.package(out, self.password_file)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertNotIn(self.password, done.stdout + done.stderr)
        extracted = self.folder / "extracted"
        program = extracted / "heic-to-jpeg.exe"
        program.parent.mkdir()
        program.write_bytes(zip_files(out / ZIP.name)["heic-to-jpeg.exe"])
        from_msi = self.folder / "from-msi"
        subprocess.run(["msiextract", "-C", str(from_msi), str(out / MSI.name)], check=True, capture_output=True)
        self.assertEqual(next(from_msi.rglob("heic-to-jpeg.exe")).read_bytes(), program.read_bytes(),
                         "the installer holds the signed program")
        for path in (program, out / MSI.name):
            verified = self.verify(path)
            self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
            self.assertIn("Signature verification: ok", verified.stdout)
            self.assertIn("ORVIK test signing", verified.stdout)

    def test_wrong_password_fails_and_leaves_no_release_file(self):
        out = self.folder / "refused"
        out.mkdir()
        (out / ZIP.name).write_bytes(b"an older release file")
        wrong = self.folder / "wrong.txt"
        wrong.write_text("not-" + self.password)
        done = self.package(out, wrong)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("signing heic-to-jpeg.exe failed", done.stderr)
        self.assertNotIn(self.password, done.stdout + done.stderr)
        self.assertEqual(list(out.iterdir()), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
