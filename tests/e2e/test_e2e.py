"""End-to-end runs of the real binary: the same cases natively and under Wine."""

import os
import shutil
import subprocess
import time
import unittest

from harness import (CLOSING, EXE, LauncherCase, WINE, command, confirmation, host_path, ini,
                     prepare_runner, screen, BANNER, RULE, BINARY, RUNNER)

DEFAULT_ENTRY = "c:\\windows\\notepad.exe"
DEFAULT_FILE = (b"[Torvinale]\r\nCountdown=5\r\nPause=1500\r\nProgram1=c:\\windows\\notepad.exe\r\n"
                + b"".join(b"Program%d=\r\n" % n for n in range(2, 11)))

# Fixed waits of a run: one tick, the wait before the launches, the closing wait.
BASE_WAIT = 1.0 + 0.1 + 2.0
SLACK = 6.0  # generous: two shared cores, Wine start-up


class MainLineTest(LauncherCase):
    def test_first_run_writes_the_default_file_and_counts_down_from_five(self):
        r = self.run_launcher()
        self.assertEqual(r.rc, 0)
        self.assertEqual(r.err, b"")
        self.assertEqual(self.read_config(), DEFAULT_FILE)
        # The default entry exists only on Windows.
        expected = b"".join(screen(n, [DEFAULT_ENTRY]) for n in range(5, -1, -1))
        expected += confirmation(1, launched=WINE) + CLOSING
        self.assertEqual(r.out, expected)
        self.assertGreaterEqual(r.elapsed, 6 + 0.1 + 1.5 + 2)

    def test_short_countdown_without_entries(self):
        self.write_config(ini(2, 0))
        r = self.run_launcher()
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertEqual(r.out, screen(2) + screen(1) + screen(0) + CLOSING)
        self.assertNotIn(b"\x1b", r.out)
        self.assertGreaterEqual(r.elapsed, 3 + 0.1 + 2)
        self.assertLess(r.elapsed, 3 + 0.1 + 2 + SLACK)
        self.assertEqual(self.read_config(), ini(2, 0))

    def test_negative_countdown_shows_one_screen_with_its_value(self):
        self.write_config(ini(-3, 0))
        r = self.run_launcher()
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertEqual(r.out, screen(-3) + CLOSING)
        self.assertGreaterEqual(r.elapsed, BASE_WAIT)

    def test_two_character_entries_are_shown_but_never_opened(self):
        self.write_config(ini(0, 1500, ["ab", "", "xyz"]))
        r = self.run_launcher()
        self.assertEqual(r.rc, 0)
        # "xyz" is tried (and refused: no such file); "ab" gets no line and no pause.
        self.assertEqual(r.out, screen(0, ["ab", "", "xyz"]) + confirmation(3, False) + CLOSING)
        self.assertGreaterEqual(r.elapsed, BASE_WAIT + 1.5)
        self.assertLess(r.elapsed, BASE_WAIT + 1.5 + SLACK)

    def test_entries_are_opened_in_order_with_the_pause_after_each(self):
        first, second = self.marker("first"), self.marker("second")
        self.write_config(ini(0, 800, [first, "", second]))
        start_ms = time.time() * 1000
        r = self.run_launcher()
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertEqual(r.out, screen(0, [first, "", second]) + confirmation(1) +
                         confirmation(3) + CLOSING)
        rows = self.markers(2)
        self.assertEqual([name for name, _ in rows], ["first" + EXE, "second" + EXE])
        self.assertGreaterEqual(rows[0][1] - start_ms, 1100 - 50)
        # Each marker notes its own start, which lags its launch by a varying amount (most
        # under Wine): the gap shows the pause, not its exact length; elapsed time does that.
        self.assertGreaterEqual(rows[1][1] - rows[0][1], 800 // 2)
        self.assertGreaterEqual(r.elapsed, BASE_WAIT + 1.6)

    def test_refused_launch_is_reported_and_still_followed_by_its_pause(self):
        missing = host_path(self.path("missing-program"))
        self.write_config(ini(0, 1000, [missing]))
        r = self.run_launcher()
        self.assertEqual(r.rc, 0)
        self.assertEqual(r.out, screen(0, [missing]) + confirmation(1, False) + CLOSING)
        self.assertGreaterEqual(r.elapsed, BASE_WAIT + 1.0)

    def test_output_into_a_pipe_is_the_same_text(self):
        self.write_config(ini(1, 0))
        r = self.run_launcher(stdout="pipe")
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertEqual(r.out, screen(1) + screen(0) + CLOSING)


if __name__ == "__main__":
    unittest.main()
