"""The packages as users get them: built with cpack, unpacked, checked with Debian's
tools, the program run from them; the login entries started for real under Xvfb; the
MSI installed and removed with Wine's msiexec; two builds of the commit compared byte
for byte."""

import ctypes
import gzip
import io
import os
import re
import select
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import uuid
import xml.etree.ElementTree as ElementTree
import zipfile

from harness import (CLOSING, EXE, QEMU, RUNNER, RUNNER_COMMAND, WINE, confirmation,
                     host_path, prepare_runner, screen)

BUILD = os.environ.get("TORVINALE_BUILD", "")
CPACK = os.environ.get("TORVINALE_CPACK", "cpack")
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEB = bool(shutil.which("dpkg-deb")) and sys.platform.startswith("linux")
needs_deb = unittest.skipUnless(DEB, "needs dpkg-deb")

DOC = "usr/share/doc/torvinale/"
DEB_FILES = {
    "usr/bin/torvinale": 0o755,
    "usr/share/man/man1/torvinale.1.gz": 0o644,
    DOC + "copyright": 0o644,
    DOC + "changelog.gz": 0o644,
    DOC + "examples/config.ini": 0o644,
    DOC + "examples/torvinale.desktop": 0o644,
    DOC + "examples/torvinale-dex.desktop": 0o644,
}
# The .tar.gz: a static program, LICENSE in place of Debian's two files, no usr/.
TAR_FILES = {p.removeprefix("usr/") for p in DEB_FILES
             if p not in (DOC + "copyright", DOC + "changelog.gz")} | {"LICENSE"}
ZIP_FILES = {"torvinale.exe", "USAGE.txt", "create-startup-shortcut.ps1", "LICENSE"}
# readelf's machine: (the .deb's architecture, the .tar.gz's processor)
MACHINES = {"Advanced Micro Devices X86-64": ("amd64", "x86_64"), "AArch64": ("arm64", "aarch64")}
OLDEST_KERNEL = (4, 4)  # the oldest Linux still around from a decade back (2016)
PR_SET_CHILD_SUBREAPER = 36
HARDENING = ("Position Independent Executable", "Stack protected", "Fortify Source functions",
             "Read-only relocations", "Immediate binding")
# Windows' own view of the .exe and the MSI (tests/windows_probe.cpp, run under Wine).
PROBE = os.environ.get("TORVINALE_PROBE", "")
WINESERVER = os.path.join(os.path.dirname(RUNNER), "wineserver") if WINE else ""
PE_HIGH_ENTROPY_VA, PE_DYNAMIC_BASE, PE_NX_COMPAT = 0x20, 0x40, 0x100
# The manifest's supportedOS: Windows 7, 8, 8.1, and 10 and 11 (one ID).
SUPPORTED_OS = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}
MSI = bool(shutil.which("wixl") and shutil.which("msibuild") and shutil.which("msiinfo"))


def build_packages(test_class, generators, build=None):
    """Runs cpack into a fresh folder; returns the package files by extension."""
    build = build or BUILD
    if not build:
        raise unittest.SkipTest("TORVINALE_BUILD is not set")
    out = tempfile.mkdtemp(prefix="torvinale-package-")
    test_class.addClassCleanup(shutil.rmtree, out, ignore_errors=True)
    subprocess.run([CPACK, "--config", os.path.join(build, "CPackConfig.cmake"),
                    "-G", ";".join(generators), "-B", out],
                   check=True, stdout=subprocess.DEVNULL, timeout=300)
    found = {}
    for name in os.listdir(out):
        for ext in (".deb", ".tar.gz", ".zip", ".msi"):
            if name.endswith(ext):
                found[ext] = os.path.join(out, name)
    return out, found


def sample_config_for_test(sample, entry, countdown="0"):
    """The installed sample with no wait and one entry (that cannot be opened)."""
    text = re.sub(r"(?m)^Countdown=.*$", "Countdown=" + countdown, sample)
    text = re.sub(r"(?m)^Pause=.*$", "Pause=0", text)
    text = re.sub(r"(?m)^(Program\d+)=.*$", r"\1=", text)
    return text.replace("Program1=", "Program1=" + entry, 1)


def run_program(argv, cwd):
    return subprocess.run(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60)


def tool(*argv, **kwargs):
    return subprocess.run(argv, check=True, capture_output=True, text=True, timeout=300,
                          **kwargs).stdout


def version(text):
    return tuple(int(part) for part in text.split("."))


class Elf:
    """What the loader needs to start a program, as readelf shows it."""

    def __init__(self, path):
        out = tool("readelf", "--wide", "--file-header", "--program-headers", "--dynamic",
                   "--version-info", "--notes", path)
        self.machine = re.search(r"Machine:\s+(.+)", out).group(1).strip()
        self.interpreter = re.findall(r"Requesting program interpreter: ([^\]]+)", out)
        self.libraries = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
        self.runpath = re.findall(r"\((?:RPATH|RUNPATH)\)", out)
        self.glibc = max([version(v) for v in re.findall(r"Name: GLIBC_([0-9.]+)", out)],
                         default=None)
        self.kernel = version(re.search(r"OS: Linux, ABI: ([0-9.]+)", out).group(1))


def members(package):
    """{name: (metadata, bytes)} of every entry of a package, control files included."""
    def from_tar(data, prefix=""):
        found = {}
        with tarfile.open(fileobj=io.BytesIO(data)) as tar:
            for m in tar.getmembers():
                content = tar.extractfile(m).read() if m.isfile() else b""
                found[prefix + m.name] = ((m.mode, m.uid, m.gid, m.uname, m.gname, m.mtime,
                                           m.linkname), content)
        return found
    if package.endswith(".deb"):
        found = {}
        for part, option in (("control:", "--ctrl-tarfile"), ("", "--fsys-tarfile")):
            data = subprocess.run(["dpkg-deb", option, package], check=True,
                                  capture_output=True).stdout
            found.update(from_tar(data, part))
        return found
    if package.endswith(".zip"):
        with zipfile.ZipFile(package) as z:
            return {i.filename: ((i.date_time, i.external_attr), z.read(i)) for i in z.infolist()}
    with open(package, "rb") as f:
        data = f.read()
    if package.endswith(".tar.gz"):
        return from_tar(data)
    return {os.path.basename(package): ((), data)}  # a program or an MSI, whole


@unittest.skipIf(WINE, "the Windows build ships a .zip")
class PosixPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out, cls.packages = build_packages(cls, ["DEB", "TGZ"] if DEB else ["TGZ"])
        cls.root = os.path.join(cls.out, "root")
        if DEB:
            subprocess.run(["dpkg-deb", "-x", cls.packages[".deb"], cls.root], check=True)
        with tarfile.open(cls.packages[".tar.gz"]) as tar:
            tar.extractall(os.path.join(cls.out, "tar"))
        cls.top = os.listdir(os.path.join(cls.out, "tar"))[0]

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="torvinale-installed-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)

    def installed(self, path):
        return os.path.join(self.root, path)

    def unpacked(self, path):
        return os.path.join(self.out, "tar", self.top, path)

    def field(self, name):
        return subprocess.run(["dpkg-deb", "-f", self.packages[".deb"], name], check=True,
                              capture_output=True, text=True).stdout.strip()

    def run_sample(self, program, argv=None, countdown="0"):
        """Runs a program with the installed sample config; argv defaults to the runner's."""
        with open(os.path.join(SOURCE, "examples", "config.ini")) as f:
            sample = f.read()
        entry = "/no-such-file"
        config = sample_config_for_test(sample, entry, countdown)
        with open(os.path.join(self.work, "config.ini"), "w") as f:
            f.write(config)
        r = run_program(argv or RUNNER_COMMAND + [program], self.work)
        with open(os.path.join(self.work, "config.ini")) as f:
            self.assertEqual(f.read(), config)
        return r, screen(0, [entry]) + confirmation(1, launched=False) + CLOSING

    @needs_deb
    def test_deb_metadata(self):
        self.assertEqual(self.field("Package"), "torvinale")
        self.assertEqual(self.field("Section"), "utils")
        self.assertTrue(self.field("Maintainer").startswith("Torvinale developers <"))
        program = Elf(self.installed("usr/bin/torvinale"))
        arch = MACHINES[program.machine][0]
        self.assertEqual(self.field("Architecture"), arch)
        self.assertEqual(os.path.basename(self.packages[".deb"]),
                         f"torvinale_{self.field('Version')}_{arch}.deb")
        self.assertRegex(self.field("Description"), r"^\S.*\n \S")
        # The C library it asks for (the static libgcc's unwinder wants 2.35) is the one
        # it depends on.
        libc = re.fullmatch(r"libc6 \(>= ([0-9.]+)\)", self.field("Depends"))
        self.assertIsNotNone(libc, self.field("Depends"))
        self.assertGreaterEqual(version(libc.group(1)), program.glibc)
        self.assertEqual(program.libraries[0], "libc.so.6")

    @needs_deb
    def test_deb_holds_only_the_usual_places_owned_by_root(self):
        listing = subprocess.run(["dpkg-deb", "-c", self.packages[".deb"]], check=True,
                                 capture_output=True, text=True).stdout.splitlines()
        files = {}
        for row in listing:
            mode, owner, _, _, _, path = row.split(None, 5)
            self.assertEqual(owner, "root/root", row)
            self.assertTrue(path.startswith("./usr/"), row)
            if mode.startswith("-"):
                files[path[2:]] = mode
        self.assertEqual(set(files), set(DEB_FILES))
        for path, mode in DEB_FILES.items():
            self.assertEqual(os.stat(self.installed(path)).st_mode & 0o7777, mode, path)

    @needs_deb
    def test_lintian_finds_no_error_or_warning(self):
        if not shutil.which("lintian"):
            self.skipTest("needs lintian")
        r = subprocess.run(["lintian", "-EviIL", "+pedantic", self.packages[".deb"]],
                           capture_output=True, text=True, timeout=300)
        tags = [line for line in r.stdout.splitlines() if not line.startswith("N:")]
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual([t for t in tags if t.startswith(("E:", "W:"))], [], "\n".join(tags))

    @needs_deb
    def test_hardening_check_finds_every_protection(self):
        if not shutil.which("hardening-check"):
            self.skipTest("needs hardening-check (devscripts)")
        report = subprocess.run(["hardening-check", self.installed("usr/bin/torvinale")],
                                capture_output=True, text=True, timeout=60).stdout
        for feature in HARDENING:
            self.assertRegex(report, "(?m)^ " + feature + ": yes", report)

    @needs_deb
    def test_licence_is_shipped_as_debian_and_tar_users_expect(self):
        with open(os.path.join(SOURCE, "LICENSE")) as f:
            licence = f.read()
        with open(self.unpacked("LICENSE")) as f:
            self.assertEqual(f.read(), licence)
        with open(self.installed(DOC + "copyright")) as f:
            copyright = f.read()
        self.assertTrue(copyright.startswith(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"))
        self.assertIn("\nCopyright: 2026 The Torvinale authors\nLicense: Expat\n", copyright)
        text = copyright.split("\nLicense: Expat\n")[-1]
        text = "\n".join("" if line == " ." else line[1:] for line in text.splitlines())
        self.assertIn(text.strip(), licence)
        self.assertTrue(text.startswith("Permission is hereby granted"), text[:80])
        with gzip.open(self.installed(DOC + "changelog.gz"), "rt") as f:
            self.assertTrue(f.readline().startswith(f"torvinale ({self.field('Version')}) "))

    def test_tarball_holds_the_same_files_and_is_named_for_its_processor(self):
        with tarfile.open(self.packages[".tar.gz"]) as tar:
            entries = tar.getmembers()
        names = {m.name.split("/", 1)[1] for m in entries if m.isfile()}
        self.assertEqual({m.name.split("/", 1)[0] for m in entries}, {self.top})
        self.assertEqual(names, TAR_FILES)
        self.assertEqual([m.name for m in entries], sorted(m.name for m in entries))
        self.assertEqual({(m.uname, m.gname) for m in entries}, {("root", "root")})
        processor = MACHINES[Elf(self.unpacked("bin/torvinale")).machine][1]
        self.assertEqual(os.path.basename(self.packages[".tar.gz"]), self.top + ".tar.gz")
        self.assertRegex(self.top, r"^torvinale-[0-9.]+-linux-" + processor + "$")

    def test_tarball_program_needs_no_c_library_and_an_old_kernel_only(self):
        program = self.unpacked("bin/torvinale")
        elf = Elf(program)
        self.assertEqual((elf.interpreter, elf.libraries, elf.glibc), ([], [], None))
        self.assertLessEqual(elf.kernel, OLDEST_KERNEL)
        # Run in a folder that holds nothing else: no C library, no /proc.
        jail = os.path.join(self.work, "jail")
        os.mkdir(jail)
        shutil.copy(program, jail)
        if QEMU:
            argv = [RUNNER_COMMAND[0], "-L", jail, os.path.join(jail, "torvinale")]
        elif os.geteuid() == 0 and shutil.which("chroot"):
            argv = ["chroot", jail, "/torvinale"]
        else:
            self.skipTest("needs root for chroot")
        self.work = jail
        r, expected = self.run_sample(None, argv)
        self.assertEqual((r.returncode, r.stderr, r.stdout), (0, b"", expected))
        # The error report without dladdr's help still names the module, and the same
        # place in it however the program was loaded.
        reports = set()
        for _ in range(2):
            r, _ = self.run_sample(None, argv, countdown="x")
            self.assertEqual(r.returncode, 1)
            self.assertRegex(r.stderr, rb"^Exception EConvertError in module torvinale at "
                                       rb"[0-9A-F]{8}\.\r\n'x' is not a valid integer value\.\r\n")
            reports.add(r.stderr)
        self.assertEqual(len(reports), 1, reports)

    @needs_deb
    def test_installed_programs_run_the_sample_config(self):
        for program in (self.installed("usr/bin/torvinale"), self.unpacked("bin/torvinale")):
            with self.subTest(program=program):
                r, expected = self.run_sample(program)
                self.assertEqual((r.returncode, r.stderr, r.stdout), (0, b"", expected))

    @needs_deb
    def test_installed_programs_carry_no_build_paths(self):
        self.assertEqual(Elf(self.installed("usr/bin/torvinale")).runpath, [])
        for program in (self.installed("usr/bin/torvinale"), self.unpacked("bin/torvinale")):
            with open(program, "rb") as f:
                self.assertNotIn(BUILD.encode(), f.read())

    @needs_deb
    def test_man_page_renders_and_names_the_packaged_version(self):
        page = self.installed("usr/share/man/man1/torvinale.1.gz")
        with gzip.open(page, "rt") as f:
            source = f.read()
        self.assertRegex(source, r'(?m)^\.TH TORVINALE 1 \S+ "torvinale ' +
                         re.escape(self.field("Version")) + '"')
        if not shutil.which("man"):
            self.skipTest("needs man")
        env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MANPAGER="cat", PAGER="cat")
        r = subprocess.run(["man", "--warnings", "-l", page], env=env, capture_output=True,
                           text=True, timeout=60)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        for heading in ("NAME", "SYNOPSIS", "DESCRIPTION", "CONFIGURATION", "EXIT STATUS",
                        "DIAGNOSTICS", "FILES", "EXAMPLES", "SEE ALSO"):
            self.assertRegex(r.stdout, "(?m)^" + heading + "$")
        self.assertIn("torvinale - open programs", r.stdout)
        self.assertEqual([line for line in r.stdout.splitlines() if len(line) > 80], [])

    @needs_deb
    def test_autostart_entries_are_valid(self):
        for name in ("torvinale.desktop", "torvinale-dex.desktop"):
            path = self.installed(DOC + "examples/" + name)
            with open(path) as f:
                keys = dict(line.split("=", 1) for line in f.read().splitlines()
                            if "=" in line and not line.startswith("#"))
            self.assertEqual(keys["Type"], "Application")
            self.assertTrue(os.path.isabs(keys["Path"]), keys["Path"])
            if shutil.which("desktop-file-validate"):
                r = subprocess.run(["desktop-file-validate", path], capture_output=True,
                                   text=True)
                self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))


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


def wait_for(check, timeout=60):
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.1)


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


@unittest.skipUnless(WINE, "the POSIX build ships a .deb and a .tar.gz")
class WindowsZipTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out, cls.packages = build_packages(cls, ["ZIP"])
        cls.zip = cls.packages[".zip"]
        cls.version = re.fullmatch(r"torvinale-([0-9.]+)-win64\.zip",
                                   os.path.basename(cls.zip)).group(1)
        # Unpacked as the README says, into a folder of its own.
        cls.folder = os.path.join(cls.out, "Torvinale")
        with zipfile.ZipFile(cls.zip) as z:
            cls.files = {name: z.read(name) for name in z.namelist()}
            z.extractall(cls.folder)
        cls.exe = os.path.join(cls.folder, "torvinale.exe")

    def test_zip_unpacks_where_the_readme_says(self):
        self.assertEqual(set(self.files), ZIP_FILES)
        self.assertEqual(self.files["torvinale.exe"][:2], b"MZ")
        with open(os.path.join(SOURCE, "README.md")) as f:
            readme = f.read()
        self.assertIn(f"`{os.path.basename(self.zip)}`", readme)
        paths = re.findall(r"`C:\\Tools\\Torvinale\\([^`]+)`", readme)
        self.assertIn("torvinale.exe", paths)
        for path in paths:
            self.assertIn(path.replace("\\", "/"), self.files)

    def test_texts_have_windows_line_ends(self):
        for name in ("USAGE.txt", "create-startup-shortcut.ps1", "LICENSE"):
            with self.subTest(name=name):
                text = self.files[name]
                self.assertGreater(text.count(b"\r\n"), 10)
                self.assertEqual(text.count(b"\n"), text.count(b"\r\n"))
                self.assertEqual(text.count(b"\r"), text.count(b"\r\n"))
                text.decode("ascii")
        with open(os.path.join(SOURCE, "LICENSE"), "rb") as f:
            self.assertEqual(self.files["LICENSE"], f.read().replace(b"\n", b"\r\n"))

    def test_program_is_hardened_needs_no_dll_beyond_windows_and_has_no_time_stamp(self):
        objdump = shutil.which("x86_64-w64-mingw32-objdump")
        if not objdump:
            self.skipTest("needs x86_64-w64-mingw32-objdump")
        headers = tool(objdump, "-p", self.exe)
        dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", headers)}
        self.assertTrue(dlls)
        for dll in dlls:
            self.assertRegex(dll, r"^(kernel32|user32|shell32|ole32|msvcrt|advapi32|ntdll|"
                             r"api-ms-win-[a-z0-9-]+)\.dll$")
        # The stack protector's canary comes from the system's random numbers.
        self.assertIn("CryptGenRandom", headers)
        flags = int(re.search(r"DllCharacteristics\s+([0-9a-fA-F]+)", headers).group(1), 16)
        for flag in (PE_HIGH_ENTROPY_VA, PE_DYNAMIC_BASE, PE_NX_COMPAT):
            self.assertTrue(flags & flag, hex(flag))
        with open(self.exe, "rb") as f:
            image = f.read()
        pe = struct.unpack_from("<I", image, 0x3C)[0]
        self.assertEqual(image[pe:pe + 4], b"PE\0\0")
        self.assertEqual(struct.unpack_from("<I", image, pe + 8)[0], 0, "link time stamp")

    def test_program_shows_windows_its_version_and_asks_for_no_elevation(self):
        if not PROBE:
            self.skipTest("TORVINALE_PROBE is not set")
        prepare_runner()
        r = subprocess.run([RUNNER, PROBE, "version", host_path(self.exe)], capture_output=True,
                           text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        with open(os.path.join(SOURCE, "LICENSE")) as f:
            copyright = next(line for line in f if line.startswith("Copyright ")).strip()
        four = self.version + ".0"
        self.assertEqual(dict(line.split("=", 1) for line in r.stdout.splitlines()), {
            "Signature": "FEEF04BD", "FILEVERSION": four, "PRODUCTVERSION": four,
            "FileType": "1", "Translation": "040904b0",
            "CompanyName": "Torvinale developers",
            "FileDescription": "Torvinale - delayed start at login",
            "FileVersion": four, "InternalName": "torvinale", "LegalCopyright": copyright,
            "OriginalFilename": "torvinale.exe", "ProductName": "Torvinale",
            "ProductVersion": four})

        windres = shutil.which("x86_64-w64-mingw32-windres")
        if not windres:
            self.skipTest("needs x86_64-w64-mingw32-windres")
        script = tool(windres, "-i", self.exe, "-O", "rc")
        lines = re.search(r"(?ms)^1 24 /\* RT_MANIFEST \*/\nBEGIN\n(.*?)^END", script).group(1)
        manifest = "".join(line.strip()[1:-1].replace('""', '"').replace("\\n", "\n")
                           for line in lines.splitlines())
        root = ElementTree.fromstring(manifest)
        levels = [e.get("level") for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
        self.assertEqual(levels, ["asInvoker"])
        self.assertEqual({e.get("Id") for e in root.iter() if e.tag.endswith("}supportedOS")},
                         SUPPORTED_OS)
        # Texts stay in the system's ANSI code page.
        self.assertEqual([e.tag for e in root.iter() if "CodePage" in e.tag], [])

    def test_unpacked_program_runs_under_wine(self):
        work = tempfile.mkdtemp(prefix="torvinale-unzipped-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        folder = os.path.join(work, "Torvinale")
        shutil.copytree(self.folder, folder)
        entry = host_path(os.path.join(folder, "no-such-file.txt"))
        config = f"[Torvinale]\r\nCountdown=0\r\nPause=0\r\nProgram1={entry}\r\n".encode()
        with open(os.path.join(folder, "config.ini"), "wb") as f:
            f.write(config)
        prepare_runner()
        r = run_program([RUNNER, os.path.join(folder, "torvinale.exe")], folder)
        self.assertEqual(r.stderr, b"")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, screen(0, [entry]) + confirmation(1, launched=False) + CLOSING)


@unittest.skipUnless(WINE, "the MSI is for Windows")
@unittest.skipUnless(MSI and shutil.which("tmux"), "needs wixl, msitools and tmux")
class WindowsInstallerTest(unittest.TestCase):
    """The MSI as an admin deploys it, in a Wine prefix of its own: installed for the user
    with msiexec, the login shortcut read back and run as the shell runs it (in a console,
    tmux, where a key can end the wait after a failed run), then uninstalled."""

    @classmethod
    def setUpClass(cls):
        if not PROBE:
            raise unittest.SkipTest("TORVINALE_PROBE is not set")
        cls.out, packages = build_packages(cls, ["ZIP", "External"])
        cls.msi, cls.zip = packages[".msi"], packages[".zip"]
        cls.prefix = tempfile.mkdtemp(prefix="torvinale-wine-")
        cls.addClassCleanup(shutil.rmtree, cls.prefix, ignore_errors=True)
        # No display (the default config.ini opens Notepad), no menu entries written to
        # the real home, no offer to install Mono or Gecko.
        cls.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        cls.env.update(WINEPREFIX=cls.prefix, WINEDEBUG="-all",
                       WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d")
        cls.addClassCleanup(subprocess.run, [WINESERVER, "-k"], env=cls.env,
                            stderr=subprocess.DEVNULL, check=False)
        cls.wine("cmd", "/c", "exit")  # creates the prefix
        local = cls.wine("cmd", "/c", "echo", "%LOCALAPPDATA%").stdout.decode().strip()
        roaming = cls.wine("cmd", "/c", "echo", "%APPDATA%").stdout.decode().strip()
        cls.win_folder = local + r"\Programs\Torvinale"
        cls.link = roaming + r"\Microsoft\Windows\Start Menu\Programs\Startup\Torvinale.lnk"
        cls.folder = cls.unix(cls.win_folder)
        # Windows' timeout.exe waits or ends at a key; Wine 8.0 has none (its cmd says
        # "Can't recognize 'timeout /t 60' ..." and the window closes). The probe stands in.
        shutil.copy(PROBE, cls.unix(r"C:\windows\system32\timeout.exe"))

    @classmethod
    def wine(cls, *argv, check=True):
        r = subprocess.run([RUNNER, *argv], env=cls.env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=300)
        if check and r.returncode != 0:
            raise AssertionError(f"{argv} ended with {r.returncode}: {r.stdout + r.stderr}")
        return r

    @classmethod
    def unix(cls, path):
        """The file in the prefix that a C:\\ path names, spelt as on disk."""
        found = os.path.join(cls.prefix, "drive_c")
        for part in filter(None, path.split(":\\", 1)[1].split("\\")):
            names = os.listdir(found) if os.path.isdir(found) else []
            found = os.path.join(found, next((n for n in names if n.lower() == part.lower()), part))
        return found

    def msiexec(self, action):
        r = self.wine("msiexec", action, host_path(self.msi), "/qn", check=False)
        self.assertEqual(r.returncode, 0, f"msiexec {action}: {r.stdout + r.stderr}")

    def install(self):
        """Installs the MSI in a profile without a Torvinale folder; removes it after."""
        shutil.rmtree(self.folder, ignore_errors=True)
        self.msiexec("/i")
        self.addCleanup(self.wine, "msiexec", "/x", host_path(self.msi), "/qn", check=False)
        r = self.wine(PROBE, "shortcut", self.link)
        return dict(line.split("=", 1) for line in r.stdout.decode().splitlines())

    def test_installs_for_the_user_starts_at_login_and_uninstalls_keeping_config_ini(self):
        link = self.install()
        self.assertEqual(sorted(os.listdir(self.folder)), ["LICENSE", "USAGE.txt", "torvinale.exe"])
        with zipfile.ZipFile(self.zip) as z:
            for name in os.listdir(self.folder):
                with open(os.path.join(self.folder, name), "rb") as f:
                    self.assertEqual(f.read(), z.read(name), name)
        self.assertEqual(link["Target"].lower(), r"c:\windows\system32\cmd.exe")
        self.assertEqual(link["WorkingDirectory"].rstrip("\\"), self.win_folder)
        self.assertIn(f'"{self.win_folder}\\torvinale.exe"', link["Arguments"])

        # The first login: the program runs in its folder and writes the default there.
        r = self.wine(PROBE, "run", link["Target"], link["Arguments"], link["WorkingDirectory"],
                      check=False)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertTrue(r.stdout.endswith(CLOSING), r.stdout[-200:])
        with open(os.path.join(self.folder, "config.ini"), "rb") as f:
            self.assertTrue(f.read().startswith(b"[Torvinale]\r\nCountdown=5\r\nPause=1500\r\n"))

        self.msiexec("/x")
        self.assertEqual(os.listdir(self.folder), ["config.ini"])
        self.assertFalse(os.path.exists(self.unix(self.link)))
        self.assertNotEqual(self.wine("reg", "query", r"HKCU\Software\Torvinale",
                                      check=False).returncode, 0)

    def test_login_window_closes_after_a_good_run_and_waits_after_a_failed_one(self):
        link = self.install()
        # The script writes the MSI's command, for the program it is given: here a copy in
        # a folder whose name has a blank.
        with open(os.path.join(SOURCE, "examples", "create-startup-shortcut.ps1")) as f:
            before, after = re.search(r"(?m)^\$link\.Arguments = '(.*)' \+ \$Program \+ '(.*)'$",
                                      f.read()).groups()
        row = tool("msiinfo", "export", self.msi, "Shortcut").splitlines()[-1].split("\t")
        self.assertEqual(row[5], before + "[#torvinale.exe]" + after)
        spaced = os.path.join(self.out, "Start in")
        os.makedirs(spaced, exist_ok=True)
        shutil.copy(os.path.join(self.folder, "torvinale.exe"), spaced)
        script = dict(link, Arguments=before + host_path(os.path.join(spaced, "torvinale.exe")) +
                      after, WorkingDirectory=host_path(spaced))
        for name, command, folder in (("msi", link, self.folder), ("script", script, spaced)):
            with self.subTest(shortcut=name):
                self.check_login_window(command, folder)

    def check_login_window(self, command, folder):
        for countdown, report in (("0", None), ("soon", "'soon' is not a valid integer value.")):
            with open(os.path.join(folder, "config.ini"), "wb") as f:
                f.write(f"[Torvinale]\r\nCountdown={countdown}\r\nPause=0\r\n".encode())
            session, ended = self.console(command)
            if report is None:
                self.assertEqual(wait_for(ended, timeout=120), "0", self.pane(session))
                self.assertIn("Closing program...", self.pane(session))
                self.assertNotIn("Waiting", self.pane(session))
                continue
            text = wait_for(lambda: "Waiting for 60 seconds" in self.pane(session) and
                            self.pane(session), timeout=120)
            self.assertTrue(text, "no wait after the failed run: " + self.pane(session))
            self.assertIn(report, text)
            time.sleep(3)
            self.assertFalse(ended(), "the window closed within 3 s: " + self.pane(session))
            subprocess.run(["tmux", "send-keys", "-t", session, "x"], check=True)
            self.assertTrue(wait_for(ended, timeout=60), "a key did not end the wait")

    def console(self, command):
        """Runs the shortcut's command in a new tmux window; returns the session and a
        check that gives the probe's exit code once it has ended."""
        session = "torvinale-login-%d-%s" % (os.getpid(), uuid.uuid4().hex[:8])
        done = os.path.join(self.out, session + ".rc")
        argv = [RUNNER, PROBE, "run", command["Target"], command["Arguments"],
                command["WorkingDirectory"]]
        env = " ".join(f"{k}={shlex.quote(self.env[k])}"
                       for k in ("WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES"))
        line = (f"env -u DISPLAY -u WAYLAND_DISPLAY {env} {shlex.join(argv)}; "
                f"echo $? > {shlex.quote(done)}.new; mv {shlex.quote(done)}.new {shlex.quote(done)}; "
                "sleep 600")
        subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "120", "-y", "50", line],
                       check=True)
        self.addCleanup(subprocess.run, ["tmux", "kill-session", "-t", session],
                        stderr=subprocess.DEVNULL, check=False)

        def ended():
            try:
                with open(done) as f:
                    return f.read().strip()
            except FileNotFoundError:
                return ""
        return session, ended

    @staticmethod
    def pane(session):
        return subprocess.run(["tmux", "capture-pane", "-p", "-t", session], capture_output=True,
                              text=True, check=True).stdout


def cache_entries(build):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        return dict(re.findall(r"(?m)^(\w+):\w+=(.*)$", f.read()))


class ReproducibleBuildTest(unittest.TestCase):
    """The commit cloned into two folders and built there as this build was configured:
    the program and every package must be the same, byte for byte, and hold neither
    folder's name."""

    def setUp(self):
        if not BUILD:
            self.skipTest("TORVINALE_BUILD is not set")
        self.cache = cache_entries(BUILD)
        self.source = self.cache["CMAKE_HOME_DIRECTORY"]
        if subprocess.run(["git", "-C", self.source, "rev-parse", "HEAD"],
                          capture_output=True).returncode != 0:
            self.skipTest("needs git and the history of the source")
        self.work = tempfile.mkdtemp(prefix="torvinale-repro-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)

    def configure(self, folder, env=None):
        """Clones the commit into folder/src and configures it; returns the build folder."""
        source = os.path.join(folder, "src")
        tool("git", "clone", "--quiet", self.source, source)
        binary = os.path.join(source, "build")
        options = ["-DCMAKE_BUILD_TYPE=" + self.cache["CMAKE_BUILD_TYPE"], "-DTORVINALE_TESTS=OFF"]
        toolchain = self.cache.get("CMAKE_TOOLCHAIN_FILE")
        if toolchain:
            options.append("-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(
                source, os.path.relpath(toolchain, self.source)))
        tool("cmake", "-S", source, "-B", binary, *options, env=env)
        return binary

    def test_two_builds_of_the_commit_give_the_same_packages(self):
        packages = []
        for folder in ("one", "the-second-build"):
            binary = self.configure(os.path.join(self.work, folder))
            tool("cmake", "--build", binary, "-j2")
            out = os.path.join(self.work, folder, "packages")
            tool(CPACK, "--config", os.path.join(binary, "CPackConfig.cmake"), "-B", out)
            found = {name: os.path.join(out, name) for name in os.listdir(out)
                     if name.endswith((".deb", ".tar.gz", ".zip", ".msi"))}
            found["torvinale" + EXE] = os.path.join(binary, "torvinale" + EXE)
            packages.append(found)
        self.assertTrue(packages[0])
        self.assertEqual(set(packages[0]), set(packages[1]))
        for name, first in packages[0].items():
            with self.subTest(package=name):
                one, two = members(first), members(packages[1][name])
                self.assertEqual(set(one), set(two))
                self.assertEqual([m for m in one if one[m] != two[m]], [])
                with open(first, "rb") as a, open(packages[1][name], "rb") as b:
                    self.assertTrue(a.read() == b.read(), "the entries match, the files differ")
                for member, (_, content) in one.items():
                    self.assertNotIn(self.work.encode(), content, member)

    @unittest.skipIf(QEMU or WINE or not shutil.which("dpkg-buildflags"),
                     "needs native dpkg-buildflags")
    def test_flags_from_the_environment_reach_compiler_and_linker(self):
        folder = os.path.join(self.work, "packager")
        os.makedirs(folder)
        flags = {name: tool("dpkg-buildflags", "--get", name, cwd=folder).strip()
                 for name in ("CPPFLAGS", "CXXFLAGS", "LDFLAGS")}
        binary = self.configure(folder, env=dict(os.environ, **flags))
        with open(os.path.join(binary, "CMakeFiles", "torvinale.dir", "flags.make")) as f:
            compile_flags = f.read()
        with open(os.path.join(binary, "CMakeFiles", "torvinale.dir", "link.txt")) as f:
            link_line = f.read()
        for flag in (flags["CPPFLAGS"] + " " + flags["CXXFLAGS"]).split():
            self.assertIn(" " + flag + " ", compile_flags)
        for flag in flags["LDFLAGS"].split():
            self.assertIn(" " + flag + " ", link_line)
        # The packager's _FORTIFY_SOURCE level is the one that counts.
        self.assertNotIn("-U_FORTIFY_SOURCE", compile_flags)


if __name__ == "__main__":
    unittest.main()
