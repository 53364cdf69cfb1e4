"""End-to-end runs of the real binary: the same cases natively and under Wine."""

import concurrent.futures
import os
import shutil
import time
import unittest

from harness import (CLOSING, DEFAULT_ENTRY, DEFAULT_FILE, EXE, MARKER, SEP, WINE, LauncherCase,
                     confirmation, host_path, ini, screen)


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
                folder = self.scenario()
                self.write_config(data, folder)
                r = self.run_launcher(folder=folder)
                self.assertEqual((r.rc, r.err, r.out), (0, b"", expected + CLOSING))
                self.assertEqual(self.read_config(folder), data)

    def test_entry_in_a_folder_with_a_non_ascii_name_opens_when_saved_in_utf8_or_ansi(self):
        # Names of files are bytes on Linux: there only the UTF-8 form names the folder.
        for encoding, opens in (("utf-8", True), ("cp1252", WINE)):
            with self.subTest(encoding):
                folder = self.scenario()
                tools = os.path.join(folder, "Zo\u00eb's tools")
                os.mkdir(tools)
                entry = self.marker(os.path.join(tools, "mark"))
                saved = entry.encode(encoding).decode("latin-1")  # its bytes, one per char
                self.write_config(ini(0, 0, [saved]), folder)
                r = self.run_launcher(folder=folder)
                self.assertEqual(r.out, screen(0, [saved]) + confirmation(1, opens) + CLOSING)
                log = os.path.join(tools, "markers.log")
                self.assertEqual(len(self.markers(int(opens), log)), int(opens))


# A user's folder as Windows names it in the ANSI code page (1252 under Wine): "?" for
# every UTF-16 unit it lacks, a best fit for some letters. Each row runs as that user
# meets it: a first run, a config.ini saved as UTF-16 (as Notepad offers) naming two
# programs, one relative and one by its full path, a bad value, and a config.ini that
# cannot be written (a folder), whose report names the folder.
FOLDER_NAMES = [
    ("Latin-1 accents", "Zo\u00e9", "Zo\u00e9"),
    ("Cyrillic", "\u0414\u043c\u0438\u0442\u0440\u0438\u0439", "???????"),
    ("Greek", "\u0395\u03bb\u03ad\u03bd\u03b7", "?????"),
    ("CJK", "\u738b\u82b3", "??"),
    ("emoji", "Emoji \U0001f600", "Emoji ??"),
    ("a look-alike folder beside it", "\u010capek", "Capek"),
]


class FolderNamesTest(LauncherCase):
    """The program in a user's own folder, whatever its name holds, never in the folder
    that the name's ANSI text may name instead."""

    # Wine names such folders only under a UTF-8 locale, else starts in C:\windows.
    ENV = dict(os.environ, LC_ALL="C.UTF-8")

    def folder(self, scenario, name, look_alike=None):
        """The per-user layout the installer uses; a look-alike sibling holds a
        config.ini and a program of its own that must stay untouched."""
        path = os.path.join(self.dir, scenario, "Users", name, "AppData", "Programs", "Torvinale")
        os.makedirs(path)
        if look_alike and look_alike != name and "?" not in look_alike:
            other = os.path.join(self.dir, scenario, "Users", look_alike, "AppData", "Programs",
                                 "Torvinale")
            os.makedirs(other)
            shutil.copy(MARKER, os.path.join(other, "abs" + EXE))
            with open(os.path.join(other, "config.ini"), "wb") as f:
                f.write(ini(0, 0, ["abs" + EXE]))
        return path

    def shown(self, path, ansi_name, name, code_page="cp1252"):
        """A path as the program shows it: the ANSI form on Windows (in code_page, the
        ANSI one by default), the bytes elsewhere."""
        text = host_path(path)
        return text.replace(name, ansi_name).encode(code_page) if WINE else text.encode()

    def test_first_run_entries_and_reports_in_folders_of_any_name(self):
        runs = []
        for label, name, ansi_name in FOLDER_NAMES:
            first = self.folder("first", name, ansi_name)
            existing = self.folder("existing", name, ansi_name)
            relative = "." + SEP + "rel" + EXE
            full = os.path.join(existing, "abs" + EXE)
            for program in ("rel", "abs"):
                shutil.copy(MARKER, os.path.join(existing, program + EXE))
            saved = ("[Torvinale]\r\nCountdown=0\r\nPause=0\r\nProgram1=" + relative +
                     "\r\nProgram2=" + host_path(full) + "\r\n")
            with open(os.path.join(existing, "config.ini"), "wb") as f:
                f.write(b"\xff\xfe" + saved.encode("utf-16-le"))
            bad = self.folder("bad", name, ansi_name)
            with open(os.path.join(bad, "config.ini"), "wb") as f:
                f.write(ini("abc", 0))
            unwritable = self.folder("unwritable", name, ansi_name)
            os.mkdir(os.path.join(unwritable, "config.ini"))
            runs += [(label, "first", first, name, ansi_name),
                     (label, "existing", existing, name, ansi_name),
                     (label, "bad", bad, name, ansi_name),
                     (label, "unwritable", unwritable, name, ansi_name)]
        # At once: a first run alone counts down for six seconds.
        with concurrent.futures.ThreadPoolExecutor(len(runs)) as pool:
            results = list(pool.map(
                lambda run: self.run_launcher(env=self.ENV, folder=run[2]), runs))

        for (label, scenario, folder, name, ansi_name), r in zip(runs, results):
            with self.subTest(label, scenario=scenario):
                if scenario == "first":
                    self.assertEqual((r.rc, r.err), (0, b""))
                    self.assertEqual(self.read_config(folder), DEFAULT_FILE)
                    self.assertTrue(r.out.startswith(screen(5, [DEFAULT_ENTRY])))
                elif scenario == "existing":
                    self.assertEqual((r.rc, r.err), (0, b""))
                    entries = ["." + SEP + "rel" + EXE,
                               self.shown(os.path.join(folder, "abs" + EXE), ansi_name,
                                          name).decode("latin-1")]
                    self.assertEqual(r.out, screen(0, entries) + confirmation(1) +
                                     confirmation(2) + CLOSING)
                    names = sorted(n for n, _ in self.markers(2, os.path.join(folder,
                                                                              "markers.log")))
                    self.assertEqual(names, ["abs" + EXE, "rel" + EXE])
                elif scenario == "bad":
                    self.assertEqual(r.rc, 1)
                    self.assertEqual(r.out, b"")
                    self.assertTrue(r.err.endswith(b"\r\n'abc' is not a valid integer value."
                                                   b"\r\n\r\n"), r.err)
                    self.assertEqual(self.read_config(folder), ini("abc", 0))
                else:
                    self.assertEqual((r.rc, r.out), (1, b""))
                    # In the console's code page: OEM, 437 under Wine here.
                    config = self.shown(os.path.join(folder, "config.ini"), ansi_name, name,
                                        "cp437")
                    self.assertReport(r.err, "EIniFileException",
                                      "Unable to write to %s." % config.decode("latin-1"))
                    self.assertTrue(os.path.isdir(os.path.join(folder, "config.ini")))
                other = folder.replace(os.sep + name + os.sep, os.sep + ansi_name + os.sep)
                if other != folder and os.path.isdir(other):
                    self.assertEqual(sorted(os.listdir(other)), ["abs" + EXE, "config.ini"])
                    with open(os.path.join(other, "config.ini"), "rb") as f:
                        self.assertEqual(f.read(), ini(0, 0, ["abs" + EXE]))

    def test_first_run_where_config_ini_just_fits_the_path_limit(self):
        # Its own path is within MAX_PATH; the usual name of the new file beside it is not,
        # and the shorter one that Windows takes there was left by a run killed before.
        padding = 259 - len(host_path(self.dir + "/") + "\\config.ini")
        folder = self.path("d" * padding)
        os.mkdir(folder)
        self.assertEqual(len(host_path(folder) + "\\config.ini"), 259)
        with open(os.path.join(folder, "~cfg00.tmp"), "wb") as f:
            f.write(b"[Torvinale]\r\nCount")
        above = os.stat(self.dir).st_mtime_ns
        r = self.run_launcher(folder=folder)
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertEqual(self.read_config(folder), DEFAULT_FILE)
        self.assertEqual(sorted(os.listdir(folder)),
                         ["config.ini", "stderr.bin", "stdout.bin", "~cfg00.tmp"])
        with open(os.path.join(folder, "~cfg00.tmp"), "rb") as f:
            self.assertEqual(f.read(), b"[Torvinale]\r\nCount")
        # Nothing made in the folder above, not even for a moment.
        self.assertEqual(os.listdir(self.dir), [os.path.basename(folder)])
        self.assertEqual(os.stat(self.dir).st_mtime_ns, above)


if __name__ == "__main__":
    unittest.main()
