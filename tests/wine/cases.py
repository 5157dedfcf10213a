"""End-to-end cases under Wine. Each function decorated with @case is one
ctest test (wine.<name>); ctest runs them as

  cases.py BUILD_DIR NAME     run one case: exit 0 passed, 1 failed, 77 skipped
  cases.py --list             print the case names

A case gets the Harness (see winetest.py): h.run(...) starts a program under
sfxwatch and returns its boxes, wait window, exit code and screenshots;
h.temp_dir() is the prefix's Temp folder on the Linux side.
"""
from __future__ import annotations

import re
import shutil
import struct
import sys
import traceback
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import winetest  # noqa: E402
from winetest import CaseFailure, Harness, Skip, check, check_equal, win_path  # noqa: E402

# Packing (sfxpack, installer_bytes) writes local times in the same zone as
# the Wine processes read them back.
import os  # noqa: E402
import time  # noqa: E402
from xml.etree import ElementTree  # noqa: E402

os.environ["TZ"] = winetest.TEST_ZONE
time.tzset()

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



# ----------------------------------------------------------- installers --

import subprocess  # noqa: E402

import installer_bytes  # noqa: E402

WAIT_CAPTION = b"Velunax Software "
WAIT_TEXT = "Iniciando el asistente para la instalaci\u00f3n.\rEspere un momento...".encode("cp1252")
COMPLETED = "Instalaci\u00f3n completada en\r\r".encode("cp1252")
SFXEAA = b"Error al abrir el archivo\r\rError #SFXEAA#"


def extraction_root(h: Harness) -> bytes:
    """ExtractionRoot as the stub builds it inside the prefix."""
    return b"C:\\users\\" + h.temp_dir().parent.name.encode() + b"\\Temp\\_I_\\"


def pack(h: Harness, name: str, files: dict, wizard: str = None, level: int = 0, stub: Path = None,
         options: tuple = ()) -> Path:
    """Packs `files` ({relative path: bytes}) with sfxpack, with the build's
    stub or `stub` and any further `options`; returns the installer."""
    work = h.runs / ("pack-" + name)
    shutil.rmtree(work, ignore_errors=True)
    payload = work / "payload"
    for rel, data in files.items():
        path = payload.joinpath(*rel.split("/"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    out = work / (name + ".exe")
    args = [str(h.build / "bin" / "sfxpack"), "create", "-o", str(out), "--level", str(level)]
    if wizard:
        args += ["--wizard", wizard]
    if stub:
        args += ["--stub", str(stub)]
    subprocess.run(args + list(options) + [str(payload)], check=True, capture_output=True)
    return out


def wizard_files(extra: dict = None) -> dict:
    files = {"WIZARD.EXE": None}
    files.update(extra or {})
    return files


def with_wizard(h: Harness, files: dict) -> dict:
    return {k: (h.wizard.read_bytes() if v is None else v) for k, v in files.items()}


def wizard_log(h: Harness, name: str) -> Path:
    """A fresh folder for one run's wizard reports. Each run gets its own: a
    wizard that outlives its case (wizard_running_long) must not write into
    the folder of a later run."""
    folder = h.runs / f"log-{name}-{time.time_ns()}"
    folder.mkdir(parents=True)
    return folder


def check_wait_window(r):
    check(r.wait is not None, "the wait window was not seen")
    check_equal((r.wait.caption, r.wait.text), (WAIT_CAPTION, WAIT_TEXT), "wait window")


@case
def extract_nested_stored(h: Harness):
    """Stored entries in nested folders, no wizard: every file lands in
    Temp\\_I_ with its bytes and time, then the completion box."""
    files = {
        "readme.txt": b"Hola\r\n",
        "docs/manual/chapter one.txt": bytes(range(256)) * 40,
        "data/empty.bin": b"",
        "data/deep/er/table.dat": os.urandom(70000),
    }
    installer = pack(h, "nested", files, level=0)
    source = h.runs / "pack-nested" / "payload"
    h.clear_extraction()
    r = h.run(installer, name="nested")
    # The wait window may live for a millisecond here: it is checked where a
    # box holds it up (open_error_box_over_wait) or the work is long.
    check_equal(time.localtime(source.stat().st_mtime).tm_gmtoff, winetest.TEST_ZONE_OFFSET,
                "offset of the test zone, which makes a missing local-to-UTC step visible")
    check_equal([(b.caption, b.text) for b in r.boxes], [(CAPTION, COMPLETED + extraction_root(h))], "boxes")
    check_equal(r.exit_code, 0, "exit code")
    root = h.extraction_dir()
    got = sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file())
    check_equal(got, sorted(files), "extracted files")
    for rel, data in files.items():
        target = root.joinpath(*rel.split("/"))
        check_equal(target.read_bytes(), data, rel)
        # MS-DOS times keep even seconds.
        packed = int(source.joinpath(*rel.split("/")).stat().st_mtime) // 2 * 2
        check_equal(int(target.stat().st_mtime), packed, f"time of {rel}")


@case
def open_error_box_over_wait(h: Harness):
    """An entry whose name ends in a backslash gets the SFXEAA box while the
    wait window stays behind it; the extraction goes on."""
    stub = h.stub
    installer = h.runs / "bytes-eaa" / "eaa.exe"
    installer.parent.mkdir(parents=True, exist_ok=True)
    installer.write_bytes(installer_bytes.installer(stub, [
        installer_bytes.entry(b"carpeta\\", b""),
        installer_bytes.entry(b"despu\xe9s.txt", b"sigue"),
    ]))
    h.clear_extraction()
    r = h.run(installer, shots={"box:1": "eaa-over-wait"}, name="eaa")
    check_wait_window(r)
    check_equal([(b.caption, b.text) for b in r.boxes],
                [(extraction_root(h) + b"carpeta\\", SFXEAA), (CAPTION, COMPLETED + extraction_root(h))],
                "boxes")
    check_equal((h.extraction_dir() / "despu\u00e9s.txt").read_bytes(), b"sigue", "file after the box")
    check(r.wait.gone_ms is not None and r.wait.gone_ms > r.boxes[0].t_ms, "the wait window left before the box")
    check_equal(r.exit_code, 0, "exit code")
    check_screenshot(h, r.screenshots["eaa-over-wait"])


def expected_wizard_cmdline(h: Harness, own: bytes, arg: bytes) -> bytes:
    return (extraction_root(h) + b"WIZARD.EXE " + own.replace(b" ", b"\xac") + b" " + arg.replace(b" ", b"\xac"))


@case
def wizard_from_folder_with_blanks(h: Harness):
    """Started from a folder with blanks and a quoted argument with blanks:
    the wizard gets its path, the own path and the argument with 0xAC for
    each blank; it is deleted afterwards, the folder stays for the others."""
    installer = pack(h, "blanks", with_wizard(h, wizard_files({"other.txt": b"stays"})), wizard="WIZARD.EXE")
    started = h.copy_into(installer, "kit folder", "my setup.exe")
    working = h.runs / "working folder"
    working.mkdir(parents=True, exist_ok=True)
    log = wizard_log(h, "blanks")
    h.clear_extraction()
    r = h.run(started, b'"arg with blanks"', env={"WIZARD_LOG_DIR": win_path(log).decode("cp1252")},
              cwd=working, name="blanks")
    check_equal((log / "cmdline.bin").read_bytes(),
                expected_wizard_cmdline(h, win_path(started), b"arg with blanks"), "wizard command line")
    # Started in the installer's own working folder, shown normally, at
    # normal priority, and with the wait window gone while it runs.
    check_equal((log / "cwd.txt").read_bytes(), win_path(working), "the wizard's working folder")
    check_equal((log / "started.txt").read_bytes(), b"flags=1 show=5 priority=32 waitvisible=0",
                "how the wizard was started")
    check_equal(r.boxes, [], "boxes")
    check_equal(r.exit_code, 0, "exit code")
    check(not (h.extraction_dir() / "WIZARD.EXE").exists(), "the wizard's file was not deleted")
    check_equal((h.extraction_dir() / "other.txt").read_bytes(), b"stays", "the other file")


@case
def wizard_alone_folder_removed(h: Harness):
    """A wizard that ends quickly and was alone: its file and the folder go."""
    installer = pack(h, "alone", with_wizard(h, wizard_files()), wizard="WIZARD.EXE")
    log = wizard_log(h, "alone")
    h.clear_extraction()
    r = h.run(installer, env={"WIZARD_LOG_DIR": win_path(log).decode("cp1252")}, name="alone")
    check((log / "done.txt").exists(), "the wizard did not run to its end")
    check_equal((log / "cmdline.bin").read_bytes(), expected_wizard_cmdline(h, win_path(installer), b""),
                "wizard command line without an argument")
    check_equal(r.boxes, [], "boxes")
    check(not h.extraction_dir().exists(), "the empty extraction folder was not removed")
    check_equal(r.exit_code, 0, "exit code")


@case
def wizard_running_long(h: Harness):
    """A wizard that runs past 10 seconds: the stub returns after its wait
    and the wizard's file stays."""
    installer = pack(h, "long", with_wizard(h, wizard_files()), wizard="WIZARD.EXE")
    log = wizard_log(h, "long")
    h.clear_extraction()
    began = time.time()
    r = h.run(installer, env={"WIZARD_LOG_DIR": win_path(log).decode("cp1252"), "WIZARD_SLEEP_MS": "40000"},
              name="long")
    took = time.time() - began
    check((log / "cmdline.bin").exists(), "the wizard did not start")
    check(not (log / "done.txt").exists(), f"the stub waited for the wizard's end ({took:.0f} s)")
    check((h.extraction_dir() / "WIZARD.EXE").exists(), "the running wizard's file was deleted")
    check_equal(r.exit_code, 0, "exit code")
    print(f"stub run took {took:.1f} s with a 40 s wizard")


@case
def cancel_during_box_then_wizard(h: Harness):
    """The close box of the wait window while an extraction box is open: the
    window goes, the extraction carries on and the wizard still starts."""
    installer = h.runs / "bytes-cancel" / "cancel.exe"
    installer.parent.mkdir(parents=True, exist_ok=True)
    installer.write_bytes(installer_bytes.installer(h.stub, [
        installer_bytes.entry(b"carpeta\\", b""),
        installer_bytes.entry(b"WIZARD.EXE", h.wizard.read_bytes()),
        installer_bytes.entry(b"later.txt", b"extracted after the cancel"),
    ]))
    log = wizard_log(h, "cancel")
    h.clear_extraction()
    r = h.run(installer, cancel="close", cancel_at=1, env={"WIZARD_LOG_DIR": win_path(log).decode("cp1252")},
              name="cancel")
    check_equal((r.cancel.how, r.cancel.box, r.cancel.result), ("close", 1, "hidden"), "cancel record")
    check_equal([(b.caption, b.text) for b in r.boxes], [(extraction_root(h) + b"carpeta\\", SFXEAA)], "boxes")
    check_equal((h.extraction_dir() / "later.txt").read_bytes(), b"extracted after the cancel", "later file")
    check((log / "cmdline.bin").exists(), "the wizard was not started")
    check_equal(r.exit_code, 0, "exit code")


@case
def signed_installer(h: Harness):
    """An installer signed after packing still finds and extracts its archive."""
    tool = shutil.which("osslsigncode")
    check(tool is not None, "osslsigncode is not installed")
    installer = pack(h, "tosign", with_wizard(h, wizard_files({"notes.txt": b"signed"})), wizard="WIZARD.EXE")
    work = installer.parent
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Example Publisher", "-keyout", str(work / "key.pem"),
                    "-out", str(work / "cert.pem")], check=True, capture_output=True)
    signed = work / "signed.exe"
    subprocess.run([tool, "sign", "-certs", str(work / "cert.pem"), "-key", str(work / "key.pem"),
                    "-n", "Example", "-in", str(installer), "-out", str(signed)], check=True, capture_output=True)
    check(signed.stat().st_size > installer.stat().st_size, "nothing was appended by signing")
    check_installer_runs(h, signed, "signed", b"signed")


import rebase  # noqa: E402


def stub_variant(h: Harness, name: str, rebuilt: bool, base: int = None) -> Path:
    """The stub with its resources rebuilt around a 100 KB one when rebuilt
    (the resource section outgrows its room, so .reloc moves), then moved to
    the preferred base `base` by its own relocations when given."""
    work = h.runs / ("stub-" + name)
    work.mkdir(parents=True, exist_ok=True)
    stub = h.stub
    if rebuilt:
        padding = work / "padding.bin"
        padding.write_bytes(bytes(range(256)) * 400)
        out = work / "rebuilt.exe"
        subprocess.run([str(h.build / "bin" / "pe_rewrite_tool"), "rewrite", str(stub), str(out),
                        "10", "PADDING", "1033", str(padding)], check=True, capture_output=True)
        stub = out
    if base is not None:
        out = work / "moved.exe"
        out.write_bytes(rebase.rebase(stub.read_bytes(), base))
        stub = out
    return stub


def check_installer_runs(h: Harness, installer: Path, name: str, notes: bytes):
    """`installer` extracts notes.txt holding `notes`, starts its wizard and
    ends with no box and exit code 0."""
    log = wizard_log(h, name)
    h.clear_extraction()
    r = h.run(installer, env={"WIZARD_LOG_DIR": win_path(log).decode("cp1252")}, name=name)
    check((log / "done.txt").exists(), f"the wizard of the {name} installer did not run")
    check_equal((h.extraction_dir() / "notes.txt").read_bytes(), notes, "extracted file")
    check_equal((r.boxes, r.exit_code), ([], 0), "boxes and exit code")


def run_installer_with_stub(h: Harness, name: str, stub: Path):
    """An installer packed with `stub` extracts its files and starts its wizard."""
    installer = pack(h, name, with_wizard(h, wizard_files({"notes.txt": name.encode()})), wizard="WIZARD.EXE",
                     stub=stub)
    check_installer_runs(h, installer, name, name.encode())


@case
def stub_with_rebuilt_resources(h: Harness):
    """A stub whose resource section sfxpack rebuilt, grown so that its
    relocations moved, still extracts and starts the wizard."""
    run_installer_with_stub(h, "rebuilt", stub_variant(h, "rebuilt", rebuilt=True))


@case
def stub_moved_to_another_base(h: Harness):
    """Windows loads the stub at a random base (DYNAMIC_BASE), Wine at its
    preferred one: moved to another base by its relocations, the stub runs,
    as built and with its resources rebuilt (its moved relocations read),
    and a whole installer made with an icon, version information and a
    manifest runs once moved as the loader would move it."""
    for rebuilt in (False, True):
        name = "moved-rebuilt" if rebuilt else "moved"
        run_installer_with_stub(h, name, stub_variant(h, name, rebuilt, base=0x01000000))
    options = ["--icon", str(h.win32 / "identity" / "identity_large.ico"), "--file-version", "2.0",
               "--execution-level", "asInvoker"]
    installer = pack(h, "moved-identity", with_wizard(h, wizard_files({"notes.txt": b"moved"})),
                     wizard="WIZARD.EXE", options=options)
    installer.write_bytes(rebase.rebase(installer.read_bytes(), 0x01000000))
    check_installer_runs(h, installer, "moved-identity", b"moved")


def real_file_corpus(limit: int) -> dict:
    """About `limit` bytes of real files a Debian machine with Wine has: 32-bit
    PE DLLs, plain-text copyright notes and compressed change logs."""
    picked, total = {}, 0
    sources = [("dll", sorted(Path("/usr/lib/i386-linux-gnu/wine/i386-windows").glob("*.dll")), limit * 7 // 10),
               ("doc", sorted(Path("/usr/share/doc").glob("*/copyright")), limit * 2 // 10),
               ("log", sorted(Path("/usr/share/doc").glob("*/changelog.Debian.gz")), limit)]
    for folder, paths, share in sources:
        taken = 0
        for path in paths:
            size = path.stat().st_size
            if not path.is_file() or size == 0 or taken + size > share or total + size > limit:
                continue
            name = f"{folder}/{path.parent.name}/{path.name}" if folder != "dll" else f"{folder}/{path.name}"
            picked[name] = path
            taken += size
            total += size
    return picked


@case
def deflated_level12_real_files(h: Harness):
    """About 50 MB of real files packed at level 12 extract byte for byte,
    and the wait window shows its text while they are unpacked."""
    corpus = real_file_corpus(50 * 1000 * 1000)
    check(len(corpus) > 100, f"only {len(corpus)} files found for the corpus")
    work = h.runs / "pack-big"
    shutil.rmtree(work, ignore_errors=True)
    for rel, source in corpus.items():
        target = work / "payload" / rel
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)
    installer = work / "big.exe"
    subprocess.run([str(h.build / "bin" / "sfxpack"), "create", "-o", str(installer), "--level", "12",
                    str(work / "payload")], check=True, capture_output=True)
    h.clear_extraction()
    began = time.time()
    # The screenshot is taken once the extraction has made its folder, with
    # the stub held still meanwhile: it shows what the user sees while the
    # files are unpacked.
    r = h.run(installer, name="big", timeout_s=840, shots={"extracting": "wait-during-extraction"},
              extracting_dir=extraction_root(h).rstrip(b"\\"))
    took = time.time() - began
    check_equal(r.exit_code, 0, "exit code")
    check_equal([(b.caption, b.text) for b in r.boxes], [(CAPTION, COMPLETED + extraction_root(h))], "boxes")
    check_wait_window(r)
    check(r.extracting is not None, f"the wait window was not on screen during the extraction:\n{r.log}")
    check_equal(r.shot_results.get("wait-during-extraction"), "ok", "screenshot handshake")
    shot = r.screenshots["wait-during-extraction"]
    check_screenshot(h, shot)
    e = r.extracting
    dark = winetest.dark_pixels(shot, e.x, e.y, e.w, e.h)
    check(dark >= 100, f"the wait window's client area ({e.w}x{e.h} at {e.x},{e.y}) holds {dark} dark pixels "
          "during the extraction: its text is not on screen")
    root = h.extraction_dir()
    for rel, source in corpus.items():
        target = root / rel
        check(target.exists(), f"{rel} was not extracted")
        check(target.read_bytes() == source.read_bytes(), f"{rel} differs from the original")
    size = sum(p.stat().st_size for p in corpus.values())
    print(f"{len(corpus)} files, {size} bytes, installer {installer.stat().st_size} bytes, run {took:.1f} s")

# ---------------------------------- names the ANSI code page cannot spell --
# Under the English locale the ANSI code page is 1252: it has no "Ł" and
# no CJK characters. The stub then works with the short forms Wine gives
# such folders.

def check_spelt_for_ansi(what: str, path: bytes):
    check(path.isascii() and b"?" not in path, f"{what} is not a plain ASCII spelling: {path!r}")


def run_from_folder_outside_the_code_page(h: Harness, tag: str, folder: str):
    """An installer copied into `folder` and started by its Unicode path, as
    Explorer starts it: it extracts, and the wizard gets an own path that
    opens the installer."""
    installer = pack(h, tag, with_wizard(h, wizard_files()), wizard="WIZARD.EXE")
    shutil.rmtree(h.runs / (tag + "-kit"), ignore_errors=True)
    started = h.copy_into(installer, tag + "-kit", folder, "my setup.exe")
    log = wizard_log(h, tag)
    h.clear_extraction()
    r = h.run(started, b'"an arg"', env={"WIZARD_LOG_DIR": win_path(log).decode("cp1252")}, name=tag, wide=True)
    cmdline = (log / "cmdline.bin").read_bytes() if (log / "cmdline.bin").exists() else None
    print(f"wizard command line: {cmdline!r}")
    check_equal([(b.caption, b.text) for b in r.boxes], [], "boxes")
    check(cmdline is not None, "the wizard was not started")
    wizard, own, arg = cmdline.split(b" ")
    check_equal(wizard, extraction_root(h) + b"WIZARD.EXE", "the wizard's path")
    check_equal(arg, b"an\xacarg", "the argument")
    own = own.replace(b"\xac", b" ")
    check_spelt_for_ansi("the installer's path", own)
    check_equal((log / "installer.txt").read_bytes(), str(started.stat().st_size).encode(),
                "size of the installer the wizard opened by that path")
    check(not h.extraction_dir().exists(), "the extraction folder was not cleaned up")
    check_equal(r.exit_code, 0, "exit code")


@case
def installer_in_folder_with_polish_name(h: Harness):
    run_from_folder_outside_the_code_page(h, "polish-folder", "\u0141ukasz")


@case
def installer_in_folder_with_cjk_name(h: Harness):
    run_from_folder_outside_the_code_page(h, "cjk-folder", "\u65e5\u672c\u8a9e")


@case
def temporary_folder_with_cjk_name(h: Harness):
    """TEMP and TMP set to a folder the code page cannot spell: the stub
    extracts into it, starts the wizard from it and cleans up. The prefix's
    environment is put back afterwards."""
    saved = h.wine_dir / "environment-saved.reg"
    export = h.wine("reg", "export", "HKCU\\Environment", win_path(saved).decode("cp1252"), "/y")
    check(export.returncode == 0 and saved.exists(), f"reg export failed: {export.stdout!r}")
    folder = h.temp_dir() / "\u65e5\u672c"
    shutil.rmtree(folder, ignore_errors=True)
    before = set(os.listdir(h.temp_dir()))
    folder.mkdir()
    windows_folder = "C:\\users\\" + h.temp_dir().parent.name + "\\Temp\\\u65e5\u672c"
    try:
        for name in ("TEMP", "TMP"):
            done = h.wine("reg", "add", "HKCU\\Environment", "/v", name, "/t", "REG_SZ", "/d", windows_folder, "/f")
            check_equal(done.returncode, 0, f"setting {name}")
        for tag, files in (("cjk-temp-files", {"readme.txt": b"hola"}), ("cjk-temp-alone", {})):
            installer = pack(h, tag, with_wizard(h, wizard_files(files)), wizard="WIZARD.EXE")
            log = wizard_log(h, tag)
            r = h.run(installer, env={"WIZARD_LOG_DIR": win_path(log).decode("cp1252")}, name=tag)
            cmdline = (log / "cmdline.bin").read_bytes() if (log / "cmdline.bin").exists() else None
            print(f"{tag}: wizard command line: {cmdline!r}")
            check_equal([(b.caption, b.text) for b in r.boxes], [], f"{tag}: boxes")
            check(cmdline is not None, f"{tag}: the wizard was not started")
            wizard = cmdline.split(b" ")[0]
            check_spelt_for_ansi("the wizard's path", wizard)
            check(wizard.startswith(b"C:\\") and wizard.endswith(b"\\_I_\\WIZARD.EXE"),
                  f"{tag}: the wizard's path {wizard!r} is not an extraction folder on drive C:")
            check_equal((log / "installer.txt").read_bytes(), str(installer.stat().st_size).encode(),
                        f"{tag}: size of the installer the wizard opened")
            check(not (folder / "_I_" / "WIZARD.EXE").exists(), f"{tag}: the wizard's file was not deleted")
            if files:
                check_equal((folder / "_I_" / "readme.txt").read_bytes(), b"hola", "the file beside the wizard")
                shutil.rmtree(folder / "_I_")
            else:
                check(not (folder / "_I_").exists(), "the extraction folder was not removed")
            check_equal(r.exit_code, 0, f"{tag}: exit code")
        check_equal(sorted(set(os.listdir(h.temp_dir())) - before - {folder.name}), [],
                    "what else appeared in the default temporary folder")
    finally:
        h.wine("reg", "import", win_path(saved).decode("cp1252"))
        shutil.rmtree(folder, ignore_errors=True)
    restored = h.wine_dir / "environment-restored.reg"
    h.wine("reg", "export", "HKCU\\Environment", win_path(restored).decode("cp1252"), "/y")
    check_equal(restored.read_bytes(), saved.read_bytes(), "the prefix's environment after the case")


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



# ------------------------------------------ what Windows reads from resources --
# sfxidentity asks Windows' own calls (version information, icon extraction,
# resource lookup) what a program carries; identity_sample.exe, compiled by
# windres from identity_sample.rc, proves that its report says what was
# compiled in.

WIN32_SOURCES = Path(__file__).resolve().parent / "win32"


def identity(h: Harness, program: Path) -> dict:
    """sfxidentity's report on program: {key: value}."""
    probe = h.win32 / "sfxidentity.exe"
    check(probe.exists(), f"{probe} is missing: the cross build did not make it")
    done = h.wine(str(probe), win_path(program).decode("cp1252"), timeout=300)
    lines = done.stdout.decode("utf-8", errors="replace").splitlines()
    begins = [i for i, line in enumerate(lines) if line.startswith("begin: ")]
    ends = [i for i, line in enumerate(lines) if line.startswith("end: ")]
    check(len(begins) == 1 and len(ends) == 1 and begins[0] < ends[0],
          f"sfxidentity gave no whole report (exit {done.returncode}):\n" + "\n".join(lines[-40:]))
    report = {}
    for line in lines[begins[0] + 1:ends[0]]:
        key, sep, value = line.partition(": ")
        check(sep and key not in report, f"bad or repeated report line {line!r}")
        report[key] = value
    return report


def icon_images(ico: bytes) -> str:
    """The images an icon file's directory lists, as sfxidentity shows a
    group: WIDTHxHEIGHTxBITS, a width or height of 0 meaning 256."""
    reserved, kind, count = struct.unpack_from("<HHH", ico, 0)
    check((reserved, kind) == (0, 1), "not an icon file")
    images = []
    for i in range(count):
        width, height, _, _, _, bits = struct.unpack_from("<BBBBHH", ico, 6 + 16 * i)
        images.append(f"{width or 256}x{height or 256}x{bits}")
    return " ".join(images)


def rc_identity(rc: Path, files: Path) -> dict:
    """What sfxidentity must report for the program compiled from rc (a
    VERSIONINFO, ICON lines and a manifest as "1 24 FILE"): the icons are
    looked for in files, the manifest beside rc."""
    text = rc.read_text(encoding="utf-8")
    expected = {"version": "present", "fixed.signature": "feef04bd"}

    def field(name):
        m = re.search(rf"^{name} (\S+)$", text, re.M)
        check(m is not None, f"{rc.name} has no {name}")
        return m.group(1)

    for name, key in (("FILEVERSION", "fixed.file_version"), ("PRODUCTVERSION", "fixed.product_version")):
        expected[key] = ".".join(str(int(part)) for part in field(name).split(","))
    for name, key in (("FILEFLAGSMASK", "fixed.file_flags_mask"), ("FILEFLAGS", "fixed.file_flags"),
                      ("FILEOS", "fixed.file_os"), ("FILETYPE", "fixed.file_type")):
        expected[key] = f"{int(field(name), 0):08x}"
    for name, value in re.findall(r'^\s*VALUE "(\w+)", "([^"]*)"$', text, re.M):
        expected["string." + name] = value
    language, code_page = re.search(r'^\s*VALUE "Translation", (\w+), (\w+)$', text, re.M).groups()
    expected["translation"] = f"{int(language, 0):04x}{int(code_page, 0):04x}"
    icons = re.findall(r'^(\d+) ICON "([^"]+)"$', text, re.M)
    expected["icon.groups"] = str(len(icons))
    if icons:
        expected["icon.first_group"] = "#" + icons[0][0]
        expected["icon.first_group_images"] = icon_images((files / icons[0][1]).read_bytes())
    manifest = (rc.parent / re.search(r'^1 24 "([^"]+)"$', text, re.M).group(1)).read_bytes()
    expected["manifest.size"] = str(len(manifest))
    expected["manifest.hex"] = manifest.hex()
    return expected


@case
def identity_probe_reads_compiled_resources(h: Harness):
    """sfxidentity reports the version information, icon groups and manifest
    that windres compiled from identity_sample.rc, text outside ASCII
    included, and Windows extracts the first icon at both sizes."""
    folder = h.win32 / "identity"
    sample = h.copy_into(folder / "identity_sample.exe", "identity", "identity sample.exe")
    report = identity(h, sample)
    expected = rc_identity(WIN32_SOURCES / "identity_sample.rc", folder)
    check_equal({k: report.get(k) for k in expected}, expected, "what Windows reads from identity_sample.exe")
    check_equal((report.get("icon.large"), report.get("icon.small")), ("32x32", "16x16"),
                "the first icon as Windows extracts it")
    # A program without resources: none of them.
    bare = identity(h, h.copy_into(h.probe, "identity", "bare.exe"))
    check_equal((bare.get("version"), bare.get("icon.groups"), bare.get("manifest")), ("none", "0", "none"),
                "a program without resources")


@case
def identity_of_an_installer(h: Harness):
    """An installer made with --icon, --version-info, --file-version and
    --execution-level: Windows reads back that icon's images as its first
    group (the stub's other groups kept), those strings and numbers, and a
    manifest asking for that level."""
    ico = h.win32 / "identity" / "identity_large.ico"
    strings = {"CompanyName": "Velunax Software \u0141\u00f3d\u017a", "ProductName": "Velunax Kit \u65e5\u672c"}
    options = ["--icon", str(ico), "--file-version", "1.2.3.4", "--execution-level", "requireAdministrator"]
    for key, value in strings.items():
        options += ["--version-info", f"{key}={value}"]
    installer = pack(h, "identity", with_wizard(h, wizard_files()), wizard="WIZARD.EXE", options=options)
    report = identity(h, installer)
    expected = {"version": "present", "fixed.file_version": "1.2.3.4", "string.FileVersion": "1.2.3.4",
                "string.OriginalFilename": installer.name, "translation": "040904b0",
                "icon.groups": identity(h, h.stub)["icon.groups"],
                "icon.first_group_images": icon_images(ico.read_bytes()),
                "icon.large": "32x32", "icon.small": "16x16"}
    expected.update({"string." + key: value for key, value in strings.items()})
    check_equal({k: report.get(k) for k in expected}, expected, "what Windows reads from the installer")
    check("manifest.hex" in report, f"Windows finds no manifest in the installer: {report}")
    manifest = ElementTree.fromstring(bytes.fromhex(report["manifest.hex"]))
    levels = [e.get("level") for e in manifest.iter("{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")]
    check_equal(levels, ["requireAdministrator"], "the levels the installer's manifest asks for")


@case
def installer_with_an_identity_runs(h: Harness):
    """An installer whose stub carries a new icon, version information and a
    manifest given as a file still extracts its files and starts its
    wizard; Windows reads that manifest as it was given."""
    manifest = WIN32_SOURCES / "identity_sample.manifest"
    options = ["--icon", str(h.win32 / "identity" / "identity_small.ico"), "--manifest", str(manifest),
               "--product-version", "1.2", "--version-info", "Comments=\u00e9t\u00e9 \u65e5\u672c"]
    installer = pack(h, "identity-runs", with_wizard(h, wizard_files({"notes.txt": b"identity"})),
                     wizard="WIZARD.EXE", options=options)
    report = identity(h, installer)
    expected = {"fixed.product_version": "1.2.0.0", "string.ProductVersion": "1.2.0.0",
                "string.Comments": "\u00e9t\u00e9 \u65e5\u672c", "manifest.hex": manifest.read_bytes().hex()}
    check_equal({k: report.get(k) for k in expected}, expected, "what Windows reads from the installer")
    check_installer_runs(h, installer, "identity", b"identity")


def main(argv):
    if len(argv) == 2 and argv[1] == "--list":
        print(";".join(CASES))
        return 0
    if len(argv) != 3 or argv[2] not in CASES:
        print(__doc__)
        return 2
    h = Harness(Path(argv[1]))
    try:
        # Before the case looks into the prefix, which a skipped set-up may have left half made.
        h.require_ready()
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
