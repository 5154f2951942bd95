"""The release files beyond the zip's own contents: the installer under Wine's Windows Installer, the
files' reproducibility, and their signatures.

Run through ctest, which makes the release files first:  python3 release_test.py InstallerTest
"""
import contextlib
import hashlib
import json
import os
import re
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
MACHINE_MSI = RELEASE / f"heic-to-jpeg-{VERSION}-win64-machine.msi"
WORK = Path(os.environ["HEIC_E2E_ROOT"]) / "release"
NAME = "HEIC to JPEG Converter"
KEY = "Software\\ORVIK\\HEIC to JPEG Converter"
PER_USER, MACHINE = "per-user", "machine"
RELEASED = {PER_USER: MSI, MACHINE: MACHINE_MSI}
EXIT_LINES = {
    PER_USER: ("시작 메뉴에서 [HEIC를 JPEG로 변환]을 찾아 실행하세요.",
               "파일 탐색기에서 사진을 선택하고 [보내기] > [HEIC를 JPEG로]를 선택하면 바로 변환됩니다."),
    MACHINE: ("시작 메뉴에서 [HEIC를 JPEG로 변환]을 찾아 실행하세요.",
              "[보내기] 메뉴에 넣는 방법은 사용설명서에 있습니다."),
}
# The programs' folder of the all-users Start menu, and the keys that name the user's.
ALL_USERS_PROGRAMS = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs"
SHELL_FOLDERS = [("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", "REG_EXPAND_SZ"),
                 ("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "REG_SZ")]


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
        cls.drive = cls.folder / "prefix/drive_c"
        users = cls.drive / "users"
        cls.user = next(p for p in users.iterdir() if p.name != "Public")
        cls.installed = cls.user / "AppData/Local/Programs/ORVIK" / NAME
        cls.menu = cls.user / "AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
        cls.send_to = cls.user / "AppData/Roaming/Microsoft/Windows/SendTo"
        cls.places = {
            PER_USER: Places(cls.installed, [cls.menu, cls.send_to], f"HKEY_CURRENT_USER\\{KEY}",
                             cls.user / "AppData/Roaming/Microsoft/Installer"),
            MACHINE: Places(cls.drive / "Program Files/ORVIK" / NAME,
                            [cls.drive / "ProgramData/Microsoft/Windows/Start Menu/Programs"],
                            f"HKEY_LOCAL_MACHINE\\{KEY}", cls.drive / "windows/Installer"),
        }
        cls.user_programs = [cls.shell_folder(key) for key, _ in SHELL_FOLDERS]

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=cls.env)

    @classmethod
    def wine(cls, *command, cwd=None):
        # Off our pipes: the wineserver that a command starts inherits them and outlives it.
        return subprocess.run(["wine", *command], env=cls.env, cwd=cwd, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300).returncode

    @classmethod
    def shell_folder(cls, key):
        """The user's Programs folder as the key names it."""
        export = cls.folder / "shell-folders.reg"
        assert cls.wine("reg", "export", key, str(export), "/y") == 0, key
        text = export.read_bytes().decode("utf-16").replace("\\\r\n  ", "")
        found = re.search(r'^"Programs"=(.*)$', text, re.MULTILINE)
        assert found, f"{key} names no Programs folder"
        return found[1].rstrip("\r")

    @contextlib.contextmanager
    def start_menu_of(self, msi):
        """Wine's Windows Installer puts ProgramMenuFolder in the user's Start menu even for a
        per-machine package (a FIXME of its own); Windows puts it in the all-users one. For a
        per-machine package, the user's Programs folder is the all-users one while msiexec runs."""
        if {"Property": "ALLUSERS", "Value": "1"} not in msi_tables.rows(msi, "Property"):
            yield
            return
        for key, kind in SHELL_FOLDERS:
            self.assertEqual(self.wine("reg", "add", key, "/v", "Programs", "/t", kind, "/d", ALL_USERS_PROGRAMS,
                                       "/f"), 0)
        try:
            yield
        finally:
            # As exported: a quoted text, or hex(2) for REG_EXPAND_SZ, which reg import takes back as it was.
            restore = self.folder / "restore.reg"
            restore.write_bytes(("\ufeffWindows Registry Editor Version 5.00\r\n" + "".join(
                f"\r\n[{key.replace('HKCU', 'HKEY_CURRENT_USER')}]\r\n\"Programs\"={value}\r\n"
                for (key, _), value in zip(SHELL_FOLDERS, self.user_programs))).encode("utf-16-le"))
            self.assertEqual(self.wine("reg", "import", str(restore)), 0)

    @staticmethod
    def msiexec_args(action, msi):
        return ["msiexec", action, "Z:" + str(msi).replace("/", "\\")]

    def msiexec(self, action, msi, *properties):
        with self.start_menu_of(msi):
            return self.wine(*self.msiexec_args(action, msi), *properties, "/qn")

    def msiexec_started(self, action, msi):
        """msiexec with its full user interface, left running."""
        return subprocess.Popen(["wine", *self.msiexec_args(action, msi)], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def make_installer(self, name, version, files, installer=make_release.PER_USER):
        """An installer of these files (name -> bytes) for this version, made as the release's is."""
        folder = self.folder / name
        folder.mkdir()
        for file, data in files.items():
            (folder / file).write_bytes(data)
        msi = self.folder / f"{name}.msi"
        make_release.write_installer(folder, msi, version, release_epoch(), Path(SETTINGS["icon"]),
                                     self.folder / "msi-work", installer)
        return msi

    def registry(self, *roots):
        """Every key under the roots (all of HKCU and HKLM\\Software when none is given) with its
        values, as Wine exports them; a root that does not exist has none."""
        keys = {}
        for root in roots or ("HKCU", "HKLM\\Software"):
            export = self.folder / "export.reg"
            if self.wine("reg", "export", root, str(export), "/y"):
                self.assertTrue(roots, f"{root} exported")
                continue
            key = None
            for line in export.read_bytes().decode("utf-16").replace("\\\r\n  ", "").splitlines():
                if line.startswith("["):
                    key = line
                    keys[key] = set()
                elif line and key:
                    keys[key].add(line)
        return keys

    def files(self):
        """The user's profile, Program Files and ProgramData, as paths under C:."""
        return {p.relative_to(self.drive).as_posix() for top in (self.user, self.drive / "Program Files",
                                                                  self.drive / "ProgramData") for p in top.rglob("*")}

    def products(self):
        """The version of every entry of 설정 > 앱 that is ours, each checked for its publisher and
        for removal as its only action."""
        uninstall = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
        ours = [values for key, values in self.registry(uninstall).items()
                if key.startswith(f"[{uninstall}\\") and f'"DisplayName"="{NAME}"' in values]
        for values in ours:
            self.assertLessEqual({'"Publisher"="ORVIK"', '"NoModify"=dword:00000001', '"NoRepair"=dword:00000001'},
                                 values)
        return [v for values in ours for v in values if v.startswith('"DisplayVersion"')]

    @staticmethod
    def links(*folders):
        """Each of our entries in these folders, with its target."""
        return {f"{folder.name}/{link.name}": link_target(link) for folder in folders if folder.is_dir()
                for link in folder.glob("HEIC*.lnk")}

    def ours(self, package):
        """What an installed package is made of: its files, its entries and the values of its key."""
        places = self.places[package]
        files = {p.name: p.read_bytes() for p in places.installed.iterdir()} if places.installed.is_dir() else {}
        return files, self.links(*places.entries), self.registry(places.key).get(f"[{places.key}]")

    def windows_path(self, path):
        return "C:\\" + path.relative_to(self.drive).as_posix().replace("/", "\\")


class Places:
    """Where a package puts its files, its entries (the Start menu's first) and its key, and where
    Windows Installer keeps the icon of its entry in 설정 > 앱."""

    def __init__(self, installed, entries, key, icons):
        self.installed, self.entries, self.menu, self.key, self.icons = installed, entries, entries[0], key, icons


class InstallerTest(WineInstaller):
    """Installs, upgrades, refuses a downgrade and uninstalls each package, silently; refuses a
    per-machine request of the per-user one; and the two side by side."""

    def test_install_upgrade_refuse_downgrade_uninstall(self):
        release = zip_files(ZIP)
        program, guide = "heic-to-jpeg.exe", "사용설명서.txt"
        # Their entries: the Start menu's for both, [보내기] only for the per-user one.
        for package, installer, entries in [
            (PER_USER, make_release.PER_USER,
             {"HEIC를 JPEG로 변환.lnk": program, "HEIC를 JPEG로 변환 사용설명서.lnk": guide, "SendTo/HEIC를 JPEG로.lnk": program}),
            (MACHINE, make_release.PER_MACHINE,
             {"HEIC를 JPEG로 변환.lnk": program, "HEIC를 JPEG로 변환 사용설명서.lnk": guide}),
        ]:
            with self.subTest(package):
                places = self.places[package]
                before_files, before_registry = self.files(), self.registry()
                # Installers of the same files but for their texts: an older version, and a rebuild
                # of this version, which has another product code.
                other = {name: b"other " + data if name.endswith(".txt") else data for name, data in release.items()}
                older = self.make_installer(f"older-{package}", "0.1.0", other, installer)
                rebuilt = self.make_installer(f"rebuilt-{package}", VERSION, other, installer)
                self.assertEqual(self.msiexec("/i", older), 0)
                self.assertEqual(self.products(), ['"DisplayVersion"="0.1.0"'])
                self.assertEqual(self.msiexec("/i", rebuilt), 0, "the newer version installs over the older")
                self.assertEqual(self.products(), [f'"DisplayVersion"="{VERSION}"'], "one entry, the newer")

                self.assertEqual(self.msiexec("/i", RELEASED[package]), 0, "a rebuild of the same version replaces it")
                self.assertEqual(self.products(), [f'"DisplayVersion"="{VERSION}"'])
                self.assertEqual({p.name: p.read_bytes() for p in places.installed.iterdir()}, release)
                expected = {(f"{places.menu.name}/{entry}" if "/" not in entry else entry):
                            self.windows_path(places.installed / target) for entry, target in entries.items()}
                self.assertEqual(self.links(places.menu, self.send_to), expected)

                photos = self.folder / f"photos-{package}"
                photos.mkdir()
                images.write_png(photos / "사진.png", 40, 30)
                self.assertEqual(self.wine(str(places.installed / program), "--quiet", "--no-gui", "--self-test",
                                           "사진.png", cwd=photos), 0)
                self.assertEqual(images.jpeg_size(photos / "사진.jpg"), (40, 30))

                icon, = places.icons.glob("*/program.ico")
                self.assertEqual(icon.read_bytes(), Path(SETTINGS["icon"]).read_bytes(),
                                 "설정 > 앱 shows the program's icon")
                installed_files, installed_registry = self.files(), self.registry()
                self.assertEqual([v for values in installed_registry.values() for v in values
                                  if v.startswith('"ProductIcon"=')],
                                 ['"ProductIcon"="' + self.windows_path(icon).replace("\\", "\\\\") + '"'])
                # The key paths are the package's own: in HKCU per user, in HKLM per machine.
                self.assertEqual([key for key, values in installed_registry.items() if "\\ORVIK" in key and values],
                                 [f"[{places.key}]"])

                downgrade = self.msiexec("/i", older)
                self.assertEqual(downgrade, 1603 & 0xFF, "ERROR_INSTALL_FAILURE, as Wine's exit status holds it")
                self.assertEqual(self.files(), installed_files, "a refused downgrade changes no file")
                self.assertEqual(changed_keys(installed_registry, self.registry()), [], "nor the registry")

                self.assertEqual(self.msiexec("/x", RELEASED[package]), 0)
                self.assert_as_before(before_files, before_registry)

    def test_per_user_installer_refuses_a_per_machine_request(self):
        # Wine's msiexec shows the refusal in a box of its own and logs no text: the text is the
        # launch condition's.
        refusal = [(row["Condition"], row["Description"]) for row in msi_tables.rows(MSI, "LaunchCondition")
                   if "ALLUSERS" in row["Condition"]]
        self.assertEqual(refusal, [("Installed OR NOT (ALLUSERS=1 OR (ALLUSERS=2 AND NOT MSIINSTALLPERUSER=1))",
                                    "이 설치 파일은 현재 사용자에게만 설치합니다. 모든 사용자에게 설치하려면 "
                                    f"heic-to-jpeg-{VERSION}-win64-machine.msi를 쓰세요.")])
        self.assertEqual(msi_tables.codepage(MSI), 949)

        before_files, before_registry = self.files(), self.registry()
        # Wine takes ALLUSERS=2 for per machine whatever MSIINSTALLPERUSER says, so ALLUSERS=2
        # MSIINSTALLPERUSER=1, a per-user install on Windows, is refused here too; it is not a row.
        for request in (["ALLUSERS=1"], ["ALLUSERS=2"], ["ALLUSERS=2", 'MSIINSTALLPERUSER=""']):
            with self.subTest(request):
                self.assertEqual(self.msiexec("/i", MSI, *request), 1603 & 0xFF)
                self.assertEqual(self.files(), before_files, "nothing installed")
                self.assertEqual(changed_keys(before_registry, self.registry()), [])

        # Once installed, it is removed whatever the command line asks.
        self.assertEqual(self.msiexec("/i", MSI), 0)
        self.assertTrue((self.installed / "heic-to-jpeg.exe").is_file())
        self.assertEqual(self.msiexec("/x", MSI, "ALLUSERS=1"), 0)
        self.assert_as_before(before_files, before_registry)

    def test_side_by_side_each_removal_leaves_the_other_whole(self):
        before_files, before_registry = self.files(), self.registry()
        for first, second in [(PER_USER, MACHINE), (MACHINE, PER_USER)]:
            with self.subTest(f"{first} removed, {second} kept"):
                self.assertEqual(self.msiexec("/i", RELEASED[first]), 0)
                self.assertEqual(self.msiexec("/i", RELEASED[second]), 0)
                self.assertEqual(self.products(), [f'"DisplayVersion"="{VERSION}"'] * 2, "two entries in 설정 > 앱")
                kept = self.ours(second)
                self.assertTrue(all(kept), f"{second} installed with files, entries and key")
                self.assertEqual(self.msiexec("/x", RELEASED[first]), 0)
                self.assertEqual(self.ours(first), ({}, {}, None), f"{first} removed")
                self.assertEqual(self.ours(second), kept, f"{second} whole")
                self.assertEqual(self.products(), [f'"DisplayVersion"="{VERSION}"'])
                self.assertEqual(self.msiexec("/x", RELEASED[second]), 0)
                self.assert_as_before(before_files, before_registry)

    def test_packages_tables(self):
        # Per machine: ALLUSERS=1, so that ProgramMenuFolder is the all-users Start menu, and no
        # "elevation not required" bit (8) in the summary's word count; per user the opposite.
        for package, all_users, elevation_not_required in [(PER_USER, [], 8), (MACHINE, ["1"], 0)]:
            msi = RELEASED[package]
            with self.subTest(package):
                self.assertEqual([p["Value"] for p in msi_tables.rows(msi, "Property") if p["Property"] == "ALLUSERS"],
                                 all_users)
                summary = subprocess.run(["msiinfo", "suminfo", str(msi)], capture_output=True, text=True,
                                         check=True).stdout
                word_count = int(re.search(r"^Source: (\d+)", summary, re.MULTILINE)[1])
                self.assertEqual(word_count & 8, elevation_not_required)
                self.assert_action_texts(msi)
        # Their own upgrade codes and components: one never upgrades, shares with or removes the other.
        codes = {package: {r["Property"]: r["Value"] for r in msi_tables.rows(msi, "Property")}["UpgradeCode"]
                 for package, msi in RELEASED.items()}
        self.assertNotEqual(codes[PER_USER], codes[MACHINE])
        components = [{r["ComponentId"] for r in msi_tables.rows(msi, "Component")} for msi in RELEASED.values()]
        self.assertEqual(components[0] & components[1], set())

    def assert_action_texts(self, msi):
        """Korean texts for the steps of a rollback and of the script, which the progress dialog
        shows; and none for an action that never shows one, outside the install script."""
        texts = {r["Action"]: (r["Description"], r["Template"]) for r in msi_tables.rows(msi, "ActionText")}
        for action in ("Rollback", "RollbackCleanup", "GenerateScript"):
            description, template = texts.get(action, ("", ""))
            self.assertFalse(description.isascii(), f"{action}: {description!r}")
            self.assertEqual(template, "[1]", action)
        sequence = {r["Action"]: int(r["Sequence"]) for r in msi_tables.rows(msi, "InstallExecuteSequence")}
        script = range(sequence["InstallInitialize"], sequence["InstallFinalize"] + 1)
        self.assertEqual([a for a in texts if a in sequence and sequence[a] not in script], [])

    def assert_as_before(self, before_files, before_registry):
        # Windows Installer keeps its own folder and empty keys for its bookkeeping; nothing of ours stays.
        self.assertLessEqual(self.files() ^ before_files,
                             {self.places[PER_USER].icons.relative_to(self.drive).as_posix()})
        after_registry = self.registry()
        self.assertEqual([key for key in changed_keys(before_registry, after_registry)
                          if after_registry.get(key) or "\\Installer" not in key], [])


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
        with self.start_menu_of(msi):
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
        for package in (PER_USER, MACHINE):
            with self.subTest(package):
                places = self.places[package]
                (seen,), code = self.run_seen("/i", RELEASED[package],
                                              ["window", "--caption", NAME, "--press", msi_dialogs.CLOSE_BUTTON])
                self.assertEqual((seen.get("caption"), seen.get("texts"), seen.get("closed")),
                                 (NAME, [{"text": t} for t in (msi_dialogs.EXIT_DIALOG_TITLE, *EXIT_LINES[package])],
                                  True), seen)
                self.assert_progress(seen, msi_dialogs.INSTALL_TASK)
                self.assertEqual(code, 0)
                self.assertTrue((places.installed / "heic-to-jpeg.exe").is_file())
                # The dialog names the entries the install made, and only those.
                shown = " ".join(t["text"] for t in seen["texts"])
                for folder, entry, named in [(places.menu, "HEIC를 JPEG로 변환", "시작 메뉴에서 [HEIC를 JPEG로 변환]"),
                                             (self.send_to, "HEIC를 JPEG로", "[보내기] > [HEIC를 JPEG로]")]:
                    self.assertEqual((folder / f"{entry}.lnk").is_file(), named in shown, entry)

                if package == PER_USER:
                    self.assert_downgrade_refused()

                # A removal with the full interface shows its progress and ends on its own.
                (seen,), code = self.run_seen("/x", RELEASED[package], ["window", "--caption", NAME])
                self.assert_progress(seen, msi_dialogs.REMOVE_TASK)
                self.assertEqual(code, 0)
                self.assertFalse(places.installed.exists())

    def assert_downgrade_refused(self):
        # Wine shows every installer error in a box of its own, captioned Install Failed (Windows,
        # in the package's error dialog); the failure's dialog follows.
        older = self.make_installer("older", "0.1.0", zip_files(ZIP))
        (refusal, failure), code = self.run_seen("/i", older, ["box", "--caption", "Install Failed"],
                                                 ["window", "--caption", NAME, "--press", msi_dialogs.CLOSE_BUTTON])
        self.assertIn("더 새로운 버전의 HEIC to JPEG Converter가 설치되어 있습니다", refusal.get("text", ""),
                      refusal)
        failed = msi_dialogs.FATAL_ERROR_TITLE.format(task=msi_dialogs.INSTALL_TASK)
        self.assertEqual(failure.get("texts"), [{"text": failed}, {"text": msi_dialogs.ROLLED_BACK}], failure)
        self.assertEqual(code, 1603 & 0xFF)


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
            ((), "UPDATE `File` SET `Version`='65535.65535.65535.65535' WHERE `File`='Program'"),  # the largest
            ("ICE03 File", "UPDATE `File` SET `Language`='ko' WHERE `File`='Program'"),
            # wixl's own number for HKMU, which Windows Installer does not know.
            (("ICE03 Registry", "ICE38 Component ProgramsFolder"),
             "UPDATE `Registry` SET `Root`=4 WHERE `Name`='ProgramsFolder'"),
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
    """The keys added, removed or changed, but for the network cards Wine lists anew as it likes and
    the system parameters it keeps for itself once a program has started its windowing."""
    return sorted(key for key in before.keys() | after.keys()
                  if before.get(key) != after.get(key) and "\\NetworkCards" not in key
                  and "\\Wine\\Temporary System Parameters\\" not in key)


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
        first = {path.name: path.read_bytes() for path in (ZIP, MSI, MACHINE_MSI)}
        time.sleep(2)  # the zip's times have two seconds' resolution
        again = fresh_folder("again")
        make_release.make_release(SETTINGS, again, None)
        # Compared by digest: unittest's diff of two differing megabyte strings runs for minutes.
        def digests(read):
            return {name: hashlib.sha256(read(name)).hexdigest() for name in first}
        self.assertEqual(digests(lambda name: (again / name).read_bytes()), digests(first.get))

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
        for msi in (MSI, MACHINE_MSI):
            from_msi = self.folder / f"from-{msi.name}"
            subprocess.run(["msiextract", "-C", str(from_msi), str(out / msi.name)], check=True, capture_output=True)
            self.assertEqual(next(from_msi.rglob("heic-to-jpeg.exe")).read_bytes(), program.read_bytes(),
                             f"{msi.name} holds the signed program")
        for path in (program, out / MSI.name, out / MACHINE_MSI.name):
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
