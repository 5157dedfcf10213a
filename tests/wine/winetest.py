"""Driver of the end-to-end tests that run Windows programs under Wine.

One ctest run sets up, once, a 32-bit Wine prefix under the build folder and
an Xvfb display of its own (`setup`), runs every case against them and stops
both at the end (`cleanup`). A case starts the program under test through
sfxwatch.exe, our Windows helper, which records every message box and the
wait window, presses OK, cancels the wait window on request and asks this
side for screenshots. `Harness.run` returns what it saw as a `Result`.

Every process a set-up starts, Xvfb included, has the prefix as WINEPREFIX in
its environment. By that mark setup (first thing) and cleanup find and stop
whatever any earlier run of the same build folder left running (a repeated
set-up, a failed or killed one, an interrupted run), and `leftovers` checks
that nothing is left.

Where Wine cannot run programs here, setup says why and every case reports
SKIPPED (exit code 77), never passed.

Command line:
  winetest.py setup BUILD_DIR PRELOAD_DIR
  winetest.py cleanup BUILD_DIR
  winetest.py leftovers BUILD_DIR   exit 1 when a process of the prefix runs
"""
from __future__ import annotations

import dataclasses
import getpass
import json
import os
import re
import select
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Dict, List, Optional

from wineprefix import (PrefixFailure, WinePrefix, describe, _tail, english_locale,  # noqa: F401
                        processes_of, report_leftovers, stop_processes)

SKIP_CODE = 77
SCREEN = (1024, 768)
QEMU_BINFMT = Path("/proc/sys/fs/binfmt_misc/qemu-i386")
PRELOAD_NAME = "libsfxwinefix.so"
PROBE_CAPTION = "Wine probe".encode("cp1252")
PROBE_TEXT = "Ready: \u00e9\u00f3\u00b7 \u20ac.".encode("cp1252")
LABEL_RE = re.compile(r"^[A-Za-z0-9_.-]+$")
# Every Wine process and every packing of the tests runs in this zone, far
# from UTC and without summer time, so that a time stamp that skips the
# local-to-UTC step shows up as nine hours off.
TEST_ZONE = "Asia/Tokyo"
TEST_ZONE_OFFSET = 9 * 3600


class Skip(Exception):
    """Wine cannot run programs on this machine; the reason says why."""


class CaseFailure(AssertionError):
    pass


# ---------------------------------------------------------------- records --

@dataclasses.dataclass
class Box:
    index: int
    caption: bytes
    text: bytes
    t_ms: int
    pressed: List[int] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class WaitWindow:
    caption: bytes
    text: bytes
    t_ms: int
    gone_ms: Optional[int] = None


@dataclasses.dataclass
class Extracting:
    """The wait window while the extraction ran: its client area on screen."""
    t_ms: int
    x: int
    y: int
    w: int
    h: int


@dataclasses.dataclass
class Cancel:
    how: str
    box: int
    result: str
    t_ms: int


@dataclasses.dataclass
class Result:
    boxes: List[Box]
    waits: List[WaitWindow]
    cancel: Optional[Cancel]
    exit_code: Optional[int]
    timed_out: bool
    finished: bool
    shot_results: Dict[str, str]
    screenshots: Dict[str, Path]
    errors: List[str]
    extracting: Optional[Extracting] = None
    log: str = ""
    seconds: float = 0.0

    @property
    def wait(self) -> Optional[WaitWindow]:
        """The wait window, the first dialog that was not a message box."""
        return self.waits[0] if self.waits else None


def _fields(rest: str) -> Dict[str, str]:
    out = {}
    for item in rest.split():
        key, sep, value = item.partition("=")
        if not sep:
            raise ValueError(f"field without '=': {item!r}")
        out[key] = value
    return out


def parse_log(text: str) -> Result:
    """Reads sfxwatch's log. Window texts come back as the exact bytes."""
    result = Result([], [], None, None, False, False, {}, {}, [], log=text)
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        kind, _, rest = line.partition(" ")
        try:
            f = _fields(rest)
            if kind == "BOX":
                result.boxes.append(Box(int(f["n"]), bytes.fromhex(f["caption"]),
                                        bytes.fromhex(f["text"]), int(f["t"])))
                if result.boxes[-1].index != len(result.boxes):
                    raise ValueError("boxes out of order")
            elif kind == "PRESS":
                result.boxes[int(f["n"]) - 1].pressed.append(int(f["id"]))
            elif kind == "WAIT":
                result.waits.append(WaitWindow(bytes.fromhex(f["caption"]),
                                               bytes.fromhex(f["text"]), int(f["t"])))
            elif kind == "WAITGONE":
                if not result.waits:
                    raise ValueError("WAITGONE without WAIT")
                result.waits[0].gone_ms = int(f["t"])
            elif kind == "EXTRACTING":
                result.extracting = Extracting(int(f["t"]), int(f["x"]), int(f["y"]), int(f["w"]), int(f["h"]))
            elif kind == "CANCEL":
                result.cancel = Cancel(f["how"], int(f["box"]), f["result"], int(f["t"]))
            elif kind == "SHOT":
                result.shot_results[f["label"]] = f["result"]
            elif kind == "EXIT":
                result.exit_code = int(f["code"])
            elif kind == "TIMEOUT":
                result.timed_out = True
            elif kind == "ERROR":
                result.errors.append(rest)
            elif kind == "END":
                result.finished = True
            elif kind != "START":
                raise ValueError(f"unknown record {kind}")
        except (KeyError, ValueError, IndexError) as e:
            raise ValueError(f"log line {number}: {line!r}: {e}") from None
    return result


# ---------------------------------------------------------------- helpers --

def win_path_text(path: Path) -> str:
    """The Windows name Wine gives a Linux path."""
    return "Z:" + str(Path(path).absolute()).replace("/", "\\")


def win_path(path: Path) -> bytes:
    """The Windows name Wine gives a Linux path, in the ANSI code page."""
    return win_path_text(path).encode("cp1252")


def emulated() -> bool:
    """True where 32-bit programs run through qemu's user-mode emulator."""
    try:
        return QEMU_BINFMT.read_text().startswith("enabled")
    except OSError:
        return False


def image_info(png: Path):
    """(width, height, number of colours) of an image, by ImageMagick."""
    out = subprocess.run(["identify", "-format", "%w %h %k", str(png)],
                         capture_output=True, text=True, check=True).stdout.split()
    return int(out[0]), int(out[1]), int(out[2])


def dark_pixels(png: Path, x: int, y: int, w: int, h: int) -> int:
    """How many pixels of the rectangle are dark (text, not a window's face)."""
    out = subprocess.run(["convert", str(png), "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-colorspace", "gray",
                          "-threshold", "40%", "-format", "%[fx:mean*w*h] %w %h", "info:"],
                         capture_output=True, text=True, check=True).stdout.split()
    light, width, height = float(out[0]), int(out[1]), int(out[2])
    return width * height - round(light)


def check(condition, message: str):
    if not condition:
        raise CaseFailure(message)


def check_equal(actual, expected, what: str):
    if actual != expected:
        raise CaseFailure(f"{what}:\n  expected {expected!r}\n  actual   {actual!r}")


# ---------------------------------------------------------------- harness --

class Harness:
    """Paths, environment and runs of one build folder's Wine set-up."""

    def __init__(self, build_dir: Path):
        self.build = Path(build_dir).absolute()
        self.win32 = self.build / "win32"
        self.wine_dir = self.build / "wine"
        self.prefix = self.wine_dir / "prefix"
        self.state_file = self.wine_dir / "state.json"
        self.runs = self.wine_dir / "runs"
        self.screenshots = self.build / "screenshots"
        self.stub = self.win32 / "sfxstub.exe"
        self.watcher = self.win32 / "sfxwatch.exe"
        self.probe = self.win32 / "sfxprobe.exe"
        self.wizard = self.win32 / "testwizard" / "WIZARD.EXE"
        self.state: dict = {}
        if self.state_file.exists():
            self.state = json.loads(self.state_file.read_text())

    # -- environment ------------------------------------------------------
    def env(self, extra: Optional[Dict[str, str]] = None) -> Dict[str, str]:
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("WINE", "LC_", "QEMU_")) and k not in ("LANGUAGE", "WAYLAND_DISPLAY")}
        locale_name = self.state.get("locale") or english_locale()
        env.update({
            "WINEPREFIX": str(self.prefix),
            "WINEARCH": "win32",
            "WINEDEBUG": os.environ.get("SFX_WINEDEBUG", "-all"),
            # No Mono or Gecko to fetch, no menu entries written to $HOME.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "LANG": locale_name,
            "LC_ALL": locale_name,
            "TZ": TEST_ZONE,
        })
        if self.state.get("display"):
            env["DISPLAY"] = self.state["display"]
        if self.state.get("preload"):
            env["LD_PRELOAD"] = self.state["preload"]
        if extra:
            env.update(extra)
        return env

    def temp_dir(self) -> Path:
        """The user's temporary folder of the prefix, on the Linux side."""
        users = self.prefix / "drive_c" / "users"
        own = users / getpass.getuser() / "Temp"
        if own.is_dir():
            return own
        found = [p for p in users.glob("*/Temp") if p.parent.name != "Public"]
        check(len(found) == 1, f"cannot tell the user's Temp folder among {found}")
        return found[0]

    def extraction_dir(self) -> Path:
        """Where the stub unpacks: _I_ in the user's temporary folder."""
        return self.temp_dir() / "_I_"

    def clear_extraction(self):
        shutil.rmtree(self.extraction_dir(), ignore_errors=True)

    def copy_into(self, source: Path, *parts: str) -> Path:
        """Copies a file to runs/<parts...> (folder names may hold blanks)
        and returns the new path, for starting a program from there."""
        target = self.runs.joinpath(*parts)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)
        return target

    def require_ready(self):
        status = self.state.get("status")
        if status == "ok":
            return
        if status == "skip":
            raise Skip(self.state.get("reason", "Wine set-up skipped"))
        raise Skip("the Wine set-up (test wine.setup) has not run or did not finish")

    # -- running a program -------------------------------------------------
    def run(self, program: Path, args: bytes = b"", *, cmdline: Optional[bytes] = None,
            app: Optional[Path] = None, cwd: Optional[Path] = None, cancel: str = "none",
            cancel_at: int = 0, shots: Optional[Dict[str, str]] = None,
            timeout_s: Optional[float] = None, env: Optional[Dict[str, str]] = None,
            all_processes: bool = False, name: Optional[str] = None,
            extracting_dir: Optional[bytes] = None, wide: bool = False) -> Result:
        """Starts `program` under sfxwatch and returns what happened.

        cmdline: exact command-line bytes (default: the quoted Windows path of
        program, then a blank and args when given). cancel: none, close,
        escape or idcancel; cancel_at: 0 for as soon as the wait window
        appears, N for while message box N is open. shots: {"box:N",
        "wait" or "extracting": label}, each saved as
        screenshots/<label>.png; "extracting" needs extracting_dir, the
        Windows path of a folder that appears once the extraction runs.
        wide: the program, command line and working folder are UTF-8 and
        the program is started with CreateProcessW, so that their names
        may hold characters the ANSI code page lacks.
        """
        self.require_ready()
        check(self.watcher.exists(), f"{self.watcher} is missing: build the cross build first")
        check(Path(program).exists(), f"{program} is missing")
        shots = dict(shots or {})
        for when, label in shots.items():
            check(when in ("wait", "extracting") or re.fullmatch(r"box:[1-9][0-9]*", when),
                  f"bad shot moment {when!r}")
            check(when != "extracting" or extracting_dir, "an extracting shot needs extracting_dir")
            check(LABEL_RE.match(label), f"bad screenshot label {label!r}")
        if timeout_s is None:
            timeout_s = 300 if self.state.get("emulated") else 90
        run_dir = self.runs / (name or Path(program).stem)
        shutil.rmtree(run_dir, ignore_errors=True)
        (run_dir / "handshake").mkdir(parents=True)
        self.screenshots.mkdir(parents=True, exist_ok=True)
        log = run_dir / "watch.log"
        path_bytes = (lambda p: win_path_text(p).encode("utf-8")) if wide else win_path
        if cmdline is None:
            cmdline = b'"' + path_bytes(program) + b'"' + (b" " + args if args else b"")
        job = [f"log {win_path(log).hex()}", f"cmdline {cmdline.hex()}",
               f"handshake {win_path(run_dir / 'handshake').hex()}",
               f"cancel {cancel}", f"cancel_at {cancel_at}",
               f"timeout_ms {int(timeout_s * 1000)}",
               f"scope {'all' if all_processes else 'process'}"]
        if wide:
            job.append("encoding utf8")
        if app is not None:
            job.append(f"app {path_bytes(app).hex()}")
        if cwd is not None:
            job.append(f"cwd {path_bytes(cwd).hex()}")
        if extracting_dir is not None:
            job.append(f"extracting_dir {extracting_dir.hex()}")
        job += [f"shot {when} {label}" for when, label in shots.items()]
        (run_dir / "job.txt").write_text("\n".join(job) + "\n")

        started = time.monotonic()
        done_labels = set()
        with open(run_dir / "wine.out", "wb") as out:
            proc = subprocess.Popen(["wine", str(self.watcher), win_path(run_dir / "job.txt")],
                                    env=self.env(env), stdout=out, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL, cwd=run_dir)
            deadline = started + timeout_s + 120
            server_missed, next_server_look = 0, started + 1
            while proc.poll() is None:
                for request in sorted((run_dir / "handshake").glob("req-*")):
                    label = request.name[4:]
                    if label in done_labels:
                        continue
                    self._screenshot(self.screenshots / f"{label}.png")
                    done_labels.add(label)
                    (run_dir / "handshake" / f"done-{label}").touch()
                if time.monotonic() > deadline:
                    proc.kill()
                    proc.wait()
                    break
                # Wine's programs wait for ever once their server is gone:
                # three looks a second apart without it end the run.
                if time.monotonic() >= next_server_look:
                    next_server_look = time.monotonic() + 1
                    server_missed = 0 if self.server_running() else server_missed + 1
                    if server_missed >= 3:
                        proc.kill()
                        proc.wait()
                        raise CaseFailure(f"the prefix's wineserver ended while {Path(program).name} ran; "
                                          f"wine output:\n{_tail(run_dir / 'wine.out')}")
                time.sleep(0.1)
        result = parse_log(log.read_text() if log.exists() else "")
        result.seconds = time.monotonic() - started
        result.screenshots = {label: self.screenshots / f"{label}.png" for label in done_labels}
        if not result.finished:
            raise CaseFailure(f"sfxwatch did not finish (exit {proc.returncode}); log:\n{result.log}\n"
                              f"wine output:\n{_tail(run_dir / 'wine.out')}")
        return result

    def wine_prefix(self) -> WinePrefix:
        return WinePrefix(self.prefix, self.env())

    def server_running(self) -> bool:
        """Whether the prefix's wineserver runs (natively or under qemu)."""
        return self.wine_prefix().server_running()

    def _screenshot(self, png: Path):
        time.sleep(0.5)
        subprocess.run(["import", "-window", "root", str(png)], env=self.env(), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

    def wine(self, *args: str, timeout: float = 600) -> subprocess.CompletedProcess:
        """Runs a Wine command; its output goes to a file, never a pipe, since
        the processes Wine leaves running would hold a pipe open."""
        out_file = self.wine_dir / "wine-command.out"
        with open(out_file, "wb") as out:
            try:
                done = subprocess.run(["wine", *args], env=self.env(), stdout=out, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL, timeout=timeout)
            except subprocess.TimeoutExpired:
                raise Skip(f"'wine {' '.join(args)}' did not finish in {timeout} s") from None
        done.stdout = out_file.read_bytes()
        return done

    # -- set-up and clean-up -----------------------------------------------
    def setup(self, preload_dir: Path) -> float:
        """Creates the prefix and starts Xvfb. Raises Skip where Wine cannot run.
        First stops what an earlier set-up of this folder left running: a
        repeated set-up would otherwise start a second display and server
        over the first ones, which nothing would stop."""
        self.wine_dir.mkdir(parents=True, exist_ok=True)
        left = self.stop_all()
        self.state = {"status": "starting", "emulated": emulated(), "locale": english_locale()}
        self._save_state()
        try:
            check(not left, "processes of an earlier set-up did not end: " + "; ".join(map(describe, left)))
            return self._setup(Path(preload_dir))
        except Skip as e:
            self.state.update(status="skip", reason=str(e))
            raise
        finally:
            self._save_state()

    def _save_state(self):
        self.state_file.write_text(json.dumps(self.state, indent=1))

    def _setup(self, preload_dir: Path) -> float:
        for tool in ("wine", "wineserver", "Xvfb", "import", "identify"):
            if not shutil.which(tool):
                raise Skip(f"{tool} is not installed (scripts/install-deps.sh installs it)")
        for exe in (self.watcher, self.probe):
            check(exe.exists(), f"{exe} is missing: the cross build did not make it")
        if self.state["emulated"]:
            lib = preload_dir / "lib" / "i386-linux-gnu" / PRELOAD_NAME
            if not lib.exists():
                raise Skip(f"32-bit programs run through qemu here, and {lib}, which Wine needs under "
                           "qemu, was not built (see the build's warnings)")
            self.state["preload"] = str(preload_dir / "$LIB" / PRELOAD_NAME)

        started = time.monotonic()
        self._start_xvfb()
        # A persistent server keeps the session, and the services Wine starts
        # once per session, alive from one case to the next.
        try:
            self.wine_prefix().make(["wine", "wineboot", "-i"], self.wine_dir / "wineboot.out",
                                    limit=600 if self.state["emulated"] else 300)
        except PrefixFailure as e:
            raise CaseFailure(str(e)) from None
        reg = self.wine_dir / "settings.reg"
        reg.write_text(_registry_settings(), encoding="ascii")
        imp = self.wine("reg", "import", win_path(reg).decode("cp1252"), timeout=300)
        if imp.returncode != 0:
            raise Skip(f"importing registry settings failed: {imp.stdout.decode(errors='replace')[-2000:]}")
        self.state["prefix_seconds"] = round(time.monotonic() - started, 1)

        # Can GUI programs run? Our probe shows one box that the watcher must see.
        self.state["status"] = "ok"
        probe_started = time.monotonic()
        script = self.wine_dir / "probe-script.txt"
        report = self.wine_dir / "probe-report.txt"
        script.write_text(f"report {win_path(report).hex()}\nbox {PROBE_CAPTION.hex()} {PROBE_TEXT.hex()}\nexit 0\n")
        try:
            probe = self.run(self.probe, env={"SFXPROBE_SCRIPT": win_path(script).decode("cp1252")},
                             name="setup-probe", timeout_s=600 if self.state["emulated"] else 120)
            ok = ([(b.caption, b.text) for b in probe.boxes] == [(PROBE_CAPTION, PROBE_TEXT)]
                  and probe.exit_code == 0)
            detail = probe.log
        except (CaseFailure, subprocess.SubprocessError) as e:
            ok, detail = False, str(e)
        if not ok:
            self.state["status"] = "starting"
            raise Skip("Wine does not run GUI programs here: the probe's message box was not seen as "
                       f"expected. Watcher log:\n{detail}")
        self.state["probe_seconds"] = round(time.monotonic() - probe_started, 1)
        return time.monotonic() - started

    def _start_xvfb(self):
        read_fd, write_fd = os.pipe()
        # The prefix in Xvfb's environment marks it as this folder's display.
        marked = dict(os.environ, WINEPREFIX=str(self.prefix))
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                                 f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp", "-noreset"],
                                pass_fds=(write_fd,), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=open(self.wine_dir / "xvfb.log", "wb"),
                                start_new_session=True, env=marked)
        os.close(write_fd)
        self.state["xvfb_pid"] = xvfb.pid
        self._save_state()
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_fd], [], [], 1)
            if ready:
                chunk = os.read(read_fd, 16)
                if not chunk:
                    break
                number += chunk
        os.close(read_fd)
        if not number.strip().isdigit():
            raise Skip(f"Xvfb did not start: {_tail(self.wine_dir / 'xvfb.log')}")
        self.state["display"] = ":" + number.strip().decode()

    def stop_all(self) -> List[int]:
        """Stops everything of the prefix; returns the pids that did not end."""
        return self.wine_prefix().stop()

    def cleanup(self) -> List[int]:
        """Stops everything any set-up of this folder started; returns the
        pids that did not end."""
        left = self.stop_all()
        self.state_file.unlink(missing_ok=True)
        return left


def _registry_settings() -> str:
    lines = [
        "REGEDIT4", "",
        # Wine draws captions and close boxes itself, without a window manager.
        "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]", '"Decorated"="N"', "",
        # A crashing program ends quietly instead of opening a debugger window
        # that a test could take for one of its own.
        "[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]", '"ShowCrashDialog"=dword:00000000', "",
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug]",
        '"Debugger"=""', '"Auto"="0"', "",
    ]
    if os.environ.get("SFX_WINE_DESKTOP") == "1":
        lines += ["[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]", '"Desktop"="Default"', "",
                  "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]", '"Default"="1024x768"', ""]
    return "\r\n".join(lines) + "\r\n"


def main(argv: List[str]) -> int:
    if len(argv) >= 3 and argv[1] == "setup":
        harness = Harness(Path(argv[2]))
        try:
            seconds = harness.setup(Path(argv[3]))
        except Skip as e:
            print(f"SKIPPED: {e}")
            return SKIP_CODE
        except CaseFailure as e:
            print(f"FAILED: {e}")
            return 1
        print(f"Wine ready on display {harness.state['display']} in {seconds:.1f} s "
              f"(prefix {harness.state['prefix_seconds']} s, probe {harness.state['probe_seconds']} s"
              f"{', under qemu' if harness.state['emulated'] else ''})")
        return 0
    if len(argv) == 3 and argv[1] in ("cleanup", "leftovers"):
        harness = Harness(Path(argv[2]))
        left = harness.cleanup() if argv[1] == "cleanup" else processes_of(harness.prefix)
        return report_leftovers(harness.prefix, left)
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
