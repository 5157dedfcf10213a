#!/usr/bin/env python3
"""End-to-end tests of the sfxpack command line.

Run as: SFXPACK=path/to/sfxpack SFX_FORMAT_HEADER=src/format/archive_format.h \
        python3 test_cli.py [TestClass ...]
For the Windows build, SFXPACK names sfxpack.exe and SFXPACK_WINE the
launcher wine64.py, with SFX_WINE64_DIR its prefix's folder.
"""
import hashlib
import io
import os
import random
import re
import resource
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import installer_bytes  # noqa: E402
from installer_bytes import (DIRECTORY, DOS_1980, EMPTY_END, entry, local_entries,  # noqa: E402
                             raw_deflate, scramble)

SFXPACK = os.environ["SFXPACK"]
WINE = os.environ.get("SFXPACK_WINE")
# A build with AddressSanitizer reserves terabytes of address space, so its
# memory is judged by peak resident size above a baseline run only.
SANITIZED = os.environ.get("SFX_SANITIZED") == "1"
ZIP = os.environ.get("SFX_ZIP", "zip")
MARKER = scramble(b"PK\x03\x04\x14\x00")
# A bare stand-in for the real stub: just enough of a PE32 header for i386
# (no sections, an optional header of 224 bytes, alignments 4096 and 512).
# Its checksum field is zero, as a linker leaves it: no checksum to check.
STUB = (b"MZ" + b"\x90" * 58 + struct.pack("<I", 0x40) + b"PE\0\0" + struct.pack("<HH", 0x14C, 0)
        + b"\x90" * 12 + struct.pack("<H", 0xE0) + b"\x90" * 2 + struct.pack("<H", 0x10B)
        + b"\x90" * 30 + struct.pack("<II", 0x1000, 0x200) + b"\x90" * 24 + bytes(4)).ljust(512, b"\x90")


def command(*args, program=SFXPACK):
    """The command line that runs sfxpack, through Wine for the Windows build
    (a program named *.exe; the Linux build runs as it is beside it)."""
    through_wine = WINE and program.lower().endswith(".exe")
    return ([sys.executable, WINE, "run"] if through_wine else []) + [program, *args]


def skip_unless_wine_ready():
    """Under Wine, exits with ctest's skip code when the prefix's set-up did
    not finish, saying why."""
    if not WINE:
        return
    import json
    try:
        with open(os.path.join(os.environ["SFX_WINE64_DIR"], "state.json")) as f:
            state = json.load(f)
    except (OSError, ValueError):
        state = {}
    if state.get("status") != "ok":
        print("SKIPPED: " + state.get("reason", "the wine64 set-up has not run or did not finish"))
        sys.exit(77)


def posix_only(test, why):
    """Skips a case, or a row of a table, that Windows cannot hold."""
    if WINE:
        test.skipTest("not on Windows: " + why)


def run(*args, env=None, cwd=None, program=SFXPACK):
    full_env = dict(os.environ, **(env or {}))
    return subprocess.run(command(*args, program=program), capture_output=True, env=full_env, cwd=cwd,
                          encoding="utf-8", errors="replace")


def run_measured(*args, env=None, address_space=1 << 30, private=None):
    """Runs sfxpack under an address-space limit (unless sanitized) and
    returns (result, peak resident bytes of that one process). private limits
    memory not backed by files (RLIMIT_DATA, or what the sanitizer maps)."""
    def limit():
        if not SANITIZED:
            resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
            if private:
                resource.setrlimit(resource.RLIMIT_DATA, (private, private))
    full_env = dict(os.environ, **(env or {}))
    if SANITIZED and private:
        full_env["ASAN_OPTIONS"] = ":".join(filter(None, [full_env.get("ASAN_OPTIONS"),
                                                          "mmap_limit_mb=%d" % (private >> 20)]))
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(command(*args), stdout=out, stderr=err, env=full_env,
                                preexec_fn=limit)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        result = subprocess.CompletedProcess(args, proc.returncode,
                                             out.read().decode("utf-8", "replace"),
                                             err.read().decode("utf-8", "replace"))
    return result, usage.ru_maxrss * 1024


def write(path, data, mtime=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    if mtime is not None:
        os.utime(path, (mtime, mtime))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def signed(data):
    """The installer with its checksum rewritten, as a signing tool leaves it."""
    at = checksum_field(data)
    return data[:at] + struct.pack("<I", pe_checksum(data)) + data[at + 4:]


def checksum_field(data):
    """Offset of the PE checksum field: 4 + 20 + 64 bytes from the PE header."""
    return struct.unpack_from("<I", data, 0x3C)[0] + 88


def pe_checksum(data):
    """The PE image checksum, summed here word by word as the loader does."""
    at = checksum_field(data)
    words = data[:at] + bytes(4) + data[at + 4:] + bytes(len(data) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def archive_of(test, installer, stub=STUB):
    """The descrambled archive; checks that it starts right after the stub,
    which it holds as it is but for a correct checksum field."""
    data = read(installer)
    at = checksum_field(stub)
    test.assertEqual(data[:at] + data[at + 4:len(stub)], stub[:at] + stub[at + 4:])
    test.assertEqual(struct.unpack_from("<I", data, at)[0], pe_checksum(data))
    test.assertEqual(data[len(stub):len(stub) + 6], MARKER)
    return scramble(data[len(stub):])


def files_below(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, root)] = read(path)
    return found


def hand_installer(path, entries):
    """STUB and stored entries (name bytes, flags, data) stamped 1980-01-01,
    then a central directory and end record as create writes them."""
    write(path, installer_bytes.installer(STUB, [entry(name, data, flags=flags, stamp=DOS_1980)
                                                 for name, flags, data in entries], DIRECTORY))


class Case(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.tmp = self._tmp.name
        self.stub = os.path.join(self.tmp, "stub.exe")
        write(self.stub, STUB)

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def create(self, out, *args, env=None, ok=True):
        r = run("create", "-o", out, "--stub", self.stub, *args, env=env)
        if ok:
            self.assertEqual(r.returncode, 0, r.stderr)
        return r


T0 = 1_600_000_000  # an even second, so that MS-DOS time keeps it exactly


class RoundTrip(Case):
    def make_tree(self):
        rnd = random.Random(7)
        lines = b"".join(b"line %d of the log: status %s\n" % (i, rnd.choice([b"ok", b"retry"]))
                         for i in range(40_000))
        tree = {
            "setup.EXE": b"MZ wizard " * 300,
            "docs/readme.txt": b"Read me first.\r\n" * 40,
            "docs/empty.txt": b"",
            "data/deep/nested/noise.bin": rnd.randbytes(65536),
            "data/big.log": lines,
            "data/caf\u00e9 \u00fc \u20ac.txt": "accents: \u00e1\u00e9\u00ed".encode("utf-8"),
        }
        for i, (name, data) in enumerate(sorted(tree.items())):
            write(self.path("in", name), data, T0 + 2 * i)
        return tree

    def test_create_list_test_extract(self):
        tree = self.make_tree()
        out = self.path("setup_installer.exe")
        self.create(out, "--wizard", "setup.EXE", self.path("in"))

        names = [e[0] for e in local_entries(archive_of(self, out))]
        self.assertEqual(names[0], "setup.EXE")
        self.assertEqual(names[1:], sorted(n.replace("/", "\\") for n in tree if n != "setup.EXE"))

        listing = run("list", out)
        self.assertEqual(listing.returncode, 0, listing.stderr)
        for name, data in tree.items():
            row = next(line for line in listing.stdout.splitlines()
                       if line.endswith("  " + name.replace("/", "\\")))
            self.assertEqual(int(row.split()[0]), len(data), row)

        tested = run("test", out)
        self.assertEqual(tested.returncode, 0, tested.stdout)
        self.assertIn("%d entries OK" % len(tree), tested.stdout)

        target = self.path("out")
        extracted = run("extract", out, "-d", target)
        self.assertEqual(extracted.returncode, 0, extracted.stderr)
        self.assertEqual(files_below(target), tree)
        for i, name in enumerate(sorted(tree)):
            self.assertEqual(os.stat(os.path.join(target, name)).st_mtime, T0 + 2 * i, name)

    def test_pe_checksum_of_the_whole_installer(self):
        # Odd and even lengths, stored and deflated data, empty files.
        cases = [("0", {"a.txt": b""}), ("0", {"a.txt": b"x"}), ("0", {"a.txt": b"xy"}),
                 ("12", {"a.txt": b"text " * 3000, "b.bin": bytes(range(256)) * 9}),
                 ("6", {"c/d.txt": os.urandom(70001)}),
                 ("13", {"e.txt": b"".join(b"%d words, " % (i * i % 977) for i in range(4000)), "f.bin": os.urandom(999)})]
        for i, (level, files) in enumerate(cases):
            for name, data in files.items():
                write(self.path(f"in{i}", name), data)
            out = self.path(f"o{i}.exe")
            self.create(out, "--level", level, self.path(f"in{i}"))
            with self.subTest(case=i):
                archive_of(self, out)
                self.assertEqual(run("test", out).returncode, 0)

    def test_descrambled_archive_is_a_standard_zip(self):
        tree = self.make_tree()
        out = self.path("i.exe")
        self.create(out, self.path("in"))
        archive = archive_of(self, out)
        methods = {}
        for name, flags, method, packed, size, xlen in local_entries(archive):
            self.assertEqual((flags, xlen), (0, 0), name)
            methods[name] = method
        self.assertEqual(methods["data\\deep\\nested\\noise.bin"], 0)  # would not shrink
        self.assertEqual(methods["data\\big.log"], 8)
        with zipfile.ZipFile(io.BytesIO(archive)) as z:
            self.assertIsNone(z.testzip())
            self.assertEqual(z.infolist()[0].header_offset, 0)
            for info in z.infolist():
                name = info.filename.encode("cp437").decode("cp1252").replace("\\", "/")
                self.assertEqual(z.read(info), tree[name])
                self.assertEqual(info.extra, b"")

    def test_output_is_deterministic_and_level_zero_stores(self):
        self.make_tree()
        a, b, c = self.path("a.exe"), self.path("b.exe"), self.path("c.exe")
        self.create(a, self.path("in", "docs"), self.path("in", "data"))
        self.create(b, self.path("in", "data"), self.path("in", "docs"))
        self.assertEqual(read(a), read(b))
        self.create(c, "--level", "0", self.path("in", "data"))
        self.assertEqual({e[2] for e in local_entries(archive_of(self, c))}, {0})

    def test_dos_time_is_the_local_time_of_the_file(self):
        write(self.path("t", "f.txt"), b"x", T0 + 1)  # odd second: rounded down
        for tz, offset in [("UTC0", 0), ("XYZ-5", 5 * 3600), ("ABC+7:30", -(7 * 3600 + 1800))]:
            with self.subTest(tz=tz):
                out = self.path("t.exe")
                self.create(out, self.path("t"), env={"TZ": tz})
                with zipfile.ZipFile(io.BytesIO(archive_of(self, out))) as z:
                    self.assertEqual(z.infolist()[0].date_time,
                                     time.gmtime(T0 + offset)[:6])

    def test_progress_only_on_a_terminal(self):
        posix_only(self, "a pseudo-terminal")
        write(self.path("in", "a.txt"), b"a" * 1000)
        write(self.path("in", "wizard.EXE"), STUB)
        quiet = self.create(self.path("q.exe"), "--wizard", "wizard.EXE", self.path("in"))
        self.assertEqual(quiet.stderr, "")
        master, slave = os.openpty()
        proc = subprocess.Popen(command("create", "-o", self.path("t.exe"), "--stub", self.stub,
                                        "--wizard", "wizard.EXE", self.path("in")),
                                stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        shown = b""
        try:
            while chunk := os.read(master, 4096):
                shown += chunk
        except OSError:  # the terminal closes with the program
            pass
        os.close(master)
        self.assertEqual(proc.wait(), 0)
        self.assertIn(b"packing 2/2: a.txt", shown)
        self.assertEqual(read(self.path("q.exe")), read(self.path("t.exe")))


class FromZip(Case):
    def check_copy(self, source_zip, expected_files):
        out = self.path("from_zip.exe")
        self.create(out, "--from-zip", source_zip)
        with zipfile.ZipFile(source_zip) as z:
            source = {i.filename: (i.compress_type, i.compress_size, i.date_time)
                      for i in z.infolist() if not i.is_dir()}
        archive = archive_of(self, out)
        with zipfile.ZipFile(io.BytesIO(archive)) as z:
            times = {i.filename.encode("cp437").decode("cp1252").replace("\\", "/"): i.date_time
                     for i in z.infolist()}
        copied = {name.replace("\\", "/"): (method, packed) + (xlen,)
                  for name, _, method, packed, _, xlen in local_entries(archive)}
        self.assertEqual(set(copied), set(source))
        for name, (method, packed, xlen) in copied.items():
            self.assertEqual((method, packed, times[name], xlen), source[name] + (0,), name)
        self.assertEqual(run("test", out).returncode, 0)
        target = self.path("x")
        self.assertEqual(run("extract", out, "-d", target).returncode, 0)
        self.assertEqual(files_below(target), expected_files)

    def test_zip_made_by_python_zipfile(self):
        files = {"readme.txt": b"hello " * 500, "bin/setup.EXE": bytes(range(256)) * 8,
                 "dir/\u00fcber.txt": b"umlaut", "dir/empty.txt": b""}
        src = self.path("py.zip")
        with zipfile.ZipFile(src, "w") as z:
            z.writestr("dir/", b"")
            for i, (name, data) in enumerate(sorted(files.items())):
                kind = zipfile.ZIP_STORED if i % 2 else zipfile.ZIP_DEFLATED
                z.writestr(zipfile.ZipInfo(name, (2021, 3, 4, 5, 6, 8)), data, kind)
        self.check_copy(src, files)

    def test_zip_made_by_info_zip(self):
        rnd = random.Random(3)
        files = {"app/setup.EXE": b"wizard" * 1000, "app/lib/noise.dat": rnd.randbytes(3000),
                 "app/lib/empty": b"", "app/doc/notes.txt": b"notes\n" * 200}
        for name, data in files.items():
            write(self.path("src", name), data, T0)
        src = self.path("info.zip")
        subprocess.run([ZIP, "-X", "-q", "-r", src, "app"], cwd=self.path("src"), check=True)
        self.check_copy(src, files)


class Refusals(Case):
    """Each refusal exits non-zero, says why, and leaves no output behind."""

    def folder_with(self, *names):
        """Files (a program when named *.EXE, else text) and "link -> target"."""
        os.makedirs(self.path("in"), exist_ok=True)
        for name in names:
            if " -> " not in name:
                write(self.path("in", name), STUB if name.endswith(".EXE") else b"data")
        for link, target in (n.split(" -> ") for n in names if " -> " in n):
            os.symlink(target, self.path("in", link))
        return [self.path("in")]

    def output_among_inputs(self, link):
        write(self.path("in", "SETUP.EXE"), STUB)
        link(self.path("out", "installer.exe"), self.path("in", "x.EXE"))
        return [self.path("in")]

    def zip_with(self, *names, method=zipfile.ZIP_DEFLATED):
        with zipfile.ZipFile(self.path("in.zip"), "w") as z:
            for name in names:
                z.writestr(name, b"payload " * 10, method)
        return ["--from-zip", self.path("in.zip")]

    def stub_of(self, data):
        write(self.stub, data)
        return self.folder_with("a.txt")

    def encrypted_zip(self):
        write(self.path("plain.txt"), b"secret data")
        subprocess.run([ZIP, "-X", "-q", "-P", "pw", self.path("in.zip"), "plain.txt"],
                       cwd=self.tmp, check=True)
        return ["--from-zip", self.path("in.zip")]

    def damaged_zip(self):
        args = self.zip_with("a.txt")
        data = bytearray(read(self.path("in.zip")))
        data[30 + len("a.txt") + 2] ^= 0xFF  # inside the deflate data
        write(self.path("in.zip"), bytes(data))
        return args

    def oversized(self):
        os.makedirs(self.path("in"))
        # Two files, each within an entry's limit, that together are not.
        for name in ("huge1.bin", "huge2.bin"):
            with open(self.path("in", name), "wb") as f:
                f.truncate(2 ** 30)  # sparse: no disk space used
        return ["--level", "0", self.path("in")]

    def test_each_refusal(self):
        cases = [
            ("colon", lambda: self.folder_with("a:b.txt"), "':'"),
            ("forbidden character", lambda: self.folder_with("what?.txt"), "forbids"),
            ("device name", lambda: self.folder_with("sub/NUL.txt"), "device"),
            ("trailing dot", lambda: self.folder_with("name."), "drops"),
            ("backslash in a file name", lambda: self.folder_with("a\\b.txt"), "separator"),
            ("not in Windows-1252", lambda: self.folder_with("\u65e5\u672c.txt"), "Windows-1252"),
            ("259 bytes", lambda: self.folder_with("d" * 200 + "/" + "f" * 58), "at most 258"),
            ("case collision", lambda: self.folder_with("Read.txt", "read.TXT"), "same file"),
            ("zip ..", lambda: self.zip_with("../evil.txt"), "'..'"),
            ("zip inner ..", lambda: self.zip_with("a/../../evil.txt"), "'..'"),
            ("zip absolute", lambda: self.zip_with("/etc/evil"), "starts with a separator"),
            ("zip drive", lambda: self.zip_with("C:/evil.txt"), "':'"),
            ("wizard lower case", lambda: self.folder_with("setup.exe") + ["--wizard", "setup.exe"],
             "no \".EXE\""),
            ("wizard not a program", lambda: self.folder_with("a.txt") + ["--wizard", "a.txt"],
             "no \".EXE\""),
            ("wizard missing", lambda: self.folder_with("a.txt") + ["--wizard", "b.EXE"],
             "no entry is named"),
            ("stub holds the marker", lambda: self.stub_of(STUB + MARKER + STUB), "marker already"),
            ("stub ends in part of it", lambda: self.stub_of(STUB + MARKER[:2]), "beginning of"),
            ("stub too short", lambda: self.stub_of(b"MZ" * 9), "at least 20"),
            ("encrypted entry", self.encrypted_zip, "encrypted"),
            ("bzip2 entry", lambda: self.zip_with("a.txt", method=zipfile.ZIP_BZIP2), "method 12"),
            ("lzma entry", lambda: self.zip_with("a.txt", method=zipfile.ZIP_LZMA), "method 14"),
            ("damaged zip entry", self.damaged_zip, "damaged"),
            ("beyond 32-bit offsets", self.oversized, "32-bit signed"),
            ("nothing to pack", lambda: self.folder_with(), "nothing to pack"),
            # Its size says 0 bytes, reading it gives more.
            ("a file larger than its size", lambda: ["/proc/self/status"],
             "'/proc/self/status' changed size while being packed"),
            ("device name with a superscript", lambda: self.folder_with("LPT\u00b9.log"), "device"),
            ("console device", lambda: self.folder_with("d/CONIN$.txt"), "device"),
            ("output among the inputs", lambda: [self.path("out")], "would destroy"),
            ("output linked among the inputs", lambda: self.output_among_inputs(os.link),
             "would destroy"),
            ("one name from two inputs",
             lambda: self.folder_with("a/x.txt", "b/x.txt") and [self.path("in", "a"),
                                                                   self.path("in", "b")],
             "'x.txt' (from '%s') and 'x.txt' (from '%s')" % (self.path("in", "a", "x.txt"),
                                                             self.path("in", "b", "x.txt"))),
        ]
        # Wine shows these Linux names under made-up short names instead.
        not_on_windows = {"colon", "forbidden character", "backslash in a file name",
                          "a file larger than its size"}
        for label, prepare, message in cases:
            with self.subTest(label):
                if label in not_on_windows:
                    posix_only(self, "a name with a character Windows forbids")
                self._tmp.cleanup()
                os.makedirs(self.tmp)
                write(self.stub, STUB)
                out = self.path("out", "installer.exe")
                os.makedirs(self.path("out"))
                write(out, b"previous installer")
                r = self.create(out, *prepare(), ok=False)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(message, r.stderr)
                self.assertEqual(os.listdir(self.path("out")), ["installer.exe"])
                self.assertEqual(read(out), b"previous installer")

    def test_warnings_do_not_stop_the_build(self):
        # (files, options, parts of the warnings, number of warnings); the
        # wizards' names hold none of the words of Windows' installer
        # detection, which would add a warning of their own.
        cases = [
            (["wizard.EXE", "tools/other.EXE"], ["--wizard", "wizard.EXE"],
             ["'tools/other.EXE' also holds \".EXE\"; the stub starts only the first such path, "
              "'wizard.EXE'"], 1),
            # Which wizard starts is information, not a warning.
            (["a.EXE", "b.EXE"], [], ["sfxpack: no --wizard given: the stub will start 'a.EXE'",
                                      "'b.EXE' also holds"], 1),
            # Lower-case programs are ordinary payload beside a wizard...
            (["wizard.EXE", "helper.exe", "bin/tool.Exe"], ["--wizard", "wizard.EXE"], [], 0),
            # ...and named, once, when the installer would start none.
            (["setup.exe", "bin/tool.Exe", "readme.txt"], [],
             ["starts no wizard", "'bin/tool.Exe', 'setup.exe'"], 1),
            (["readme.txt"], [], ["starts no wizard"], 1),
            (["wizard.EXE", "readme.txt"], ["--wizard", "wizard.EXE"], [], 0),
            (["SETUP.EXE.txt"], [], ["'SETUP.EXE.txt' is not a Windows program"], 1),
            (["wizard.EXE", "caf\u00e9/\u00fcber.txt", "\u00e9t\u00e9.txt"], [],
             ["2 names hold characters outside ASCII"], 1),
            # Paths below a typical temporary folder of 53 characters: 259 at most.
            (["wizard.EXE", "d" * 100 + "/" + "f" * 106], [], ["'%s/%s', 260 characters" %
                                                              ("d" * 100, "f" * 106)], 1),
            (["wizard.EXE", "gone -> missing", "loop -> loop"], [],
             ["in/gone', a symbolic link that leads nowhere", "in/loop', a symbolic link"], 2),
            (["wizard.EXE", "sub/a.txt", "again -> sub", "sub/up -> ..", "out.bin -> ../stub.exe"], [],
             ["in/out.bin' leads out of the input folder; ",
              "in/again' leads to what the input folder holds, which is packed twice",
              "in/sub/up' lead back into a folder being packed"], 1),
            (["wizard.EXE"], ["--exclude", "*.pdb", "--exclude", "WIZARD.EXE/"],
             ["--exclude '*.pdb', 'WIZARD.EXE/' matched nothing"], 1),
        ]
        for names, args, warnings, count in cases:
            with self.subTest(names):
                if any(" -> " in name for name in names):
                    posix_only(self, "symbolic links")
                self._tmp.cleanup()
                os.makedirs(self.tmp)
                write(self.stub, STUB)
                r = self.create(self.path("w.exe"), *args, *self.folder_with(*names))
                for warning in warnings:
                    self.assertIn(warning, r.stderr)
                self.assertEqual(r.stderr.count("warning:"), count, r.stderr)

    def test_installer_used_as_stub(self):
        write(self.path("in", "a.txt"), b"a")
        first = self.path("first.exe")
        self.create(first, self.path("in"))
        r = run("create", "-o", self.path("second.exe"), "--stub", first, self.path("in"))
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("bare", r.stderr)
        self.assertFalse(os.path.exists(self.path("second.exe")))


class Reader(Case):
    """list, test and extract on damaged and hostile installers."""

    def test_damage_is_reported(self):
        write(self.path("in", "a.txt"), b"first " * 100)
        write(self.path("in", "b.txt"), b"second " * 100)
        good = self.path("good.exe")
        self.create(good, self.path("in"))
        data = read(good)
        second = data.index(MARKER, len(STUB) + 1)
        mid = (len(STUB) + 35 + second) // 2  # inside a.txt's deflate data
        cases = [
            ("flipped data byte", data[:mid] + bytes([data[mid] ^ 0x10]) + data[mid + 1:],
             "a.txt", {"b.txt"}),
            ("cut inside the last entry", data[:second + 40], "b.txt", {"a.txt"}),
        ]
        for label, damaged, bad_name, extracted in cases:
            with self.subTest(label):
                path = self.path(label + ".exe")
                write(path, damaged)
                tested = run("test", path)
                self.assertEqual(tested.returncode, 1)
                self.assertIn("FAILED  " + bad_name, tested.stdout)
                target = self.path("x-" + label)
                self.assertEqual(run("extract", path, "-d", target).returncode, 1)
                self.assertEqual(set(files_below(target)), extracted)

    def test_hostile_names_stop_the_extraction(self):
        for bad in [b"..\\evil.txt", b"\\evil.txt", b"C:evil.txt", b"sub/../../evil.txt"]:
            with self.subTest(bad):
                path = self.path("hostile.exe")
                hand_installer(path, [(b"good.txt", 0, b"fine"), (bad, 0, b"evil"),
                                      (b"after.txt", 0, b"never")])
                target = self.path("sandbox", "x")
                r = run("extract", path, "-d", target)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(files_below(self.path("sandbox")), {"x/good.txt": b"fine"})
                self.assertEqual(run("test", path).returncode, 1)
                self.assertEqual(run("list", path).returncode, 1)

    def test_encrypted_entry_and_missing_archive(self):
        path = self.path("enc.exe")
        hand_installer(path, [(b"one", 0, b"1"), (b"two", 0, b"2"), (b"three", 1, b"3")])
        r = run("extract", path, "-d", self.path("x"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("encrypted", r.stderr)
        self.assertEqual(files_below(self.path("x")), {"one": b"1", "two": b"2"})
        for command in ("list", "test"):
            r = run(command, self.stub)
            self.assertEqual(r.returncode, 1)
            self.assertIn("holds no archive", r.stderr)

def temp_files(folder):
    return [n for n in os.listdir(folder) if n.startswith(".")]


def partial_name(output):
    """The pattern of output's temporary file's name."""
    return r"^\." + re.escape(os.path.basename(output)) + r"\.sfxpack-partial-[a-zA-Z0-9]{6}$"


class Outputs(Case):
    """What -o may name: refusals leave everything as it was."""

    def test_refused_outputs(self):
        write(self.path("in", "a.txt"), b"payload")
        write(self.path("src.zip"), b"")
        with zipfile.ZipFile(self.path("src.zip"), "w") as z:
            z.writestr("z.txt", b"zipped")
        zip_bytes = read(self.path("src.zip"))

        def device(path):
            try:
                os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, 3))
            except PermissionError:
                self.skipTest("cannot make a device node here")

        def link_to_device(path):
            os.symlink("/dev/null", path)

        def same_as_stub(path):
            os.link(self.stub, path)

        def link_to_stub(path):
            os.symlink(self.stub, path)

        def same_as_zip(path):
            os.link(self.path("src.zip"), path)
            return ["--from-zip", path]

        # (label, prepare the output (may return extra arguments), message)
        cases = [
            ("character device", device, "a character device"),
            ("FIFO", os.mkfifo, "a FIFO"),
            ("folder", os.mkdir, "a folder"),
            ("link to a device", link_to_device, "leads to a character device"),
            ("hard link of the stub", same_as_stub, "same file as the input"),
            ("link to the stub", link_to_stub, "same file as the input"),
            ("hard link of --from-zip", same_as_zip, "same file as the input"),
        ]
        for label, prepare, message in cases:
            with self.subTest(label):
                if prepare in (device, os.mkfifo, link_to_device, link_to_stub):
                    posix_only(self, "device nodes, FIFOs and symbolic links")
                folder = self.path("out-" + label.replace(" ", "-"))
                os.makedirs(folder)
                out = os.path.join(folder, "setup.exe")
                extra = prepare(out) or []
                before = os.lstat(out)
                r = run("create", "-o", out, "--stub", self.stub, *extra, self.path("in"))
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(message, r.stderr)
                after = os.lstat(out)
                self.assertEqual((before.st_mode, before.st_ino), (after.st_mode, after.st_ino))
                self.assertEqual(temp_files(folder), [])
                self.assertEqual(read(self.stub), STUB)
                self.assertEqual(read(self.path("src.zip")), zip_bytes)

    def test_a_link_is_replaced_not_written_through(self):
        posix_only(self, "symbolic links")
        write(self.path("in", "a.txt"), b"payload")
        write(self.path("elsewhere", "old.exe"), b"old installer")
        for target in [self.path("elsewhere", "old.exe"), self.path("elsewhere", "missing.exe")]:
            with self.subTest(target):
                out = self.path("link.exe")
                if os.path.lexists(out):
                    os.unlink(out)
                os.symlink(target, out)
                self.create(out, self.path("in"))
                self.assertFalse(os.path.islink(out))
                self.assertEqual(run("test", out).returncode, 0)
                self.assertEqual(read(self.path("elsewhere", "old.exe")), b"old installer")
                self.assertFalse(os.path.exists(self.path("elsewhere", "missing.exe")))

    def test_extract_replaces_only_with_overwrite(self):
        posix_only(self, "a symbolic link and POSIX modes in the target")
        write(self.path("in", "a.txt"), b"new a")
        write(self.path("in", "sub", "b.txt"), b"new b")
        write(self.path("in", "sub", "c.txt"), b"new c")
        long_name = "n" * 251 + ".txt"  # as long as a file name can be
        write(self.path("in", long_name), b"long")
        installer = self.path("i" * 240 + ".exe")
        self.create(installer, self.path("in"))
        write(self.path("outside.txt"), b"keep me")
        target = self.path("x")
        os.makedirs(os.path.join(target, "sub"))
        os.symlink(self.path("outside.txt"), os.path.join(target, "a.txt"))
        write(os.path.join(target, "sub", "b.txt"), b"old b")
        os.chmod(os.path.join(target, "sub", "b.txt"), 0o444)
        before = files_below(target)
        # Every existing name is given, and nothing is written.
        r = run("extract", installer, "-d", target)
        self.assertEqual(r.returncode, 1)
        self.assertIn("files exist already in '%s': 'a.txt', 'sub/b.txt';" % target, r.stderr)
        self.assertEqual(files_below(target), before)
        self.assertTrue(os.path.islink(os.path.join(target, "a.txt")))
        r = run("extract", installer, "-d", target, "--overwrite")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertFalse(os.path.islink(os.path.join(target, "a.txt")))
        self.assertEqual(files_below(target), {"a.txt": b"new a", "sub/b.txt": b"new b",
                                               "sub/c.txt": b"new c", long_name: b"long"})
        self.assertEqual(read(self.path("outside.txt")), b"keep me")

    def test_extract_without_a_folder_uses_the_current_one(self):
        write(self.path("in", "a.txt"), b"a")
        write(self.path("in", "sub", "b.txt"), b"b")
        installer = self.path("i.exe")
        self.create(installer, self.path("in"))
        os.makedirs(self.path("here"))
        r = run("extract", installer, cwd=self.path("here"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(files_below(self.path("here")), {"a.txt": b"a", "sub/b.txt": b"b"})

    def test_unwrap_output_rules(self):
        write(self.path("in", "a.txt"), b"payload")
        installer = self.path("i.exe")
        self.create(installer, self.path("in"))
        original = read(installer)
        for label, out in [("the installer itself", installer), ("a FIFO", self.path("fifo"))]:
            with self.subTest(label):
                if label == "a FIFO":
                    posix_only(self, "FIFOs")
                    os.mkfifo(out)
                r = run("unwrap", installer, "-o", out)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(read(installer), original)
        self.assertEqual(temp_files(self.tmp), [])

    def start_stuck_create(self, out, preexec_fn=None):
        """Starts create with progress going to a terminal nobody reads: once
        its buffer is full, sfxpack waits in the middle of writing, temporary
        file open. Returns the process and the terminal's reading end."""
        if not os.path.exists(self.path("in")):
            for i in range(3000):
                write(self.path("in", "d%02d" % (i % 20), "a-rather-long-file-name-%05d.txt" % i),
                      b"x")
        master, slave = os.openpty()
        proc = subprocess.Popen(command("create", "-o", out, "--stub", self.stub, self.path("in")),
                                stdout=subprocess.DEVNULL, stderr=slave, preexec_fn=preexec_fn)
        os.close(slave)
        deadline = time.time() + 60
        folder = os.path.dirname(out)
        while not temp_files(folder) and proc.poll() is None and time.time() < deadline:
            time.sleep(0.01)
        self.assertTrue(temp_files(folder))
        # Named after the output, so that one left behind is recognisable.
        for name in temp_files(folder):
            self.assertRegex(name, partial_name(out))
        time.sleep(0.2)
        return proc, master

    def test_signal_removes_the_temporary_file(self):
        posix_only(self, "POSIX signals and a pseudo-terminal (test_windows.py tries Ctrl+C)")
        out = self.path("o", "setup.exe")
        write(out, b"previous")
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(sig):
                proc, master = self.start_stuck_create(out)
                proc.send_signal(sig)
                self.assertEqual(proc.wait(timeout=60), -sig)
                os.close(master)
                self.assertEqual(temp_files(self.path("o")), [])
                self.assertEqual(read(out), b"previous")

    def test_a_killed_run_leaves_a_partial_file_that_a_later_run_removes(self):
        posix_only(self, "POSIX signals and a pseudo-terminal (test_windows.py kills sfxpack.exe)")
        out = self.path("o", "setup.exe")
        write(out, b"previous")
        proc, master = self.start_stuck_create(out)
        proc.kill()
        proc.wait(timeout=60)
        os.close(master)
        (left,) = temp_files(self.path("o"))
        self.assertEqual(read(out), b"previous")
        # A day old it goes; younger it might be another run's.
        os.utime(self.path("o", left), (time.time() - 86400 - 60,) * 2)
        r = self.create(out, self.path("in"))
        self.assertIn("removed '%s', left unfinished by an earlier run" % self.path("o", left), r.stderr)
        self.assertEqual(temp_files(self.path("o")), [])

    def test_stale_partial_outputs_are_removed(self):
        write(self.path("in", "a.txt"), b"payload")
        installer = self.path("i.exe")
        self.create(installer, self.path("in"))
        old, fresh = time.time() - 86400 - 600, time.time() - 3600
        commands = {"create": lambda out: self.create(out, self.path("in")),
                    "unwrap": lambda out: run("unwrap", installer, "-o", out)}
        for name, make in commands.items():
            with self.subTest(name):
                folder = self.path("o-" + name)
                # (name, age, removed)
                files = [(".out.exe.sfxpack-partial-abc123", old, True),
                         (".out.exe.sfxpack-partial-XYZ789", old, True),
                         (".out.exe.sfxpack-partial-young1", fresh, False),
                         (".out.exe.sfxpack-partial-abc1234", old, False),
                         (".other.exe.sfxpack-partial-abc123", old, False),
                         (".out.exe.abc123", old, False)]
                for leaf, mtime, _ in files:
                    write(os.path.join(folder, leaf), b"partial", mtime)
                r = make(os.path.join(folder, "out.exe"))
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(sorted(temp_files(folder)),
                                 sorted(leaf for leaf, _, removed in files if not removed))
                for leaf, _, removed in files:
                    said = "removed '%s', left unfinished" % os.path.join(folder, leaf)
                    self.assertEqual(said in r.stderr, removed, r.stderr)

    def test_an_ignored_hangup_stays_ignored(self):
        posix_only(self, "POSIX signals and a pseudo-terminal")
        # As under nohup: SIGHUP ignored from the start. The run, sent SIGHUP,
        # goes on once the terminal is read.
        os.makedirs(self.path("o"))
        out = self.path("o", "setup.exe")
        proc, master = self.start_stuck_create(
            out, preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
        proc.send_signal(signal.SIGHUP)
        time.sleep(0.2)
        self.assertIsNone(proc.poll())
        try:
            while os.read(master, 65536):
                pass
        except OSError:  # the terminal closes with the program
            pass
        os.close(master)
        self.assertEqual(proc.wait(timeout=60), 0)
        self.assertEqual(run("test", out).returncode, 0)

    def test_a_replaced_output_keeps_its_mode(self):
        posix_only(self, "POSIX modes and the umask")
        write(self.path("in", "a.txt"), b"payload")
        installer = self.path("i.exe")
        self.create(installer, self.path("in"))
        commands = {
            "create": lambda out: self.create(out, self.path("in")),
            "unwrap": lambda out: self.assertEqual(run("unwrap", installer, "-o", out).returncode, 0),
        }
        # (umask, mode of the file there before or None, mode expected)
        cases = [(0o022, 0o600, 0o600), (0o022, 0o755, 0o755), (0o077, 0o644, 0o644),
                 (0o027, None, 0o640), (0o002, None, 0o664)]
        for name, make in commands.items():
            for mask, before, expected in cases:
                with self.subTest(command=name, umask=oct(mask), before=before):
                    out = self.path("out-%s-%o-%s" % (name, mask, before))
                    if before is not None:
                        write(out, b"old")
                        os.chmod(out, before)
                    old_mask = os.umask(mask)
                    try:
                        make(out)
                    finally:
                        os.umask(old_mask)
                    self.assertNotEqual(read(out), b"old")
                    self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), expected)


def installer_with_deflated(path, name, packed, size, crc):
    """STUB and one entry of deflate data packed that claims size and crc,
    then an end record of zeros."""
    write(path, installer_bytes.installer(
        STUB, [entry(name, b"", method=8, stamp=DOS_1980, packed=packed, size=size, crc=crc)],
        EMPTY_END))


class Hostile(Case):
    """Sizes that inputs claim but do not hold: a clear error, little memory."""

    LIMIT = 100 << 20

    def baseline(self):
        write(self.path("base", "a.txt"), b"a")
        self.create(self.path("base.exe"), self.path("base"))
        return run_measured("list", self.path("base.exe"))[1]

    def check_small(self, args, message):
        r, peak = run_measured(*args)
        self.assertEqual(r.returncode, 1, r.stderr + r.stdout)
        self.assertIn(message, r.stdout + r.stderr)
        self.assertNotIn("out of memory", r.stderr)
        extra = peak - (self.base if SANITIZED else 0)
        self.assertLess(extra, self.LIMIT, "peak resident %d bytes" % peak)

    def test_declared_sizes(self):
        posix_only(self, "memory measured by rlimit and rusage of one process")
        self.base = self.baseline()
        tiny = raw_deflate(b"hello", 6)
        installer = self.path("bomb.exe")
        installer_with_deflated(installer, b"a.txt", tiny, 0xFFFFFFFF, zlib.crc32(b"hello"))
        # Data that really decodes to 64 MiB, in a header that claims 1 MiB.
        big = raw_deflate(bytes(64 << 20), 9)
        liar = self.path("liar.exe")
        installer_with_deflated(liar, b"b.txt", big, 1 << 20, 0)

        huge = self.path("huge.bin")
        with open(huge, "wb") as f:
            f.truncate(1 << 31)  # sparse: costs no disk

        def zip_claiming(comp_size=None, size=None):
            path = self.path("claim-%s-%s.zip" % (comp_size, size))
            with zipfile.ZipFile(path, "w") as z:
                z.writestr("a.txt", b"hello hello hello", zipfile.ZIP_DEFLATED)
            data = bytearray(read(path))
            central = data.index(b"PK\x01\x02")
            if comp_size is not None:
                struct.pack_into("<I", data, central + 20, comp_size)
                struct.pack_into("<I", data, 18, comp_size)
            if size is not None:
                struct.pack_into("<I", data, central + 24, size)
                struct.pack_into("<I", data, 22, size)
            write(path, bytes(data))
            return ["create", "-o", self.path("z.exe"), "--stub", self.stub, "--from-zip", path]

        cases = [
            ("test, 6 bytes claiming 4 GiB", ["test", installer], "its header says 4294967295"),
            ("extract, 6 bytes claiming 4 GiB", ["extract", installer, "-d", self.path("x1")],
             "its header says 4294967295"),
            ("test, more data than claimed", ["test", liar], "more than 1048576"),
            ("extract, more data than claimed", ["extract", liar, "-d", self.path("x2")],
             "more than 1048576"),
            ("zip claiming 4 GiB of data", zip_claiming(comp_size=0xFFFFFFF0), "holds only"),
            ("zip claiming 4 GiB decoded", zip_claiming(size=0xFFFFFFF0), "cannot hold"),
            # Past the stub's signed 32-bit counts: refused before it is read.
            ("file of 2 GiB and one byte", ["create", "-o", self.path("huge.exe"), "--stub",
                                            self.stub, huge],
             "%s' is 2147483648 bytes long" % huge),
        ]
        for label, args, message in cases:
            with self.subTest(label):
                self.check_small(args, message)
        self.assertEqual(os.listdir(self.path("x1")), [])
        self.assertFalse(os.path.exists(self.path("huge.exe")))

    def test_create_holds_one_file_and_its_packed_form(self):
        posix_only(self, "memory measured by rlimit and rusage of one process")
        base = self.baseline() if SANITIZED else 0
        size = 256 << 20
        os.makedirs(self.path("big"))
        with open(self.path("big", "zeros.bin"), "wb") as f:
            f.truncate(size)  # sparse: reads as zeros
        write(self.path("big", "small.txt"), b"small")
        r, peak = run_measured("create", "-o", self.path("big.exe"), "--stub", self.stub,
                               "--level", "1", self.path("big"), address_space=2 << 30)
        self.assertEqual(r.returncode, 0, r.stderr)
        # The file itself, its deflated form (a few hundred KiB) and the program.
        self.assertLess(peak - base, size + (64 << 20), "peak resident %d bytes" % peak)
        r, peak = run_measured("test", self.path("big.exe"), address_space=2 << 30)
        self.assertEqual(r.returncode, 0, r.stdout)

    def test_no_temporary_folder_needed(self):
        posix_only(self, "TMPDIR names the folder of Wine's own server, which must exist")
        write(self.path("in", "a.txt"), b"text " * 1000)
        write(self.path("in", "b.bin"), bytes(range(256)) * 10)
        out = self.path("i.exe")
        self.create(out, self.path("in"))
        env = {"TMPDIR": self.path("missing")}
        tested = run("test", out, env=env)
        self.assertEqual(tested.returncode, 0, tested.stdout)
        self.assertEqual(run("extract", out, "-d", self.path("x"), env=env).returncode, 0)
        self.assertEqual(files_below(self.path("x")), files_below(self.path("in")))
        zipped = self.path("in.zip")
        with zipfile.ZipFile(zipped, "w") as z:
            z.writestr("c.txt", b"zipped " * 500, zipfile.ZIP_DEFLATED)
        r = run("create", "-o", self.path("z.exe"), "--stub", self.stub, "--from-zip", zipped,
                env=env)
        self.assertEqual(r.returncode, 0, r.stderr)


class Options(Case):
    """--exclude, -q and the summary, --version, the default stub."""

    def test_exclude(self):
        tree = ["setup.EXE", "a.txt", "a.pdb", "sub/b.pdb", "sub/c.txt", ".git/config",
                "sub/.git/x", "docs/skip/d.txt", "docs/e.txt", "sub/a.txt", "APP.PDB"]
        for name in tree:
            write(self.path("in", name), b"x")
        everything = {n.replace("/", "\\") for n in tree}
        cases = [
            ([".git"], {".git\\config", "sub\\.git\\x"}),
            (["*.pdb"], {"a.pdb", "sub\\b.pdb", "APP.PDB"}),
            (["sub/*.pdb"], {"sub\\b.pdb"}),
            (["docs/skip"], {"docs\\skip\\d.txt"}),
            (["sub", "*.txt"], {"sub\\b.pdb", "sub\\c.txt", "sub\\.git\\x", "a.txt", "sub\\a.txt",
                                "docs\\skip\\d.txt", "docs\\e.txt"}),
            (["./a.txt"], {"a.txt"}),
            (["a.txt"], {"a.txt", "sub\\a.txt"}),
            (["a.txt/"], set()),
            (["nothing*"], set()),
        ]
        for patterns, left_out in cases:
            with self.subTest(patterns):
                args = [a for p in patterns for a in ("--exclude", p)]
                out = self.path("x.exe")
                r = self.create(out, *args, self.path("in"))
                names = {e[0] for e in local_entries(archive_of(self, out))}
                self.assertEqual(names, everything - left_out)
                self.assertEqual("matched nothing" in r.stderr, not left_out, r.stderr)
        # The same patterns apply to ZIP entries and to files named alone.
        with zipfile.ZipFile(self.path("in.zip"), "w") as z:
            for name in ["keep.txt", "drop.pdb", ".git/HEAD", "lib/.git/x"]:
                z.writestr(name, b"z")
        out = self.path("z.exe")
        self.create(out, "--exclude", "*.pdb", "--exclude", ".git", "--from-zip",
                    self.path("in.zip"), self.path("in", "a.pdb"), self.path("in", "a.txt"))
        self.assertEqual({e[0] for e in local_entries(archive_of(self, out))}, {"keep.txt", "a.txt"})

    def test_summary_and_quiet(self):
        write(self.path("in", "a.txt"), b"abc" * 1000)
        write(self.path("in", "b.txt"), b"")
        # A 32-bit wizard named without "setup" and the like, which would make
        # Windows demand rights the installer does not have.
        write(self.path("in", "WIZARD.EXE"), STUB)
        out = self.path("i.exe")
        made = self.create(out, self.path("in"))
        line = (r"^%s: 3 entries, 3512 bytes in, (\d+) bytes out \(archive ([0-9.]+)%% of the "
                r"input\), [0-9.]+ s\n$")
        m = re.match(line % re.escape("created " + out), made.stdout)
        self.assertTrue(m, made.stdout)
        self.assertEqual(int(m.group(1)), os.path.getsize(out))
        # The archive without the stub, against the files.
        self.assertAlmostEqual(float(m.group(2)), 100 * (int(m.group(1)) - len(STUB)) / 3512,
                               delta=0.06)
        # Which wizard the stub starts is information, gone under -q.
        self.assertEqual(made.stderr, "sfxpack: no --wizard given: the stub will start "
                                      "'WIZARD.EXE', the first path that holds \".EXE\"\n")
        target = self.path("x")
        done = run("extract", out, "-d", target)
        m = re.match(r"^extracted into %s: 3 entries, (\d+) bytes in, 3512 bytes out \(packed data "
                     r"([0-9.]+)%% of the output\), [0-9.]+ s\n$" % re.escape(target), done.stdout)
        self.assertTrue(m, done.stdout)
        self.assertAlmostEqual(float(m.group(2)), 100 * int(m.group(1)) / 3512, delta=0.06)
        for args in (["-q", "create", "-o", out, "--stub", self.stub, self.path("in")],
                     ["create", "--quiet", "-o", out, "--stub", self.stub, self.path("in")],
                     ["-q", "extract", out, "-d", self.path("y")], ["test", "-q", out],
                     ["-q", "unwrap", out, "-o", self.path("u.zip")]):
            with self.subTest(args):
                r = run(*args)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        # Failures still speak under -q.
        r = run("-q", "test", self.stub)
        self.assertEqual(r.returncode, 1)
        self.assertIn("holds no archive", r.stderr)

    def test_usage(self):
        write(self.path("in", "a.txt"), b"a")
        # (arguments, exit code, part of stdout, part of stderr)
        commands = "the commands are create, list, test, extract, unwrap, help"
        cases = [
            ([], 2, "", "no command given; " + commands),
            (["frob"], 2, "", "there is no command 'frob'; " + commands),
            (["-q", "frob", "x"], 2, "", "there is no command 'frob'"),
            (["--level", "3", "create"], 2, "", "'--level' is not an option of sfxpack itself"),
            (["--bogus"], 2, "", "'--bogus' is not an option of sfxpack itself"),
            (["create", self.path("in")], 2, "", "--output is required"),
            (["create", "--level", "14", "-o", "x.exe", self.path("in")], 2, "",
             "--level: 14 is not in the range 0 to 13"),
            (["create", "--level", "abc", "-o", "x.exe", self.path("in")], 2, "",
             "--level: 'abc' is not a number"),
            (["create", "--threads", "2x", "-o", "x.exe", self.path("in")], 2, "",
             "--threads: '2x' is not a number"),
            (["create", "-o", "-", "--stub", self.stub, self.path("in")], 2, "", "'-'"),
            (["create", "-o", "", "--stub", self.stub, self.path("in")], 2, "",
             "--output: an empty name is not a file"),
            (["unwrap", self.stub, "-o", "-"], 2, "", "'-'"),
            (["unwrap", self.stub, "-o", ""], 2, "", "--output: an empty name is not a file"),
            (["list"], 2, "", "INSTALLER is required"),
            (["help", "nothing"], 2, "", "no command 'nothing'; " + commands),
            (["help"], 0, "Commands:", ""),
            (["help", "create"], 0, "sfxpack create [OPTIONS]", ""),
            (["help", "unwrap"], 0, "The ZIP file to write", ""),
            (["create", "--help"], 0, "--wizard", ""),
        ]
        for args, code, out, err in cases:
            with self.subTest(args):
                r = run(*args, cwd=self.tmp)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertIn(out, r.stdout)
                self.assertIn(err, r.stderr)
                # Usage errors are said as every other error is.
                if code:
                    self.assertRegex(r.stderr, "^sfxpack: error: .*" + re.escape(err))
                self.assertEqual(temp_files(self.tmp), [])
        self.assertFalse(os.path.exists(self.path("-")))
        self.assertEqual(run("help").stdout, run("--help").stdout)

    def test_help_names_values_plainly(self):
        # Each option's value by what it is, not by the parser's type names.
        shown = {
            "create": ["-o,--output FILE (required)", "--level LEVEL ", "--threads N ",
                       "--stub FILE ", "--exclude PATTERN ", "--from-zip ZIP ", "[INPUT...]"],
            "extract": ["-d,--directory DIR ", "INSTALLER "],
            "unwrap": ["-o,--output FILE (required)"],
            "help": ["[COMMAND]"],
        }
        for command, parts in shown.items():
            with self.subTest(command):
                text = run(command, "--help").stdout
                for part in parts:
                    self.assertIn(part, text)
                self.assertIsNone(re.search(r"\b(U?INT|TEXT|REQUIRED)\b|\[\d+ - \d+\]", text), text)

    def test_stub_that_is_not_a_program_is_an_error(self):
        write(self.path("in", "a.txt"), b"a")
        cases = [("text", b"just a text file, long enough to be scanned\n" * 3, "MZ"),
                 ("DOS program", b"MZ" + bytes(200), "PE header"),
                 ("64-bit program", STUB[:0x44] + b"\x64\x86" + STUB[0x46:], "32-bit x86")]
        for label, data, message in cases:
            with self.subTest(label):
                write(self.stub, data)
                out = self.path("o", "i.exe")
                os.makedirs(self.path("o"), exist_ok=True)
                r = self.create(out, self.path("in"), ok=False)
                self.assertEqual(r.returncode, 1)
                self.assertIn("not a 32-bit Windows program", r.stderr)
                self.assertIn(message, r.stderr)
                self.assertEqual(os.listdir(self.path("o")), [])

    def test_version_and_a_program_without_its_stub(self):
        r = run("--version")
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stdout, r"^sfxpack \d+\.\d+\.\d+\n")
        beside = os.path.join(os.path.dirname(SFXPACK), "sfxstub.exe")
        if os.path.exists(beside):
            data = read(beside)
            import hashlib
            self.assertIn("%d bytes, sha256 %s" % (len(data), hashlib.sha256(data).hexdigest()[:16]),
                          r.stdout)
        alone = self.path("bin", os.path.basename(SFXPACK))
        os.makedirs(self.path("bin"))
        shutil.copy(SFXPACK, alone)
        write(self.path("in", "a.txt"), b"a")
        r = run("create", "-o", self.path("i.exe"), self.path("in"), program=alone)
        self.assertEqual(r.returncode, 1)
        self.assertIn("looked at '%s'" % os.path.join(self.path("bin"), "sfxstub.exe"), r.stderr)
        # Installed layout: PREFIX/bin/sfxpack finds PREFIX/share/sfxpack/sfxstub.exe;
        # the Windows ZIP keeps it beside sfxpack.exe only.
        installed = not WINE
        self.assertEqual("share/sfxpack/sfxstub.exe" in r.stderr, installed, r.stderr)
        self.assertEqual("../share/sfxpack/" in run("help", "create").stdout, installed)
        self.assertIn("--stub", r.stderr)
        self.assertIn("none found", run("--version", program=alone).stdout)
        write(self.path("share", "sfxpack", "sfxstub.exe"), STUB)
        r = run("create", "-o", self.path("i.exe"), self.path("in"), program=alone)
        self.assertEqual(r.returncode, 0 if installed else 1, r.stderr)
        if installed:
            archive_of(self, self.path("i.exe"))

    def test_threads_give_the_same_bytes(self):
        # Level 13 is slow: fewer and smaller files.
        for level, count, sizes in (("6", 40, [0, 1, 100, 5000, 70000, 300000]), ("13", 8, [0, 1, 100, 5000, 20000])):
            rnd = random.Random(11)
            folder = self.path("in" + level)
            for i in range(count):
                size = rnd.choice(sizes)
                data = bytes(rnd.choice(b"abcdefgh ") for _ in range(size // 4)) + rnd.randbytes(size - size // 4)
                write(os.path.join(folder, "f%02d.bin" % i), data)
            outs = []
            for threads in ("1", "2", "4", "7"):
                out = self.path("t%s-%s.exe" % (threads, level))
                self.create(out, "--threads", threads, "--level", level, folder)
                outs.append(read(out))
            with self.subTest(level=level):
                self.assertEqual(outs.count(outs[0]), len(outs))
                self.assertEqual(run("test", self.path("t2-%s.exe" % level)).returncode, 0)


class Reproducible(Case):
    def test_source_date_epoch(self):
        epoch = T0 + 1000
        write(self.path("in", "old.txt"), b"old", T0)
        write(self.path("in", "new.txt"), b"new", T0 + 50_000)
        with zipfile.ZipFile(self.path("in.zip"), "w") as z:
            z.writestr(zipfile.ZipInfo("zold.txt", (2020, 1, 2, 3, 4, 6)), b"zip old")
            z.writestr(zipfile.ZipInfo("znew.txt", (2030, 1, 2, 3, 4, 6)), b"zip new")
        outputs = []
        for tz in ("UTC0", "XYZ-5", "ABC+7:30"):
            out = self.path("r-%s.exe" % tz.replace(":", ""))
            self.create(out, self.path("in"), "--from-zip", self.path("in.zip"),
                        env={"TZ": tz, "SOURCE_DATE_EPOCH": str(epoch)})
            outputs.append(read(out))
        self.assertEqual(outputs[0], outputs[1])
        self.assertEqual(outputs[0], outputs[2])
        with zipfile.ZipFile(io.BytesIO(archive_of(self, self.path("r-UTC0.exe")))) as z:
            times = {i.filename: i.date_time for i in z.infolist()}
        self.assertEqual(times["old.txt"], time.gmtime(T0)[:6])
        self.assertEqual(times["new.txt"], time.gmtime(epoch)[:6])
        self.assertEqual(times["zold.txt"], (2020, 1, 2, 3, 4, 6))
        self.assertEqual(times["znew.txt"], time.gmtime(epoch)[:6])
        # Without it, local time as before: the zones differ.
        a = self.create(self.path("a.exe"), self.path("in"), env={"TZ": "UTC0"})
        b = self.create(self.path("b.exe"), self.path("in"), env={"TZ": "XYZ-5"})
        self.assertNotEqual(read(self.path("a.exe")), read(self.path("b.exe")))
        for bad in ("yesterday", "-5", "12abc"):
            with self.subTest(bad):
                r = self.create(self.path("bad.exe"), self.path("in"),
                                env={"SOURCE_DATE_EPOCH": bad}, ok=False)
                self.assertEqual(r.returncode, 1)
                self.assertIn("SOURCE_DATE_EPOCH", r.stderr)


class Unwrap(Case):
    def test_standard_zip_that_zip_tools_accept(self):
        rnd = random.Random(5)
        tree = {"setup.EXE": b"MZ wizard" * 100, "docs/read me.txt": b"Read me.\r\n" * 300,
                "data/noise.bin": rnd.randbytes(5000), "data/empty": b"",
                "caf\u00e9/\u00fcber \u20ac.txt": b"accents"}
        for name, data in tree.items():
            write(self.path("in", name), data, T0)
        installer = self.path("i.exe")
        self.create(installer, "--wizard", "setup.EXE", self.path("in"))
        out = self.path("i.zip")
        r = run("unwrap", installer, "-o", out)
        self.assertEqual(r.returncode, 0, r.stderr)
        with zipfile.ZipFile(out) as z:
            self.assertIsNone(z.testzip())
            self.assertEqual({i.filename: z.read(i) for i in z.infolist()}, tree)
            self.assertEqual(z.infolist()[0].filename, "setup.EXE")
        unzip = shutil.which("unzip")
        if unzip:
            t = subprocess.run([unzip, "-t", out], capture_output=True, text=True, errors="replace")
            self.assertEqual(t.returncode, 0, t.stdout)
            self.assertIn("No errors detected", t.stdout)
        seven = shutil.which("7z")
        if seven:
            t = subprocess.run([seven, "t", out], capture_output=True, text=True, errors="replace")
            self.assertEqual(t.returncode, 0, t.stdout)
            self.assertIn("Everything is Ok", t.stdout)

    def test_an_installer_the_stub_would_stop_in_is_refused(self):
        path = self.path("hostile.exe")
        hand_installer(path, [(b"good.txt", 0, b"fine"), (b"..\\evil.txt", 0, b"evil")])
        r = run("unwrap", path, "-o", self.path("h.zip"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("'..'", r.stderr)
        self.assertFalse(os.path.exists(self.path("h.zip")))
        self.assertEqual(temp_files(self.tmp), [])



class Checks(Case):
    """The archive's end, names Windows would merge, unwrap's checks and the
    counts in messages."""

    def two_entries(self):
        write(self.path("in", "a.txt"), b"first " * 100)
        write(self.path("in", "b.txt"), b"second " * 100)
        self.create(self.path("good.exe"), self.path("in"))
        return read(self.path("good.exe"))

    def write_and_test(self, installer):
        """Writes the installer and runs test on it: its path and the run."""
        path = self.path("tested.exe")
        write(path, installer)
        return path, run("test", path)

    def test_damaged_end_of_archive(self):
        data = self.two_entries()
        central = data.index(scramble(b"PK\x01\x02"))
        end = len(data) - 22

        def flip(*positions):  # XOR on scrambled bytes flips the same bits beneath
            b = bytearray(data)
            for pos in positions:
                b[pos] ^= 1
            return bytes(b)

        # (label, installer, what test says; None: it passes)
        cases = [("cut by %d" % k, data[:-k], problem) for k, problem in [
            (1, "the end record is cut short"), (21, "the end record is cut short"),
            (22, "the end record is missing"), (23, "the file ends inside the central directory"),
            (30, "the file ends inside the central directory")]] + [
            ("cut at the entries' end", data[:central], "the central directory and end record are missing"),
            ("no central directory", data[:central] + data[end:], "no central directory follows"),
            ("central CRC-32", flip(central + 16),
             "the central directory's header 1 does not agree with 'a.txt': its CRC-32 differs"),
            ("central sizes", flip(central + 24), "with 'a.txt': its sizes differ\n"),
            ("central offset", flip(central + 42), "header 1 does not agree with 'a.txt': its offset"),
            ("end record's count", flip(end + 10),
             "the end record does not agree with the central directory"),
            ("a signature after it", signed(data + b"\x30\x82" + bytes(700)), None),
        ]
        for label, damaged, problem in cases:
            with self.subTest(label):
                path, tested = self.write_and_test(damaged)
                self.assertEqual(tested.returncode, 1 if problem else 0, tested.stdout)
                self.assertIn("OK      a.txt\nOK      b.txt\n", tested.stdout)
                if problem:
                    self.assertRegex(tested.stdout, "FAILED  the archive's end: .*" + re.escape(problem))
                    self.assertIn("1 problem found, 2 of 2 entries OK", tested.stdout)
                # list and extract do their work, then fail on a damaged end
                listed = run("list", path)
                target = self.path("x-" + label)
                extracted = run("extract", path, "-d", target)
                for r in (listed, extracted):
                    self.assertEqual(r.returncode, 1 if problem else 0, r.stderr)
                    if problem:
                        self.assertIn("sfxpack: error: the archive's end is damaged: ", r.stderr)
                        self.assertIn(problem, r.stderr)
                self.assertIn("b.txt", listed.stdout)
                self.assertEqual(set(files_below(target)), {"a.txt", "b.txt"})
                self.assertEqual(run("unwrap", path, "-o", self.path("u.zip")).returncode,
                                 1 if problem else 0)

    def test_damaged_stub_is_caught_by_the_pe_checksum(self):
        data = self.two_entries()
        at = checksum_field(data)

        def changed(offsets, field=None):
            b = bytearray(data)
            for pos in offsets:
                b[pos] ^= 0x40
            if field is not None:
                b[at:at + 4] = struct.pack("<I", field)
            return bytes(b)

        # (label, installer, whether test and unwrap fail on the checksum)
        cases = [("intact", data, False),
                 ("stub byte 100", changed([100]), True),
                 ("stub's last byte", changed([len(STUB) - 1]), True),
                 ("checksum field off by one", changed([], struct.unpack_from("<I", data, at)[0] + 1), True),
                 ("no checksum written", changed([100], 0), False)]
        damaged = "the stub's bytes (offsets 0 to %d)" % (len(STUB) - 1)
        for label, installer, fails in cases:
            with self.subTest(label):
                path, tested = self.write_and_test(installer)
                self.assertEqual(tested.returncode, 1 if fails else 0, tested.stdout)
                self.assertEqual("FAILED  the PE checksum" in tested.stdout, fails, tested.stdout)
                if fails:
                    self.assertIn(damaged, tested.stdout)
                    self.assertIn("1 problem found, 2 of 2 entries OK", tested.stdout)
                r = run("unwrap", path, "-o", self.path(label + ".zip"))
                self.assertEqual(r.returncode, 1 if fails else 0, r.stderr)
                self.assertEqual(os.path.exists(self.path(label + ".zip")), not fails)
                if fails:
                    self.assertIn("sfxpack: error: the PE checksum: ", r.stderr)
                    self.assertIn(damaged, r.stderr)
                    self.assertEqual(temp_files(self.tmp), [])

    def test_unwrap_checks_as_test_does(self):
        data = self.two_entries()
        central = data.index(scramble(b"PK\x01\x02"))
        local_b = data.index(MARKER, len(STUB) + 1)
        mid = (len(STUB) + 35 + local_b) // 2  # inside a.txt's deflate data
        central_b = data.index(scramble(b"PK\x01\x02"), central + 1)

        def flip(offset, bit=1):  # the same field in an entry's two headers
            b = bytearray(data)
            b[local_b + offset] ^= bit
            b[central_b + offset + 2] ^= bit
            return bytes(b)

        cases = [
            ("CRC-32", flip(14), "b.txt': its CRC-32 is"),
            ("size", flip(22, 4), "b.txt': its deflate data decodes to more than 696 bytes"),
            ("data", data[:mid] + bytes([data[mid] ^ 0x10]) + data[mid + 1:], "a.txt'"),
        ]
        for label, damaged, message in cases:
            with self.subTest(label):
                path = self.path("d.exe")
                write(path, damaged)
                self.assertEqual(run("test", path).returncode, 1)
                r = run("unwrap", path, "-o", self.path("u.zip"))
                self.assertEqual(r.returncode, 1)
                self.assertIn(message, r.stderr)
                self.assertFalse(os.path.exists(self.path("u.zip")))
                self.assertEqual(temp_files(self.tmp), [])

    def test_create_from_zip_finds_what_test_finds(self):
        # One fault in a copied entry, then in the installer made from it: the
        # same reason from create --from-zip and from test.
        text = b"".join(b"line %d of the copied entry\n" % i for i in range(400))
        zipped = self.path("in.zip")
        with zipfile.ZipFile(zipped, "w") as z:
            z.writestr("a.txt", text, zipfile.ZIP_DEFLATED)
        sound = read(zipped)
        self.create(self.path("sound.exe"), "--from-zip", zipped)
        built = read(self.path("sound.exe"))

        def flip(data, local, central, offset, bit):  # one field in both headers
            b = bytearray(data)
            b[local + offset] ^= bit
            b[central + offset + 2] ^= bit
            return bytes(b)

        heads = {"zip": (0, sound.index(b"PK\x01\x02")),
                 "installer": (built.index(MARKER, len(STUB)), built.index(scramble(b"PK\x01\x02")))}
        cases = [("CRC-32", 14, 1, "its CRC-32 is "), ("size", 22, 0x40, "decodes to more than")]
        for label, offset, bit, reason in cases:
            with self.subTest(label):
                write(zipped, flip(sound, *heads["zip"], offset, bit))
                created = self.create(self.path("z.exe"), "--from-zip", zipped, ok=False)
                self.assertEqual(created.returncode, 1)
                write(self.path("d.exe"), flip(built, *heads["installer"], offset, bit))
                tested = run("test", self.path("d.exe"))
                self.assertEqual(tested.returncode, 1)
                why = tested.stdout.split("FAILED  a.txt: ")[1].splitlines()[0]
                self.assertIn(reason, why)
                self.assertIn("'a.txt' of the ZIP file '%s' is damaged: %s" % (zipped, why),
                              created.stderr)
                self.assertFalse(os.path.exists(self.path("z.exe")))

    def test_names_windows_takes_for_one_file(self):
        path = self.path("case.exe")
        hand_installer(path, [(b"A.txt", 0, b"upper"), (b"sub\\b.txt", 0, b"x"),
                              (b"a.txt", 0, b"lower"), (b"SUB/B.TXT", 0, b"y")])
        for args in (["list"], ["test"], ["extract", "-d", self.path("x")]):
            with self.subTest(args[0]):
                r = run(args[0], path, *args[1:])
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn("warning: 'A.txt' and 'a.txt' would be one file on Windows", r.stderr)
                self.assertIn("'sub\\b.txt' and 'SUB/B.TXT' would be one file", r.stderr)
        # The later replaces the earlier where names are one file, as the
        # stub does; elsewhere both are there.
        below = files_below(self.path("x"))
        if WINE:
            below = {name.lower(): data for name, data in below.items()}
        self.assertEqual(below["a.txt"], b"lower")

    def test_no_more_entries_than_an_end_record_counts(self):
        entries = [entry(b"%05x" % i, b"", stamp=DOS_1980) for i in range(0x10001)]
        write(self.path("many.exe"), installer_bytes.installer(STUB, entries))
        r = run("list", self.path("many.exe"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("more than 65535 entries", r.stderr)
        self.assertTrue(r.stdout.endswith("  65535 entries\n"), r.stdout[-100:])

    def test_counts_read_right(self):
        write(self.path("one", "a.txt"), b"a")
        write(self.path("empty", "e.txt"), b"")
        one, empty = self.path("one.exe"), self.path("empty.exe")
        made = self.create(one, self.path("one"))
        self.assertIn(": 1 entry, 1 bytes in, ", made.stdout)
        # Nothing to compare the archive with: no share.
        self.assertRegex(self.create(empty, self.path("empty")).stdout,
                         r": 1 entry, 0 bytes in, \d+ bytes out, [0-9.]+ s\n$")
        self.assertIn("1 entry OK\n", run("test", one).stdout)
        self.assertIn("  1 entry\n", run("list", one).stdout)
        hand_installer(self.path("enc.exe"), [(b"locked", 1, b"x")])
        self.assertIn("1 problem found, no entries read\n", run("test", self.path("enc.exe")).stdout)
        hand_installer(self.path("bad.exe"), [(b"ok", 0, b"x"), (b"nul", 0, b"x")])
        self.assertIn("1 problem found, 1 of 2 entries OK\n", run("test", self.path("bad.exe")).stdout)


class FlatMemory(Case):
    """Reading an entry takes the same memory whatever its size; packing a
    file holds one copy of it, its deflated form, beside the file mapped."""

    def test_large_entry(self):
        posix_only(self, "memory measured by rlimit and rusage of one process")
        base = Hostile.baseline(self) if SANITIZED else 0
        size = 200 << 20
        os.makedirs(self.path("in"))
        with open(self.path("in", "zeros.bin"), "wb") as f:
            f.truncate(size)  # sparse: reads as zeros
        installer = self.path("big.exe")
        self.create(installer, "--level", "1", self.path("in"))
        os.unlink(self.path("in", "zeros.bin"))
        unwrapped = self.path("big.zip")
        # Noise: deflate gives up on it only near its end, having written
        # almost as many bytes; two copies of it would pass its limit.
        noise = 128 << 20
        write(self.path("noise", "noise.bin"), random.Random(5).randbytes(noise))
        # (args, most private memory, or 0 for at most 64 MiB resident; the
        # pages of a mapped file count as resident)
        for args, private in (
                (["test", installer], 0), (["extract", installer, "-d", self.path("x")], 0),
                (["unwrap", installer, "-o", unwrapped], 0),
                (["create", "-o", self.path("z.exe"), "--stub", self.stub, "--from-zip", unwrapped], 0),
                (["create", "-o", self.path("noise.exe"), "--stub", self.stub, "--level", "1",
                  "--threads", "1", self.path("noise")], noise * 3 // 2)):
            with self.subTest(args[0], private=private):
                r, peak = run_measured(*args, private=private)
                self.assertEqual(r.returncode, 0, r.stderr + r.stdout)
                if not private:
                    self.assertLess(peak - base, 64 << 20, "peak resident %d bytes" % peak)
        self.assertEqual(os.path.getsize(self.path("x", "zeros.bin")), size)
        self.assertEqual(read(self.path("z.exe")), read(installer))
        self.assertEqual(run("test", self.path("noise.exe")).returncode, 0)


class RealStub(Case):
    """The stub the build made: bare, and taken by default."""

    def test_default_stub(self):
        real = os.path.join(os.path.dirname(SFXPACK), "sfxstub.exe")
        write(self.path("in", "setup.EXE"), b"wizard")
        out = self.path("i.exe")
        r = run("create", "-o", out, "--wizard", "setup.EXE", self.path("in"))
        self.assertEqual(r.returncode, 0, r.stderr)
        archive_of(self, out, stub=read(real))
        self.assertEqual(run("test", out).returncode, 0)

    def test_signed_installer_still_reads(self):
        """A signature appended after packing leaves the archive findable."""
        import shutil
        tool = shutil.which("osslsigncode")
        if not tool:
            self.skipTest("osslsigncode is not installed")
        for name, data in {"setup.EXE": b"wizard", "data/big.txt": b"line of text\n" * 5000}.items():
            write(self.path("in", *name.split("/")), data)
        out = self.path("i.exe")
        self.assertEqual(run("create", "-o", out, "--wizard", "setup.EXE", self.path("in")).returncode, 0)
        key, cert = self.path("key.pem"), self.path("cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=Example Publisher", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
        signed = self.path("signed.exe")
        subprocess.run([tool, "sign", "-certs", cert, "-key", key, "-n", "Example",
                        "-in", out, "-out", signed], check=True, capture_output=True)
        self.assertGreater(os.path.getsize(signed), os.path.getsize(out))
        # The signing tool writes its own checksum of the signed file: the
        # sum computed here agrees with it, and with sfxpack's before.
        for installer in (out, signed):
            data = read(installer)
            self.assertEqual(struct.unpack_from("<I", data, checksum_field(data))[0], pe_checksum(data))
        self.assertEqual(run("test", signed).returncode, 0)
        self.assertEqual(run("extract", signed, "-d", self.path("x")).returncode, 0)
        self.assertEqual(read(self.path("x", "data", "big.txt")), b"line of text\n" * 5000)


# ---- The publisher's identity: icon, version information, manifest ----

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "res"))
import make_icons  # noqa: E402


def pefile_module():
    """Debian's python3-pefile; an interpreter of its own (pyenv) is pointed
    at Debian's packages for it."""
    try:
        import pefile
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")
        import pefile
    return pefile


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png_image(width, height=None, extra=b""):
    """An 8-bit RGBA PNG file of a colour ramp; extra: chunks put before IDAT."""
    height = height or width
    rows = b"".join(b"\0" + bytes((x * 7 + y) & 255 for x in range(4 * width)) for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + extra + png_chunk(b"IDAT", zlib.compress(rows, 9)) + png_chunk(b"IEND", b""))


def ico_file(images):
    """An .ico file of (data, side, colours, bits) images, one after the other."""
    head, offset = struct.pack("<HHH", 0, 1, len(images)), 6 + 16 * len(images)
    for data, side, colours, bits in images:
        head += struct.pack("<BBBBHHII", side % 256, side % 256, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
    return head + b"".join(image[0] for image in images)


def seven_images():
    """Six 16-colour bitmaps drawn as the stub's own icons are, and a 256-pixel PNG."""
    return [(make_icons.image_bytes(make_icons.box_icon(side, make_icons.BLUE, make_icons.WHITE)), side, 16, 4)
            for side in (16, 24, 32, 48, 64, 128)] + [(png_image(256), 256, 0, 32)]


def pe_resources(path):
    """The file read by pefile, and its resources as {(type, name, language):
    data}, named entries by their name."""
    pe = pefile_module().PE(path)
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                key = tuple(str(e.name) if e.name is not None else e.id for e in (kind, name)) + (language.id,)
                found[key] = pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)
    return pe, found


def group_entries(data):
    """A group icon's entries: (width, height, colours, planes, bits, size, id)."""
    return [struct.unpack_from("<BBBxHHIH", data, 6 + 14 * i) for i in range(struct.unpack_from("<H", data, 4)[0])]


MANIFEST = b"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>
    <requestedExecutionLevel level="highestAvailable" uiAccess="false"/>
  </requestedPrivileges></security></trustInfo>
</assembly>
"""
POLISH_JAPANESE = "\u0141\u00f3d\u017a \u65e5\u672c"
VERSION_ARGS = ["--version-info", "CompanyName=Example Ltd", "--version-info", "ProductName=" + POLISH_JAPANESE,
                "--version-info", "LegalCopyright=\u00a9 2024 Example Ltd", "--file-version", "1.2.3.4",
                "--product-version", "1.2"]


class Identity(Case):
    """Installers that carry the publisher's icon, version information and
    manifest, read back by pefile, wrestool and sfxpack itself."""

    def setUp(self):
        super().setUp()
        self.real = read(os.path.join(os.path.dirname(SFXPACK), "sfxstub.exe"))
        write(self.stub, self.real)
        write(self.path("in", "SETUP.EXE"), self.real)
        write(self.path("in", "docs", "readme.txt"), b"Read me.\r\n" * 300)

    def test_icon_version_and_level_read_back(self):
        icon, images = self.path("seven.ico"), seven_images()
        write(icon, ico_file(images))
        out = self.path("MyProductSetup.exe")
        self.create(out, "--icon", icon, *VERSION_ARGS, "--execution-level", "requireAdministrator",
                    "--wizard", "SETUP.EXE", self.path("in"))
        pe, resources = pe_resources(out)
        _, bare = pe_resources(self.stub)
        self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe_checksum(read(out)))
        # The first group names the seven new images; the stub's other icons stay.
        groups = [key for key in resources if key[0] == 14]
        self.assertEqual(groups, [key for key in bare if key[0] == 14])
        entries = group_entries(resources[groups[0]])
        self.assertEqual([(e[0], e[2], e[4], e[5]) for e in entries],
                         [(side % 256, colours, bits, len(data)) for data, side, colours, bits in images])
        self.assertEqual([resources[(3, e[6], groups[0][2])] for e in entries], [image[0] for image in images])
        old = {e[6] for e in group_entries(bare[groups[0]])}
        kept = {key: data for key, data in bare.items() if key[0] == 3 and key[1] not in old}
        self.assertEqual({key: resources[key] for key in kept}, kept)
        self.assertEqual(sum(key[0] == 3 for key in resources), len(kept) + len(images))
        # wrestool rebuilds the .ico from the group and its images (and
        # writes some bytes more after the last one).
        extracted = subprocess.run(["wrestool", "-x", "--type=14", "--name=" + groups[0][1], out],
                                   capture_output=True, check=True).stdout
        self.assertEqual(extracted[:len(read(icon))], read(icon))
        listed = subprocess.run(["wrestool", "-l", out], capture_output=True, text=True, check=True).stdout
        self.assertEqual(len(re.findall(r"^--type=(?:16|24) --name=1 --language=1033 ", listed, re.M)), 2, listed)
        # Version information and manifest, as pefile and an XML parser read them.
        fixed, infos = pe.VS_FIXEDFILEINFO[0], pe.FileInfo[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS),
                         (0x10002, 0x30004, 0x10002, 0))
        tables = {t.LangID.decode(): {k.decode(): v.decode() for k, v in t.entries.items()}
                  for info in infos if info.Key == b"StringFileInfo" for t in info.StringTable}
        self.assertEqual(tables, {"040904B0": {
            "CompanyName": "Example Ltd", "ProductName": POLISH_JAPANESE, "LegalCopyright": "\u00a9 2024 Example Ltd",
            "FileVersion": "1.2.3.4", "ProductVersion": "1.2.0.0", "OriginalFilename": "MyProductSetup.exe"}})
        self.assertEqual([v for info in infos if info.Key == b"VarFileInfo" for var in info.Var
                          for v in var.entry.values()], ["0x0409 0x04b0"])
        import xml.etree.ElementTree as ET
        self.assertEqual([e.get("level") for e in ET.fromstring(resources[(24, 1, 1033)]).iter()
                          if e.tag.endswith("}requestedExecutionLevel")], ["requireAdministrator"])
        # sfxpack reads it back, and reads the installer as any other.
        listing = run("list", out)
        self.assertEqual(listing.returncode, 0, listing.stderr)
        for line in ("archive at offset %d" % read(out).index(MARKER),
                     "icon: 7 images (16x16 4-bit, 24x24 4-bit, 32x32 4-bit, 48x48 4-bit, 64x64 4-bit, "
                     "128x128 4-bit, 256x256 32-bit PNG)", "version: file 1.2.3.4, product 1.2.0.0",
                     "  'ProductName': '%s'" % POLISH_JAPANESE, "execution level: requireAdministrator"):
            self.assertIn("\n" + line + "\n", "\n" + listing.stdout)
        tested = run("test", out)
        self.assertEqual(tested.returncode, 0, tested.stdout)
        self.assertIn("\nexecution level: requireAdministrator\n", tested.stdout)
        self.assertEqual(run("extract", out, "-d", self.path("x")).returncode, 0)
        self.assertEqual(read(self.path("x", "docs", "readme.txt")), b"Read me.\r\n" * 300)
        self.assertEqual(run("unwrap", out, "-o", self.path("u.zip")).returncode, 0)

    def test_without_the_options_nothing_changes(self):
        # The stand-in stub: the digest of what create made before the options existed.
        write(self.path("plain.exe"), STUB)
        for name, data in {"SETUP.EXE": STUB * 3, "docs/readme.txt": b"Read me.\r\n" * 100,
                           "data/empty.bin": b""}.items():
            write(self.path("p", name), data, T0)
        out = self.path("p.exe")
        r = run("create", "-o", out, "--stub", self.path("plain.exe"), "--wizard", "SETUP.EXE", self.path("p"),
                env={"SOURCE_DATE_EPOCH": str(T0 + 100), "TZ": "UTC0"})
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(hashlib.sha256(read(out)).hexdigest(),
                         "3e60f7b5d2bf289c8e42b921a40aeb56fcf0f50277117a514f2faff19421c78d")
        # The real stub: its own bytes but for the checksum, its own icon.
        self.create(self.path("r.exe"), self.path("in"))
        archive_of(self, self.path("r.exe"), stub=self.real)
        _, bare = pe_resources(self.stub)
        first = group_entries(bare[next(key for key in bare if key[0] == 14)])
        shown = ", ".join("%dx%d %d-bit" % (e[0] or 256, e[1] or 256, e[4]) for e in first)
        self.assertIn("\nicon: %d image%s (%s)\nversion: none\nexecution level: none (no manifest)\n"
                      % (len(first), "s" if len(first) > 1 else "", shown), run("list", self.path("r.exe")).stdout)

    def test_warnings_about_how_windows_starts_it(self):
        """The facts create gives: the output's name, the version strings, the
        level of the manifest it adds, and the wizard (a 32-bit program
        without a manifest, named SETUP.EXE)."""
        write(self.path("m.xml"), MANIFEST)
        refused = "Windows will refuse to start the wizard 'SETUP.EXE' from 'Product.exe' "
        cases = [
            ("Product.exe", [], refused + "(error 740, elevation required)"),
            ("Product.exe", ["--execution-level", "asInvoker"], refused + "(error 740"),
            ("Product.exe", ["--execution-level", "requireAdministrator"], None),
            ("Product.exe", ["--manifest", self.path("m.xml")], refused + "when a user without administrator rights"),
            ("MyProductSetup.exe", [], "administrator rights before 'MyProductSetup.exe' starts: its name holds"),
            ("Product.exe", ["--version-info", "FileDescription=Product Installer"],
             "before 'Product.exe' starts: its version information holds \"install\""),
        ]
        for i, (name, args, warning) in enumerate(cases):
            with self.subTest(name=name, args=args):
                os.makedirs(self.path(str(i)))
                r = self.create(self.path(str(i), name), "--wizard", "SETUP.EXE", *args, self.path("in"))
                self.assertIn(warning, r.stderr) if warning else self.assertNotIn("Windows will", r.stderr)

    def test_refusals(self):
        """Each refusal says what is wrong and leaves no output behind."""
        def file(name, data):
            write(self.path(name), data)
            return self.path(name)

        seven = bytearray(ico_file(seven_images()))
        struct.pack_into("<I", seven, 6 + 16 * 6 + 12, len(seven) - 10)  # the PNG's offset
        marked = png_image(32, extra=png_chunk(b"tEXt", b"Comment\0" + MARKER))
        no_level = MANIFEST.replace(b"requestedExecutionLevel", b"otherElement")
        cases = [
            ("icon: a text file", ["--icon", file("a.txt", b"text\n")], 1, "is neither an icon (.ico) nor a PNG"),
            ("icon: image outside", ["--icon", file("b.ico", bytes(seven))], 1, "image 7 of 7 lies outside the file"),
            ("icon: holds the marker", ["--icon", file("m.png", marked)], 1,
             "the icon's image 1 holds the archive marker's six bytes"),
            # In UTF-16 little-endian these three characters are the marker's bytes.
            ("version: holds the marker", ["--version-info", "Comments=\ueef5\ua1a6\ua5b1"], 1,
             "the version information holds the archive marker's six bytes"),
            ("version: no '='", ["--version-info", "CompanyName"], 2, "is not KEY=VALUE: it has no '='"),
            ("version: a key twice", ["--version-info", "Comments=a", "--version-info", "comments=b"], 1,
             "names the key 'comments' twice"),
            ("version: too long", ["--version-info", "Comments=" + "x" * 40000], 1, "takes 80000 bytes in UTF-16"),
            ("file version: five numbers", ["--file-version", "1.2.3.4.5"], 2, "it has more than four numbers"),
            ("manifest: not XML", ["--manifest", file("x.xml", b"<assembly")], 1, "cannot be the manifest"),
            ("manifest: no level", ["--manifest", file("y.xml", no_level)], 1, "cannot be the manifest"),
            ("level: unknown", ["--execution-level", "admin"], 2, "'admin' is not an execution level"),
            ("level and manifest", ["--execution-level", "asInvoker", "--manifest", file("z.xml", MANIFEST)], 2,
             "excludes"),
        ]
        os.makedirs(self.path("out"))
        for label, args, code, message in cases:
            with self.subTest(label):
                if label == "version: too long":
                    posix_only(self, "a Windows command line holds at most 32767 characters")
                r = self.create(self.path("out", "refused.exe"), *args, self.path("in"), ok=False)
                self.assertEqual((r.returncode, message in r.stderr), (code, True), r.stderr)
                self.assertEqual(os.listdir(self.path("out")), [])

if __name__ == "__main__":
    skip_unless_wine_ready()
    unittest.main()
