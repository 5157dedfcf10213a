#!/usr/bin/env python3
"""Extraction time under Wine: our stub against an NSIS installer.

A benchmark program, not a test. For each payload it builds two installers
of the same files, one with sfxpack (the stub plus the test wizard, which the
stub starts at the end so that no message box waits for a click) and one
with makensis (SetCompressor zlib, silent install into a folder of the
user's Temp), then runs them one after the other, alternating which goes
first, under the same Wine prefix, and prints the median wall time of each
and the ratio stub / NSIS. Every run's output is checked against the payload
(file count and bytes) before its time counts.

Payloads:
  small  N files of 200-600 bytes of text-like content, in folders of
         --per-folder files (default 20,000 files; --small-files)
  big    real files: the DLLs of /usr/lib/i386-linux-gnu/wine, then
         /usr/share/doc, up to --big-mb megabytes (default 170)

Where 32-bit programs run through qemu Wine is ~20x slower than native: use
smaller payloads there, e.g.
  python3 bench/wine_bench.py --build build --small-files 2000 --big-mb 30

Needs the host build with the cross build (build/bin/sfxpack,
build/win32/sfxstub.exe, build/win32/testwizard/WIZARD.EXE), makensis
(Debian package nsis), wine, Xvfb. Its Wine prefix and files live in
BUILD/winebench.
"""
from __future__ import annotations

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Dict, List, Optional, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "wine"))
import winetest  # noqa: E402  (the Wine harness of the end-to-end tests)

WORDS = ("the of and to in is for on that with as by it at from this be are or an was setup file "
         "folder install data value config version windows program system user error path name "
         "size time").split()
SAFE = set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-+")


def log(*args):
    print(*args, flush=True)


# ---------------------------------------------------------------- payloads --

def make_small(folder: Path, count: int, per_folder: int, seed: int = 10):
    rng = random.Random(seed)
    for i in range(count):
        sub = folder / f"d{i // per_folder:03d}"
        if i % per_folder == 0:
            sub.mkdir(parents=True)
        size = rng.randint(200, 600)
        words: List[str] = []
        length = 0
        while length < size:
            w = rng.choice(WORDS) if rng.random() < 0.9 else str(rng.randint(0, 99999))
            words.append(w)
            length += len(w) + 1
        text = " ".join(words)[:size]
        (sub / f"f{i:05d}.txt").write_bytes(text.encode("ascii"))


def make_big(folder: Path, megabytes: float, sources: List[Path]):
    """Copies regular files with plain names until `megabytes` are reached;
    names that would meet in a case-blind file system are skipped."""
    limit = int(megabytes * 1024 * 1024)
    total = 0
    seen = set()
    for source in sources:
        for root, dirs, files in os.walk(source):
            dirs.sort()
            for name in sorted(files):
                path = Path(root) / name
                rel = path.relative_to(source.parent)
                if path.is_symlink() or not path.is_file():
                    continue
                if not all(set(part) <= SAFE for part in rel.parts) or len(str(rel)) > 150:
                    continue
                key = str(rel).lower()
                if key in seen:
                    continue
                size = path.stat().st_size
                if total + size > limit:
                    continue
                seen.add(key)
                target = folder / rel
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(path, target)
                total += size
                if total >= limit * 0.999:
                    return


def payload_stats(folder: Path, skip: Tuple[str, ...] = ()) -> Tuple[int, int]:
    count = size = 0
    for p in folder.rglob("*"):
        if p.is_file() and p.relative_to(folder).as_posix() not in skip:
            count += 1
            size += p.stat().st_size
    return count, size


# -------------------------------------------------------------- installers --

def build_stub_installer(sfxpack: Path, stub: Path, wizard: Path, payload: Optional[Path], out: Path):
    cmd = [str(sfxpack), "create", "-o", str(out), "--stub", str(stub), "--wizard", wizard.name, str(wizard)]
    if payload is not None:
        cmd.append(str(payload))
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


def build_nsis_installer(payload: Optional[Path], out: Path, install_folder: str):
    script = out.with_suffix(".nsi")
    lines = [
        'Name "bench"',
        f'OutFile "{out}"',
        "SetCompressor zlib",
        "SilentInstall silent",
        "RequestExecutionLevel user",
        f'InstallDir "$TEMP\\{install_folder}"',
        "Section",
        'SetOutPath "$INSTDIR"',
    ]
    if payload is not None:
        lines.append(f'File /r "{payload}/*.*"')
    lines += ["SectionEnd", ""]
    script.write_text("\n".join(lines))
    subprocess.run(["makensis", "-V1", str(script)], check=True)


# ------------------------------------------------------------------ runner --

class Bench:
    def __init__(self, build: Path, timeout: float):
        self.h = winetest.Harness(build)
        # A prefix of its own, beside the one the Wine tests use.
        self.h.wine_dir = self.h.build / "winebench"
        self.h.prefix = self.h.wine_dir / "prefix"
        self.h.state_file = self.h.wine_dir / "state.json"
        self.h.runs = self.h.wine_dir / "runs"
        self.h.screenshots = self.h.wine_dir / "screenshots"
        self.h.state = {}
        self.timeout = timeout

    def start(self, reuse: bool):
        if reuse and self.h.state_file.exists():
            import json
            self.h.state = json.loads(self.h.state_file.read_text())
            pid = self.h.state.get("xvfb_pid")
            if self.h.state.get("status") == "ok" and pid and winetest._is_process(pid, b"Xvfb"):
                log("reusing the Wine prefix and display of the last --keep run")
                return
        preload = self.h.build / "tests" / "wine" / "preload"
        seconds = self.h.setup(preload)
        log(f"wine prefix ready in {seconds:.0f} s (emulated: {self.h.state.get('emulated')})")

    def stop(self):
        self.h.cleanup()

    def output_dir(self, kind: str) -> Path:
        return self.h.temp_dir() / ("nsisbench" if kind == "nsis" else "_I_")

    def run(self, kind: str, installer: Path, expected: Tuple[int, int]) -> float:
        out = self.output_dir(kind)
        shutil.rmtree(out, ignore_errors=True)
        args = ["wine", str(installer)] + (["/S"] if kind == "nsis" else [])
        started = time.monotonic()
        done = subprocess.run(args, env=self.h.env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=self.timeout)
        seconds = time.monotonic() - started
        # The wizard's file stays only when it outlived the stub's wait.
        got = payload_stats(out, ("WIZARD.EXE",)) if out.exists() else (0, 0)
        if got != expected:
            raise SystemExit(f"{kind} run of {installer.name}: extracted {got} (files, bytes), "
                             f"expected {expected}; exit {done.returncode}")
        return seconds


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", type=Path, default=Path("build"), help="the host build folder")
    ap.add_argument("--stub", type=Path, help="the bare stub (default: BUILD/win32/sfxstub.exe)")
    ap.add_argument("--compare-stub", type=Path,
                    help="another build of the stub, timed in the same rounds (e.g. an older one)")
    ap.add_argument("--small-files", type=int, default=20000)
    ap.add_argument("--per-folder", type=int, default=250)
    ap.add_argument("--big-mb", type=float, default=170)
    ap.add_argument("--rounds", type=int, default=3, help="interleaved rounds per payload")
    ap.add_argument("--only", choices=["small", "big"], help="one payload only")
    ap.add_argument("--timeout", type=float, default=3600, help="seconds allowed for one run")
    ap.add_argument("--keep", action="store_true", help="keep Xvfb and wineserver running afterwards")
    ap.add_argument("--reuse", action="store_true", help="use the prefix and display a --keep run left")
    a = ap.parse_args()

    build = a.build.absolute()
    sfxpack = build / "bin" / "sfxpack"
    stub = (a.stub or build / "win32" / "sfxstub.exe").absolute()
    wizard = build / "win32" / "testwizard" / "WIZARD.EXE"
    for need in (sfxpack, stub, wizard):
        if not need.exists():
            raise SystemExit(f"{need} is missing: build first (cmake --build {a.build})")
    if not shutil.which("makensis"):
        raise SystemExit("makensis is missing (Debian package nsis; scripts/install-deps.sh)")

    work = build / "winebench"
    payloads = work / "payloads"
    kits = work / "installers"
    shutil.rmtree(payloads, ignore_errors=True)
    shutil.rmtree(kits, ignore_errors=True)
    kits.mkdir(parents=True)

    plan: List[Tuple[str, Optional[Path]]] = [("baseline", None)]
    if a.only in (None, "small"):
        make_small(payloads / "small", a.small_files, a.per_folder)
        plan.append(("small", payloads / "small"))
    if a.only in (None, "big"):
        make_big(payloads / "big", a.big_mb,
                 [Path("/usr/lib/i386-linux-gnu/wine"), Path("/usr/share/doc")])
        plan.append(("big", payloads / "big"))

    kinds = ["stub", "nsis"] + (["other"] if a.compare_stub else [])
    installers: Dict[str, Dict[str, Path]] = {}
    expected: Dict[str, Tuple[int, int]] = {}
    for name, payload in plan:
        expected[name] = payload_stats(payload) if payload else (0, 0)
        installers[name] = {"stub": kits / f"stub_{name}.exe", "nsis": kits / f"nsis_{name}.exe"}
        build_stub_installer(sfxpack, stub, wizard, payload, installers[name]["stub"])
        build_nsis_installer(payload, installers[name]["nsis"], "nsisbench")
        if a.compare_stub:
            # The same archive behind the other stub, which finds it by its marker.
            installers[name]["other"] = kits / f"other_{name}.exe"
            archive = installers[name]["stub"].read_bytes()[stub.stat().st_size:]
            installers[name]["other"].write_bytes(a.compare_stub.read_bytes() + archive)
        files, size = expected[name]
        log(f"payload {name}: {files} files, {size / 1e6:.1f} MB; installers: stub "
            f"{installers[name]['stub'].stat().st_size / 1e6:.1f} MB, NSIS "
            f"{installers[name]['nsis'].stat().st_size / 1e6:.1f} MB")

    bench = Bench(build, a.timeout)
    bench.start(a.reuse)
    results: Dict[str, Dict[str, List[float]]] = {}
    try:
        # One run of each first, untimed: Wine's first start of a program
        # pays for loading that the others do not.
        for kind in kinds:
            bench.run(kind, installers["baseline"][kind], expected["baseline"])
        for name, _ in plan:
            results[name] = {kind: [] for kind in kinds}
            for r in range(a.rounds):
                # Each kind goes first in turn.
                order = kinds[r % len(kinds):] + kinds[:r % len(kinds)]
                for kind in order:
                    t = bench.run(kind, installers[name][kind], expected[name])
                    results[name][kind].append(t)
                    log(f"  {name} round {r + 1} {kind}: {t:.2f} s")
    finally:
        if not a.keep:
            bench.stop()

    log("")
    log(f"stub: {stub} ({stub.stat().st_size} bytes); emulated Wine: {bench.h.state.get('emulated')}")
    if a.compare_stub:
        log(f"other: {a.compare_stub} ({a.compare_stub.stat().st_size} bytes)")
    med = {name: {k: statistics.median(v) for k, v in results[name].items()} for name, _ in plan}
    head = f"{'payload':<10}{'files':>7}{'MB':>7}{'stub s':>9}{'NSIS s':>9}{'stub/NSIS':>11}"
    if a.compare_stub:
        head += f"{'other s':>9}{'other/NSIS':>12}"
    log(head + f"   (medians of {a.rounds} interleaved rounds)")
    for name, _ in plan:
        m = med[name]
        files, size = expected[name]
        line = f"{name:<10}{files:>7}{size / 1e6:>7.1f}{m['stub']:>9.2f}{m['nsis']:>9.2f}{m['stub'] / m['nsis']:>11.2f}"
        if a.compare_stub:
            line += f"{m['other']:>9.2f}{m['other'] / m['nsis']:>12.2f}"
        log(line)
    # The baseline is the start-up alone (the stub's includes starting the
    # wizard); what is left after it is the work on the payload.
    log("without the baseline (the payload's own time):")
    for name, _ in plan:
        if name == "baseline":
            continue
        net = {k: med[name][k] - med["baseline"][k] for k in kinds}
        files = expected[name][0]
        line = f"{name:<10}" + "".join(f"  {k} {net[k]:.2f} s ({1000 * net[k] / max(files, 1):.2f} ms/file)"
                                       for k in kinds)
        if net["nsis"] > 0:
            line += f"  stub/NSIS {net['stub'] / net['nsis']:.2f}"
            if a.compare_stub:
                line += f"  other/NSIS {net['other'] / net['nsis']:.2f}"
        log(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
