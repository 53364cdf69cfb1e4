"""The countdown in a real terminal: tmux runs the binary, capture-pane reads the screen."""

import os
import shlex
import shutil
import subprocess
import time
import unittest

from harness import BANNER, RULE, LauncherCase, command, ini


@unittest.skipUnless(shutil.which("tmux"), "tmux is not installed")
class TerminalTest(LauncherCase):
    def setUp(self):
        super().setUp()
        self.session = "torvinale-%d" % os.getpid()
        self.addCleanup(subprocess.run, ["tmux", "kill-session", "-t", self.session],
                        stderr=subprocess.DEVNULL, check=False)

    def pane(self):
        out = subprocess.run(["tmux", "capture-pane", "-p", "-t", self.session],
                             capture_output=True, text=True, check=True).stdout
        return out.split("\n")

    def wait_for(self, text, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            rows = self.pane()
            if any(text in row for row in rows):
                return rows
            time.sleep(0.05)
        self.fail("never saw %r; screen was:\n%s" % (text, "\n".join(self.pane())))

    def test_rows_are_redrawn_in_place_without_a_stray_digit(self):
        self.write_config(ini(10, 0, ["abc"]))
        env = " ".join("%s=%s" % (k, shlex.quote(v)) for k, v in os.environ.items()
                       if k.startswith("WINE"))
        cmd = "cd %s && env %s %s; sleep 60" % (shlex.quote(self.dir), env,
                                                 " ".join(map(shlex.quote, command())))
        subprocess.run(["tmux", "new-session", "-d", "-s", self.session, "-x", "100", "-y", "40",
                        cmd], check=True)
        self.wait_for("Countdown: 10 ")
        rows = self.wait_for("Countdown: 9 ")
        self.assertEqual(rows[0], RULE)
        self.assertEqual(rows[1], BANNER)
        self.assertEqual(rows[2].rstrip(), "Countdown: 9   ms")
        self.assertEqual(rows[3], RULE)
        self.assertEqual(rows[4], "Program 1: abc")
        self.assertEqual(rows[13], "Program 10:")
        rows = self.wait_for("Countdown: 8 ")
        self.assertEqual(sum(1 for row in rows if row.startswith("Countdown:")), 1)
        self.assertEqual(sum(1 for row in rows if row == RULE), 2)


if __name__ == "__main__":
    unittest.main()
