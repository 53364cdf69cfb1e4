"""Entries are file names or URLs, never commands: names that a shell would read as syntax
open only the file they name."""

import os
import shutil
import unittest

from harness import CLOSING, MARKER, WINE, LauncherCase, confirmation, ini


class HostileEntryTest(LauncherCase):
    def launch(self, entries, env=None):
        self.write_config(ini(0, 0, [e if isinstance(e, str) else e.decode("latin-1")
                                     for e in entries]))
        r = self.run_launcher(env=env)
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertNotIn(b"marker noise", r.out)
        return r

    def test_names_with_blanks_quotes_and_shell_syntax_run_only_that_file(self):
        names = ["with space", "semi;colon; touch pwned1", "$(touch pwned2)", "`touch pwned3`",
                 "-dash", "a&b^c(1)"]
        if not WINE:  # characters Windows file names cannot hold
            names += ["quo'te\"d|c>d", "caf\xe9"]  # a Latin-1 byte, not UTF-8
        entries = []
        for name in names:
            if name == "caf\xe9":
                shutil.copy(MARKER, os.fsencode(self.dir) + b"/caf\xe9")
                entry = self.path(name)
            else:
                entry = self.marker(name)
            entries.append("-dash" + (".exe" if WINE else "") if name == "-dash" else entry)
        r = self.launch(entries[:10])
        expected = b"".join(confirmation(n) for n in range(1, len(entries) + 1))
        self.assertTrue(r.out.endswith(expected + CLOSING), r.out[-400:])
        ran = [os.fsencode(name).decode("latin-1")
               for name, _ in self.markers(len(names), timeout=15)]
        suffix = ".exe" if WINE else ""
        self.assertCountEqual(ran, [n + suffix for n in names])
        self.assertFalse([n for n in os.listdir(self.dir) if n.startswith("pwned")])


if __name__ == "__main__":
    unittest.main()
