"""Unit tests of the Wine driver's parts that need no Wine: reading
sfxwatch's log, the Windows names of paths, the state a case checks, and
finding and stopping the processes of a prefix."""
import contextlib
import io
import json
import os
import signal
import subprocess
import sys
import tempfile
import unittest
from unittest import mock
from pathlib import Path

import winetest
import wineprefix

LOG = """START t=0 pid=48
WAIT t=900 hwnd=10060 caption=56656c756e617820536f66747761726520 text=4573706572652e
BOX n=1 t=1500 hwnd=10070 caption=56656c756e617820536f667477617265 text=41f30d0d42
CANCEL t=1600 how=close box=1 result=hidden
SHOT t=2100 label=first result=ok
PRESS n=1 t=2200 id=1
PRESS n=1 t=5300 id=1 again=1
BOX n=2 t=6000 hwnd=10080 caption= text=
PRESS n=2 t=6100 id=2
WAITGONE t=6200
EXIT t=7000 code=0
END t=7000 result=0
"""


class ParseLogTest(unittest.TestCase):
    def test_full_log(self):
        r = winetest.parse_log(LOG)
        self.assertTrue(r.finished)
        self.assertFalse(r.timed_out)
        self.assertEqual(r.exit_code, 0)
        self.assertEqual([(b.index, b.caption, b.text, b.pressed) for b in r.boxes],
                         [(1, b"Velunax Software", b"A\xf3\r\rB", [1, 1]), (2, b"", b"", [2])])
        self.assertEqual((r.wait.caption, r.wait.text, r.wait.t_ms, r.wait.gone_ms),
                         (b"Velunax Software ", b"Espere.", 900, 6200))
        self.assertEqual((r.cancel.how, r.cancel.box, r.cancel.result), ("close", 1, "hidden"))
        self.assertEqual(r.shot_results, {"first": "ok"})

    def test_unfinished_and_timeout(self):
        r = winetest.parse_log("START t=0 pid=1\nTIMEOUT t=9\n")
        self.assertTrue(r.timed_out)
        self.assertFalse(r.finished)
        self.assertIsNone(r.exit_code)
        self.assertIsNone(r.wait)

    def test_error_record_kept(self):
        r = winetest.parse_log("ERROR t=3 createprocess=2\nEND t=4 result=2\n")
        self.assertEqual(r.errors, ["t=3 createprocess=2"])

    def test_malformed_lines_are_refused(self):
        bad = [
            "BOX n=1 t=1 caption=zz text=00",        # not hex
            "BOX n=1 t=1 caption=00",                # text missing
            "BOX n=2 t=1 caption= text=",            # numbered out of order
            "PRESS n=1 t=1 id=1",                    # press before any box
            "WAITGONE t=1",                          # gone before seen
            "HELLO t=1",                             # unknown record
            "EXIT code",                             # field without '='
        ]
        for line in bad:
            with self.subTest(line=line), self.assertRaises(ValueError):
                winetest.parse_log(line + "\n")


class PathsTest(unittest.TestCase):
    def test_win_path(self):
        self.assertEqual(winetest.win_path(Path("/tmp/a b/\u00e9.exe")), b"Z:\\tmp\\a b\\\xe9.exe")

    def test_win_path_outside_code_page(self):
        with self.assertRaises(UnicodeEncodeError):
            winetest.win_path(Path("/tmp/\u4e2d"))

    def test_temp_dir_of_prefix(self):
        with tempfile.TemporaryDirectory() as build:
            h = winetest.Harness(Path(build))
            temp = h.prefix / "drive_c" / "users" / "someone" / "Temp"
            temp.mkdir(parents=True)
            (h.prefix / "drive_c" / "users" / "Public" / "Temp").mkdir(parents=True)
            own = h.prefix / "drive_c" / "users" / winetest.getpass.getuser() / "Temp"
            self.assertEqual(h.temp_dir(), own if own.is_dir() else temp)

    def test_copy_into_folder_with_blanks(self):
        with tempfile.TemporaryDirectory() as build:
            h = winetest.Harness(Path(build))
            source = Path(build) / "x.exe"
            source.write_bytes(b"MZ\x00\x01")
            copied = h.copy_into(source, "a folder", "b c.exe")
            self.assertEqual(copied, h.runs / "a folder" / "b c.exe")
            self.assertEqual(copied.read_bytes(), b"MZ\x00\x01")


class StateTest(unittest.TestCase):
    def harness_with(self, state):
        build = tempfile.TemporaryDirectory()
        self.addCleanup(build.cleanup)
        h = winetest.Harness(Path(build.name))
        if state is not None:
            h.wine_dir.mkdir(parents=True)
            h.state_file.write_text(json.dumps(state))
        return winetest.Harness(Path(build.name))

    def test_cases_skip_unless_setup_succeeded(self):
        for state in (None, {"status": "starting"}, {"status": "skip", "reason": "no wine here"}):
            with self.subTest(state=state), self.assertRaises(winetest.Skip):
                self.harness_with(state).require_ready()
        with self.assertRaisesRegex(winetest.Skip, "no wine here"):
            self.harness_with({"status": "skip", "reason": "no wine here"}).require_ready()
        self.harness_with({"status": "ok"}).require_ready()

    def test_a_case_skips_before_it_touches_a_half_made_prefix(self):
        for state in (None, {"status": "starting"}, {"status": "skip", "reason": "wineboot failed"}):
            with self.subTest(state=state):
                h = self.harness_with(state)
                (h.prefix / "drive_c" / "users").mkdir(parents=True)    # no Temp folder in it
                done = subprocess.run([sys.executable, "-B", "cases.py", str(h.build), "extract_nested_stored"],
                                      capture_output=True, cwd=Path(__file__).parent)
                self.assertEqual(done.returncode, winetest.SKIP_CODE, done.stdout)

    def test_environment(self):
        h = self.harness_with({"status": "ok", "display": ":42", "locale": "C.UTF-8",
                               "preload": "/x/$LIB/libsfxwinefix.so"})
        env = h.env({"EXTRA": "1"})
        self.assertEqual(env["DISPLAY"], ":42")
        self.assertEqual(env["WINEARCH"], "win32")
        self.assertEqual(env["WINEPREFIX"], str(h.prefix))
        self.assertEqual(env["LD_PRELOAD"], "/x/$LIB/libsfxwinefix.so")
        self.assertEqual(env["LC_ALL"], "C.UTF-8")
        self.assertIn("mscoree,mshtml=", env["WINEDLLOVERRIDES"])
        self.assertEqual(env["EXTRA"], "1")

    def test_registry_settings_are_regedit4(self):
        text = winetest._registry_settings()
        self.assertTrue(text.startswith("REGEDIT4\r\n"))
        self.assertIn('"Decorated"="N"', text)
        text.encode("ascii")


class ProcessesTest(unittest.TestCase):
    def test_processes_of_a_prefix(self):
        me, parent = os.getpid(), 99999999
        # pid: (environment, None where unreadable; parent pid). Only 100 counts:
        # another prefix, the name inside a value, a zombie, this process and its parent do not.
        table = {100: (b"A=1\0WINEPREFIX=/p\0", 1), 101: (b"WINEPREFIX=/p2\0", 1), 102: (b"X=WINEPREFIX=/p\0", 1),
                 103: (b"", 1), 104: (None, 1), me: (b"WINEPREFIX=/p\0", parent), parent: (b"WINEPREFIX=/p\0", 1)}
        with tempfile.TemporaryDirectory() as root:
            for pid, (environ, ppid) in table.items():
                (Path(root) / str(pid)).mkdir()
                (Path(root) / str(pid) / "stat").write_text(f"{pid} (a (b) c) S {ppid} 0\n")
                if environ is not None:
                    (Path(root) / str(pid) / "environ").write_bytes(environ)
            self.assertEqual(winetest.processes_of(Path("/p"), Path(root)), [100])

    def spawn(self, prefix: Path, stubborn: bool) -> subprocess.Popen:
        """A process of the prefix; a stubborn one ignores SIGTERM. It says "up"
        only once it runs: a process in the middle of exec shows no environment."""
        code = ("import signal, sys, time\n" + ("signal.signal(signal.SIGTERM, signal.SIG_IGN)\n" if stubborn else "")
                + "print('up', flush=True)\ntime.sleep(600)\n")
        child = subprocess.Popen([sys.executable, "-c", code],
                                 stdout=subprocess.PIPE, env=dict(os.environ, WINEPREFIX=str(prefix)))
        self.addCleanup(lambda: (child.kill(), child.wait(), child.stdout.close()))
        self.assertEqual(child.stdout.readline(), b"up\n")
        return child

    def test_server_running_looks_for_the_prefix_s_wineserver(self):
        with tempfile.TemporaryDirectory() as build:
            h = winetest.Harness(Path(build))
            self.spawn(h.prefix, False)                   # a Wine program of the prefix, no server
            server = subprocess.Popen(["wineserver32", "600"], executable="sleep",
                                      env=dict(os.environ, WINEPREFIX=str(Path(build) / "other")))
            self.addCleanup(lambda: (server.kill(), server.wait()))
            self.assertFalse(h.server_running())          # the server of another prefix does not count
            server.kill(), server.wait()
            server = subprocess.Popen(["wineserver32", "600"], executable="sleep",
                                      env=dict(os.environ, WINEPREFIX=str(h.prefix)))
            self.assertTrue(h.server_running())

    def test_setup_and_cleanup_stop_what_an_earlier_setup_left(self):
        # action, arguments after the build folder, exit codes, a stubborn process, how it ends (None: it runs on)
        table = [("setup", ["preload"], (1, winetest.SKIP_CODE), False, -signal.SIGTERM),  # fails: no cross build
                 ("cleanup", [], (0,), True, -signal.SIGKILL),
                 ("leftovers", [], (1,), False, None)]
        for action, extra, codes, stubborn, end in table:
            with self.subTest(action=action), tempfile.TemporaryDirectory() as build, \
                    mock.patch.object(wineprefix, "STOP_GRACE", 0.2), contextlib.redirect_stdout(io.StringIO()):
                h = winetest.Harness(Path(build))
                h.wine_dir.mkdir(parents=True)
                h.state_file.write_text('{"status": "ok"}')
                left, other = self.spawn(h.prefix, stubborn), self.spawn(Path(build) / "other", False)
                self.assertIn(winetest.main(["winetest.py", action, build, *extra]), codes)
                self.assertEqual(left.wait(60) if end else left.poll(), end)
                self.assertIsNone(other.poll())
                if end:
                    state = json.loads(h.state_file.read_text()) if h.state_file.exists() else {}
                    self.assertNotEqual(state.get("status"), "ok")
                    self.assertEqual(winetest.main(["winetest.py", "leftovers", build]), 0)

    def test_make_prefix_fails_fast_where_the_server_or_wineboot_does_not_come_up(self):
        # A stand-in wineserver: "-p" starts a lasting process named like the
        # server, unless FAKE_SERVER=none.
        bin_dir = Path(tempfile.mkdtemp())
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", str(bin_dir)]))
        (bin_dir / "wineserver").write_text(
            "#!/bin/sh\n[ \"$1\" = -p ] && [ \"$FAKE_SERVER\" != none ] || exit 0\n"
            "exec python3 -c 'import subprocess; subprocess.Popen([\"wineserver\", \"600\"], executable=\"sleep\", "
            "start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)'\n")
        (bin_dir / "wineserver").chmod(0o755)
        busy = "import time, os, sys\nend = time.monotonic() + 3\nwhile time.monotonic() < end: pass\n" \
               "os.makedirs(os.path.join(sys.argv[1], 'drive_c/windows/system32'))"
        # server, wineboot, expected failure (None: the prefix is made)
        table = [("none", ["true"], "no wineserver runs"),
                 ("run", ["sleep", "600"], "no sign of life for 1 s"),
                 ("run", ["python3", "-c", busy], None)]
        for server, boot, failure in table:
            with self.subTest(server=server, boot=boot[0]), tempfile.TemporaryDirectory() as work, \
                    mock.patch.object(wineprefix, "SERVER_START", 1.0), mock.patch.object(wineprefix, "BOOT_STALL", 1.0):
                prefix = Path(work) / "prefix"
                env = dict(os.environ, WINEPREFIX=str(prefix), FAKE_SERVER=server,
                           PATH=f"{bin_dir}:{os.environ['PATH']}")
                made = wineprefix.WinePrefix(prefix, env)
                self.addCleanup(made.stop)
                argv = boot + [str(prefix)] if failure is None else boot
                if failure is None:
                    made.make(argv, Path(work) / "boot.out", limit=60)
                else:
                    with self.assertRaisesRegex(wineprefix.PrefixFailure, failure):
                        made.make(argv, Path(work) / "boot.out", limit=60)
                made.stop()


if __name__ == "__main__":
    unittest.main()
