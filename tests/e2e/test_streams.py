"""Standard streams in odd states: closed, a pipe whose reader goes, a slow non-blocking
reader, a terminal. A clear exit code, and nothing written where it does not belong."""

import fcntl
import os
import subprocess
import time
import unittest

from harness import (CLOSING, DEFAULT_FILE, WINE, LauncherCase, confirmation,
                     controlling_terminal, ini, screen)


class StreamStateTest(LauncherCase):
    def test_standard_error_closed_too_still_ends_with_code_one(self):
        self.write_config(ini("abc", 0))
        r = self.run_launcher(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60,
                              preexec=lambda: os.close(2))
        self.assertEqual(r.rc, 1)

    @unittest.skipIf(WINE, "Wine hands the closed descriptors to files of its own")
    def test_both_output_streams_closed(self):
        self.write_config(ini(0, 0))
        r = self.run_launcher(stdout=None, stderr=None, timeout=60,
                              preexec=lambda: (os.close(1), os.close(2)))
        self.assertEqual(r.rc, 1)
        self.assertEqual(self.read_config(), ini(0, 0))

    @unittest.skipIf(WINE, "standard output closed is only reachable natively")
    def test_closed_output_never_lands_in_a_file_the_program_opens(self):
        r = self.run_launcher(stdout=None, stderr="pipe", timeout=60, preexec=lambda: os.close(1))
        self.assertEqual(r.rc, 1)
        self.assertIn(b"I/O error 105.", r.err)
        self.assertEqual(self.read_config(), DEFAULT_FILE)

    def test_pipe_closed_early_after_the_first_screen(self):
        self.write_config(ini(3, 0))
        proc = self.start(stdout="pipe", stderr="pipe")
        proc.stdout.read(128)
        proc.stdout.close()
        err = proc.stderr.read()
        proc.stderr.close()
        proc.wait(timeout=60)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(err.count(b"Exception EInOutError"), 1, err)

    def test_terminal_output_has_cursor_moves_and_ends_normally(self):
        self.write_config(ini(0, 0))
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        try:
            proc = self.start(stdin=slave, stdout=slave, stderr=slave, start_new_session=True,
                              preexec=controlling_terminal)
        finally:
            os.close(slave)
        data = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # every writer gone
                break
            if not chunk:
                break
            data += chunk
        self.assertEqual(proc.wait(timeout=60), 0)
        self.assertIn(b"Closing program...", data)
        if not WINE:
            self.assertIn(b"\x1b[3;16Hms\r", data)

    @unittest.skipIf(WINE, "pipe sizes and non-blocking descriptors are set natively only")
    def test_non_blocking_standard_output_waits_for_a_slow_reader(self):
        entries = ["x" * 400] * 10  # two screens overflow a one-page pipe
        self.write_config(ini(1, 0, entries))
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ
        fcntl.fcntl(write_end, fcntl.F_SETFL, fcntl.fcntl(write_end, fcntl.F_GETFL) | os.O_NONBLOCK)
        proc = self.start(stdout=write_end, stderr="file")
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            first = pipe.read(1)
            time.sleep(1.5)  # the launcher meets a full pipe meanwhile
            data = first + pipe.read()
        self.assertEqual(proc.wait(timeout=60), 0)
        self.assertEqual(data, screen(1, entries) + screen(0, entries) +
                         b"".join(confirmation(n, False) for n in range(1, 11)) + CLOSING)


if __name__ == "__main__":
    unittest.main()
