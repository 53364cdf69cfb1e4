"""What the launcher does with an entry that is not a program: the desktop's opener, GLib's
launcher for applications' menu entries, and lookups along PATH; what it starts outlives it
and is never left a zombie."""

import json
import os
import select
import shutil
import sys
import time
import tty
import unittest

from harness import CLOSING, MARKER, WINE, LauncherCase, confirmation, host_path, ini


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


def write_script(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)


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
        self.addCleanup(os.close, master)
        try:
            proc = self.start(stdout=slave, stderr="file", env=env, folder=row)
        finally:
            os.close(slave)
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
        write_script(os.path.join(bin_dir, OPENER_NAME), FAKE_OPENER)
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


# Exec= of the menu entries below: it notes its arguments and whether it is detached
# (its session, where its descriptors lead) in probes/NAME, its first argument.
PROBE = """#!%s
import json, os, sys
fds = {}
for fd in os.listdir("/proc/self/fd"):
    try:
        fds[fd] = os.readlink("/proc/self/fd/" + fd)
    except OSError:
        pass  # the listing's own
out = os.path.join(os.path.dirname(sys.argv[0]), "probes", sys.argv[1])
with open(out + ".part", "w") as f:
    json.dump({"args": sys.argv[2:], "sid": os.getsid(0), "fds": fds}, f)
os.rename(out + ".part", out)
""" % sys.executable


@unittest.skipIf(WINE, "Windows' shell starts shortcuts itself")
@unittest.skipUnless(shutil.which("gio"), "needs gio (libglib2.0-bin)")
class MenuEntryTest(LauncherCase):
    """Menu entries of applications, named by path or by desktop file ID in temporary
    XDG data folders, started through GLib's launcher as a desktop starts them."""

    def setUp(self):
        super().setUp()
        self.probe = self.path("probe")
        write_script(self.probe, PROBE)
        os.mkdir(self.path("probes"))
        self.user, self.system = self.path("user"), self.path("system")
        self.flatpak = self.path("flatpak")
        self.env = dict(os.environ, XDG_DATA_HOME=self.user,
                        XDG_DATA_DIRS=os.path.join(self.flatpak, "exports/share") + ":" +
                        self.system)

    def menu_entry(self, path, name, keys="", exec_args=""):
        """A menu entry at path (below the test's folder) whose Exec= runs the probe."""
        path = self.path(path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(f'[Desktop Entry]\nType=Application\nName={name}\n{keys}'
                    f'Exec="{self.probe}" {name} {exec_args}\n')
        return path

    def probes(self, expected):
        """What the probes noted, once `expected` of them have."""
        def ready():
            return len(os.listdir(self.path("probes"))) >= expected
        deadline = time.time() + 60
        while not ready() and time.time() < deadline:
            time.sleep(0.05)
        found = {}
        for name in os.listdir(self.path("probes")):
            with open(os.path.join(self.path("probes"), name)) as f:
                found[name] = json.load(f)
        return found

    def run_entries(self, entries, env):
        self.write_config(ini(0, 0, entries))
        r = self.run_launcher(env=env)
        self.assertEqual((r.rc, r.err), (0, b""))
        return r.out

    def test_entries_by_path_and_by_id_start_their_application_detached(self):
        self.menu_entry("menu/bypath.desktop", "bypath")
        self.menu_entry("relative.desktop", "relative")
        self.menu_entry("user/applications/both.desktop", "user")
        self.menu_entry("system/applications/both.desktop", "system")
        self.menu_entry("system/applications/vendor/sub.desktop", "subfolder")
        # As Flatpak exports an application: a link to the entry inside it, whose Exec=
        # hands the files on through "@@u %u @@".
        inside = self.menu_entry("flatpak/app/org.example.App/current/active/export/share/"
                                 "applications/org.example.App.desktop", "flatpak",
                                 exec_args="--file-forwarding org.example.App @@u %u @@")
        os.makedirs(os.path.join(self.flatpak, "exports/share/applications"))
        os.symlink(os.path.relpath(inside, os.path.join(self.flatpak, "exports/share/applications")),
                   os.path.join(self.flatpak, "exports/share/applications/org.example.App.desktop"))
        self.menu_entry("menu/tryexec.desktop", "tryexec", keys="TryExec=/nonexistent/program\n")
        with open(self.path("menu/noexec.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=noexec\n")
        # An ID that would name a file, but reads as an option.
        self.menu_entry("system/applications/-dash.desktop", "dash")
        entries = [self.path("menu/bypath.desktop"), "relative.desktop", "both.desktop",
                   "vendor-sub.desktop", "org.example.App.desktop",
                   self.path("menu/tryexec.desktop"), self.path("menu/noexec.desktop"),
                   "-dash.desktop"]
        out = self.run_entries(entries, self.env)
        expected = b"".join(confirmation(n, n <= 5) for n in range(1, len(entries) + 1))
        self.assertTrue(out.endswith(expected + CLOSING), out[-600:])
        probes = self.probes(5)
        self.assertEqual(sorted(probes), ["bypath", "flatpak", "relative", "subfolder", "user"])
        self.assertEqual(probes["flatpak"]["args"],
                         ["--file-forwarding", "org.example.App", "@@u", "@@"])
        for name, probe in probes.items():
            with self.subTest(name=name):
                self.assertNotEqual(probe["sid"], os.getsid(0))
                self.assertEqual([probe["fds"].get(fd) for fd in "012"], ["/dev/null"] * 3)
                self.assertEqual([t for t in probe["fds"].values() if t.startswith(self.dir)], [])

    def test_without_gio_the_entry_fails_and_nothing_starts(self):
        # The desktop's opener is there, and is not used instead.
        bin_dir = self.path("bin")
        os.mkdir(bin_dir)
        write_script(os.path.join(bin_dir, OPENER_NAME), FAKE_OPENER)
        entry = self.menu_entry("menu/app.desktop", "app")
        out = self.run_entries([entry], dict(self.env, PATH=bin_dir))
        self.assertTrue(out.endswith(confirmation(1, False) + CLOSING), out[-300:])
        self.assertEqual(os.listdir(self.path("probes")), [])
        self.assertFalse(os.path.exists(self.path("opened")))


if __name__ == "__main__":
    unittest.main()
