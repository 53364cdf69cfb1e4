import ctypes
import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import tarfile
import tempfile
import time
import unittest
import uuid

from harness import QEMU, WINE
from package_common import DOC, SOURCE, build_packages, sample_config_for_test, wait_for

PR_SET_CHILD_SUBREAPER = 36
# KDE Plasma's and other sessions' autostart, from Debian's systemd.
GENERATOR = "/usr/lib/systemd/user-generators/systemd-xdg-autostart-generator"


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


def unit_keys(path):
    """The [Service] keys of a unit file, each with its last value."""
    keys, section = {}, None
    with open(path) as f:
        for line in f.read().splitlines():
            if line.startswith("["):
                section = line
            elif section == "[Service]" and "=" in line and not line.startswith(("#", ";")):
                key, value = line.split("=", 1)
                keys[key.strip()] = value.strip()
    return keys


def systemd_command(exec_start):
    """(file, argv) that systemd runs for an ExecStart= line. Its prefixes come off first
    (with '@' the second word is argv[0]); the words split as shlex's POSIX mode splits
    them, which is systemd's reading of blanks and quotes but not of its C escapes, so a
    backslash is refused, as are specifiers other than '%%' and, without ':', variables:
    what shlex would read otherwise fails the test rather than being guessed."""
    prefixes = re.match(r"[-@:+!]*", exec_start).group(0)
    line = exec_start[len(prefixes):]
    if "\\" in line or "%" in line.replace("%%", ""):
        raise ValueError("escapes or specifiers shlex cannot read: " + exec_start)
    words = [w.replace("%%", "%") for w in shlex.split(line)]
    if ";" in words or (":" not in prefixes and any("$" in w for w in words)):
        raise ValueError("more than one command, or variables: " + exec_start)
    if not os.path.isabs(words[0]):
        raise ValueError("systemd would search its own path: " + exec_start)
    return (words[0], words[1:]) if "@" in prefixes else (words[0], words)


def systemd_working_directory(value, home):
    """A user unit's WorkingDirectory=: none, or '~', is the home folder, and so is a
    folder after '-' that is not there (the manager's own); a missing one without '-'
    fails the unit."""
    missing_ok = bool(value) and value.startswith("-")
    folder = value[1:] if missing_ok else value
    if not folder or folder == "~" or (missing_ok and not os.path.isdir(folder)):
        return home
    if not os.path.isdir(folder):
        raise FileNotFoundError(folder)
    return folder


@unittest.skipIf(WINE, "the Windows build ships a .zip")
@unittest.skipIf(QEMU, "the entries start the package's program natively")
class LoginEntryTest(unittest.TestCase):
    """The README's set-up, then the autostart entry started by each real launcher under
    Xvfb, in xterm: the countdown on a terminal, a run in the entry's folder, a terminal
    that closes when the run went well and stays open with what went wrong when it failed
    or the folder is gone. Then what the entry runs, torvinale-login, on its own."""

    # The generator is KDE Plasma's and other sessions' autostart, GLib GNOME's and
    # Xfce's, dex that of window managers.
    LAUNCHERS = ("gio launch", "dex", "dex --autostart", "systemd-xdg-autostart-generator")

    @classmethod
    def setUpClass(cls):
        missing = [t for t in ("Xvfb", "xterm", "dex", "gio", "tmux", "dpkg-deb")
                   if not shutil.which(t)] + [g for g in (GENERATOR,) if not os.access(g, os.X_OK)]
        if missing:
            raise unittest.SkipTest("needs " + ", ".join(missing))
        cls.out, packages = build_packages(cls, ["DEB", "TGZ"])
        cls.root = os.path.join(cls.out, "root")
        subprocess.run(["dpkg-deb", "-x", packages[".deb"], cls.root], check=True)
        with tarfile.open(packages[".tar.gz"]) as tar:
            cls.tar = os.path.join(cls.out, "tar", tar.getnames()[0].split("/")[0])
            tar.extractall(os.path.join(cls.out, "tar"))
        with open(os.path.join(cls.root, DOC, "examples", "config.ini")) as f:
            cls.sample = f.read()
        # Terminals whose launcher has gone become ours to reap, not init's (which in a
        # container may never reap them).
        cls.prctl = ctypes.CDLL(None, use_errno=True).prctl
        cls.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
        cls.addClassCleanup(cls.prctl, PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0)

    def setUp(self):
        self.display = XDisplay(self)

    def test_each_launcher_shows_the_countdown_on_a_terminal_and_runs_the_entry_in_its_folder(self):
        for launcher in self.LAUNCHERS:
            with self.subTest(launcher=launcher):
                env, home, folder, token = self.install()
                # The relative entry is found in the folder only. It writes its folder
                # whole or not at all, so that no poll sees half of it.
                ran_in = os.path.join(home, "ran-in")
                with open(os.path.join(folder, "mark.sh"), "w") as f:
                    f.write(f'#!/bin/sh\npwd > "{ran_in}.part" && /bin/mv "{ran_in}.part" "{ran_in}"\n')
                os.chmod(os.path.join(folder, "mark.sh"), 0o755)
                self.write_config(folder, countdown="2")
                screen_log = self.start(launcher, env, home, "good", token)
                output = wait_for(lambda: self.program_output(token))
                self.assertRegex(output or "", r"^/dev/pts/[0-9]+$",
                                 "the program's standard output: " + self.launcher_log(home))
                self.assertTrue(wait_for(lambda: os.path.exists(ran_in)),
                                "nothing ran: " + self.launcher_log(home))
                with open(ran_in) as f:
                    self.assertEqual(f.read().strip(), os.path.realpath(folder))
                self.assertTrue(wait_for(lambda: not self.terminals(token)),
                                "the terminal stayed open after a run that went well")
                with open(screen_log, errors="replace") as f:
                    text = f.read()
                self.assertIn("Countdown: 0 ", text)
                self.assertRegex(text, r"Program1\.+EXECUTED")

    def test_each_launcher_keeps_a_failed_run_readable(self):
        for launcher in self.LAUNCHERS:
            with self.subTest(launcher=launcher):
                env, home, folder, token = self.install()
                self.write_config(folder, countdown="soon")
                screen_log = self.start(launcher, env, home, "failed", token)
                text = wait_for(lambda: self.shown(screen_log, "Press Enter"))
                self.assertTrue(text, "nothing on the screen: " + self.launcher_log(home))
                self.assertIn("Exception EConvertError in module torvinale", text)
                self.assertIn("'soon' is not a valid integer value.", text)
                shown_at = time.monotonic()
                time.sleep(5)
                self.assertTrue(self.terminals(token), "the terminal closed within 5 s")
                self.assertGreaterEqual(time.monotonic() - shown_at, 5)

    def test_each_launcher_shows_a_folder_that_is_gone_and_writes_nothing(self):
        for launcher in self.LAUNCHERS:
            with self.subTest(launcher=launcher):
                env, home, folder, token = self.install()
                os.rename(folder, folder + "-moved")
                before = self.files(home)
                screen_log = self.start(launcher, env, home, "gone", token)
                text = wait_for(lambda: self.shown(screen_log, "Press Enter"))
                self.assertIn(f"there is no folder {folder} ", text,
                              "nothing on the screen: " + self.launcher_log(home))
                self.assertTrue(self.terminals(token), "the terminal closed at once")
                # No config.ini, in the home folder or anywhere else below it.
                ours = {screen_log, env["XENVIRONMENT"], os.path.join(home, "launcher.log")}
                after = self.files(home)
                self.assertEqual(sorted(p for p in (set(before) | set(after)) - ours
                                        if before.get(p) != after.get(p)), [])

    def test_helper_keeps_a_failed_run_on_the_screen_until_enter_is_pressed(self):
        folder = tempfile.mkdtemp(prefix="torvinale-folder-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        self.write_config(folder, countdown="soon")
        pane, keys = self.in_terminal([os.path.join(self.root, "usr/bin/torvinale-login"), folder])
        text = wait_for(lambda: "Press Enter" in pane() and pane())
        self.assertIn("'soon' is not a valid integer value.", text)
        self.assertIn("torvinale ended with exit code 1.", text)
        keys("Enter")
        self.assertTrue(wait_for(lambda: not pane(), timeout=30), "Enter did not close it")

    def test_helper_closes_the_window_by_itself_after_60_seconds(self):
        pane, _ = self.in_terminal([os.path.join(self.root, "usr/bin/torvinale-login"),
                                    "/nonexistent/torvinale"])
        self.assertTrue(wait_for(lambda: "there is no folder" in pane()), pane())
        shown_at = time.monotonic()
        self.assertTrue(wait_for(lambda: not pane(), timeout=180), "it never closed")
        self.assertGreater(time.monotonic() - shown_at, 55)

    def test_tarball_helper_runs_the_program_beside_it_and_passes_its_exit_code_on(self):
        for countdown, code, last in (("0", 0, b"Closing program...\r\n"),
                                      ("soon", 1, b"torvinale ended with exit code 1.\n")):
            with self.subTest(countdown=countdown):
                folder = tempfile.mkdtemp(prefix="torvinale-folder-")
                self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
                self.write_config(folder, countdown=countdown)
                # No PATH to find anything on, no terminal to wait for Enter on.
                r = subprocess.run([os.path.join(self.tar, "bin/torvinale-login"), folder],
                                   env={"PATH": "/nonexistent"}, stdin=subprocess.DEVNULL,
                                   capture_output=True, timeout=60)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertIn(last, r.stdout)

    def test_installed_program_opens_a_terminal_for_a_menu_entry_that_asks_for_one(self):
        env, home, folder, token = self.install()
        os.symlink(shutil.which("gio"), os.path.join(home, "tools", "gio"))
        ran_in = os.path.join(home, "ran-in")
        with open(os.path.join(folder, "on-terminal.sh"), "w") as f:
            f.write(f'#!/bin/sh\n/usr/bin/tty > "{ran_in}.part" && /bin/mv "{ran_in}.part" "{ran_in}"\n')
        os.chmod(os.path.join(folder, "on-terminal.sh"), 0o755)
        entry = os.path.join(folder, "on-terminal.desktop")
        with open(entry, "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=On a terminal\nTerminal=true\n"
                    f'Exec="{folder}/on-terminal.sh"\n')
        with open(os.path.join(folder, "config.ini"), "w") as f:
            f.write(sample_config_for_test(self.sample, entry))
        self.addCleanup(self.end_processes, token)
        r = subprocess.run([os.path.join(self.root, "usr/bin/torvinale")], cwd=folder, env=env,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertRegex(r.stdout, rb"Program1\.+EXECUTED\r\n")
        self.assertTrue(wait_for(lambda: os.path.exists(ran_in)), "the entry's program never ran")
        with open(ran_in) as f:
            self.assertRegex(f.read().strip(), r"^/dev/pts/[0-9]+$")
        self.assertTrue(wait_for(lambda: not self.terminals(token)), "the terminal stayed open")

    def install(self):
        """A home folder set up with the README's lines; returns (environment, home,
        the entry's folder, a token in the environment of what the entry starts)."""
        # A blank in the name, as the folder is quoted in Exec=.
        home = tempfile.mkdtemp(prefix="torvinale home-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        # Only what the entry needs, so that the terminal is xterm on any machine.
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
        subprocess.run(["sh", "-ec", setup], env=dict(env, PATH="/usr/bin:/bin"),
                       stdin=subprocess.DEVNULL, check=True, timeout=60)
        return env, home, os.path.join(home, ".config", "torvinale"), token

    def write_config(self, folder, countdown):
        with open(os.path.join(folder, "config.ini"), "w") as f:
            f.write(sample_config_for_test(self.sample, "./mark.sh", countdown))

    def start(self, launcher, env, home, name, token):
        """Starts the launcher as a session does, in the home folder; returns the file
        that the terminal logs its screen to."""
        screen_log = os.path.join(home, name + ".screen")
        with open(env["XENVIRONMENT"], "w") as f:
            f.write(f"XTerm*logging: true\nXTerm*logFile: {screen_log}\n")
        autostart = os.path.join(home, ".config", "autostart", "torvinale.desktop")
        with open(os.path.join(home, "launcher.log"), "a") as log:
            if launcher == "systemd-xdg-autostart-generator":
                proc = self.start_unit(env, home, log)
            else:
                argv = launcher.split()
                argv += [] if "--autostart" in argv else [autostart]
                proc = subprocess.Popen([shutil.which(argv[0])] + argv[1:], cwd=home, env=env,
                                        stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.addCleanup(proc.wait, timeout=60)
        self.addCleanup(self.end_processes, token)
        return screen_log

    def start_unit(self, env, home, journal):
        """Has the generator make the entry's unit, as a user manager does at login, then
        starts it as the manager would: in its working folder, with standard input
        /dev/null and standard output and error to the journal."""
        units = tempfile.mkdtemp(prefix="torvinale-units-")
        self.addCleanup(shutil.rmtree, units, ignore_errors=True)
        subprocess.run([GENERATOR, units, units, units], env=env, stdin=subprocess.DEVNULL,
                       stdout=journal, stderr=journal, check=True, timeout=60)
        unit = os.path.join(units, "app-torvinale@autostart.service")
        self.assertTrue(os.path.exists(unit), "no unit: " + self.launcher_log(home))
        keys = unit_keys(unit)
        program, argv = systemd_command(keys["ExecStart"])
        return subprocess.Popen(argv, executable=program, env=env,
                                cwd=systemd_working_directory(keys.get("WorkingDirectory"), home),
                                stdin=subprocess.DEVNULL, stdout=journal, stderr=subprocess.STDOUT)

    def in_terminal(self, argv):
        """Runs argv in a tmux pane, on a server of its own; returns a function that gives
        the screen ("" once argv has ended) and one that types keys."""
        tmux = ["tmux", "-L", "torvinale-login-" + uuid.uuid4().hex]
        self.addCleanup(subprocess.run, tmux + ["kill-server"], stderr=subprocess.DEVNULL)
        subprocess.run(tmux + ["new-session", "-d", "-x", "100", "-y", "40", shlex.join(argv)],
                       check=True, timeout=60)

        def pane():
            r = subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True, text=True,
                               timeout=60)
            return r.stdout if r.returncode == 0 else ""
        return pane, lambda key: subprocess.run(tmux + ["send-keys", key], check=True, timeout=60)

    def program_output(self, token):
        """Where the running program's standard output goes, once it is seen running."""
        program = os.path.realpath(os.path.join(self.root, "usr/bin/torvinale"))
        for pid, exe in processes_with(token.encode()):
            if exe == program:
                try:
                    return os.readlink(f"/proc/{pid}/fd/1")
                except OSError:
                    pass
        return None

    @staticmethod
    def shown(screen_log, text):
        """What the terminal has shown, once it holds text."""
        try:
            with open(screen_log, errors="replace") as f:
                shown = f.read()
        except FileNotFoundError:
            return ""
        return shown if text in shown else ""

    @staticmethod
    def files(top):
        """Every file below top, with its size and time of change."""
        found = {}
        for folder, _, names in os.walk(top):
            for name in names:
                info = os.lstat(os.path.join(folder, name))
                found[os.path.join(folder, name)] = (info.st_size, info.st_mtime_ns)
        return found

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
