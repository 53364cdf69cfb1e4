"""The packages as users get them: built with cpack, unpacked, the program run from them."""

import gzip
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

from harness import CLOSING, RUNNER, WINE, confirmation, host_path, prepare_runner, screen

BUILD = os.environ.get("TORVINALE_BUILD", "")
CPACK = os.environ.get("TORVINALE_CPACK", "cpack")
DEB = bool(shutil.which("dpkg-deb")) and sys.platform.startswith("linux")
needs_deb = unittest.skipUnless(DEB, "needs dpkg-deb")

DEB_FILES = {
    "usr/bin/torvinale": 0o755,
    "usr/share/man/man1/torvinale.1.gz": 0o644,
    "usr/share/doc/torvinale/examples/config.ini": 0o644,
    "usr/share/doc/torvinale/examples/torvinale.desktop": 0o644,
}
ZIP_FILES = {"torvinale.exe", "USAGE.txt", "create-startup-shortcut.ps1"}


def build_packages(test_class, generators):
    """Runs cpack into a fresh folder; returns the package files by extension."""
    if not BUILD:
        raise unittest.SkipTest("TORVINALE_BUILD is not set")
    out = tempfile.mkdtemp(prefix="torvinale-package-")
    test_class.addClassCleanup(shutil.rmtree, out, ignore_errors=True)
    subprocess.run([CPACK, "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                    "-G", ";".join(generators), "-B", out],
                   check=True, stdout=subprocess.DEVNULL, timeout=300)
    found = {}
    for name in os.listdir(out):
        for ext in (".deb", ".tar.gz", ".zip"):
            if name.endswith(ext):
                found[ext] = os.path.join(out, name)
    return out, found


def sample_config_for_test(sample, entry):
    """The installed sample with no wait and one entry that cannot be opened."""
    text = re.sub(r"(?m)^Countdown=.*$", "Countdown=0", sample)
    text = re.sub(r"(?m)^Pause=.*$", "Pause=0", text)
    text = re.sub(r"(?m)^(Program\d+)=.*$", r"\1=", text)
    return text.replace("Program1=", "Program1=" + entry, 1)


def run_program(argv, cwd):
    return subprocess.run(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60)


@unittest.skipIf(WINE, "the Windows build ships a .zip")
class PosixPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out, cls.packages = build_packages(cls, ["DEB", "TGZ"] if DEB else ["TGZ"])
        cls.root = os.path.join(cls.out, "root")
        if DEB:
            subprocess.run(["dpkg-deb", "-x", cls.packages[".deb"], cls.root], check=True)

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="torvinale-installed-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)

    def installed(self, path):
        return os.path.join(self.root, path)

    def field(self, name):
        return subprocess.run(["dpkg-deb", "-f", self.packages[".deb"], name], check=True,
                              capture_output=True, text=True).stdout.strip()

    @needs_deb
    def test_deb_metadata(self):
        self.assertEqual(self.field("Package"), "torvinale")
        self.assertEqual(self.field("Section"), "utils")
        self.assertTrue(self.field("Maintainer").startswith("Torvinale developers <"))
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                              text=True).stdout.strip()
        self.assertEqual(self.field("Architecture"), arch)
        self.assertIn("libc6", self.field("Depends"))
        version = self.field("Version")
        self.assertEqual(os.path.basename(self.packages[".deb"]),
                         f"torvinale_{version}_{arch}.deb")
        self.assertRegex(self.field("Description"), r"^\S.*\n \S")

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

    def test_tarball_holds_the_same_files(self):
        with tarfile.open(self.packages[".tar.gz"]) as tar:
            names = {m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile()}
            top = {m.name.split("/", 1)[0] for m in tar.getmembers()}
        self.assertEqual(len(top), 1)
        self.assertEqual(names, {p.removeprefix("usr/") for p in DEB_FILES})

    @needs_deb
    def test_installed_program_runs_the_sample_config(self):
        with open(self.installed("usr/share/doc/torvinale/examples/config.ini")) as f:
            sample = f.read()
        entry = os.path.join(self.work, "no-such-file")
        config = sample_config_for_test(sample, entry)
        with open(os.path.join(self.work, "config.ini"), "w") as f:
            f.write(config)
        r = run_program([self.installed("usr/bin/torvinale")], self.work)
        self.assertEqual(r.stderr, b"")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, screen(0, [entry]) + confirmation(1, launched=False) + CLOSING)
        with open(os.path.join(self.work, "config.ini")) as f:
            self.assertEqual(f.read(), config)

    @needs_deb
    def test_installed_program_carries_no_build_paths(self):
        dynamic = subprocess.run(["readelf", "-d", self.installed("usr/bin/torvinale")],
                                 capture_output=True, text=True)
        if dynamic.returncode != 0:
            self.skipTest("needs readelf")
        self.assertNotRegex(dynamic.stdout, r"RPATH|RUNPATH")
        with open(self.installed("usr/bin/torvinale"), "rb") as f:
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

    @needs_deb
    def test_autostart_entry_starts_the_installed_program_in_a_terminal(self):
        path = self.installed("usr/share/doc/torvinale/examples/torvinale.desktop")
        with open(path) as f:
            keys = dict(line.split("=", 1) for line in f.read().splitlines()
                        if "=" in line and not line.startswith("#"))
        self.assertEqual(keys["Type"], "Application")
        self.assertEqual(keys["Terminal"], "true")
        self.assertTrue(os.path.isabs(keys["Path"]), keys["Path"])
        self.assertTrue(os.path.isfile(self.installed("usr/bin/" + keys["Exec"])), keys["Exec"])
        if shutil.which("desktop-file-validate"):
            r = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True)
            self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))


@unittest.skipUnless(WINE, "the POSIX build ships a .deb and a .tar.gz")
class WindowsZipTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out, cls.packages = build_packages(cls, ["ZIP"])
        cls.zip = cls.packages[".zip"]
        with zipfile.ZipFile(cls.zip) as z:
            cls.names = z.namelist()
            cls.top = os.path.commonpath(cls.names)
            cls.files = {name[len(cls.top) + 1:]: z.read(name) for name in cls.names}
            z.extractall(cls.out)

    def test_zip_holds_the_program_and_its_usage_in_one_folder(self):
        self.assertEqual(os.path.basename(self.zip), self.top + ".zip")
        self.assertEqual(set(self.files), ZIP_FILES)
        self.assertEqual(self.files["torvinale.exe"][:2], b"MZ")

    def test_texts_have_windows_line_ends(self):
        for name in ("USAGE.txt", "create-startup-shortcut.ps1"):
            with self.subTest(name=name):
                text = self.files[name]
                self.assertGreater(text.count(b"\r\n"), 10)
                self.assertEqual(text.count(b"\n"), text.count(b"\r\n"))
                self.assertEqual(text.count(b"\r"), text.count(b"\r\n"))
                text.decode("ascii")

    def test_program_needs_no_dll_beyond_windows(self):
        objdump = shutil.which("x86_64-w64-mingw32-objdump")
        if not objdump:
            self.skipTest("needs x86_64-w64-mingw32-objdump")
        exe = os.path.join(self.out, self.top, "torvinale.exe")
        headers = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                                 text=True).stdout
        dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", headers)}
        self.assertTrue(dlls)
        for dll in dlls:
            self.assertRegex(dll, r"^(kernel32|user32|shell32|ole32|msvcrt|advapi32|ntdll|"
                             r"api-ms-win-[a-z0-9-]+)\.dll$")

    def test_unpacked_program_runs_under_wine(self):
        work = tempfile.mkdtemp(prefix="torvinale-unzipped-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        folder = os.path.join(work, "Torvinale")
        shutil.copytree(os.path.join(self.out, self.top), folder)
        entry = host_path(os.path.join(folder, "no-such-file.txt"))
        config = f"[Torvinale]\r\nCountdown=0\r\nPause=0\r\nProgram1={entry}\r\n".encode()
        with open(os.path.join(folder, "config.ini"), "wb") as f:
            f.write(config)
        prepare_runner()
        r = run_program([RUNNER, os.path.join(folder, "torvinale.exe")], folder)
        self.assertEqual(r.stderr, b"")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, screen(0, [entry]) + confirmation(1, launched=False) + CLOSING)


if __name__ == "__main__":
    unittest.main()
