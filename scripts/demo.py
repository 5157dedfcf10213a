#!/usr/bin/env python3
"""The demo: packs the sample folder and the sample wizard into an
installer with sfxpack, runs that installer under Wine on a virtual display
and tells what happened. Usage: demo.py BUILD_DIR"""
import random
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "wine"))
import winetest  # noqa: E402


def write_catalogue(path: Path, size: int):
    """A large text file of made-up catalogue lines, so that unpacking takes
    long enough to see the wait window."""
    rng = random.Random(1995)
    words = ("pieza modelo serie tornillo tuerca arandela soporte placa cable conector panel "
             "acero latón cobre aluminio negro blanco rojo azul pequeño grande largo corto").split()
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", encoding="cp1252", newline="\r\n") as out:
        written, number = 0, 0
        while written < size:
            number += 1
            line = f"{number:08d} {' '.join(rng.choices(words, k=6))} {rng.randint(1, 99999) / 100:.2f}\n"
            out.write(line)
            written += len(line) + 1


def main() -> int:
    build = Path(sys.argv[1]).resolve()
    h = winetest.Harness(build)
    print("Setting up Wine (the first time takes a while)...")
    try:
        h.setup(build / "tests" / "wine" / "preload")
    except winetest.Skip as e:
        print(f"Wine cannot run programs here: {e}")
        return 1
    h = winetest.Harness(build)  # reload the state the set-up wrote

    demo = build / "demo"
    payload = demo / "payload"
    shutil.rmtree(demo, ignore_errors=True)
    shutil.copytree(ROOT / "examples" / "payload", payload)
    shutil.copyfile(build / "win32" / "examples" / "SETUP.EXE", payload / "SETUP.EXE")
    write_catalogue(payload / "data" / "catalogo.txt", 16 * 1000 * 1000)
    installer = demo / "VelunaxDemoSetup.exe"
    subprocess.run([str(build / "bin" / "sfxpack"), "create", "-o", str(installer), "--wizard", "SETUP.EXE",
                    str(payload)], check=True)
    print(f"\nPacked {installer} ({installer.stat().st_size} bytes):")
    subprocess.run([str(build / "bin" / "sfxpack"), "list", str(installer)], check=True)

    started = h.copy_into(installer, "Demo Folder", "Velunax Demo Setup.exe")
    h.clear_extraction()
    report = h.temp_dir() / "sample-wizard.txt"
    report.unlink(missing_ok=True)
    wizard_shot = h.screenshots / "demo-wizard.png"

    # The wizard writes its report when its window opens; a moment later the
    # window is on screen.
    def shoot_wizard():
        deadline = time.time() + 240
        while time.time() < deadline and not report.exists():
            time.sleep(0.2)
        if report.exists():
            time.sleep(2.5)
            h._screenshot(wizard_shot)

    shooter = threading.Thread(target=shoot_wizard, daemon=True)
    shooter.start()
    print(f"\nStarting {winetest.win_path(started).decode('cp1252')} \"demo argument\" under Wine...")
    # The wait window is photographed once the extraction has made its
    # folder, with the installer held still for the moment of the picture.
    root = b"C:\\users\\" + h.temp_dir().parent.name.encode() + b"\\Temp\\_I_"
    r = h.run(started, b'"demo argument"', shots={"extracting": "demo-wait"}, extracting_dir=root,
              all_processes=True, name="demo")
    shooter.join(timeout=30)

    print(f"\nExit code: {r.exit_code}")
    if r.extracting is None:
        print("The extraction was over before the wait window could be photographed.")
    if r.wait:
        print(f"Wait window: {r.wait.caption.decode('cp1252')!r}: {r.wait.text.decode('cp1252')!r}")
    for box in r.boxes:
        print(f"Message box {box.caption.decode('cp1252')!r}: {box.text.decode('cp1252')!r}")
    folder = h.extraction_dir()
    print(f"\nFiles were unpacked to {folder} (C:\\users\\...\\Temp\\_I_\\ inside Wine):")
    if folder.exists():
        for path in sorted(p for p in folder.rglob("*") if p.is_file()):
            print(f"  {path.relative_to(folder)}  ({path.stat().st_size} bytes)")
    if report.exists():
        print("\nWhat the wizard saw:")
        print("  " + report.read_bytes().decode("cp1252").replace("\r\n", "\n  "))
    print("\nClean-up after the wizard:")
    print(f"  SETUP.EXE {'deleted' if not (folder / 'SETUP.EXE').exists() else 'still there'}")
    print(f"  _I_ folder {'removed' if not folder.exists() else 'kept, other files are in it'}")
    print("\nScreenshots:")
    for path in list(r.screenshots.values()) + ([wizard_shot] if wizard_shot.exists() else []):
        print(f"  {path}")
    h.cleanup()
    return 0 if r.exit_code == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
