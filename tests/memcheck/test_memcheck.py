"""Whole runs of the native binary under Valgrind's memcheck.

The program ends with _exit from inside, so static objects are never destroyed and
the frames of an error report are still live: blocks still reachable then are
expected, and so are "possibly lost" exception objects, which std::exception_ptr
holds through a pointer into the block. A leak is a block definitely or
indirectly lost; any such block and any memory error fails the run.
"""

import os
import unittest

from harness import CLOSING, LauncherCase, command, ini, screen

VALGRIND = os.environ.get("TORVINALE_VALGRIND", "")
FOUND = 99  # exit code when memcheck found something


@unittest.skipUnless(VALGRIND, "TORVINALE_VALGRIND is not set")
class MemcheckTest(LauncherCase):
    def run_memcheck(self):
        log = self.path("memcheck.log")
        cmd = [VALGRIND, "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=all",
               "--errors-for-leak-kinds=definite,indirect", f"--error-exitcode={FOUND}",
               "--child-silent-after-fork=yes", f"--log-file={log}"] + command()
        p = self.run_launcher(stdout="pipe", stderr="pipe", cmd=cmd, timeout=180)
        with open(log) as f:
            report = f.read()
        self.assertNotEqual(p.rc, FOUND, report)
        self.assertIn("ERROR SUMMARY: 0 errors", report)
        self.assertIn("definitely lost: 0 bytes in 0 blocks", report)
        self.assertIn("indirectly lost: 0 bytes in 0 blocks", report)
        return p

    def test_first_run_writes_and_reads_the_default_file(self):
        p = self.run_memcheck()
        self.assertEqual((p.rc, p.err), (0, b""))
        self.assertTrue(self.read_config().startswith(b"[Torvinale]\r\nCountdown=5\r\n"))
        self.assertTrue(p.out.endswith(CLOSING))

    def test_short_countdown_with_an_entry(self):
        entry = self.marker("entry")
        self.write_config(ini(1, 0, [entry]))
        p = self.run_memcheck()
        self.assertEqual((p.rc, p.err), (0, b""))
        self.assertTrue(p.out.startswith(screen(1, [entry]) + screen(0, [entry])))
        self.assertTrue(p.out.endswith(CLOSING))

    def test_error_report(self):
        self.write_config(ini("abc", 0))
        p = self.run_memcheck()
        self.assertEqual((p.rc, p.out), (1, b""))
        self.assertIn(b"'abc' is not a valid integer value.", p.err)


if __name__ == "__main__":
    unittest.main()
