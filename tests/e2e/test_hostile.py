"""Bad input, failing writes and odd standard streams: a clear result or a clear report,
never a crash, a hang or a lost config.ini."""

import fcntl
import os
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tty
import unittest

from harness import (CLOSING, MARKER, WINE, LauncherCase, command, confirmation, host_path, ini,
                     screen)
from test_e2e import DEFAULT_ENTRY, DEFAULT_FILE

IS_ROOT = hasattr(os, "geteuid") and os.geteuid() == 0
REPORT = re.compile(rb"Exception (\w+) in module \S+ at [0-9A-F]{8}\.\r\n(.*)\r\n\r\n", re.S)
STRACE = shutil.which("strace")
SHIM = os.environ.get("TORVINALE_SHIM", "")
SANITIZED = bool(os.environ.get("TORVINALE_SANITIZED"))


def as_nobody():
    os.setgid(65534)
    os.setuid(65534)


class FailedWriteTest(LauncherCase):
    def assertWriteRefused(self, r):
        self.assertEqual((r.rc, r.out), (1, b""))
        m = REPORT.fullmatch(r.err)
        self.assertIsNotNone(m, r.err)
        self.assertEqual(m.group(1), b"EIniFileException")
        self.assertTrue(m.group(2).startswith(b"Unable to write to "), r.err)

    @unittest.skipIf(WINE, "the Windows profile functions follow the link themselves")
    def test_dangling_link_is_refused_and_left_as_it_was(self):
        os.symlink(self.path("nowhere.ini"), self.path("config.ini"))
        self.assertWriteRefused(self.run_launcher())
        self.assertEqual(os.readlink(self.path("config.ini")), self.path("nowhere.ini"))
        self.assertFalse(os.path.exists(self.path("nowhere.ini")))

    @unittest.skipIf(WINE, "file size limits do not reach Wine's writes")
    def test_full_disk_during_the_default_write_leaves_no_file(self):
        def small_disk():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            import resource
            resource.setrlimit(resource.RLIMIT_FSIZE, (40, 40))
        p = subprocess.run(command(), cwd=self.dir, stdin=subprocess.DEVNULL,
                           capture_output=True, preexec_fn=small_disk, timeout=60)
        self.assertEqual(p.returncode, 1)
        self.assertRegex(p.stderr, rb"^Exception EIniFileException in module \S+ at [0-9A-F]{8}"
                                   rb"\.\r\nUnable to write to .*config\.ini\.\r\n\r\n$")
        self.assertEqual(os.listdir(self.dir), [])

    @unittest.skipUnless(IS_ROOT and not WINE, "needs root to become another user")
    def test_read_only_directory(self):
        os.chmod(self.dir, 0o555)
        self.addCleanup(os.chmod, self.dir, 0o755)
        out = os.open("/dev/null", os.O_WRONLY)
        self.addCleanup(os.close, out)
        p = subprocess.run(command(), cwd=self.dir, stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.PIPE, preexec_fn=as_nobody, timeout=60)
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"Unable to write to " + self.dir.encode() + b"/config.ini.", p.stderr)
        self.assertEqual(os.listdir(self.dir), [])

    @unittest.skipUnless(IS_ROOT and not WINE, "needs root to become another user")
    def test_read_only_existing_file_is_read_not_rewritten(self):
        config = ini(0, 0, ["ab"])
        self.write_config(config)
        os.chmod(self.path("config.ini"), 0o444)
        os.chmod(self.dir, 0o555)
        self.addCleanup(os.chmod, self.dir, 0o755)
        p = subprocess.run(command(), cwd=self.dir, stdin=subprocess.DEVNULL,
                           capture_output=True, preexec_fn=as_nobody, timeout=60)
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        self.assertEqual(p.stdout, screen(0, ["ab"]) + CLOSING)
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
            for name in os.listdir(self.dir):
                os.unlink(self.path(name))
            sig = rng.choice([signal.SIGKILL, signal.SIGTERM, signal.SIGINT, signal.SIGHUP,
                              signal.SIGQUIT])
            proc = subprocess.Popen(command(), cwd=self.dir, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    preexec_fn=no_core_dump)
            time.sleep(rng.uniform(0, 0.004))
            proc.send_signal(sig)
            proc.wait()
            what = "attempt %d, %s" % (attempt, sig.name)
            if os.path.exists(self.path("config.ini")):
                self.assertEqual(self.read_config(), DEFAULT_FILE, what)
                outcomes.add("whole")
            else:
                outcomes.add("none")
            if sig != signal.SIGKILL or unnamed:
                self.assertEqual(leftovers(self.dir), [], what)
        self.assertTrue(outcomes)


def leftovers(folder):
    """Temporary files of ours: hidden names beside config.ini."""
    return [name for name in os.listdir(folder) if name.startswith(".")]


def no_core_dump():
    import resource
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


@unittest.skipIf(WINE, "faults are injected into native system calls")
class InjectedFaultTest(LauncherCase):
    """Faults injected into real runs: a user's config.ini stays byte for byte, a first run
    leaves the whole default file or none, a failure is never shown as success, and no
    temporary file is left."""

    USER = ini(0, 0, ["ab"])

    def test_faults_and_hostile_set_ups(self):
        """Each row once broke the promise: a run under strace, every sleep skipped."""
        if not STRACE:
            self.skipTest("strace is not installed")
        user_screen = screen(0, ["ab"]) + CLOSING
        last = len(user_screen) % 128  # the piece handed over at the end
        user_run = (0, user_screen, None)
        first_run = (0, b"".join(screen(n, [DEFAULT_ENTRY]) for n in range(5, -1, -1)) +
                     confirmation(1, False) + CLOSING, None)
        refused = (1, b"", "EIniFileException")
        publish = "rename,renameat,renameat2,link,linkat"
        at_third_write = "inject=pwrite64:signal=%s:when=3"
        # name, config.ini before, how (see run_row), (exit code, screen, report), config.ini after
        rows = [
            ("a folder above the working folder mounted over", None,
             dict(needs="root", folder="a/work", mount=("other", "a")), first_run, DEFAULT_FILE),
            ("config.ini appears just after the presence test", None,
             dict(needs="shim", env={"TORVINALE_SHIM_APPEAR": self.path("user.ini")}), user_run,
             self.USER),
            ("no links nor create-only rename, and config.ini appears meanwhile", None,
             dict(needs="shim", env={"TORVINALE_SHIM_APPEAR": self.path("user.ini")},
                  trace=["-e", "inject=renameat2:error=ENOSYS", "-e", "inject=linkat:error=EPERM"]),
             user_run, self.USER),
            ("no unnamed files: EISDIR", None,
             dict(needs="shim", env={"TORVINALE_SHIM_NO_UNNAMED": "1"}), first_run, DEFAULT_FILE),
            ("the named file has no create-only rename", None,
             dict(trace=["-e", "inject=linkat:error=EPERM:when=1", "-e",
                         "inject=renameat2:error=ENOSYS"]), first_run, DEFAULT_FILE),
            ("a folder above that may not be searched", self.USER,
             dict(needs="root", folder="locked/work", nobody=True), user_run, self.USER),
            ("first run there", None,
             dict(needs="root", folder="locked/work", nobody=True), first_run, DEFAULT_FILE),
            ("the last part of the screen beyond the file size limit", self.USER,
             dict(fsize=len(user_screen) - last + 1),
             (1, user_screen[:len(user_screen) - last + 1], "EInOutError"), self.USER),
            ("the last write of the screen fails", self.USER,
             dict(trace=["-P", "{out}", "-e",
                         "inject=write:error=EIO:when=%d" % -(-len(user_screen) // 128)]),
             (1, user_screen[:len(user_screen) - last], "EInOutError"), self.USER),
            ("no /proc: a file size limit of 0", None, dict(needs="root", no_proc=True, fsize=0),
             refused, None),
            ("memory runs out in the middle of the default writes", None,
             dict(needs="shim", env={"TORVINALE_SHIM_NO_MEMORY_AFTER_PWRITE": "3"}),
             (1, b"", "EOutOfMemory"), None),
            ("presence test fails", self.USER,
             dict(trace=["-P", "config.ini", "-e", "inject=newfstatat,stat:error=EIO:when=1"]),
             user_run, self.USER),
            ("the new file cannot be put in place", None,
             dict(trace=["-e", "inject=%s:error=EIO" % publish]), refused, None),
        ]
        for error in ("EOPNOTSUPP", "EPERM"):
            rows.append(("the unnamed file cannot be linked: " + error, None,
                         dict(trace=["-e", "inject=linkat:error=" + error]), first_run,
                         DEFAULT_FILE))
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
            rows.append(("%s during the default writes" % sig.name, None,
                         dict(trace=["-e", at_third_write % sig.name]), (-sig, b"", None),
                         DEFAULT_FILE))
        for sig in (signal.SIGUSR1, signal.SIGALRM, signal.SIGXCPU):
            rows.append(("no /proc: %s during the default writes" % sig.name, None,
                         dict(needs="root", no_proc=True, trace=["-e", at_third_write % sig.name]),
                         (-sig, b"", None), DEFAULT_FILE))
        with open(self.path("user.ini"), "wb") as f:
            f.write(self.USER)
        for name, before, how, expected, after in rows:
            with self.subTest(name):
                self.run_row(before, how, expected, after)

    def run_row(self, before, how, expected, after):
        needs = how.get("needs")
        if needs == "root" and not (IS_ROOT and shutil.which("unshare")):
            self.skipTest("needs root, to mount and to become another user")
        if needs == "shim" and not SHIM:
            self.skipTest("the fault library is only built for native runs")
        if how.get("no_proc") and SANITIZED:
            self.skipTest("the sanitizers' runtime needs /proc")
        row = tempfile.mkdtemp(dir=self.dir)
        folder = os.path.join(row, how.get("folder", "work"))
        out_path = os.path.join(row, "stdout.bin")
        os.makedirs(folder)
        if before is not None:
            with open(os.path.join(folder, "config.ini"), "wb") as f:
                f.write(before)
        cmd = [STRACE, "-f", "-qq", "-o", "/dev/null", "-e", "inject=clock_nanosleep:retval=0"]
        cmd += [arg.format(out=out_path) for arg in how.get("trace", [])] + command()
        env = dict(os.environ)
        if needs == "shim":
            env.update(how["env"], LD_PRELOAD=SHIM)
        if "mount" in how:
            # The user's file, where the working folder's path comes to lead.
            os.makedirs(os.path.join(row, "other", "work"))
            with open(os.path.join(row, "other", "work", "config.ini"), "wb") as f:
                f.write(self.USER)
            cmd = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                   'mount --bind "$0/other" "$0/a" && exec "$@"', row] + cmd
        if how.get("no_proc"):
            cmd = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                   'mount -t tmpfs none /proc && ulimit -f %s && exec "$@"'
                   % how.get("fsize", "unlimited"), "sh"] + cmd
        if how.get("nobody"):
            os.chmod(os.path.dirname(folder), 0o700)
            os.chmod(folder, 0o777)

        def prepare():
            no_core_dump()
            if "fsize" in how and not how.get("no_proc"):
                import resource
                resource.setrlimit(resource.RLIMIT_FSIZE, (how["fsize"], how["fsize"]))
            if how.get("nobody"):
                as_nobody()
        with open(out_path, "wb") as out:
            p = subprocess.run(cmd, cwd=folder, stdin=subprocess.DEVNULL, stdout=out,
                               stderr=subprocess.PIPE, env=env, preexec_fn=prepare, timeout=120)
        with open(out_path, "rb") as f:
            data = f.read()
        rc, screen_out, report = expected
        # What strace, and qemu-user for the signal it passes on, say themselves.
        err = re.sub(rb"(?m)^(\S*strace|qemu): .*\n", b"", p.stderr)
        self.assertEqual((p.returncode, data), (rc, screen_out), err)
        if report:
            m = REPORT.fullmatch(err)
            self.assertIsNotNone(m, err)
            self.assertEqual(m.group(1).decode(), report)
            if report == "EIniFileException":
                self.assertEqual(m.group(2), b"Unable to write to " +
                                 os.path.join(folder, "config.ini").encode() + b".")
        else:
            self.assertEqual(err, b"")
        config = os.path.join(folder, "config.ini")
        if after is None:
            self.assertFalse(os.path.lexists(config))
        else:
            with open(config, "rb") as f:
                self.assertEqual(f.read(), after)
        if "mount" in how:
            with open(os.path.join(row, "other", "work", "config.ini"), "rb") as f:
                self.assertEqual(f.read(), self.USER)
        self.assertEqual(leftovers(folder), [])

    def test_temporary_file_swapped_for_a_link_is_never_written_through(self):
        if not STRACE:
            self.skipTest("strace is not installed")
        victim = self.path("victim")
        with open(victim, "wb") as f:
            f.write(b"outside\n")
        # Each write of the series waits a moment, in which a neighbour swaps every temporary
        # file it sees for a link to the victim.
        proc = subprocess.Popen([STRACE, "-f", "-qq", "-o", "/dev/null", "-e",
                                 "inject=write,pwrite64:delay_enter=200000:when=1..12"] +
                                command(), cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
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
            f.write(self.USER)
        r = self.run_launcher(preexec=lambda: os.fchdir(fd))
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertEqual(r.out, screen(0, ["ab"]) + CLOSING)
        self.assertEqual(config(), self.USER)

        # A first run there writes the defaults and reads them back: the first screen
        # counts from 5.
        os.unlink("config.ini", dir_fd=fd)
        with open(self.path("stdout.bin"), "wb") as out:
            proc = subprocess.Popen(command(), stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.DEVNULL, preexec_fn=lambda: os.fchdir(fd))
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        deadline = time.time() + 60
        while time.time() < deadline:
            with open(self.path("stdout.bin"), "rb") as f:
                if b"Countdown: 5 \r\n" in f.read():
                    break
            self.assertIsNone(proc.poll())
            time.sleep(0.05)
        self.assertEqual(config(), DEFAULT_FILE)

    def test_non_blocking_standard_output_waits_for_a_slow_reader(self):
        entries = ["x" * 400] * 10  # two screens overflow a one-page pipe
        self.write_config(ini(1, 0, entries))
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ
        fcntl.fcntl(write_end, fcntl.F_SETFL, fcntl.fcntl(write_end, fcntl.F_GETFL) | os.O_NONBLOCK)
        with open(self.path("stderr.bin"), "wb") as err:
            proc = subprocess.Popen(command(), cwd=self.dir, stdin=subprocess.DEVNULL,
                                    stdout=write_end, stderr=err)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            first = pipe.read(1)
            time.sleep(1.5)  # the launcher meets a full pipe meanwhile
            data = first + pipe.read()
        self.assertEqual(proc.wait(timeout=60), 0)
        self.assertEqual(data, screen(1, entries) + screen(0, entries) +
                         b"".join(confirmation(n, False) for n in range(1, 11)) + CLOSING)


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
        p = subprocess.run(command(), cwd=path, stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=60)
        if WINE and p.returncode not in (0, 1):
            self.skipTest("Wine cannot start a program in a folder this deep")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stdout, screen(0) + CLOSING)

    def test_first_run_in_a_thousand_character_directory_writes_there(self):
        if WINE:
            self.skipTest("Windows paths stop at 260 characters")
        path = self.dir
        while len(path) < 1000:
            path = os.path.join(path, "e" * 150)
        os.makedirs(path)
        p = subprocess.run(command(), cwd=path, stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=60)
        with open(os.path.join(path, "config.ini"), "rb") as f:
            self.assertEqual(f.read(), DEFAULT_FILE)
        self.assertIn(p.returncode, (0,))

    @unittest.skipIf(WINE, "Wine does not start a program in a removed folder")
    def test_removed_working_directory_is_reported_not_written_elsewhere(self):
        gone = self.path("gone")
        os.mkdir(gone)
        p = subprocess.run(command(), cwd=self.dir, stdin=subprocess.DEVNULL, capture_output=True,
                           preexec_fn=lambda: (os.chdir(gone), os.rmdir(gone)), timeout=60)
        self.assertEqual((p.returncode, p.stdout), (1, b""))
        self.assertRegex(p.stderr, rb"\r\nUnable to write to \./config\.ini\.\r\n\r\n$")
        self.assertFalse(os.path.exists("/config.ini"))


class StreamStateTest(LauncherCase):
    def test_standard_error_closed_too_still_ends_with_code_one(self):
        self.write_config(ini("abc", 0))
        p = subprocess.run(command(), cwd=self.dir, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           preexec_fn=lambda: os.close(2), timeout=60)
        self.assertEqual(p.returncode, 1)

    @unittest.skipIf(WINE, "Wine hands the closed descriptors to files of its own")
    def test_both_output_streams_closed(self):
        self.write_config(ini(0, 0))
        p = subprocess.run(command(), cwd=self.dir, stdin=subprocess.DEVNULL,
                           preexec_fn=lambda: (os.close(1), os.close(2)), timeout=60)
        self.assertEqual(p.returncode, 1)
        self.assertEqual(self.read_config(), ini(0, 0))

    @unittest.skipIf(WINE, "standard output closed is only reachable natively")
    def test_closed_output_never_lands_in_a_file_the_program_opens(self):
        p = subprocess.run(command(), cwd=self.dir, stdin=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, preexec_fn=lambda: os.close(1), timeout=60)
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"I/O error 105.", p.stderr)
        self.assertEqual(self.read_config(), DEFAULT_FILE)

    def test_pipe_closed_early_after_the_first_screen(self):
        self.write_config(ini(3, 0))
        proc = subprocess.Popen(command(), cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        proc.stdout.read(128)
        proc.stdout.close()
        err = proc.stderr.read()
        proc.stderr.close()
        proc.wait(timeout=60)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(err.count(b"Exception EInOutError"), 1, err)

    def test_terminal_output_has_cursor_moves_and_ends_normally(self):
        import pty
        self.write_config(ini(0, 0))
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(self.dir)
            os.execv(command()[0], command())
        data = b""
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            data += chunk
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        self.assertIn(b"Closing program...", data)
        if not WINE:
            self.assertIn(b"\x1b[3;16Hms\r", data)


class HostileEntryTest(LauncherCase):
    """Entries are file names or URLs, never commands: only the named file runs."""

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


# The desktop's opener for the table below: it notes what it was given in the
# working folder it inherits, then succeeds, fails (entries named "fail"), is
# killed (entries named "crash") or stays until the test lets it go (entries
# named "slow.txt" or "stays.txt").
OPENER_NAME = "open" if sys.platform == "darwin" else "xdg-open"
FAKE_OPENER = """#!/bin/sh
printf '%s\\n' "$1" > opened
echo opener noise; echo opener noise >&2
case ${1##*/} in
  fail) exit 3 ;;
  crash) kill -KILL $$ ;;
  slow.txt | stays.txt) echo $$ > slow.pid
    while [ ! -e release ] && [ -e opened ]; do sleep 0.05; done; exit 3 ;;
esac
"""
# PATH "(rel)" has relative elements only, which hold the opener and "probe";
# "(bin)" is the folder that holds them and "-probe" too, then /usr/bin:/bin.
REL_PATH = "rel:.:"
OPENER_ROWS = [
    # entry, PATH, result, what the opener was given (None: not started)
    ("{dir}/doc.txt", "(bin)", True, "{dir}/doc.txt"),
    ("doc.txt", "(bin)", True, "./doc.txt"),
    ("{dir}/folder", "(bin)", True, "{dir}/folder"),
    ("https://example.org/a b?c=$(id)", "(bin)", True, "https://example.org/a b?c=$(id)"),
    ("nosuchscheme://fail", "(bin)", False, "nosuchscheme://fail"),
    ("nosuchscheme://crash", "(bin)", False, "nosuchscheme://crash"),
    ("{dir}/slow.txt", "(bin)", True, "{dir}/slow.txt"),
    ("{dir}/stays.txt", "(bin)", True, "{dir}/stays.txt"),
    ("/nonexistent/program", "(bin)", False, None),
    ("no-such-command-here", "(bin)", False, None),
    ("probe", "(bin)", True, None),
    ("-probe", "(bin)", False, None),
    ("probe", "(rel)", False, None),
    ("{dir}/doc.txt", "(rel)", False, None),
]
# What Wine's shell does with them: documents and known schemes start the
# program associated with them (whether that program then manages is not
# seen); an unknown scheme or a missing file has none.
WINE_OPENER_ROWS = [
    ("{dir}\\doc.txt", None, True, None),
    ("http://example.org/", None, True, None),
    ("nosuchscheme://fail", None, False, None),
    ("{dir}\\missing.txt", None, False, None),
]


def proc_stat(pid):
    """(state, parent, session) of a process, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return fields[0], int(fields[1]), int(fields[3])


def children(pid):
    found = []
    for name in os.listdir("/proc"):
        stat = proc_stat(int(name)) if name.isdigit() else None
        if stat and stat[1] == pid:
            found.append((int(name), stat[0]))
    return found


class OpenerTest(LauncherCase):
    """Each row is a run of its own, all at the same time, on a terminal (which gets
    every line at once). A pause of ten minutes after the one entry keeps the run
    there to be looked at; it is killed then. Nothing depends on the order in which
    the runs or what they start get the processor."""

    def start_row(self, number, entry, path, bin_dir):
        row = self.path("row%d" % number)
        os.mkdir(row)
        for name in ("doc.txt", "slow.txt", "stays.txt"):
            with open(os.path.join(row, name), "w") as f:
                f.write("not a program\n")
        os.mkdir(os.path.join(row, "folder"))
        os.mkdir(os.path.join(row, "rel"))
        # "probe" beside config.ini would run as a file named by the entry.
        shutil.copy(os.path.join(bin_dir, "probe"), os.path.join(row, "rel"))
        for folder in (row, os.path.join(row, "rel")):
            shutil.copy(os.path.join(bin_dir, OPENER_NAME), folder)
        entry = entry.format(dir=host_path(row))
        with open(os.path.join(row, "config.ini"), "wb") as f:
            f.write(ini(0, 600000, [entry]))
        env = dict(os.environ)
        if path:
            env["PATH"] = REL_PATH if path == "(rel)" else bin_dir + ":/usr/bin:/bin"
        master, slave = os.openpty()
        tty.setraw(slave)
        err = open(os.path.join(row, "stderr.bin"), "wb")
        proc = subprocess.Popen(command(), cwd=row, stdin=subprocess.DEVNULL, stdout=slave,
                                stderr=err, env=env)
        os.close(slave)
        err.close()
        self.addCleanup(os.close, master)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        return row, proc, master

    @staticmethod
    def read_terminal(master, timeout):
        try:
            if select.select([master], [], [], timeout)[0]:
                return os.read(master, 65536)
        except OSError:  # every writer gone
            pass
        return b""

    def confirmation_of(self, master, deadline):
        data = b""
        while time.time() < deadline:
            data += self.read_terminal(master, 0.05)
            for launched in (True, False):
                if confirmation(1, launched) in data:
                    return launched, data
        self.fail("no confirmation line in %r" % data[-300:])

    def wait_until(self, condition, what):
        deadline = time.time() + 60
        while not condition():
            self.assertLess(time.time(), deadline, what)
            time.sleep(0.05)

    def read_line(self, path):
        def whole():
            try:
                with open(path) as f:
                    return f.read().endswith("\n")
            except FileNotFoundError:
                return False
        self.wait_until(whole, "nothing written to " + path)
        with open(path) as f:
            return f.read()

    def test_results_of_the_opener_and_path_lookups(self):
        bin_dir = self.path("bin")
        os.mkdir(bin_dir)
        with open(os.path.join(bin_dir, OPENER_NAME), "w") as f:
            f.write(FAKE_OPENER)
        os.chmod(os.path.join(bin_dir, OPENER_NAME), 0o755)
        for name in ("probe", "-probe"):
            shutil.copy(MARKER, os.path.join(bin_dir, name))
        rows = WINE_OPENER_ROWS if WINE else OPENER_ROWS
        runs = [self.start_row(n, entry, path, bin_dir)
                for n, (entry, path, _, _) in enumerate(rows)]
        deadline = time.time() + 120
        for (entry, path, expected, opened), (row, proc, master) in zip(rows, runs):
            with self.subTest(entry=entry, path=path):
                launched, out = self.confirmation_of(master, deadline)
                self.assertEqual(launched, expected)
                if WINE:
                    continue
                opened_file = os.path.join(row, "opened")
                if opened is None:
                    # Started before its line is written, or never.
                    self.assertFalse(os.path.exists(opened_file))
                else:
                    self.assertEqual(self.read_line(opened_file), opened.format(dir=row) + "\n")
                name = entry.rsplit("/", 1)[-1]
                if name in ("slow.txt", "stays.txt"):
                    # Still running after its line, in a session of its own.
                    pid = int(self.read_line(os.path.join(row, "slow.pid")))
                    self.assertEqual(proc_stat(pid)[2], pid)
                    if name == "stays.txt":  # and it outlives the run
                        proc.kill()
                        proc.wait()
                        self.assertNotEqual(proc_stat(pid)[0], "Z")
                    with open(os.path.join(row, "release"), "w"):
                        pass
                if proc.returncode is None:
                    # What it started ends by itself and is reaped: a zombie would stay.
                    self.wait_until(lambda: not children(proc.pid), children(proc.pid))
                    self.assertIsNone(proc.poll())
                    proc.kill()
                    proc.wait()
                while chunk := self.read_terminal(master, 0):
                    out += chunk
                self.assertNotIn(b"noise", out)
                with open(os.path.join(row, "stderr.bin"), "rb") as f:
                    self.assertEqual(f.read(), b"")
        if not WINE:
            with open(os.path.join(bin_dir, "markers.log")) as f:
                self.assertEqual([line.split()[0] for line in f], ["probe"])


if __name__ == "__main__":
    unittest.main()
