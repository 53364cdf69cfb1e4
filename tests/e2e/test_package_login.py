import ctypes
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import uuid

from harness import QEMU, WINE
from package_common import DOC, SOURCE, build_packages, sample_config_for_test, wait_for

PR_SET_CHILD_SUBREAPER = 36


class XDisplay:
    """An Xvfb server on a display number it picks itself, ended with the test."""

    def __init__(self, test):
        read_end, write_end = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0",
             "1024x768x24"], pass_fds=(write_end,), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        test.addCleanup(self.stop)
        number = b""
        deadline = time.monotonic() + 60
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0, deadline - time.monotonic()))
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                os.close(read_end)
                test.fail("Xvfb did not start")
            number += chunk
        os.close(read_end)
        self.name = ":" + number.decode().strip()

    def stop(self):
        self.server.terminate()
        try:
            self.server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()


def processes_with(variable):
    """(pid, program file) of the live processes whose environment holds variable=value."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if variable not in f.read().split(b"\0"):
                    continue
            found.append((int(pid), os.readlink(f"/proc/{pid}/exe")))
        except OSError:
            continue
    return found


def readme_lines(containing):
    """The README's indented command block that holds `containing`."""
    with open(os.path.join(SOURCE, "README.md")) as f:
        blocks = re.findall(r"(?m)(?:^    \S.*\n)+", f.read())
    return next(b for b in blocks if containing in b).replace("\n    ", "\n").strip()


@unittest.skipIf(WINE, "the Windows build ships a .zip")
@unittest.skipIf(QEMU, "the entries start the package's program natively")
class LoginEntryTest(unittest.TestCase):
    """The README's set-up, then each autostart entry started by a real launcher under
    Xvfb, in xterm: a run in the Path= folder, a terminal that closes when the run went
    well and stays open with the report when it failed."""

    LAUNCHERS = (("gio launch", "torvinale.desktop"), ("dex", "torvinale.desktop"),
                 ("dex --autostart", "torvinale-dex.desktop"))

    @classmethod
    def setUpClass(cls):
        missing = [t for t in ("Xvfb", "xterm", "dex", "gio", "dpkg-deb") if not shutil.which(t)]
        if missing:
            raise unittest.SkipTest("needs " + ", ".join(missing))
        cls.out, packages = build_packages(cls, ["DEB"])
        cls.root = os.path.join(cls.out, "root")
        subprocess.run(["dpkg-deb", "-x", packages[".deb"], cls.root], check=True)
        # Terminals whose launcher has gone become ours to reap, not init's (which in a
        # container may never reap them).
        cls.prctl = ctypes.CDLL(None, use_errno=True).prctl
        cls.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
        cls.addClassCleanup(cls.prctl, PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0)

    def setUp(self):
        self.display = XDisplay(self)

    def test_each_launcher_runs_the_entry_in_its_folder_and_keeps_a_failed_run_readable(self):
        for launcher, entry in self.LAUNCHERS:
            with self.subTest(launcher=launcher):
                self.check_launcher(launcher.split(), entry)

    def check_launcher(self, launcher, entry):
        home = tempfile.mkdtemp(prefix="torvinale-home-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        # Only what the entries need, so that the terminal is xterm on any machine.
        tools = os.path.join(home, "tools")
        os.mkdir(tools)
        for name, target in (("sh", "/bin/sh"), ("xterm", shutil.which("xterm")),
                             ("x-terminal-emulator", shutil.which("xterm"))):
            os.symlink(target, os.path.join(tools, name))
        os.mkdir(os.path.join(home, "no-system-entries"))
        token = "TORVINALE_LOGIN_TEST=" + uuid.uuid4().hex
        env = {"HOME": home, "LANG": "C.UTF-8", "DISPLAY": self.display.name,
               "PATH": tools + ":" + os.path.join(self.root, "usr/bin"),
               "XDG_CONFIG_HOME": os.path.join(home, ".config"),
               "XDG_CONFIG_DIRS": os.path.join(home, "no-system-entries"),
               "XENVIRONMENT": os.path.join(home, "xterm.resources")}
        env.update([token.split("=", 1)])

        setup = readme_lines("~/.config/autostart/torvinale.desktop")
        setup = setup.replace("/usr/share/doc/torvinale", os.path.join(self.root, DOC))
        setup = setup.replace("examples/torvinale.desktop", "examples/" + entry, 1)
        subprocess.run(["sh", "-ec", setup], env=dict(env, PATH="/usr/bin:/bin"),
                       stdin=subprocess.DEVNULL, check=True, timeout=60)
        folder = os.path.join(home, ".config", "torvinale")
        with open(os.path.join(folder, "config.ini")) as f:
            sample = f.read()

        # A run that goes well: the relative entry is found in the Path= folder. It
        # writes its folder whole or not at all, so that no poll sees half of it.
        ran_in = os.path.join(home, "ran-in")
        with open(os.path.join(folder, "mark.sh"), "w") as f:
            f.write(f'#!/bin/sh\npwd > "{ran_in}.part" && /bin/mv "{ran_in}.part" "{ran_in}"\n')
        os.chmod(os.path.join(folder, "mark.sh"), 0o755)
        with open(os.path.join(folder, "config.ini"), "w") as f:
            f.write(sample_config_for_test(sample, "./mark.sh"))
        self.start(launcher, env, home, "good", token)
        self.assertTrue(wait_for(lambda: os.path.exists(ran_in)),
                        "nothing ran: " + self.launcher_log(home))
        with open(ran_in) as f:
            self.assertEqual(f.read().strip(), os.path.realpath(folder))
        self.assertTrue(wait_for(lambda: not self.terminals(token)),
                        "the terminal stayed open after a run that went well")

        # A run that fails: the report stays on the screen.
        with open(os.path.join(folder, "config.ini"), "w") as f:
            f.write(sample_config_for_test(sample, "./mark.sh", countdown="soon"))
        screen_log = self.start(launcher, env, home, "failed", token)
        report = "'soon' is not a valid integer value."

        def shown():
            try:
                with open(screen_log, errors="replace") as f:
                    text = f.read()
            except FileNotFoundError:
                return ""
            return text if report in text and "Press Enter" in text else ""
        text = wait_for(shown)
        self.assertTrue(text, "no report on the screen: " + self.launcher_log(home))
        self.assertIn("Exception EConvertError in module torvinale", text)
        shown_at = time.monotonic()
        time.sleep(5)
        self.assertTrue(self.terminals(token), "the terminal closed within 5 s of the report")
        self.assertGreaterEqual(time.monotonic() - shown_at, 5)

    def start(self, launcher, env, home, name, token):
        """Starts the launcher; returns the file that the terminal logs its screen to."""
        screen_log = os.path.join(home, name + ".screen")
        with open(env["XENVIRONMENT"], "w") as f:
            f.write(f"XTerm*logging: true\nXTerm*logFile: {screen_log}\n")
        autostart = os.path.join(home, ".config", "autostart", "torvinale.desktop")
        argv = launcher if "--autostart" in launcher else launcher + [autostart]
        with open(os.path.join(home, "launcher.log"), "a") as log:
            proc = subprocess.Popen([shutil.which(argv[0])] + argv[1:], env=env,
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.addCleanup(proc.wait, timeout=60)
        self.addCleanup(self.end_processes, token)
        return screen_log

    @staticmethod
    def launcher_log(home):
        with open(os.path.join(home, "launcher.log"), errors="replace") as f:
            return f.read()[-2000:]

    @staticmethod
    def terminals(token):
        xterm = os.path.realpath(shutil.which("xterm"))
        return [pid for pid, program in processes_with(token.encode()) if program == xterm]

    @staticmethod
    def end_processes(token):
        token = token.encode()
        for pid, _ in processes_with(token):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        wait_for(lambda: not processes_with(token), timeout=30)
        while True:
            try:
                if os.waitpid(-1, os.WNOHANG)[0] == 0:
                    break
            except ChildProcessError:
                break


if __name__ == "__main__":
    unittest.main()
