#!/usr/bin/env python3
"""sfxpack.exe, the 64-bit Windows build, run under wine64 for the tests.

One ctest run makes one 64-bit prefix under the build folder and starts a
persistent wineserver for it (`setup`); every test then runs the program
through `run`, and `cleanup` stops everything that carries the prefix in
its environment (tests/wine/wineprefix.py, shared with the stub's Wine
tests).

  wine64.py setup BUILD_DIR SFXPACK_EXE   exit 77 when it cannot run here
  wine64.py cleanup BUILD_DIR
  wine64.py leftovers BUILD_DIR           exit 1 when a process of the prefix runs
  wine64.py run PROGRAM.exe ARGS...       (SFX_WINE64_DIR names BUILD_DIR/wine64)

`run` gives every absolute POSIX path among the arguments as the Windows
path Wine shows it under (drive Z:, '\\' separators) and turns "Z:/" in
the program's output back into "/", so that the tests compare output with
the same paths as on Linux. Its exit code is the program's.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "wine"))
from wineprefix import PrefixFailure, WinePrefix, describe, english_locale, report_leftovers  # noqa: E402

SKIP_CODE = 77
WINE64 = "/usr/lib/wine/wine64"


def folder(build_dir):
    return Path(build_dir).absolute() / "wine64"


def environment(wine_dir, base=None):
    env = dict(os.environ if base is None else base)
    env.update({
        "WINEPREFIX": str(wine_dir / "prefix"),
        "WINEARCH": "win64",
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
        # Code page 1252 for the ANSI side, as on an English Windows.
        "LANG": english_locale(),
        "LC_ALL": english_locale(),
    })
    return env


def state_of(wine_dir):
    try:
        return json.loads((wine_dir / "state.json").read_text())
    except (OSError, ValueError):
        return {}


def save_state(wine_dir, state):
    (wine_dir / "state.json").write_text(json.dumps(state, indent=1))


def prefix_of(wine_dir):
    return WinePrefix(wine_dir / "prefix", environment(wine_dir))


def setup(build_dir, exe):
    wine_dir = folder(build_dir)
    wine_dir.mkdir(parents=True, exist_ok=True)
    left = prefix_of(wine_dir).stop()
    if left:
        print("processes of an earlier set-up did not end: " + "; ".join(map(describe, left)))
        return 1

    def skip(reason):
        save_state(wine_dir, {"status": "skip", "reason": reason})
        print("SKIPPED: " + reason)
        return SKIP_CODE

    save_state(wine_dir, {"status": "starting"})
    if not os.access(WINE64, os.X_OK) or not shutil.which("wineserver"):
        return skip(f"{WINE64} or wineserver is not installed (package wine64)")
    if not Path(exe).is_file():
        return skip(f"{exe} is missing: build it first (cmake --preset windows-release && "
                    "cmake --build --preset windows-release)")
    started = time.monotonic()
    # A persistent server: each run of the program then starts in a fraction
    # of a second instead of bringing the session up again.
    try:
        prefix_of(wine_dir).make([WINE64, "wineboot", "-i"], wine_dir / "wineboot.out", limit=900)
    except PrefixFailure as e:
        print(f"FAILED: {e}")
        return 1
    probe = run_program(wine_dir, [exe, "--version"])
    if probe.returncode:
        return skip(f"sfxpack.exe --version failed under wine64 (exit {probe.returncode}): "
                    + probe.stderr.decode(errors="replace")[-2000:])
    save_state(wine_dir, {"status": "ok", "exe": str(Path(exe).absolute()),
                          "seconds": round(time.monotonic() - started, 1)})
    print(f"64-bit prefix ready in {time.monotonic() - started:.1f} s: "
          + probe.stdout.decode(errors="replace").splitlines()[0])
    return 0


def windows_argument(arg):
    if arg.startswith("/"):
        return "Z:" + arg.replace("/", "\\")
    return arg


def posix_output(data):
    """Paths on drive Z: as the POSIX paths they are, whichever separator
    the program shows them with: to the closing quote in quotes, else to a
    space or punctuation."""
    return re.sub(rb"'(Z:[/\\][^']*)'|(Z:[/\\][^'\"\s:,;()]*)", lambda m: (
        b"'" + m.group(1)[2:].replace(b"\\", b"/") + b"'" if m.group(1)
        else m.group(2)[2:].replace(b"\\", b"/")), data)


def run_program(wine_dir, argv):
    exe, *args = argv
    cmd = [WINE64, exe, *map(windows_argument, args)]
    # Files, not pipes: a process Wine starts on the side would hold a pipe
    # open after the program ended.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(cmd, env=environment(wine_dir), stdout=out, stderr=err).returncode
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(cmd, code, posix_output(out.read()), posix_output(err.read()))


def main(argv):
    if len(argv) >= 3 and argv[1] == "run":
        wine_dir = Path(os.environ["SFX_WINE64_DIR"])
        done = run_program(wine_dir, argv[2:])
        sys.stdout.buffer.write(done.stdout)
        sys.stderr.buffer.write(done.stderr)
        return done.returncode
    if len(argv) == 4 and argv[1] == "setup":
        return setup(argv[2], argv[3])
    if len(argv) == 3 and argv[1] in ("cleanup", "leftovers"):
        wine_dir = folder(argv[2])
        prefix = prefix_of(wine_dir)
        left = prefix.stop() if argv[1] == "cleanup" else prefix.processes()
        if argv[1] == "cleanup":
            (wine_dir / "state.json").unlink(missing_ok=True)
        return report_leftovers(prefix.path, left)
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
