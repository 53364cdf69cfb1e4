import os
import pathlib
import re
import shlex
import shutil
import struct
import subprocess
import tempfile
import time
import unittest
import uuid
import xml.etree.ElementTree as ElementTree
import zipfile

from harness import (CLOSING, RUNNER, WINE, WINESERVER, confirmation, host_path, prepare_runner,
                     screen)
from package_common import MSI, SOURCE, build_packages, run_program, tool, wait_for

ZIP_FILES = {"torvinale.exe", "USAGE.txt", "create-startup-shortcut.ps1", "LICENSE"}
# Windows' own view of the .exe and the MSI (tests/windows_probe.cpp, run under Wine).
PROBE = os.environ.get("TORVINALE_PROBE", "")
PE_HIGH_ENTROPY_VA, PE_DYNAMIC_BASE, PE_NX_COMPAT = 0x20, 0x40, 0x100
# The manifest's supportedOS: Windows 7, 8, 8.1, and 10 and 11 (one ID).
SUPPORTED_OS = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


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
            "CompanyName": "The Torvinale authors",
            "FileDescription": "Torvinale - delayed start at login",
            "FileVersion": four, "InternalName": "torvinale", "LegalCopyright": copyright,
            "OriginalFilename": "torvinale.exe", "ProductName": "Torvinale",
            "ProductVersion": four})

        windres = shutil.which("x86_64-w64-mingw32-windres")
        if not windres:
            self.skipTest("needs x86_64-w64-mingw32-windres")
        script = tool(windres, "-i", self.exe, "-O", "rc")
        # An icon, and still within BENCHMARKS.md's target.
        self.assertIn("\n1 14 /* RT_GROUP_ICON */\n", script)
        self.assertLess(len(self.files["torvinale.exe"]), 300 * 1024)
        lines = re.search(r"(?ms)^1 24 /\* RT_MANIFEST \*/\nBEGIN\n(.*?)^END", script).group(1)
        manifest = "".join(line.strip()[1:-1].replace('""', '"').replace("\\n", "\n")
                           for line in lines.splitlines())
        root = ElementTree.fromstring(manifest)
        levels = [e.get("level") for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
        self.assertEqual(levels, ["asInvoker"])
        self.assertEqual({e.get("Id") for e in root.iter() if e.tag.endswith("}supportedOS")},
                         SUPPORTED_OS)
        # Texts stay in the system's ANSI code page; paths may pass MAX_PATH.
        self.assertEqual([e.tag for e in root.iter() if "CodePage" in e.tag], [])
        self.assertEqual([e.text for e in root.iter() if e.tag.endswith("}longPathAware")],
                         ["true"])

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
    tmux, where a key can end the wait after a failed run), the Start Menu's shortcuts
    likewise, then uninstalled."""

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
                       WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d;notepad.exe=n")
        cls.addClassCleanup(subprocess.run, [WINESERVER, "-k"], env=cls.env,
                            stderr=subprocess.DEVNULL, check=False)
        cls.wine("cmd", "/c", "exit")  # creates the prefix
        local = cls.wine("cmd", "/c", "echo", "%LOCALAPPDATA%").stdout.decode().strip()
        roaming = cls.wine("cmd", "/c", "echo", "%APPDATA%").stdout.decode().strip()
        cls.win_folder = local + r"\Programs\Torvinale"
        cls.link = roaming + r"\Microsoft\Windows\Start Menu\Programs\Startup\Torvinale.lnk"
        cls.menu = roaming + r"\Microsoft\Windows\Start Menu\Programs\Torvinale"
        cls.folder = cls.unix(cls.win_folder)
        # Windows' timeout.exe waits or ends at a key; Wine 8.0 has none (its cmd says
        # "Can't recognize 'timeout /t 60' ..." and the window closes). The probe stands in.
        shutil.copy(PROBE, cls.unix(r"C:\windows\system32\timeout.exe"))
        # Notepad, the editor for .ini files, and the default file's entry: the probe
        # stands in (in place of Wine's own), writing down what it is asked to open.
        cls.opened = [cls.unix(rf"C:\windows\{folder}notepad.exe") for folder in ("system32\\", "")]
        for notepad in cls.opened:
            shutil.copy(PROBE, notepad)

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
        return self.probe("shortcut", self.link)

    def probe(self, *argv):
        r = self.wine(PROBE, *argv)
        return dict(line.split("=", 1) for line in r.stdout.decode().splitlines())

    def test_installs_for_the_user_starts_at_login_and_uninstalls_keeping_config_ini(self):
        link = self.install()
        self.assertEqual(sorted(os.listdir(self.folder)),
                         ["LICENSE", "USAGE.txt", "default-config.ini", "torvinale.exe"])
        with zipfile.ZipFile(self.zip) as z:
            for name in ("LICENSE", "USAGE.txt", "torvinale.exe"):
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
        config = pathlib.Path(self.folder, "config.ini").read_bytes()
        self.assertTrue(config.startswith(b"[Torvinale]\r\nCountdown=5\r\nPause=1500\r\n"))
        # What "Torvinale settings" copies is what the program wrote, byte for byte.
        self.assertEqual(pathlib.Path(self.folder, "default-config.ini").read_bytes(), config)

        # Apps & Features, as Windows Installer tells it.
        rows = tool("msiinfo", "export", self.msi, "Property").splitlines()
        properties = dict(row.split("\t", 1) for row in rows[3:])
        product = self.probe("product", properties["ProductCode"])
        icon = pathlib.Path(SOURCE, "packaging", "windows", "torvinale.ico").read_bytes()
        self.assertEqual(pathlib.Path(self.unix(product.pop("ProductIcon"))).read_bytes(), icon)
        self.assertEqual(product, {"InstalledProductName": "Torvinale",
                                   "VersionString": properties["ProductVersion"],
                                   "Publisher": "The Torvinale authors"})

        self.msiexec("/x")
        self.assertEqual(os.listdir(self.folder), ["config.ini"])
        self.assertFalse(os.path.exists(self.unix(self.link)))
        self.assertFalse(os.path.exists(self.unix(self.menu)))
        self.assertNotEqual(self.wine("reg", "query", r"HKCU\Software\Torvinale",
                                      check=False).returncode, 0)

    def test_login_window_closes_after_a_good_run_and_waits_after_a_failed_one(self):
        link = self.install()
        # The script writes the MSI's command, for the program it is given: here a copy in
        # a folder whose name has a blank.
        with open(os.path.join(SOURCE, "examples", "create-startup-shortcut.ps1")) as f:
            before, after = re.search(r"(?m)^\$link\.Arguments = '(.*)' \+ \$Program \+ '(.*)'$",
                                      f.read()).groups()
        rows = tool("msiinfo", "export", self.msi, "Shortcut").splitlines()
        row = next(r.split("\t") for r in rows if r.startswith("LoginShortcut\t"))
        self.assertEqual(row[5], before + "[#torvinale.exe]" + after)
        spaced = os.path.join(self.out, "Start in")
        os.makedirs(spaced, exist_ok=True)
        shutil.copy(os.path.join(self.folder, "torvinale.exe"), spaced)
        script = dict(link, Arguments=before + host_path(os.path.join(spaced, "torvinale.exe")) +
                      after, WorkingDirectory=host_path(spaced))
        menu = self.probe("shortcut", self.menu + r"\Run Torvinale now.lnk")
        for name, command, folder in (("msi", link, self.folder), ("script", script, spaced),
                                      ("start menu", menu, self.folder)):
            with self.subTest(shortcut=name):
                self.check_login_window(command, folder)

    def test_start_menu_opens_settings_made_from_the_defaults_runs_as_at_login_and_reads_me(self):
        login = self.install()
        settings, run, notes = (self.probe("shortcut", rf"{self.menu}\{name}.lnk") for name in
                                ("Torvinale settings", "Run Torvinale now", "Torvinale - read me"))
        self.assertEqual(run, login)
        self.assertEqual((notes["Target"], notes["WorkingDirectory"].rstrip("\\")),
                         (self.win_folder + r"\USAGE.txt", self.win_folder))
        self.assertEqual(settings["Target"].lower(), r"c:\windows\system32\cmd.exe")
        self.assertEqual(settings["WorkingDirectory"].rstrip("\\"), self.win_folder)

        # Opened in the editor, first made from the defaults, then left as it is.
        logs = [pathlib.Path(notepad + ".log") for notepad in self.opened]
        for log in logs:
            log.write_text("")
        default = pathlib.Path(self.folder, "default-config.ini").read_bytes()
        config = pathlib.Path(self.folder, "config.ini")
        edited = default.replace(b"Countdown=5", b"Countdown=9")
        opened = rf'"C:\windows\system32\notepad.exe" "{self.win_folder}\config.ini"' + "\n"
        for times, expected in ((1, default), (2, edited)):
            r = self.wine(PROBE, "run", settings["Target"], settings["Arguments"],
                          settings["WorkingDirectory"])
            self.assertEqual(r.stdout + r.stderr, b"")  # no screen: the program did not run
            self.assertTrue(wait_for(lambda: logs[0].read_text() == opened * times),
                            logs[0].read_text())
            self.assertEqual(config.read_bytes(), expected)
            config.write_bytes(edited)
        self.assertEqual(logs[1].read_text(), "", "the default entry was opened")

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


if __name__ == "__main__":
    unittest.main()
