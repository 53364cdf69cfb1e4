"""Inputs at or past the limits: huge or odd config files, long entries, deep or removed
working folders. A clear result or a clear report, never a crash or a hang."""

import os
import time
import unittest

from harness import (CLOSING, DEFAULT_FILE, REPORT, WINE, LauncherCase, confirmation, ini,
                     screen)

USER = ini(0, 0, ["ab"])


class EdgeInputTest(LauncherCase):
    def assertEndsClearly(self, r):
        if r.rc == 0:
            self.assertTrue(r.out.endswith(CLOSING))
            self.assertEqual(r.err, b"")
        else:
            self.assertEqual(r.rc, 1)
            self.assertIsNotNone(REPORT.fullmatch(r.err[:1023] + r.err[-4:]) or
                                 len(r.err) == 1025, r.err[:200])

    def test_config_of_several_megabytes_with_ten_thousand_sections(self):
        parts = [b"[S%d]\r\nKey=%s\r\n" % (n, b"v" * 400) for n in range(10000)]
        self.write_config(b"".join(parts) + ini(0, 0, ["ab"]))
        self.assertGreater(os.path.getsize(self.path("config.ini")), 4_000_000)
        r = self.run_launcher(timeout=60)
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertEqual(r.out, screen(0, ["ab"]) + CLOSING)

    def test_line_of_a_million_characters(self):
        # Wine's shell cannot take the 2047 characters of a cut entry.
        long_entry = b"" if WINE else b"\r\nProgram2=" + b"z" * 1_000_000
        self.write_config(b"; " + b"x" * 1_000_000 + b"\r\n" + ini(0, 0, ["ab"]) +
                          b"Notes=" + b"y" * 1_000_000 + long_entry)
        r = self.run_launcher(timeout=60)
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertIn(b"Program 1: ab\r\n", r.out)
        if not WINE:
            self.assertIn(b"Program 2: " + b"z" * 2047 + b"\r\n", r.out)
            self.assertNotIn(b"z" * 2048, r.out)

    @unittest.skipIf(WINE, "Wine's shell crashes on names of a thousand characters")
    def test_longest_entry_is_refused_as_no_such_file(self):
        entry = "/" + "y" * 2046
        self.write_config(ini(-1, 0, [entry]))
        r = self.run_launcher()
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertEqual(r.out, screen(-1, [entry]) + confirmation(1, False) + CLOSING)

    def test_nul_bytes_in_the_file(self):
        self.write_config(b"[Torvinale]\r\nCountdown=0\r\nPause=0\x005\r\nProgram1=a\x00bc\r\n\x00\x00")
        r = self.run_launcher()
        self.assertEndsClearly(r)
        self.assertEqual(r.rc, 0)
        self.assertIn(b"Program 1: a\r\n", r.out)

    def test_working_directory_of_a_thousand_characters(self):
        path = self.dir
        while len(path) < 1000:
            path = os.path.join(path, "d" * min(200, 1000 - len(path) - 1 or 1))
        os.makedirs(path)
        with open(os.path.join(path, "config.ini"), "wb") as f:
            f.write(ini(0, 0))
        r = self.run_launcher(stdout="pipe", stderr="pipe", folder=path, timeout=60)
        if WINE and r.rc not in (0, 1):
            self.skipTest("Wine cannot start a program in a folder this deep")
        self.assertEqual(r.rc, 0, r.err)
        self.assertEqual(r.out, screen(0) + CLOSING)

    def test_first_run_in_a_thousand_character_directory_writes_there(self):
        if WINE:
            self.skipTest("Windows paths stop at 260 characters")
        path = self.dir
        while len(path) < 1000:
            path = os.path.join(path, "e" * 150)
        os.makedirs(path)
        r = self.run_launcher(stdout="pipe", stderr="pipe", folder=path, timeout=60)
        with open(os.path.join(path, "config.ini"), "rb") as f:
            self.assertEqual(f.read(), DEFAULT_FILE)
        self.assertIn(r.rc, (0,))

    @unittest.skipIf(WINE, "Wine does not start a program in a removed folder")
    def test_removed_working_directory_is_reported_not_written_elsewhere(self):
        gone = self.path("gone")
        os.mkdir(gone)
        r = self.run_launcher(stdout="pipe", stderr="pipe", timeout=60,
                              preexec=lambda: (os.chdir(gone), os.rmdir(gone)))
        self.assertEqual((r.rc, r.out), (1, b""))
        self.assertRegex(r.err, rb"\r\nUnable to write to \./config\.ini\.\r\n\r\n$")
        self.assertFalse(os.path.exists("/config.ini"))

    @unittest.skipIf(WINE, "Windows paths stop at 260 characters")
    def test_folder_deeper_than_the_system_path_limit(self):
        # Built a folder at a time: no path to it fits in one system call.
        fd = os.open(self.dir, os.O_RDONLY)
        depth = len(self.dir)
        while depth <= 4096 + 200:
            os.mkdir("d" * 200, dir_fd=fd)
            inner = os.open("d" * 200, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd, depth = inner, depth + 201
        self.addCleanup(os.close, fd)

        def config():
            with os.fdopen(os.open("config.ini", os.O_RDONLY, dir_fd=fd), "rb") as f:
                return f.read()

        with os.fdopen(os.open("config.ini", os.O_WRONLY | os.O_CREAT, dir_fd=fd), "wb") as f:
            f.write(USER)
        r = self.run_launcher(preexec=lambda: os.fchdir(fd))
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertEqual(r.out, screen(0, ["ab"]) + CLOSING)
        self.assertEqual(config(), USER)

        # A first run there writes the defaults and reads them back: the first screen
        # counts from 5.
        os.unlink("config.ini", dir_fd=fd)
        proc = self.start(stdout="file", preexec=lambda: os.fchdir(fd))
        deadline = time.time() + 60
        while time.time() < deadline:
            with open(self.path("stdout.bin"), "rb") as f:
                if b"Countdown: 5 \r\n" in f.read():
                    break
            self.assertIsNone(proc.poll())
            time.sleep(0.05)
        self.assertEqual(config(), DEFAULT_FILE)


if __name__ == "__main__":
    unittest.main()
