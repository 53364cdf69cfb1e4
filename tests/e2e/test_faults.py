"""Faults injected into real runs: a user's config.ini stays byte for byte, a first run
leaves the whole default file or none, a failure is never shown as success, and no
temporary file is left."""

import os
import re
import signal
import unittest

from harness import (CLOSING, DEFAULT_FILE, FIRST_RUN, IS_ROOT, SANITIZED, SHIM, STRACE, WINE,
                     LauncherCase, as_nobody, command, file_size_limit, in_turn, ini,
                     leftovers, mounts_refused, no_core_dump, screen, shimmed, traced)

USER = ini(0, 0, ["ab"])


def in_own_mounts(row, set_up, cmd):
    """cmd after set_up, in a mount namespace of its own; row/started says it started."""
    return ["unshare", "-m", "--propagation", "private", "sh", "-c",
            set_up + ' && : >"$0/started" && exec "$@"', row] + cmd


@unittest.skipIf(WINE, "faults are injected into native system calls")
class InjectedFaultTest(LauncherCase):
    def test_faults_and_hostile_set_ups(self):
        """Each row once broke the promise: a run under strace, every sleep skipped."""
        if not STRACE:
            self.skipTest("strace is not installed")
        user_screen = screen(0, ["ab"]) + CLOSING
        last = len(user_screen) % 128  # the piece handed over at the end
        user_run = (0, user_screen, None)
        first_run = (0, FIRST_RUN, None)
        refused = (1, b"", "EIniFileException")
        publish = "rename,renameat,renameat2,link,linkat"
        at_third_write = "inject=pwrite64:signal=%s:when=3"
        appear = {"TORVINALE_SHIM_APPEAR": "{user}"}  # the row's copy of USER
        # name, config.ini before, how (see run_row), (exit code, screen, report), config.ini after
        rows = [
            ("a folder above the working folder mounted over", None,
             dict(needs="root", folder="a/work", mount=("other", "a")), first_run, DEFAULT_FILE),
            ("config.ini appears just after the presence test", None,
             dict(needs="shim", env=appear), user_run, USER),
            ("no links nor create-only rename, and config.ini appears meanwhile", None,
             dict(needs="shim", env=appear,
                  trace=["-e", "inject=renameat2:error=ENOSYS", "-e", "inject=linkat:error=EPERM"]),
             user_run, USER),
            ("no unnamed files: EISDIR", None,
             dict(needs="shim", env={"TORVINALE_SHIM_NO_UNNAMED": "1"}), first_run, DEFAULT_FILE),
            ("the named file has no create-only rename", None,
             dict(trace=["-e", "inject=linkat:error=EPERM:when=1", "-e",
                         "inject=renameat2:error=ENOSYS"]), first_run, DEFAULT_FILE),
            ("a folder above that may not be searched", USER,
             dict(needs="root", folder="locked/work", nobody=True), user_run, USER),
            ("first run there", None,
             dict(needs="root", folder="locked/work", nobody=True), first_run, DEFAULT_FILE),
            ("the last part of the screen beyond the file size limit", USER,
             dict(fsize=len(user_screen) - last + 1),
             (1, user_screen[:len(user_screen) - last + 1], "EInOutError"), USER),
            ("the last write of the screen fails", USER,
             dict(trace=["-P", "{out}", "-e",
                         "inject=write:error=EIO:when=%d" % -(-len(user_screen) // 128)]),
             (1, user_screen[:len(user_screen) - last], "EInOutError"), USER),
            ("no /proc: a file size limit of 0", None, dict(needs="root", no_proc=True, fsize=0),
             refused, None),
            ("memory runs out in the middle of the default writes", None,
             dict(needs="shim", env={"TORVINALE_SHIM_NO_MEMORY_AFTER_PWRITE": "3"}),
             (1, b"", "EOutOfMemory"), None),
            ("presence test fails", USER,
             dict(trace=["-P", "config.ini", "-e", "inject=newfstatat,stat:error=EIO:when=1"]),
             user_run, USER),
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
        for name, before, how, expected, after in rows:
            with self.subTest(name):
                self.run_row(before, how, expected, after)

    def run_row(self, before, how, expected, after):
        needs = how.get("needs")
        if needs == "root" and not IS_ROOT:
            self.skipTest("needs root, to mount and to become another user")
        mounts = "mount" in how or how.get("no_proc")
        if mounts and mounts_refused():
            self.skipTest(mounts_refused())
        if needs == "shim" and not SHIM:
            self.skipTest("the fault library is only built for native runs")
        if how.get("no_proc") and SANITIZED:
            self.skipTest("the sanitizers' runtime needs /proc")
        row = self.scenario()
        folder = os.path.join(row, how.get("folder", "work"))
        out_path = os.path.join(row, "stdout.bin")
        user = os.path.join(row, "user.ini")
        os.makedirs(folder)
        with open(user, "wb") as f:
            f.write(USER)
        if before is not None:
            with open(os.path.join(folder, "config.ini"), "wb") as f:
                f.write(before)
        cmd = traced(*[arg.format(out=out_path) for arg in how.get("trace", [])],
                     cmd=command(nobody=how.get("nobody", False)))
        env = None
        if needs == "shim":
            env = shimmed(**{k: v.format(user=user) for k, v in how["env"].items()})
        if "mount" in how:
            # The user's file, where the working folder's path comes to lead.
            os.makedirs(os.path.join(row, "other", "work"))
            with open(os.path.join(row, "other", "work", "config.ini"), "wb") as f:
                f.write(USER)
            cmd = in_own_mounts(row, 'mount --bind "$0/other" "$0/a"', cmd)
        if how.get("no_proc"):
            cmd = in_own_mounts(row, "mount -t tmpfs none /proc && ulimit -f %s"
                                % how.get("fsize", "unlimited"), cmd)
        if how.get("nobody"):
            os.chmod(os.path.dirname(folder), 0o700)
            os.chmod(folder, 0o777)
        steps = [no_core_dump]
        if "fsize" in how and not how.get("no_proc"):
            steps.append(file_size_limit(how["fsize"]))
        if how.get("nobody"):
            steps.append(as_nobody)
        r = self.run_launcher(stdout=out_path, stderr="pipe", env=env, preexec=in_turn(*steps),
                              cmd=cmd, folder=folder)
        with open(out_path, "rb") as f:
            data = f.read()
        rc, screen_out, report = expected
        # What strace, and qemu-user for the signal it passes on, say themselves.
        err = re.sub(rb"(?m)^(\S*strace|qemu): .*\n", b"", r.err)
        if mounts:
            self.assertTrue(os.path.exists(os.path.join(row, "started")), err)
        self.assertEqual((r.rc, data), (rc, screen_out), err)
        if report == "EIniFileException":
            self.assertReport(err, report, "Unable to write to %s." %
                              os.fsdecode(os.path.join(folder, "config.ini")), module=None)
        elif report:
            self.assertReport(err, report, module=None)
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
                self.assertEqual(f.read(), USER)
        self.assertEqual(leftovers(folder), [])


if __name__ == "__main__":
    unittest.main()
