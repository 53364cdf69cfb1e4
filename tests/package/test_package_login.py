import ctypes
import os
import pwd
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


def processes_with(*variables):
    """By variable=value, (pid, program file) of the live processes whose environment
    holds it."""
    found = {variable: [] for variable in variables}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                held = found.keys() & set(f.read().split(b"\0"))
            if held:
                program = os.readlink(f"/proc/{pid}/exe")
                for variable in held:
                    found[variable].append((int(pid), program))
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


class Case:
    """One start of the entry: by which launcher, in which terminal, with XDG_CONFIG_HOME
    set (to a folder of its own), unset or relative, in the settings folder or in one
    given to torvinale-login, and with a config.ini that works ("good"), one that fails
    ("failed") or no folder at all ("gone")."""

    def __init__(self, launcher, terminal="xterm", xdg="unset", custom=False, kind="good"):
        self.launcher, self.terminal, self.xdg = launcher, terminal, xdg
        self.custom, self.kind = custom, kind

    def __repr__(self):
        return (f"{self.kind} run, {self.launcher}, {self.terminal}, XDG_CONFIG_HOME {self.xdg}"
                + (", folder of its own" if self.custom else ""))


@unittest.skipIf(WINE, "the Windows build ships a .zip")
@unittest.skipIf(QEMU, "the entries start the package's program natively")
class LoginEntryTest(unittest.TestCase):
    """The README's set-up, then the autostart entry started by each real launcher under
    Xvfb, in xterm and in sakura (whose -e takes the command as one string): the
    countdown on a terminal, a run in the settings folder, a terminal that closes when the
    run went well and stays open with what went wrong when it failed or the folder is
    gone. The cases of a test start at once, on one display. Then what the entry runs,
    torvinale-login, on its own."""

    # The generator is KDE Plasma's and other sessions' autostart, GLib GNOME's and
    # Xfce's, dex that of window managers.
    LAUNCHERS = ("gio launch", "dex", "dex --autostart", "systemd-xdg-autostart-generator")
    # A relative XDG_CONFIG_HOME only with launchers given the entry's file: where
    # dex --autostart and the generator then look for entries is theirs to decide.
    GOOD = [Case("gio launch", "xterm", "set"), Case("dex", "xterm", "relative"),
            Case("dex --autostart", "xterm", "unset"),
            Case("systemd-xdg-autostart-generator", "xterm", "set"),
            Case("gio launch", "sakura", "relative"), Case("dex", "sakura", "set"),
            Case("dex --autostart", "sakura", "set"),
            Case("systemd-xdg-autostart-generator", "sakura", "unset")]
    CUSTOM = [Case("gio launch", "sakura", custom=True), Case("dex", "xterm", custom=True),
              Case("dex --autostart", "sakura", custom=True),
              Case("systemd-xdg-autostart-generator", "xterm", custom=True),
              Case("systemd-xdg-autostart-generator", "sakura", custom=True)]
    FAILED = [Case(launcher, xdg=xdg, kind="failed")
              for launcher, xdg in zip(LAUNCHERS, ("relative", "set", "unset", "set"))]
    GONE = [Case(launcher, xdg=xdg, kind="gone")
            for launcher, xdg in zip(LAUNCHERS, ("set", "relative", "set", "unset"))]

    @classmethod
    def setUpClass(cls):
        missing = [t for t in ("Xvfb", "xterm", "sakura", "dex", "gio", "tmux", "dpkg-deb")
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

    def test_the_entry_as_shipped_shows_the_countdown_and_runs_in_the_settings_folder(self):
        self.check_good_runs(self.GOOD)

    def test_a_folder_of_ones_own_given_as_the_readme_writes_it_for_each_terminal(self):
        self.check_good_runs(self.CUSTOM)

    def check_good_runs(self, cases):
        runs = self.start_all(cases)
        program = os.path.realpath(os.path.join(self.root, "usr/bin/torvinale"))

        # The runs take seconds: all are watched at once, so that none ends unseen.
        def settled():
            found = processes_with(*(run["token"].encode() for run in runs))
            for run in runs:
                for pid, exe in found[run["token"].encode()]:
                    if exe == program and "output" not in run:
                        try:
                            run["output"] = os.readlink(f"/proc/{pid}/fd/1")
                        except OSError:
                            pass
            return all(os.path.exists(run["ran_in"]) and not self.terminals(run, found)
                       for run in runs)
        wait_for(settled, timeout=180)
        for case, run in zip(cases, runs):
            with self.subTest(case=case):
                self.assertRegex(run.get("output", ""), r"^/dev/pts/[0-9]+$",
                                 "the program's standard output: " + self.launcher_log(run))
                self.assertTrue(os.path.exists(run["ran_in"]),
                                "nothing ran: " + self.launcher_log(run))
                with open(run["ran_in"]) as f:
                    self.assertEqual(f.read().strip(), os.path.realpath(run["folder"]))
                self.assertFalse(self.terminals(run),
                                 "the terminal stayed open after a run that went well")
                if case.terminal == "xterm":
                    with open(run["screen"], errors="replace") as f:
                        text = f.read()
                    self.assertIn("Countdown: 0 ", text)
                    self.assertRegex(text, r"Program1\.+EXECUTED")

    def test_each_launcher_keeps_a_failed_run_readable(self):
        runs = self.start_all(self.FAILED)
        self.wait_all(runs, lambda run: self.shown(run["screen"], "Press Enter"))
        time.sleep(5)
        for case, run in zip(self.FAILED, runs):
            with self.subTest(case=case):
                text = run["seen"]
                self.assertTrue(text, "nothing on the screen: " + self.launcher_log(run))
                self.assertIn("Exception EConvertError in module torvinale", text)
                self.assertIn("'soon' is not a valid integer value.", text)
                self.assertIn("torvinale ended with exit code 1.", text)
                self.assertTrue(self.terminals(run), "the terminal closed within 5 s")
                self.assertGreaterEqual(time.monotonic() - run["seen_at"], 5)

    def test_each_launcher_shows_a_folder_that_is_gone_and_writes_nothing(self):
        runs = self.start_all(self.GONE)
        self.wait_all(runs, lambda run: self.shown(run["screen"], "Press Enter"))
        for case, run in zip(self.GONE, runs):
            with self.subTest(case=case):
                self.assertIn(f"there is no folder {run['folder']} ", run["seen"],
                              "nothing on the screen: " + self.launcher_log(run))
                self.assertTrue(run["open"], "the terminal closed at once")
                # No config.ini, in the home folder or anywhere else below it.
                ours = {run["screen"], run["env"]["XENVIRONMENT"], run["log"]}
                after = self.files(run["home"])
                before = run["before"]
                self.assertEqual(sorted(p for p in (set(before) | set(after)) - ours
                                        if before.get(p) != after.get(p)), [])

    def test_readme_lines_copy_the_entry_as_it_is_and_keep_a_config_ini_that_is_there(self):
        run = self.install(Case("dex"), display=":0")
        with open(os.path.join(self.root, DOC, "examples", "torvinale.desktop"), "rb") as f:
            shipped = f.read()
        with open(run["entry"], "rb") as f:
            self.assertEqual(f.read(), shipped)
        config = os.path.join(run["folder"], "config.ini")
        with open(config, "w") as f:
            f.write("[Torvinale]\nCountdown=9\n")
        # Newer coreutils end `cp -n` with an error where it copied nothing.
        subprocess.run(["sh", "-c", run["setup"]], env=run["setup_env"],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        with open(config) as f:
            self.assertEqual(f.read(), "[Torvinale]\nCountdown=9\n")

    def test_helper_without_a_folder_takes_the_settings_folder_as_xdg_says(self):
        # HOME unset or relative is the account's home, as the shell's ~ is; a test run
        # never goes there, it only shows that no such folder is there.
        account = pwd.getpwuid(os.getuid()).pw_dir.rstrip("/") + "/.config/torvinale"
        for variables, expected in ((dict(XDG_CONFIG_HOME="{home}/xdg//"), "{home}/xdg/torvinale"),
                                    (dict(XDG_CONFIG_HOME=""), "{home}/.config/torvinale"),
                                    (dict(XDG_CONFIG_HOME="xdg"), "{home}/.config/torvinale"),
                                    (dict(HOME=None), account), (dict(HOME="."), account)):
            with self.subTest(variables=variables):
                home = tempfile.mkdtemp(prefix="torvinale home-")
                self.addCleanup(shutil.rmtree, home, ignore_errors=True)
                ran_in = os.path.join(home, "ran-in")
                for folder in ("xdg/torvinale", ".config/torvinale"):
                    os.makedirs(os.path.join(home, folder))
                    self.write_marked_config(os.path.join(home, folder), ran_in, countdown="0")
                env = {"PATH": "/nonexistent", "HOME": home}
                for name, value in variables.items():
                    if value is None:
                        del env[name]
                    else:
                        env[name] = value.format(home=home)
                expected = expected.format(home=home)
                if not expected.startswith(home) and os.path.exists(expected):
                    self.skipTest(expected + " is there: a run would use it")
                # Started in the home folder, which holds the relative XDG_CONFIG_HOME.
                r = subprocess.run([os.path.join(self.root, "usr/bin/torvinale-login")],
                                   cwd=home, env=env, stdin=subprocess.DEVNULL,
                                   capture_output=True, text=True, timeout=60)
                if expected.startswith(home):
                    self.assertEqual(r.returncode, 0, r.stdout)
                    with open(ran_in) as f:
                        self.assertEqual(f.read().strip(), os.path.realpath(expected))
                else:
                    self.assertIn(f"there is no folder {expected} ", r.stdout)
                    self.assertFalse(os.path.exists(ran_in))

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
        run = self.install(Case("gio launch"), XDisplay(self).name)
        env, home, folder, token = run["env"], run["home"], run["folder"], run["token"]
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
        self.assertTrue(wait_for(lambda: not self.terminals(run)), "the terminal stayed open")

    def start_all(self, cases):
        """Sets up a home folder for each case and starts them all on one display; returns
        what each run needs checking with."""
        display = XDisplay(self)
        runs = [self.install(case, display.name) for case in cases]
        for case, run in zip(cases, runs):
            if case.kind == "gone":
                os.rename(run["folder"], run["folder"] + "-moved")
                run["before"] = self.files(run["home"])
            else:
                self.write_marked_config(run["folder"], run["ran_in"],
                                         countdown="2" if case.kind == "good" else "soon")
        for run in runs:
            self.start(run)
        return runs

    def wait_all(self, runs, seen, timeout=180):
        """Polls seen(run) for all runs at once until each has given a value, kept as
        run["seen"], with the time it came as run["seen_at"] and whether the terminal
        was open then as run["open"]: a run that lags never blames the others."""
        def all_seen():
            for run in runs:
                if not run.get("seen"):
                    run["seen"], run["seen_at"] = seen(run), time.monotonic()
                    run["open"] = bool(self.terminals(run))
            return all(run["seen"] for run in runs)
        wait_for(all_seen, timeout)

    def install(self, case, display):
        """A home folder set up with the README's lines, as a user of the case would."""
        # A blank in the name, where the entry's folder, if any, is quoted in Exec=.
        home = tempfile.mkdtemp(prefix="torvinale home-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        # Only what the entry needs, so that the terminal is the case's on any machine.
        tools = os.path.join(home, "tools")
        os.mkdir(tools)
        terminal = shutil.which(case.terminal)
        for name, target in (("sh", "/bin/sh"), (case.terminal, terminal),
                             ("x-terminal-emulator", terminal)):
            os.symlink(target, os.path.join(tools, name))
        os.mkdir(os.path.join(home, "no-system-entries"))
        token = "TORVINALE_LOGIN_TEST=" + uuid.uuid4().hex
        env = {"HOME": home, "LANG": "C.UTF-8", "DISPLAY": display,
               "PATH": tools + ":" + os.path.join(self.root, "usr/bin"),
               "XDG_CONFIG_DIRS": os.path.join(home, "no-system-entries"),
               "XENVIRONMENT": os.path.join(home, "xterm.resources")}
        env.update([token.split("=", 1)])
        settings = os.path.join(home, ".config")
        setup = readme_lines("~/.config/autostart/")
        if case.xdg == "set":
            settings = env["XDG_CONFIG_HOME"] = os.path.join(home, "my settings")
            setup = setup.replace("~/.config", '"$XDG_CONFIG_HOME"')
        elif case.xdg == "relative":
            # Where the launchers start us: a folder that must not be taken.
            env["XDG_CONFIG_HOME"] = "elsewhere"
            os.makedirs(os.path.join(home, "elsewhere", "torvinale"))
        setup = setup.replace("/usr/share/doc/torvinale", os.path.join(self.root, DOC))
        setup_env = dict(env, PATH="/usr/bin:/bin")
        subprocess.run(["sh", "-ec", setup], env=setup_env, stdin=subprocess.DEVNULL,
                       check=True, timeout=60)
        run = {"case": case, "env": env, "home": home, "token": token, "setup": setup,
               "setup_env": setup_env, "folder": os.path.join(settings, "torvinale"),
               "entry": os.path.join(settings, "autostart", "torvinale.desktop"),
               "ran_in": os.path.join(home, "ran-in"), "log": os.path.join(home, "launcher.log"),
               "screen": os.path.join(home, case.kind + ".screen")}
        if case.custom:
            run["folder"] = self.write_own_folder(run["entry"], home, case.terminal == "sakura")
            os.makedirs(run["folder"])
        return run

    @staticmethod
    def write_own_folder(entry, home, one_string):
        """Writes the README's example folder, moved into home, into the entry as the
        README says: in double quotes, and for a terminal whose -e takes one string in
        single quotes within them. Returns the folder."""
        example = next(line for line in readme_lines("Mes Documents").splitlines()
                       if line.startswith("Exec="))
        quoted = re.search(r'"/home/me/([^"]*)"', example)
        folder = os.path.join(home, quoted.group(1))
        written = f"'{folder}'" if one_string else folder
        with open(entry) as f:
            text = f.read()
        exec_line = example.replace(quoted.group(0), f'"{written}"')
        with open(entry, "w") as f:
            f.write(re.sub(r"(?m)^Exec=.*$", lambda _: exec_line, text))
        return folder

    def write_config(self, folder, countdown):
        with open(os.path.join(folder, "config.ini"), "w") as f:
            f.write(sample_config_for_test(self.sample, "./mark.sh", countdown))

    def write_marked_config(self, folder, ran_in, countdown):
        """A config.ini whose entry writes the folder it ran in to ran_in, whole or not at
        all, so that no poll sees half of it. The entry is relative: found in the folder
        only."""
        with open(os.path.join(folder, "mark.sh"), "w") as f:
            f.write(f'#!/bin/sh\npwd > "{ran_in}.part" && /bin/mv "{ran_in}.part" "{ran_in}"\n')
        os.chmod(os.path.join(folder, "mark.sh"), 0o755)
        self.write_config(folder, countdown)

    def start(self, run):
        """Starts the case's launcher as a session does, in the home folder."""
        env, home = run["env"], run["home"]
        with open(env["XENVIRONMENT"], "w") as f:
            f.write(f"XTerm*logging: true\nXTerm*logFile: {run['screen']}\n")
        launcher = run["case"].launcher
        with open(run["log"], "a") as log:
            if launcher == "systemd-xdg-autostart-generator":
                proc = self.start_unit(run, log)
            else:
                argv = launcher.split()
                argv += [] if "--autostart" in argv else [run["entry"]]
                proc = subprocess.Popen([shutil.which(argv[0])] + argv[1:], cwd=home, env=env,
                                        stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.addCleanup(proc.wait, timeout=60)
        self.addCleanup(self.end_processes, run["token"])

    def start_unit(self, run, journal):
        """Has the generator make the entry's unit, as a user manager does at login, then
        starts it as the manager would: in its working folder, with standard input
        /dev/null and standard output and error to the journal."""
        env = run["env"]
        units = tempfile.mkdtemp(prefix="torvinale-units-")
        self.addCleanup(shutil.rmtree, units, ignore_errors=True)
        subprocess.run([GENERATOR, units, units, units], env=env, stdin=subprocess.DEVNULL,
                       stdout=journal, stderr=journal, check=True, timeout=60)
        unit = os.path.join(units, "app-torvinale@autostart.service")
        journal.flush()
        self.assertTrue(os.path.exists(unit), "no unit: " + self.launcher_log(run))
        keys = unit_keys(unit)
        program, argv = systemd_command(keys["ExecStart"])
        return subprocess.Popen(argv, executable=program, env=env,
                                cwd=systemd_working_directory(keys.get("WorkingDirectory"),
                                                              run["home"]),
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
    def launcher_log(run):
        with open(run["log"], errors="replace") as f:
            return f.read()[-2000:]

    @staticmethod
    def terminals(run, found=None):
        """The run's terminal processes, in found (by processes_with) or live."""
        token = run["token"].encode()
        terminal = os.path.realpath(shutil.which(run["case"].terminal))
        return [pid for pid, program in (found or processes_with(token))[token]
                if program == terminal]

    @staticmethod
    def end_processes(token):
        token = token.encode()
        for pid, _ in processes_with(token)[token]:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        wait_for(lambda: not processes_with(token)[token], timeout=30)
        while True:
            try:
                if os.waitpid(-1, os.WNOHANG)[0] == 0:
                    break
            except ChildProcessError:
                break


if __name__ == "__main__":
    unittest.main()
