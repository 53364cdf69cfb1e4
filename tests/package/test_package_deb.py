import gzip
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

from harness import CLOSING, IS_ROOT, QEMU, RUNNER_COMMAND, WINE, confirmation, screen
from package_common import (BUILD, DOC, SOURCE, build_packages, sample_config_for_test,
                            run_program, tool)

DEB = bool(shutil.which("dpkg-deb")) and sys.platform.startswith("linux")
needs_deb = unittest.skipUnless(DEB, "needs dpkg-deb")

DEB_FILES = {
    "usr/bin/torvinale": 0o755,
    "usr/bin/torvinale-login": 0o755,
    "usr/share/man/man1/torvinale.1.gz": 0o644,
    "usr/share/man/man1/torvinale-login.1.gz": 0o644,
    DOC + "copyright": 0o644,
    DOC + "changelog.gz": 0o644,
    DOC + "examples/config.ini": 0o644,
    DOC + "examples/torvinale.desktop": 0o644,
}
# The .tar.gz: a static program, LICENSE in place of Debian's two files, no usr/.
TAR_FILES = {p.removeprefix("usr/") for p in DEB_FILES
             if p not in (DOC + "copyright", DOC + "changelog.gz")} | {"LICENSE"}
# readelf's machine: (the .deb's architecture, the .tar.gz's processor)
MACHINES = {"Advanced Micro Devices X86-64": ("amd64", "x86_64"), "AArch64": ("arm64", "aarch64")}
OLDEST_KERNEL = (4, 4)  # the oldest Linux still around from a decade back (2016)
HARDENING = ("Position Independent Executable", "Stack protected", "Fortify Source functions",
             "Read-only relocations", "Immediate binding")


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
        # What opens documents and URLs, and what starts menu entries.
        self.assertEqual(self.field("Recommends"), "xdg-utils, libglib2.0-bin")
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
        elif IS_ROOT and shutil.which("chroot"):
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
    def test_autostart_entry_is_valid(self):
        path = self.installed(DOC + "examples/torvinale.desktop")
        with open(path) as f:
            keys = dict(line.split("=", 1) for line in f.read().splitlines()
                        if "=" in line and not line.startswith("#"))
        self.assertEqual(keys["Type"], "Application")
        # The folder is torvinale-login's, as launchers differ on a Path= that is missing,
        # and the entry names none: it is copied, never edited.
        self.assertNotIn("Path", keys)
        self.assertEqual(keys["Exec"], "x-terminal-emulator -e torvinale-login")
        if shutil.which("desktop-file-validate"):
            r = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True)
            self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main()
