"""Runs the real launcher binary, natively, under Wine or under qemu-user, in temporary folders."""

import atexit
import fcntl
import functools
import os
import re
import resource
import shlex
import shutil
import subprocess
import tempfile
import termios
import time
import unittest

BINARY = os.environ.get("TORVINALE_BINARY", "")
RUNNER = os.environ.get("TORVINALE_RUNNER", "")
MARKER = os.environ.get("TORVINALE_MARKER", "")
FAULT_PROGRAM = os.environ.get("TORVINALE_FAULT", "")
# Preloaded to set up what strace cannot; built for native, uninstrumented runs only.
SHIM = os.environ.get("TORVINALE_SHIM", "")
SANITIZED = bool(os.environ.get("TORVINALE_SANITIZED"))
STRACE = shutil.which("strace")
IS_ROOT = hasattr(os, "geteuid") and os.geteuid() == 0
# Wine, or qemu-user for a Linux binary of another processor ("qemu-aarch64 -L ROOT"),
# which runs it with Linux semantics: the native cases apply.
RUNNER_COMMAND = shlex.split(RUNNER)
QEMU = bool(RUNNER_COMMAND) and os.path.basename(RUNNER_COMMAND[0]).startswith("qemu-")
WINE = bool(RUNNER) and not QEMU
# Beside the runner: the one path to Wine is the toolchain's.
WINESERVER = os.path.join(os.path.dirname(RUNNER), "wineserver") if WINE else ""
EXE = ".exe" if WINE else ""
SEP = "\\" if WINE else "/"

MODULE = re.escape("torvinale" + EXE)
HEADER = rb"Exception (\w+) in module (\S+) at ([0-9A-F]{8})\.\r\n"
# The error report: class, module, address, message.
REPORT = re.compile(HEADER + rb"(.*)\r\n\r\n", re.S)

RULE = "=" * 68
BANNER = "Torvinale version: 1.0.0" + " " * 23 + "torvinale.example.org 2012"


def host_path(path):
    """A path as the program under test sees it."""
    return "Z:" + path.replace("/", "\\") if WINE else path


def ini(countdown, pause, entries=(), extra=""):
    lines = ["[Torvinale]", f"Countdown={countdown}", f"Pause={pause}"]
    lines += [f"Program{n}={e}" for n, e in enumerate(entries, 1)]
    return ("\r\n".join(lines) + "\r\n" + extra).encode("latin-1")


def screen(count, entries=()):
    entries = list(entries) + [""] * (10 - len(entries))
    lines = [RULE, BANNER, f"Countdown: {count} ", "ms", RULE]
    lines += [f"Program {n}: {e}" for n, e in enumerate(entries, 1)]
    return "".join(line + "\r\n" for line in lines).encode("latin-1")


def confirmation(number, launched=True):
    head = f"Program{number}"
    tail = "EXECUTED" if launched else "FAILED"
    return (head + "." * (61 - len(head) - len(tail)) + tail + "\r\n").encode()


CLOSING = b"Closing program...\r\n"

DEFAULT_ENTRY = "c:\\windows\\notepad.exe"
DEFAULT_FILE = (b"[Torvinale]\r\nCountdown=5\r\nPause=1500\r\nProgram1=c:\\windows\\notepad.exe\r\n"
                + b"".join(b"Program%d=\r\n" % n for n in range(2, 11)))
# A first run's whole screen where the default entry cannot be opened.
FIRST_RUN = (b"".join(screen(n, [DEFAULT_ENTRY]) for n in range(5, -1, -1)) +
             confirmation(1, False) + CLOSING)


_runner_prepared = False


def prepare_runner():
    """Creates the Wine prefix once, so that no test pays for it or sees its noise. Debian's
    wineserver ends as soon as its last program does (-p0), so that every run would start
    one anew, sometimes while the last one is going: one server serves the whole suite."""
    global _runner_prepared
    if WINE and not _runner_prepared:
        _runner_prepared = True
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, check=False)
        # One already there is waited for (a minute at most), to be followed by ours.
        if subprocess.run([WINESERVER, "-p60"], **quiet).returncode != 0:
            subprocess.run([WINESERVER, "-w"], **quiet)
            subprocess.run([WINESERVER, "-p60"], **quiet)
        subprocess.run([RUNNER, "cmd", "/c", "exit"], **quiet)


def command(nobody=False):
    """The launcher's command line; with nobody, one that user can run too."""
    return RUNNER_COMMAND + [binary_for_nobody() if nobody else BINARY]


@functools.cache
def binary_for_nobody():
    """A copy of the binary that another user can reach: the build folder may lie in a home
    that only its owner may enter (root's /root, say)."""
    folder = tempfile.mkdtemp(prefix="torvinale-nobody-")
    atexit.register(shutil.rmtree, folder, ignore_errors=True)
    os.chmod(folder, 0o755)
    copy = os.path.join(folder, os.path.basename(BINARY))
    shutil.copy2(BINARY, copy)
    return copy


def traced(*options, cmd=None, skip_sleeps=True):
    """The launcher (or cmd) under strace, with every sleep skipped unless told otherwise;
    strace's own trace is dropped."""
    sleeps = ["-e", "inject=clock_nanosleep:retval=0"] if skip_sleeps else []
    return ([STRACE, "-f", "-qq", "-o", "/dev/null"] + sleeps + list(options) +
            (cmd or command()))


def shimmed(**variables):
    """The environment that preloads the fault library, told what to do by variables."""
    return dict(os.environ, LD_PRELOAD=SHIM, **variables)


def leftovers(folder):
    """Temporary files of ours: hidden names beside config.ini."""
    return [name for name in os.listdir(folder) if name.startswith(".")]


@functools.cache
def mounts_refused():
    """Why mounts in a namespace of one's own are refused here, or "": a chroot whose root
    is no mount point refuses the propagation change, a container the namespace. Tried
    once, as the cases that need them do it: a bind mount and a tmpfs over /proc."""
    if not shutil.which("unshare"):
        return "needs unshare"
    with tempfile.TemporaryDirectory() as folder:
        r = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                            'mount --bind "$0" "$0" && mount -t tmpfs none /proc', folder],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if r.returncode == 0:
        return ""
    return "the system refuses mounts in a namespace of our own: " + r.stderr.strip()


def as_nobody():
    os.setgid(65534)
    os.setuid(65534)


def no_core_dump():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def file_size_limit(size):
    def limit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return limit


def controlling_terminal():
    """Makes standard input, a terminal, the session's own, as a console's program has it."""
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def in_turn(*steps):
    """One preexec function doing each of steps."""
    def run():
        for step in steps:
            step()
    return run


class Result:
    def __init__(self, rc, out, err, elapsed):
        self.rc, self.out, self.err, self.elapsed = rc, out, err, elapsed


class LauncherCase(unittest.TestCase):
    """Each test gets an empty working folder; run() starts the binary there."""

    @classmethod
    def setUpClass(cls):
        if not BINARY:
            raise unittest.SkipTest("TORVINALE_BINARY is not set")
        prepare_runner()

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="torvinale-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write_config(self, data, folder=None):
        with open(os.path.join(folder or self.dir, "config.ini"), "wb") as f:
            f.write(data)

    def read_config(self, folder=None):
        with open(os.path.join(folder or self.dir, "config.ini"), "rb") as f:
            return f.read()

    def marker(self, name):
        """A copy of the marker program; returns the entry that opens it."""
        target = self.path(name + EXE)
        shutil.copy(MARKER, target)
        return host_path(target)

    def markers(self, expected, log=None, timeout=10.0):
        """The marker lines (name, ms), waiting until `expected` have arrived."""
        deadline = time.time() + timeout
        while True:
            try:
                with open(log or self.path("markers.log"), errors="surrogateescape") as f:
                    rows = [line.rstrip("\n").rsplit(" ", 1) for line in f if line.strip()]
            except FileNotFoundError:
                rows = []
            if len(rows) >= expected or time.time() > deadline:
                return [(name, int(ms)) for name, ms in rows]
            time.sleep(0.05)

    def scenario(self):
        """A folder of its own inside the test's, for one scenario of several."""
        return tempfile.mkdtemp(dir=self.dir)

    def assertReport(self, err, class_name, message=None, module=MODULE):
        """err is exactly one report of class_name (with message, unless None), from module
        (a pattern; None for any)."""
        match = REPORT.fullmatch(err)
        self.assertIsNotNone(match, err)
        self.assertEqual(match.group(1).decode(), class_name)
        if module is not None:
            self.assertRegex(match.group(2).decode(), "^" + module + "$")
            self.assertNotEqual(match.group(3), b"00000000")
        if message is not None:
            self.assertEqual(match.group(4), message.encode("latin-1"))
        return match

    @staticmethod
    def _stream(target, folder, name, opened):
        """A stream for subprocess: "file" (name in folder), "pipe", a path, a descriptor, or
        None for the one the test has (which the program may be set up to close)."""
        if target == "file":
            target = os.path.join(folder, name)
        if target == "pipe":
            return subprocess.PIPE
        if isinstance(target, str):
            opened.append(open(target, "wb"))
            return opened[-1]
        return target

    def start(self, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
              preexec=None, env=None, cmd=None, folder=None, **options):
        """Starts cmd (the launcher by default) in folder (the test's by default); it is
        killed at the end of the test if it is still there."""
        folder = folder or self.dir
        opened = []
        try:
            proc = subprocess.Popen(cmd or command(), cwd=folder,
                                    stdin=stdin,
                                    stdout=self._stream(stdout, folder, "stdout.bin", opened),
                                    stderr=self._stream(stderr, folder, "stderr.bin", opened),
                                    preexec_fn=preexec, env=env, **options)
        finally:
            for f in opened:
                f.close()
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        return proc

    def run_launcher(self, stdout="file", stderr="file", timeout=120, preexec=None, env=None,
                     cmd=None, folder=None):
        """Runs cmd (the launcher by default) in folder (the test's by default) to its end.
        Streams as start() takes them; the output files go in folder by default, so that
        runs in folders of their own may run at once. What the result holds of a stream
        sent elsewhere than "file" or "pipe" is empty."""
        folder = folder or self.dir
        start = time.time()
        proc = self.start(stdout, stderr, preexec=preexec, env=env, cmd=cmd, folder=folder)
        out, err = proc.communicate(timeout=timeout)
        elapsed = time.time() - start
        if stdout == "file":
            with open(os.path.join(folder, "stdout.bin"), "rb") as f:
                out = f.read()
        if stderr == "file":
            with open(os.path.join(folder, "stderr.bin"), "rb") as f:
                err = f.read()
        return Result(proc.returncode, out or b"", err or b"", elapsed)
