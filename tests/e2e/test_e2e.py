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


# One config.ini as editors save it. The comment's "ë" makes each form differ in
# bytes; what the screen shows is ASCII, so both builds show the same.
SAVED = ("; Zo\u00eb's start\r\n[Torvinale]\r\n Countdown = -2\r\nPause=0\r\n"
         "Program1=xyz\r\nProgram2=\"a b\"\r\n")
SAVED_FORMS = {
    "ANSI, CRLF": SAVED.encode("cp1252"),
    "ANSI, LF": SAVED.replace("\r\n", "\n").encode("cp1252"),
    "ANSI, lone CR": SAVED.replace("\r\n", "\r").encode("cp1252"),
    "ANSI, Ctrl-Z at the end": SAVED.encode("cp1252") + b"\x1a",
    "UTF-8 with BOM": b"\xef\xbb\xbf" + SAVED.encode(),
    "UTF-16 LE with BOM, CRLF": b"\xff\xfe" + SAVED.encode("utf-16-le"),
    "UTF-16 LE with BOM, LF": b"\xff\xfe" + SAVED.replace("\r\n", "\n").encode("utf-16-le"),
    "UTF-16 BE with BOM": b"\xfe\xff" + SAVED.encode("utf-16-be"),
}


class SavedFormsTest(LauncherCase):
    def test_every_form_an_editor_saves_reads_alike_and_stays_as_it_was(self):
        expected = screen(-2, ["xyz", "a b"]) + confirmation(1, False) + confirmation(2, False)
        for form, data in SAVED_FORMS.items():
            with self.subTest(form):
                self.write_config(data)
                r = self.run_launcher()
                self.assertEqual((r.rc, r.err, r.out), (0, b"", expected + CLOSING))
                self.assertEqual(self.read_config(), data)

    def test_entry_in_a_folder_with_a_non_ascii_name_opens_when_saved_in_utf8_or_ansi(self):
        os.mkdir(self.path("Zo\u00eb's tools"))
        entry = self.marker(os.path.join("Zo\u00eb's tools", "mark"))
        log = self.path(os.path.join("Zo\u00eb's tools", "markers.log"))
        # Names of files are bytes on Linux: there only the UTF-8 form names the folder.
        for encoding, opens in (("utf-8", True), ("cp1252", WINE)):
            with self.subTest(encoding):
                saved = entry.encode(encoding).decode("latin-1")  # its bytes, one per char
                self.write_config(ini(0, 0, [saved]))
                r = self.run_launcher()
                self.assertEqual(r.out, screen(0, [saved]) + confirmation(1, opens) + CLOSING)
                self.assertEqual(len(self.markers(int(opens), log)), int(opens))
                if opens:
                    os.remove(log)


if __name__ == "__main__":
    unittest.main()
