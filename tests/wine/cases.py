"""End-to-end cases under Wine. Each function decorated with @case is one
ctest test (wine.<name>); ctest runs them as

  cases.py BUILD_DIR NAME     run one case: exit 0 passed, 1 failed, 77 skipped
  cases.py --list             print the case names

A case gets the Harness (see winetest.py): h.run(...) starts a program under
sfxwatch and returns its boxes, wait window, exit code and screenshots;
h.temp_dir() is the prefix's Temp folder on the Linux side.
"""
from __future__ import annotations

import shutil
import sys
import traceback
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import winetest  # noqa: E402
from winetest import CaseFailure, Harness, Skip, check, check_equal, win_path  # noqa: E402

CASES = {}

CAPTION = b"Velunax Software"
SFXAID = ("Archivo de instalaci\u00f3n da\u00f1ado.\r\r"
          "Arxiu d'instal\u00b7laci\u00f3 trencat.\r\r"
          "Installation program is damaged.\r\r"
          "E-mail: soporte@example.com\r"
          "https://www.example.com/velunax\r"
          "https://support.example.com/velunax\r\r"
          "Error #SFXAID#").encode("cp1252")


def case(fn):
    CASES[fn.__name__] = fn
    return fn


def check_screenshot(h: Harness, png: Path):
    """The file is a whole-screen PNG with something drawn on it."""
    check(png.exists(), f"screenshot {png} was not saved")
    width, height, colours = winetest.image_info(png)
    check_equal((width, height), winetest.SCREEN, f"size of {png.name}")
    check(colours > 2, f"{png.name} has {colours} colours: nothing drawn")


# ---------------------------------------------------------------- the stub --

@case
def bare_stub(h: Harness):
    """The stub without an archive shows the damaged-installer box, once."""
    check(h.stub.exists(), f"{h.stub} is missing: the cross build did not make the stub")
    r = h.run(h.stub, shots={"box:1": "bare-stub"})
    check_equal([(b.caption, b.text) for b in r.boxes], [(CAPTION, SFXAID)], "message boxes")
    check_equal(r.exit_code, 0, "exit code")
    check_equal(r.waits, [], "dialogs other than the box")
    check_equal(r.shot_results, {"bare-stub": "ok"}, "screenshot handshake")
    check_screenshot(h, r.screenshots["bare-stub"])


# ------------------------------------------------ the harness, with sfxprobe --
# sfxprobe stands in for the stub: it shows the boxes and the wait dialog its
# script asks for and reports what happened to them, so these cases check
# that the watcher records and drives windows as the stub's cases rely on.

def run_probe(h: Harness, name: str, *, boxes=(), wait=False, delay_ms=0, exit_code=0,
              program: Path = None, **run_args):
    work = h.runs / (name + "-probe")
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    report = work / "report.txt"
    lines = [f"report {win_path(report).hex()}", f"exit {exit_code}"]
    if wait:
        lines += ["wait 1", f"delay {delay_ms}"]
    lines += [f"box {caption.hex()} {text.hex()}" for caption, text in boxes]
    script = work / "script.txt"
    script.write_text("\n".join(lines) + "\n")
    env = {"SFXPROBE_SCRIPT": win_path(script).decode("cp1252")}
    r = h.run(program or h.probe, env=env, name=name, **run_args)
    records = {}
    for line in report.read_text().splitlines() if report.exists() else []:
        kind, _, rest = line.partition(" ")
        records.setdefault(kind, []).append(rest)
    return r, records


# Every byte Windows-1252 can show, and carriage returns, must come back intact.
ALL_CP1252 = bytes(b for b in range(0x20, 0x100) if b not in (0x7F, 0x81, 0x8D, 0x8F, 0x90, 0x9D))


@case
def harness_box_bytes(h: Harness):
    boxes = [(b"First", b"Line one\r\rline two"), (CAPTION, ALL_CP1252[:96]), (b"\xc0rbol", ALL_CP1252[96:])]
    r, rep = run_probe(h, "harness_box_bytes", boxes=boxes, exit_code=5)
    check_equal([(b.caption, b.text) for b in r.boxes], boxes, "recorded boxes")
    check_equal([b.pressed for b in r.boxes], [[1], [1], [1]], "buttons pressed")
    check_equal(rep.get("BOXRET"), ["n=1 ret=1", "n=2 ret=1", "n=3 ret=1"], "what the boxes returned")
    check_equal(r.exit_code, 5, "exit code")
    check_equal(r.waits, [], "dialogs other than boxes")


@case
def harness_cancel_close_during_box(h: Harness):
    """Close box of the wait window while box 2 is open: the dialog ends and
    the boxes go on. A screenshot while box 1 is open shows both windows."""
    boxes = [(b"One", b"first"), (b"Two", b"second"), (b"Three", b"third")]
    r, rep = run_probe(h, "harness_cancel_close", boxes=boxes, wait=True, cancel="close", cancel_at=2,
                       shots={"box:1": "harness-box-over-wait"})
    check(r.wait is not None, "the wait dialog was not recorded")
    check_equal((r.wait.caption, r.wait.text), (b"Probe wait ", b"Probe is working."), "wait dialog")
    check_equal((r.cancel.how, r.cancel.box, r.cancel.result), ("close", 2, "hidden"), "cancel record")
    check_equal(rep.get("CANCEL"), ["during=2"], "cancel seen by the program")
    check_equal([(b.caption, b.text) for b in r.boxes], boxes, "boxes after the cancel")
    check_equal(r.exit_code, 0, "exit code")
    check(r.wait.gone_ms is not None and r.wait.gone_ms > r.boxes[1].t_ms, "the wait window went too early")
    check_screenshot(h, r.screenshots["harness-box-over-wait"])


@case
def harness_cancel_idcancel_during_box(h: Harness):
    r, rep = run_probe(h, "harness_idcancel", boxes=[(b"Only", b"box")], wait=True,
                       cancel="idcancel", cancel_at=1)
    check_equal((r.cancel.how, r.cancel.result), ("idcancel", "hidden"), "cancel record")
    check_equal(rep.get("CANCEL"), ["during=1"], "cancel seen by the program")
    check_equal(len(r.boxes), 1, "number of boxes")


@case
def harness_escape_on_appear(h: Harness):
    """Escape as soon as the wait window shows, before any box: no box follows."""
    r, rep = run_probe(h, "harness_escape", boxes=[(b"Never", b"shown")], wait=True, delay_ms=600000,
                       cancel="escape", cancel_at=0, shots={"wait": "harness-wait"})
    check_equal((r.cancel.how, r.cancel.box, r.cancel.result), ("escape", 0, "hidden"), "cancel record")
    check_equal(rep.get("CANCEL"), ["during=0"], "cancel seen by the program")
    check_equal(r.boxes, [], "boxes")
    check(r.wait.gone_ms is not None, "the wait window did not go")
    check_screenshot(h, r.screenshots["harness-wait"])


@case
def harness_blanks_and_quotes(h: Harness):
    """Exact command line and working folder, from a folder with blanks."""
    shutil.rmtree(h.runs / "harness blanks", ignore_errors=True)
    program = h.copy_into(h.probe, "harness blanks", "folder with blanks", "my probe.exe")
    folder = program.parent
    cmdline = b'"' + win_path(program) + b'" "quoted arg with blanks"  plain \xe9'
    r, rep = run_probe(h, "harness_blanks", boxes=[(b"Hi", b"there")], program=program,
                       cmdline=cmdline, cwd=folder, exit_code=3)
    check_equal(bytes.fromhex(rep["CMDLINE"][0]), cmdline, "command line the program got")
    check_equal(bytes.fromhex(rep["CWD"][0]), win_path(folder), "working folder")
    check_equal(r.exit_code, 3, "exit code")


def main(argv):
    if len(argv) == 2 and argv[1] == "--list":
        print(";".join(CASES))
        return 0
    if len(argv) != 3 or argv[2] not in CASES:
        print(__doc__)
        return 2
    h = Harness(Path(argv[1]))
    try:
        CASES[argv[2]](h)
    except Skip as e:
        print(f"SKIPPED: {e}")
        return winetest.SKIP_CODE
    except CaseFailure as e:
        print(f"FAILED: {e}")
        return 1
    except Exception:
        traceback.print_exc()
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
