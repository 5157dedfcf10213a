"""A Wine prefix of the tests and the processes that run with it.

Every process a test set-up starts has the prefix as WINEPREFIX in its
environment. By that mark a set-up first stops whatever an earlier run left
running, a clean-up stops all of it, and `leftovers` tells what is left.
Both harnesses (tests/wine/winetest.py, 32-bit, and tests/sfxpack/wine64.py,
64-bit) make and stop their prefixes here.
"""
from __future__ import annotations

import os
import shutil
import signal
import subprocess
import time
from pathlib import Path
from typing import Dict, List

PROC = Path("/proc")
# How long a stop gives processes to end after SIGTERM before it sends
# SIGKILL, and how long it then waits for them; they usually end at once.
STOP_GRACE = 30.0
STOP_TIMEOUT = 60.0
# A new prefix's wineserver must run this soon after its start, and
# wineboot must show a sign of life (CPU time of the prefix's processes, a
# file of the prefix written) at least this often; a set-up that does not
# come up then fails with the reason instead of waiting out its limit.
SERVER_START = 20.0
BOOT_STALL = 45.0


class PrefixFailure(AssertionError):
    """The prefix could not be made; the text says why."""


class WinePrefix:
    """One prefix folder, with the environment its Wine processes get."""

    def __init__(self, path: Path, env: Dict[str, str]):
        self.path = Path(path)
        self.env = env

    def processes(self) -> List[int]:
        return processes_of(self.path)

    def server_running(self) -> bool:
        """Whether the prefix's wineserver runs (natively or under qemu)."""
        return bool(_server_pids(self.path))

    def make(self, wineboot: List[str], out_path: Path, limit: float) -> float:
        return make_prefix(self.path, self.env, wineboot, out_path, limit)

    def stop(self) -> List[int]:
        """Stops the prefix's wineserver with its processes, then whatever
        else still runs with the prefix (Xvfb, a process that lost its
        server). Returns the pids that did not end."""
        if self.path.is_dir():
            try:
                subprocess.run(["wineserver", "-k"], env=self.env, timeout=120, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            except (OSError, subprocess.SubprocessError):
                pass
        return stop_processes(self.path)


def processes_of(prefix: Path, proc: Path = PROC) -> List[int]:
    """The processes with WINEPREFIX=prefix in their environment, leaving out
    this process and its ancestors. A zombie has no environment left, so
    one that nobody reaped does not count."""
    mine = _ancestry(proc)
    return sorted(int(d.name) for d in proc.iterdir()
                  if d.name.isdigit() and int(d.name) not in mine and _names_prefix(d, prefix))


def _names_prefix(pid_dir: Path, prefix: Path) -> bool:
    try:
        environ = (pid_dir / "environ").read_bytes()
    except OSError:
        return False
    return b"WINEPREFIX=" + os.fsencode(str(prefix)) in environ.split(b"\0")


def _ancestry(proc: Path) -> set:
    """This process and its ancestors, followed through proc/PID/stat."""
    pids, pid = set(), os.getpid()
    while pid > 0 and pid not in pids:
        pids.add(pid)
        try:
            # The parent pid is the second field after the parenthesised name.
            pid = int((proc / str(pid) / "stat").read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            break
    return pids


def stop_processes(prefix: Path, proc: Path = PROC) -> List[int]:
    """Sends SIGTERM to every process of the prefix, and SIGKILL to those
    still there after STOP_GRACE seconds; waits up to STOP_TIMEOUT seconds
    for those to end. Returns the pids left at the end."""
    for sig, wait in ((signal.SIGTERM, STOP_GRACE), (signal.SIGKILL, STOP_TIMEOUT)):
        pids = processes_of(prefix, proc)
        for pid in pids:
            try:
                os.kill(pid, sig)
            except OSError:
                pass
        deadline = time.monotonic() + wait
        while pids and time.monotonic() < deadline:
            time.sleep(0.05)
            pids = [pid for pid in pids if _names_prefix(proc / str(pid), prefix)]
    return processes_of(prefix, proc)


def _cpu_ticks(pids: List[int], proc: Path = PROC) -> int:
    """User and system time the processes used so far, in clock ticks."""
    total = 0
    for pid in pids:
        try:
            fields = (proc / str(pid) / "stat").read_text().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except (OSError, ValueError, IndexError):
            pass
    return total


def _server_pids(prefix: Path) -> List[int]:
    return [pid for pid in processes_of(prefix) if _is_process(pid, b"wineserver")]


def make_prefix(prefix: Path, env: Dict[str, str], wineboot: List[str], out_path: Path, limit: float) -> float:
    """Makes `prefix` anew: starts a persistent wineserver for it and runs
    `wineboot` (the command that fills it), output to `out_path`. Raises
    PrefixFailure, saying why, as soon as the server does not run, wineboot
    shows no sign of life for BOOT_STALL seconds, or runs past `limit`.
    Returns how long wineboot took."""
    shutil.rmtree(prefix, ignore_errors=True)
    prefix.mkdir(parents=True)
    # Nothing the server or the services started later inherit may hold a
    # pipe of ours open.
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    started = subprocess.run(["wineserver", "-p"], env=env, timeout=SERVER_START, **quiet)
    deadline = time.monotonic() + SERVER_START
    while not _server_pids(prefix) and time.monotonic() < deadline:
        time.sleep(0.2)
    if not _server_pids(prefix):
        raise PrefixFailure(f"'wineserver -p' returned {started.returncode}, but no wineserver runs for {prefix} "
                          f"{SERVER_START:.0f} s later")
    began = time.monotonic()
    with open(out_path, "wb") as out:
        boot = subprocess.Popen(wineboot, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        last_sign, last_change, server_missed = None, time.monotonic(), 0
        while boot.poll() is None:
            time.sleep(0.5)
            now = time.monotonic()
            server_missed = 0 if _server_pids(prefix) else server_missed + 1
            files = sorted((p.name, p.stat().st_mtime_ns, p.stat().st_size)
                           for p in list(prefix.glob("*.reg")) + [out_path] if p.exists())
            sign = (_cpu_ticks(processes_of(prefix)), files)
            if sign != last_sign:
                last_sign, last_change = sign, now
            reason = None
            if server_missed >= 10:
                reason = "the prefix's wineserver ended while wineboot ran"
            elif now - last_change > BOOT_STALL:
                reason = f"wineboot showed no sign of life for {BOOT_STALL:.0f} s"
            elif now - began > limit:
                reason = f"wineboot did not finish in {limit:.0f} s"
            if reason:
                boot.kill()
                boot.wait()
                raise PrefixFailure(f"{reason} (after {now - began:.0f} s); its output:\n{_tail(out_path)}")
    if boot.returncode != 0 or not (prefix / "drive_c" / "windows" / "system32").is_dir():
        raise PrefixFailure(f"creating the Wine prefix failed (wineboot exit {boot.returncode}):\n{_tail(out_path)}")
    return time.monotonic() - began


def describe(pid: int, proc: Path = PROC) -> str:
    try:
        words = (proc / str(pid) / "cmdline").read_bytes().split(b"\0")
    except OSError:
        return f"{pid} (gone)"
    return f"{pid} {b' '.join(words).decode(errors='replace').strip()}"


def _is_process(pid: int, name: bytes) -> bool:
    try:
        return name in Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return False


def report_leftovers(prefix: Path, left: List[int]) -> int:
    """Names the processes of a prefix that still run; the exit code of a
    cleanup or leftovers step: 1 when any do."""
    for pid in left:
        print(f"still running with WINEPREFIX={prefix}: {describe(pid)}")
    if not left:
        print(f"nothing runs with WINEPREFIX={prefix}")
    return 1 if left else 0


def english_locale() -> str:
    try:
        names = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    except OSError:
        names = []
    for wanted in ("en_US.utf8", "en_US.UTF-8"):
        if wanted in names:
            return "en_US.UTF-8"
    return "C.UTF-8"


def _tail(path: Path, lines: int = 30) -> str:
    try:
        return "\n".join(path.read_text(errors="replace").splitlines()[-lines:])
    except OSError:
        return "(none)"
