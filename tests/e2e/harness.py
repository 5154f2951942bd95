"""Runs the Windows program under Wine on a virtual display, as a user would, and plays the user
through our box driver.

One session serves the whole end-to-end run: an Xvfb display, one Wine prefix of its own in the
build folder and a persistent wineserver, started by "harness.py start" and ended by
"harness.py stop" (CTest fixtures). The state lives in a small JSON file beside the prefix.

The settings come from the environment that CTest sets:
  HEIC_E2E_ROOT     folder of the session (prefix, state, work folders, screenshots)
  HEIC_E2E_PROGRAM  the built heic-to-jpeg.exe
  HEIC_E2E_DRIVER   the built e2e_box_driver.exe
  HEIC_E2E_WINE_RUN tools/wine-run.sh
"""
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

CAPTION = "HEIC to JPEG Converter | ORVIK"
DIALOG_TITLE = "ORVIK · HEIC/HEIF 파일 선택"

# Bounds that only end a run that has gone wrong; no test asserts how fast anything is.
PREFIX_TIMEOUT_S = 300
WINDOW_TIMEOUT_MS = 30000
PROGRAM_EXIT_TIMEOUT_S = 60
POLL_S = 0.02


def _setting(name):
    value = os.environ.get(name)
    if not value:
        raise RuntimeError(f"{name} is not set; run the end-to-end tests through ctest")
    return value


ROOT = Path(_setting("HEIC_E2E_ROOT"))
PREFIX = ROOT / "wineprefix"
STATE = ROOT / "session.json"
SCREENS = ROOT / "screens"
WORK = ROOT / "work"


def require_tools():
    missing = [tool for tool in ("Xvfb", "wine", "wineserver", "import", "heif-enc") if not shutil.which(tool)]
    if missing:
        raise RuntimeError(f"missing {', '.join(missing)}: run tools/install-deps.sh --tests")


def _base_env():
    env = dict(os.environ)
    env["WINEPREFIX"] = str(PREFIX)
    # Wine's errors only: they land in the logs that a failed wait for a window shows.
    env["WINEDEBUG"] = "-all,err+all"
    # Korean arguments and file names cross from Linux to Windows as UTF-8.
    env["LC_ALL"] = "C.UTF-8"
    env.pop("DISPLAY", None)
    env.pop("HEIC_WINE_KEEP_DISPLAY", None)
    return env


def wine_env(display, extra=None):
    env = _base_env()
    env["DISPLAY"] = f":{display}"
    env["HEIC_WINE_KEEP_DISPLAY"] = "1"
    env.update(extra or {})
    return env


def _quiet_run(command, env, timeout):
    # Wine's helper processes inherit the standard handles; keeping them off CTest's pipes keeps
    # CTest from waiting on them.
    return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout).returncode


def _is_our_xvfb(pid):
    try:
        return b"Xvfb" in Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return False


def stop():
    if STATE.exists():
        state = json.loads(STATE.read_text())
        pid = state.get("xvfb_pid")
        if pid and _is_our_xvfb(pid):
            os.kill(pid, signal.SIGTERM)
        STATE.unlink()
    if PREFIX.exists():
        _quiet_run(["wineserver", "-k"], _base_env(), 60)


def _start_xvfb():
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
        pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    os.close(write_end)
    # Xvfb ends itself when it cannot write the whole line, so read up to its line break.
    text = ""
    deadline = time.monotonic() + 20
    while not text.endswith("\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([read_end], [], [], max(deadline - time.monotonic(), 0))
        chunk = os.read(read_end, 64).decode() if ready else ""
        if not chunk:
            break
        text += chunk
    os.close(read_end)
    if not text.endswith("\n") or not text.strip().isdigit():
        xvfb.kill()
        raise RuntimeError("Xvfb did not report its display")
    return xvfb.pid, int(text)


def start():
    require_tools()
    stop()
    ROOT.mkdir(parents=True, exist_ok=True)
    pid, screen = _start_xvfb()
    STATE.write_text(json.dumps({"xvfb_pid": pid, "display": screen}))
    # The prefix is made once, headless, by the same runner that all our Wine programs use.
    wine_run = _setting("HEIC_E2E_WINE_RUN")
    if _quiet_run([wine_run, "cmd", "/c", "exit"], _base_env(), PREFIX_TIMEOUT_S) != 0:
        raise RuntimeError("the Wine prefix could not be made")
    # From here one server serves every program of the run instead of one per start.
    _quiet_run(["wineserver", "-k"], _base_env(), 60)
    _quiet_run(["wineserver", "-p"], _base_env(), 60)
    settings = [
        # Korean texts render only with a Korean font in place of the one Wine asks for.
        ["reg", "add", r"HKCU\Software\Wine\Fonts\Replacements", "/v", "Gulim", "/t", "REG_SZ", "/d", "NanumGothic",
         "/f"],
        # No window manager runs on Xvfb: Wine draws the frames and captions itself, as a user sees them.
        ["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/t", "REG_SZ", "/d", "N", "/f"],
    ]
    for setting in settings:
        # With the display: a program that finds no desktop starts Wine's desktop process, which
        # keeps the display it was started with for every later window.
        if _quiet_run([wine_run, *setting], wine_env(screen), 120) != 0:
            raise RuntimeError(f"wine {' '.join(setting)} failed")
    # One desktop for the whole run: without a program on it Wine closes it after a second, and
    # every start after a pause would bring up a new one, racing the driver to do so.
    subprocess.Popen([wine_run, _setting("HEIC_E2E_DRIVER"), "hold"], env=wine_env(screen),
                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     start_new_session=True)


def display():
    if not STATE.exists():
        raise RuntimeError("no end-to-end session: the e2e_session fixture did not run")
    return json.loads(STATE.read_text())["display"]


class Driver:
    """Our box driver under Wine: each call finds one window, reports it and answers it."""

    def __init__(self, scratch):
        self._out = Path(scratch) / "driver.out"
        self._display = display()

    def _call(self, *args):
        with open(self._out, "wb") as out:
            subprocess.run([_setting("HEIC_E2E_WINE_RUN"), _setting("HEIC_E2E_DRIVER"), *args],
                           env=wine_env(self._display), stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.DEVNULL, timeout=WINDOW_TIMEOUT_MS / 1000 * 3)
        return [json.loads(line) for line in self._out.read_text(encoding="utf-8").splitlines() if line.strip()]

    def _answer(self, *args):
        try:
            lines = self._call(*args)
        except subprocess.TimeoutExpired:
            return {"event": "driver did not end"}
        return lines[-1] if lines else {"event": "driver said nothing"}

    def box(self, keep=False, timeout_ms=WINDOW_TIMEOUT_MS):
        return self._answer("box", "--caption", CAPTION, "--timeout-ms", str(timeout_ms), *(["--keep"] if keep else []))

    def open_files(self, folder, names, keep=False):
        return self._answer("open", "--title", DIALOG_TITLE, "--folder", folder, "--names", names,
                            *(["--keep"] if keep else []))

    def cancel(self):
        return self._answer("cancel", "--title", DIALOG_TITLE)

    def windows(self):
        return self._call("windows")


def screenshot(name):
    SCREENS.mkdir(parents=True, exist_ok=True)
    target = SCREENS / f"{name}.png"
    subprocess.run(["import", "-window", "root", "-display", f":{display()}", str(target)], check=True,
                   stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    return target


def _attempt(step):
    try:
        return step()
    except (OSError, ValueError, subprocess.SubprocessError) as error:
        return f"(failed: {error})"


def _output(command):
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=20,
                          check=True).stdout.decode(errors="replace").strip()


def _prefix_processes():
    mark = f"WINEPREFIX={PREFIX}".encode()
    pids = []
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and mark in (entry / "environ").read_bytes().split(b"\0"):
                pids.append(entry.name)
        except OSError:
            pass  # ended meanwhile
    return _output(["ps", "-o", "pid,etimes,args", "-p", ",".join(pids)])


def missing_window(run, driver, name):
    """What was there when a window we waited for did not come, for the failure message: the
    screen, the top-level windows as Wine and as X know them, the program's state and what it
    wrote, and the processes of the session's prefix."""
    slug = re.sub(r"[^\w.-]+", "_", name).strip("_")
    shot = _attempt(lambda: screenshot(f"timeout_{slug}"))
    wine_windows = _attempt(lambda: "\n".join(json.dumps(w, ensure_ascii=False) for w in driver.windows()))
    x_windows = _attempt(lambda: _output(["xwininfo", "-root", "-children", "-display", f":{display()}"]))
    written = _attempt(lambda: run.log_path.read_bytes()[-4000:].decode("utf-8", "replace"))
    return (f"\n--- the window did not come: {name}\nscreenshot: {shot}\nprogram: {run.state()}\n"
            f"load: {_attempt(lambda: Path('/proc/loadavg').read_text().strip())}\n"
            f"windows (Wine):\n{wine_windows}\nwindows (X):\n{x_windows}\n"
            f"processes of {PREFIX}:\n{_attempt(_prefix_processes)}\n"
            f"program output ({run.log_path}):\n{written}\n---")


def windows_path(path):
    """The path as the program sees it: Wine maps the Linux root to drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class Run:
    """One start of the program (HEIC_E2E_PROGRAM unless another copy is named); the caller
    answers its windows, then waits for its exit code."""

    def __init__(self, args, cwd, env=None, program=None):
        self.log_path = Path(cwd).parent / (Path(cwd).name + ".program.log")
        self._log = open(self.log_path, "wb")
        self._process = subprocess.Popen(
            [_setting("HEIC_E2E_WINE_RUN"), str(program or _setting("HEIC_E2E_PROGRAM")), *args], cwd=cwd,
            env=wine_env(display(), env), stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log,
            start_new_session=True)

    def state(self):
        code = self._process.poll()
        return f"still runs (pid {self._process.pid})" if code is None else f"ended with exit code {code}"

    def exit_code(self, driver):
        """The exit code, or None when the program did not end on its own; then whatever windows it
        left open are reported in `left_open` and answered, so that the run can end."""
        self.left_open = []
        deadline = time.monotonic() + PROGRAM_EXIT_TIMEOUT_S
        while time.monotonic() < deadline:
            code = self._process.poll()
            if code is not None:
                self._log.close()
                return code
            time.sleep(POLL_S)
        self.left_open = [w for w in driver.windows() if w.get("caption") in (CAPTION, DIALOG_TITLE)]
        for window in self.left_open:
            if window["caption"] == DIALOG_TITLE:
                driver.cancel()
            else:
                driver.box(timeout_ms=2000)
        try:
            self._process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self._process.pid, signal.SIGKILL)
            self._process.wait()
        self._log.close()
        return None


if __name__ == "__main__":
    {"start": start, "stop": stop}[sys.argv[1]]()
