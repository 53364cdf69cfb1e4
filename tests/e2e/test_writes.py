"""Writes of config.ini that fail or are cut short: a clear report, and no lost, partial or
stray file."""

import os
import random
import signal
import time
import unittest

from harness import (CLOSING, DEFAULT_FILE, IS_ROOT, STRACE, WINE, LauncherCase, as_nobody,
                     command, file_size_limit, in_turn, ini, leftovers, no_core_dump, screen,
                     traced)


class FailedWriteTest(LauncherCase):
    def assertWriteRefused(self, r):
        self.assertEqual((r.rc, r.out), (1, b""))
        m = self.assertReport(r.err, "EIniFileException", module=None)
        self.assertTrue(m.group(4).startswith(b"Unable to write to "), r.err)

    @unittest.skipIf(WINE, "the Windows profile functions follow the link themselves")
    def test_dangling_link_is_refused_and_left_as_it_was(self):
        os.symlink(self.path("nowhere.ini"), self.path("config.ini"))
        self.assertWriteRefused(self.run_launcher())
        self.assertEqual(os.readlink(self.path("config.ini")), self.path("nowhere.ini"))
        self.assertFalse(os.path.exists(self.path("nowhere.ini")))

    @unittest.skipIf(WINE, "file size limits do not reach Wine's writes")
    def test_full_disk_during_the_default_write_leaves_no_file(self):
        def ignore_size_signal():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        r = self.run_launcher(stdout="pipe", stderr="pipe", timeout=60,
                              preexec=in_turn(ignore_size_signal, file_size_limit(40)))
        self.assertEqual(r.rc, 1)
        self.assertRegex(r.err, rb"^Exception EIniFileException in module \S+ at [0-9A-F]{8}"
                                rb"\.\r\nUnable to write to .*config\.ini\.\r\n\r\n$")
        self.assertEqual(os.listdir(self.dir), [])

    @unittest.skipUnless(IS_ROOT and not WINE, "needs root to become another user")
    def test_read_only_directory(self):
        os.chmod(self.dir, 0o555)
        self.addCleanup(os.chmod, self.dir, 0o755)
        r = self.run_launcher(stdout=os.devnull, stderr="pipe", preexec=as_nobody, timeout=60,
                              cmd=command(nobody=True))
        self.assertEqual(r.rc, 1)
        self.assertIn(b"Unable to write to " + self.dir.encode() + b"/config.ini.", r.err)
        self.assertEqual(os.listdir(self.dir), [])

    @unittest.skipUnless(IS_ROOT and not WINE, "needs root to become another user")
    def test_read_only_existing_file_is_read_not_rewritten(self):
        config = ini(0, 0, ["ab"])
        self.write_config(config)
        os.chmod(self.path("config.ini"), 0o444)
        os.chmod(self.dir, 0o555)
        self.addCleanup(os.chmod, self.dir, 0o755)
        r = self.run_launcher(stdout="pipe", stderr="pipe", preexec=as_nobody, timeout=60,
                              cmd=command(nobody=True))
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertEqual(r.out, screen(0, ["ab"]) + CLOSING)
        self.assertEqual(self.read_config(), config)

    @unittest.skipIf(WINE, "Wine's profile functions write in place")
    def test_killed_at_any_moment_leaves_no_file_or_a_whole_one_and_no_debris(self):
        rng = random.Random(7)
        try:  # where the new file can be unnamed, not even SIGKILL leaves debris
            os.close(os.open(self.dir, os.O_TMPFILE | os.O_WRONLY))
            unnamed = True
        except OSError:
            unnamed = False
        outcomes = set()
        for attempt in range(40):
            folder = self.scenario()
            sig = rng.choice([signal.SIGKILL, signal.SIGTERM, signal.SIGINT, signal.SIGHUP,
                              signal.SIGQUIT])
            proc = self.start(folder=folder, preexec=no_core_dump)
            time.sleep(rng.uniform(0, 0.004))
            proc.send_signal(sig)
            proc.wait()
            what = "attempt %d, %s" % (attempt, sig.name)
            config = os.path.join(folder, "config.ini")
            if os.path.exists(config):
                with open(config, "rb") as f:
                    self.assertEqual(f.read(), DEFAULT_FILE, what)
                outcomes.add("whole")
            else:
                outcomes.add("none")
            if sig != signal.SIGKILL or unnamed:
                self.assertEqual(leftovers(folder), [], what)
        self.assertTrue(outcomes)

    @unittest.skipIf(WINE, "faults are injected into native system calls")
    def test_temporary_file_swapped_for_a_link_is_never_written_through(self):
        if not STRACE:
            self.skipTest("strace is not installed")
        victim = self.path("victim")
        with open(victim, "wb") as f:
            f.write(b"outside\n")
        # Each write of the series waits a moment, in which a neighbour swaps every temporary
        # file it sees for a link to the victim.
        proc = self.start(cmd=traced("-e", "inject=write,pwrite64:delay_enter=200000:when=1..12",
                                  skip_sleeps=False))
        deadline = time.time() + 60
        while not os.path.exists(self.path("config.ini")) and time.time() < deadline:
            for name in leftovers(self.dir):
                temp = self.path(name)
                if not os.path.islink(temp):
                    try:
                        os.unlink(temp)
                        os.symlink(victim, temp)
                    except FileNotFoundError:
                        pass
            time.sleep(0.01)
        proc.kill()
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"outside\n")
        if os.path.lexists(self.path("config.ini")):
            self.assertFalse(os.path.islink(self.path("config.ini")))
            self.assertEqual(self.read_config(), DEFAULT_FILE)


if __name__ == "__main__":
    unittest.main()
