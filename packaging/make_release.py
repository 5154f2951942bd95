"""Makes the release files of the Windows build: heic-to-jpeg-<version>-win64.zip, the per-user
installer heic-to-jpeg-<version>-win64.msi and the machine-wide one
heic-to-jpeg-<version>-win64-machine.msi with the same files, and SHA256SUMS for the three.

    make_release.py SETTINGS [--out FOLDER] [--pfx FILE --password-file FILE [--timestamp-url URL]]

SETTINGS is the release-settings.json that configuring the build writes; the options override its
output folder and signing. The files are reproducible: every time stamped into them is the time of
the sources (SOURCE_DATE_EPOCH, or the last commit's), the installer's codes derive from what it
holds, and no path of the build machine is written into them. Given a PKCS#12 certificate, the
program is signed before it goes into the zip and the installer, and the installer is signed too;
the password is only ever read from its file, by osslsigncode.

On any failure no release file is left behind, so an old or half-made one is never taken for new.
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time
import uuid
import zipfile
from dataclasses import dataclass
from pathlib import Path

import msi_dialogs
import msi_tables

HERE = Path(__file__).resolve().parent
PROGRAM = "heic-to-jpeg.exe"
# Derives the installer's product and package codes from its contents.
CODE_NAMESPACE = uuid.UUID("8F3C2A61-4D7E-4B19-A5C0-2E6D9B1F7A48")
DOS_DIRECTORY, DOS_ARCHIVE = 0x10, 0x20


class ReleaseError(Exception):
    pass


@dataclass(frozen=True)
class Installer:
    """One of the release's installers: its WiX source, what its file name ends in, the lines of
    its closing dialog, and whether it refuses a per-machine request."""
    wxs: str
    suffix: str
    exit_lines: tuple
    per_user: bool

    def file_name(self, version):
        return f"heic-to-jpeg-{version}-win64{self.suffix}.msi"


PER_USER = Installer("installer.wxs", "", msi_dialogs.PER_USER_EXIT_LINES, True)
PER_MACHINE = Installer("installer-machine.wxs", "-machine", msi_dialogs.MACHINE_EXIT_LINES, False)
INSTALLERS = (PER_USER, PER_MACHINE)


def source_epoch(source_dir):
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        out = subprocess.run(["git", "-C", str(source_dir), "log", "-1", "--format=%ct"],
                             check=True, capture_output=True, text=True).stdout
        return int(out)
    except (OSError, subprocess.CalledProcessError, ValueError):
        raise ReleaseError("the time of the sources is unknown: set SOURCE_DATE_EPOCH "
                           "or build from a git checkout") from None


def stage(settings, staging, epoch):
    """Installs the release files into staging, stripped, and returns their folder. The strip
    writes the PE header's time stamp, from SOURCE_DATE_EPOCH."""
    shutil.rmtree(staging, ignore_errors=True)
    environment = dict(os.environ, SOURCE_DATE_EPOCH=str(epoch))
    done = subprocess.run([settings["cmake"], "--install", settings["build"], "--prefix", str(staging),
                           "--component", "release", "--strip"],
                          env=environment, capture_output=True, text=True)
    if done.returncode:
        raise ReleaseError(f"installing into the staging folder failed:\n{done.stdout}{done.stderr}")
    return staging / settings["folder"]


def set_times(folder, epoch):
    for path in [folder, *folder.rglob("*")]:
        os.utime(path, (epoch, epoch))


def sign(path, signing):
    """Signs in place with SHA-256 Authenticode; the file is replaced only once signing succeeded."""
    signed = path.with_name(path.name + ".signed")
    command = ["osslsigncode", "sign", "-pkcs12", signing["pfx"], "-readpass", signing["password_file"],
               "-h", "sha256", "-n", "HEIC to JPEG Converter", "-in", str(path), "-out", str(signed)]
    if signing.get("timestamp_url"):
        command += ["-ts", signing["timestamp_url"]]
    try:
        done = subprocess.run(command, capture_output=True, text=True)
    except OSError as error:
        raise ReleaseError(f"cannot run osslsigncode to sign {path.name}: {error}") from None
    if done.returncode or not signed.is_file():
        signed.unlink(missing_ok=True)
        raise ReleaseError(f"signing {path.name} failed: check the certificate {signing['pfx']} and the "
                           f"password in {signing['password_file']}\n{done.stdout}{done.stderr}")
    signed.replace(path)


def write_zip(folder, target, epoch):
    """One top folder; entries in name order, stamped with the sources' time, made as on Windows."""
    stamp = time.gmtime(max(epoch, 315532800))[:6]  # a zip cannot hold a time before 1980

    def entry(name, attributes):
        info = zipfile.ZipInfo(name, stamp)
        info.create_system = 0
        info.external_attr = attributes
        info.compress_type = zipfile.ZIP_DEFLATED
        return info

    with zipfile.ZipFile(target, "w") as archive:
        archive.writestr(entry(folder.name + "/", DOS_DIRECTORY), b"")
        for path in sorted(folder.iterdir()):
            archive.writestr(entry(f"{folder.name}/{path.name}", DOS_ARCHIVE), path.read_bytes(),
                             compresslevel=9)


def write_installer(folder, target, version, epoch, icon, work, installer=PER_USER):
    """Builds the installer from the files in folder with wixl, then mends what wixl cannot write."""
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    for path in folder.iterdir():
        shutil.copy2(path, work / path.name)
    shutil.copyfile(icon, work / "program.ico")
    wxs = (HERE / installer.wxs).read_text(encoding="utf-8")
    ascii_wxs, texts = msi_tables.replace_korean_texts(wxs)
    (work / "installer.wxs").write_text(ascii_wxs, encoding="utf-8")

    # What msi_tables.py and msi_dialogs.py write, the dialogs' texts among it, belongs to the contents too.
    contents = hashlib.sha256(f"{version}\n{wxs}".encode() + Path(msi_tables.__file__).read_bytes()
                              + Path(msi_dialogs.__file__).read_bytes())
    for path in sorted(work.iterdir()):
        contents.update(os.fsencode(path.name) + b"\0" + path.read_bytes())
    product_code = str(uuid.uuid5(CODE_NAMESPACE, "product " + contents.hexdigest())).upper()
    package_code = "{" + str(uuid.uuid5(CODE_NAMESPACE, "package " + contents.hexdigest())).upper() + "}"

    # The cabinet stamps each file with its local time: in UTC it is the same on every machine.
    environment = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")
    done = subprocess.run(["wixl", "-a", "x64", "-D", f"Version={version}", "-D", f"ProductCode={product_code}",
                           "-o", "installer.msi", "installer.wxs"],
                          cwd=work, env=environment, capture_output=True, text=True)
    if done.returncode:
        raise ReleaseError(f"wixl failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    built = work / "installer.msi"
    msi_tables.restore_korean_texts(built, texts)
    msi_tables.add_short_names(built)
    msi_tables.add_file_versions(built, folder)
    msi_tables.mend_registry_roots(built)
    msi_tables.add_dialogs(built, installer.exit_lines)
    if installer.per_user:
        msi_tables.refuse(built, msi_tables.PER_MACHINE_REQUEST,
                          msi_dialogs.PER_MACHINE_REFUSED.format(machine_msi=PER_MACHINE.file_name(version)))
    msi_tables.allow_same_version_upgrade(built)
    msi_tables.stamp_summary(built, package_code, epoch)
    shutil.move(built, target)


def write_sums(files, target):
    lines = "".join(f"{hashlib.sha256(path.read_bytes()).hexdigest()}  {path.name}\n" for path in files)
    target.write_text(lines, encoding="ascii")


def make_release(settings, out, signing):
    version, build = settings["version"], Path(settings["build"])
    installers = [out / installer.file_name(version) for installer in INSTALLERS]
    outputs = [out / f"heic-to-jpeg-{version}-win64.zip", *installers, out / "SHA256SUMS"]
    for path in outputs:
        path.unlink(missing_ok=True)
    try:
        epoch = source_epoch(settings["source"])
        folder = stage(settings, build / "release-staging", epoch)
        if signing:
            sign(folder / PROGRAM, signing)
        set_times(folder, epoch)
        out.mkdir(parents=True, exist_ok=True)
        write_zip(folder, outputs[0], epoch)
        for installer, target in zip(INSTALLERS, installers):
            write_installer(folder, target, version, epoch, Path(settings["icon"]), build / "release-msi", installer)
            if signing:
                sign(target, signing)
        write_sums(outputs[:-1], outputs[-1])
    except BaseException:
        for path in outputs:
            path.unlink(missing_ok=True)
        raise
    return outputs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("settings", type=Path)
    parser.add_argument("--out", type=Path)
    parser.add_argument("--pfx")
    parser.add_argument("--password-file")
    parser.add_argument("--timestamp-url")
    args = parser.parse_args()
    settings = json.loads(args.settings.read_text(encoding="utf-8"))
    signing = dict(settings["signing"])
    for key in signing:
        signing[key] = getattr(args, key) or signing[key]
    if signing.get("pfx") and not signing.get("password_file"):
        sys.exit("package: a signing certificate needs the file that holds its password")
    try:
        outputs = make_release(settings, args.out or Path(settings["out"]), signing if signing.get("pfx") else None)
    except (ReleaseError, ValueError, OSError, subprocess.CalledProcessError) as error:
        details = getattr(error, "stderr", None) or ""
        sys.exit(f"package: {error}\n{details}".rstrip())
    for path in outputs:
        print(f"package: made {path}")


if __name__ == "__main__":
    main()
