#!/usr/bin/env python3
"""sfxpack.exe under wine64 against the Linux sfxpack: what only Windows has
(names from the system, its path forms, devices, Ctrl+C), and installers
byte for byte the same from both builds.

Run as test_cli.py in its Windows mode, with SFXPACK_LINUX naming the Linux
build: python3 test_windows.py [WindowsOnly|Identical]
"""
import hashlib
import io
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest
import zipfile
from pathlib import Path

import test_cli
from test_cli import (MANIFEST, STUB, VERSION_ARGS, Case, archive_of, files_below, hand_installer, ico_file,
                      png_image, read, run, seven_images, temp_files, write)
import wine64

LINUX = os.environ["SFXPACK_LINUX"]
T0 = test_cli.T0
ZONE = {"TZ": "Asia/Tokyo"}  # nine hours from UTC, no summer time


def linux(*args, env=None, cwd=None):
    return run(*args, env=env, cwd=cwd, program=LINUX)


def win(path):
    """The Windows name Wine gives a Linux path."""
    return "Z:" + path.replace("/", "\\")


def both_create(case, name, args, env=None):
    """Packs with both builds, sfxpack.exe first, each into a folder of its
    own under the same file name; returns each one's result and installer."""
    done = []
    for tag, program in (("win", test_cli.SFXPACK), ("linux", LINUX)):
        os.makedirs(case.path(tag), exist_ok=True)
        out = case.path(tag, f"{name}.exe")
        r = run("create", "-o", out, "--stub", case.stub, *args, env=env, program=program)
        done.append((r, out))
    return done


class WindowsOnly(Case):
    """One row each: what the Windows build must do as the Linux one does."""

    def names_from_the_system(self):
        tree = {"caf\u00e9/\u00e9t\u00e9.txt": b"summer", "\u20acuro.txt": b"money",
                "Stra\u00dfe/\u00df.bin": bytes(range(256)), "plain.txt": b""}
        for name, data in tree.items():
            write(self.path("in", name), data, T0)
        (w, w_out), (l, l_out) = both_create(self, "names", [self.path("in")], env={"SOURCE_DATE_EPOCH": str(T0)})
        self.assertEqual((w.returncode, l.returncode), (0, 0), w.stderr + l.stderr)
        self.assertEqual(read(w_out), read(l_out))
        self.assertEqual(run("extract", w_out, "-d", self.path("x")).returncode, 0)
        self.assertEqual(files_below(self.path("x")), tree)

    def name_outside_1252(self):
        write(self.path("in", "\u65e5\u672c.txt"), b"x")
        (w, w_out), (l, l_out) = both_create(self, "cjk", [self.path("in")])
        self.assertEqual((w.returncode, w.stderr), (l.returncode, l.stderr.replace(l_out, w_out)))
        self.assertIn("Windows-1252", w.stderr)
        self.assertFalse(os.path.exists(w_out))

    def path_forms(self):
        write(self.path("in", "sub", "a.txt"), b"a" * 100)
        write(self.path("in", "b.txt"), b"b")
        env = {"SOURCE_DATE_EPOCH": str(T0)}
        reference = self.path("ref.exe")
        self.create(reference, self.path("in"), env=env)
        folder, out = win(self.path("in")), win(self.path("o.exe"))
        # (input, output, working folder)
        forms = [("in", "o.exe", self.tmp), ("in\\", ".\\o.exe", self.tmp),
                 (folder, out, None), (folder.replace("\\", "/"), out, None),
                 ("\\\\?\\" + folder, "\\\\?\\" + out, None),
                 (folder + "\\sub\\..", out.lower(), None),
                 ("..\\..\\in", "..\\..\\o.exe", self.path("in", "sub"))]
        for source, target, cwd in forms:
            with self.subTest(source=source, output=target):
                if os.path.exists(self.path("o.exe")):
                    os.unlink(self.path("o.exe"))
                r = run("create", "-o", target, "--stub", win(self.stub), source, env=env, cwd=cwd)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(read(self.path("o.exe")), read(reference))
                x = "\\\\?\\" + win(self.path("x"))
                r = run("extract", "\\\\?\\" + out, "-d", x, "--overwrite")
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(files_below(self.path("x")), files_below(self.path("in")))

    def long_paths(self):
        # The folders are long, the names stored short.
        deep = self.path(*["input-folder-with-a-long-name-%02d" % i for i in range(9)])
        write(os.path.join(deep, "sub", "file.txt"), b"deep")
        out = self.path(*["output-folder-with-a-long-name-%02d" % i for i in range(8)], "setup.exe")
        os.makedirs(os.path.dirname(out))
        self.assertGreater(len(win(deep)), 260)
        self.assertGreater(len(win(out)), 260)
        self.create(out, deep)
        self.assertEqual(run("test", out).returncode, 0)
        target = self.path(*["extracted-into-a-folder-with-a-long-name-%02d" % i for i in range(7)])
        self.assertEqual(run("extract", out, "-d", target).returncode, 0)
        self.assertEqual(files_below(target), {"sub/file.txt": b"deep"})

    def outputs(self):
        write(self.path("in", "a.txt"), b"payload")
        with zipfile.ZipFile(self.path("src.zip"), "w") as z:
            z.writestr("z.txt", b"zipped")
        out = self.path("o", "setup.exe")
        write(out, b"previous")
        self.create(out, self.path("in"))
        self.assertEqual(run("test", out).returncode, 0)
        zipped = win(self.path("src.zip"))
        os.makedirs(self.path("o", "folder.exe"))
        # (output, extra inputs, message)
        cases = [(win(self.path("o", "folder.exe")), [], "a folder"),
                 ("NUL", [], "a character device"), ("CON", [], "a character device"),
                 (zipped.upper(), ["--from-zip", zipped], "same file as the input"),
                 (win(self.path("o", "..", "src.zip")), ["--from-zip", zipped], "same file as the input"),
                 ("\\\\?\\" + zipped, ["--from-zip", zipped], "same file as the input"),
                 (win(self.path("o", "..", "STUB.EXE")), [], "same file as the input")]
        before = read(self.path("src.zip"))
        for target, extra, message in cases:
            with self.subTest(target):
                r = run("create", "-o", target, "--stub", self.stub, *extra, self.path("in"), cwd=self.tmp)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertEqual(read(self.path("src.zip")), before)
                self.assertEqual(read(self.stub), STUB)
                self.assertEqual(temp_files(self.path("o")) + temp_files(self.tmp), [])

    def shown_paths(self):
        # Written with '/', shown with backslashes, as Windows writes paths.
        write(self.path("in", "a.txt"), b"a")
        os.makedirs(self.path("o", "folder.exe"))
        r = run("create", "-o", "o/folder.exe", "--stub", "stub.exe", "in", cwd=self.tmp)
        self.assertIn("the output 'o\\folder.exe' is a folder", r.stderr)
        r = run("create", "-o", "o/setup.exe", "--stub", "o/none.exe", "in", cwd=self.tmp)
        self.assertIn("'o\\none.exe'", r.stderr)
        write(self.path("o", ".setup.exe.sfxpack-partial-abc123"), b"left", T0)
        r = run("create", "-o", "o/setup.exe", "--stub", "stub.exe", "in", cwd=self.tmp)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("removed 'o\\.setup.exe.sfxpack-partial-abc123'", r.stderr)

    def interrupt(self):
        # Data that deflates slowly at level 12: the program is still writing
        # when the signal comes, most likely; when it is not, no verdict.
        for i in range(8):
            write(self.path("in", "r%d.bin" % i), os.urandom(8 << 20))
        write(self.path("small", "a.txt"), b"a")
        out = self.path("o", "setup.exe")
        write(out, b"previous")
        wine_dir = os.environ["SFX_WINE64_DIR"]
        cmd = [wine64.WINE64, test_cli.SFXPACK, "create", "--level", "12", "-o", win(out),
               "--stub", win(self.stub), win(self.path("in"))]
        env = wine64.environment(Path(wine_dir))
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(sig.name):
                proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
                while not temp_files(self.path("o")) and proc.poll() is None:
                    time.sleep(0.01)
                proc.send_signal(sig)
                code = proc.wait(timeout=300)
                if read(out) != b"previous":
                    self.skipTest("the program finished before the signal reached it")
                self.assertNotEqual(code, 0)
                left = temp_files(self.path("o"))
                # Wine passes SIGINT to the program as a Ctrl+C event; SIGTERM
                # and SIGHUP end it without a word to it. What they leave is
                # named after the output, and a later run removes it once it
                # is a day old.
                if sig == signal.SIGINT:
                    self.assertEqual(left, [])
                for name in left:
                    self.assertRegex(name, test_cli.partial_name(out))
                for name in left:
                    os.utime(self.path("o", name), (T0, T0))
                r = self.create(out, self.path("small"))
                self.assertEqual(temp_files(self.path("o")), [])
                for name in left:
                    self.assertIn("removed '%s'" % self.path("o", name), r.stderr)
                write(out, b"previous")

    def file_times(self):
        write(self.path("in", "old.txt"), b"old", T0 + 1)
        write(self.path("in", "new.txt"), b"new", T0 + 86400 * 200)
        for label, env in (("SOURCE_DATE_EPOCH", dict(ZONE, SOURCE_DATE_EPOCH=str(T0 + 5000))),
                           ("local time", ZONE)):
            with self.subTest(label):
                (w, w_out), (l, l_out) = both_create(self, "t", [self.path("in")], env=env)
                self.assertEqual((w.returncode, l.returncode), (0, 0), w.stderr + l.stderr)
                stamps = []
                for installer in (w_out, l_out):
                    with zipfile.ZipFile(io.BytesIO(archive_of(self, installer))) as z:
                        stamps.append({i.filename: i.date_time for i in z.infolist()})
                self.assertEqual(stamps[0], stamps[1])

    def hostile_extract(self):
        for bad in [b"CON", b"a.", b"b ", b"x:y", b"sub\\NUL.txt"]:
            with self.subTest(name=bad):
                path = self.path("hostile.exe")
                hand_installer(path, [(b"good.txt", 0, b"fine"), (bad, 0, b"evil")])
                said = []
                for program in (test_cli.SFXPACK, LINUX):
                    sandbox = self.path("sandbox")
                    shutil.rmtree(sandbox, ignore_errors=True)
                    r = run("extract", path, "-d", os.path.join(sandbox, "x"), program=program)
                    self.assertEqual(r.returncode, 1, r.stderr)
                    self.assertEqual(set(files_below(sandbox)) - {"x/good.txt"}, set())
                    said.append(r.stderr)
                self.assertEqual(said[0], said[1])

    ROWS = ["names_from_the_system", "name_outside_1252", "path_forms", "long_paths", "outputs",
            "shown_paths", "interrupt", "file_times", "hostile_extract"]

    def test_rows(self):
        for row in self.ROWS:
            with self.subTest(row):
                self._tmp.cleanup()
                os.makedirs(self.tmp)
                write(self.stub, STUB)
                getattr(self, row)()


class Identical(Case):
    """Both builds make the same installer from the same input."""

    def test_same_bytes(self):
        real = os.path.join(os.path.dirname(LINUX), "sfxstub.exe")
        payload = {"SETUP.EXE": read(real) if os.path.exists(real) else STUB * 20,
                   "docs/read me.txt": b"Read me.\r\n" * 500, "docs/empty.txt": b"",
                   "data/deep/nested/numbers.txt": b"".join(b"%d\n" % i for i in range(30000)),
                   "data/deep/empty.bin": b"", "caf\u00e9/\u00fcber \u20ac.txt": "\u00e9t\u00e9".encode(),
                   "Stra\u00dfe/noise.bin": os.urandom(20000),
                   # Files of 1 MiB or more are mapped, not read: one deflated, one stored.
                   "data/large.txt": b"".join(b"%d\n" % i for i in range(200000)),
                   "data/large-noise.bin": os.urandom((1 << 20) + 4097)}
        for i, (name, data) in enumerate(sorted(payload.items())):
            write(self.path("in", name), data, T0 + 2 * i)
        subprocess.run([test_cli.ZIP, "-X", "-q", "-r", self.path("in.zip"), "."], cwd=self.path("in"),
                       check=True)
        sources = [["--level", level, self.path("in")] for level in ("0", "1", "6", "9", "12", "13")]
        sources.append(["--from-zip", self.path("in.zip")])
        # The publisher's icon, version information and manifest, put into
        # the stub the build made.
        if os.path.exists(real):
            write(self.stub, read(real))
            write(self.path("seven.ico"), ico_file(seven_images()))
            write(self.path("icon.png"), png_image(256))
            write(self.path("m.xml"), MANIFEST)
            sources += [["--icon", self.path("seven.ico"), *VERSION_ARGS, "--execution-level", "requireAdministrator",
                         self.path("in")],
                        ["--icon", self.path("icon.png"), "--manifest", self.path("m.xml"), "--version-info",
                         "Comments=\u00e9t\u00e9 \u65e5\u672c", self.path("in")]]
        shown = None
        for env, threads in ((dict(ZONE, SOURCE_DATE_EPOCH=str(T0 + 100)), ["--threads", "1"]), (ZONE, [])):
            for source in sources:
                with self.subTest(source=source[:-1], threads=threads, env=sorted(env)):
                    digests = []
                    for r, out in both_create(self, "same", ["--wizard", "SETUP.EXE", *threads, *source],
                                              env=env):
                        self.assertEqual(r.returncode, 0, r.stderr)
                        digests.append(hashlib.sha256(read(out)).hexdigest())
                    self.assertEqual(digests[0], digests[1])
                    shown = shown or (source[:2], digests)
        print("\nsha256 of the level %s installer: sfxpack.exe %s, Linux sfxpack %s"
              % (shown[0][1], shown[1][0], shown[1][1]), file=sys.stderr)


if __name__ == "__main__":
    test_cli.skip_unless_wine_ready()
    unittest.main()
