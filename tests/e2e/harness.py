"""Runs the real launcher binary, natively, under Wine or under qemu-user, in temporary folders."""

import os
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest

BINARY = os.environ.get("TORVINALE_BINARY", "")
RUNNER = os.environ.get("TORVINALE_RUNNER", "")
MARKER = os.environ.get("TORVINALE_MARKER", "")
# Wine, or qemu-user for a Linux binary of another processor ("qemu-aarch64 -L ROOT"),
# which runs it with Linux semantics: the native cases apply.
RUNNER_COMMAND = shlex.split(RUNNER)
QEMU = bool(RUNNER_COMMAND) and os.path.basename(RUNNER_COMMAND[0]).startswith("qemu-")
WINE = bool(RUNNER) and not QEMU
EXE = ".exe" if WINE else ""
SEP = "\\" if WINE else "/"

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
        server = os.path.join(os.path.dirname(RUNNER), "wineserver")
        # One already there is waited for (a minute at most), to be followed by ours.
        if subprocess.run([server, "-p60"], **quiet).returncode != 0:
            subprocess.run([server, "-w"], **quiet)
            subprocess.run([server, "-p60"], **quiet)
        subprocess.run([RUNNER, "cmd", "/c", "exit"], **quiet)


def command():
    return RUNNER_COMMAND + [BINARY]


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

    def write_config(self, data):
        with open(self.path("config.ini"), "wb") as f:
            f.write(data)

    def read_config(self):
        with open(self.path("config.ini"), "rb") as f:
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

    def run_launcher(self, stdout="file", timeout=120, preexec=None, env=None, cmd=None,
                     folder=None):
        """Runs cmd (the launcher by default) in folder (the test's by default), where its
        output files go too, so that runs in folders of their own may run at once."""
        cmd = cmd or command()
        folder = folder or self.dir
        out_path = os.path.join(folder, "stdout.bin")
        err_path = os.path.join(folder, "stderr.bin")
        with open(err_path, "wb") as err:
            start = time.time()
            if stdout == "file":
                with open(out_path, "wb") as out:
                    rc = subprocess.run(cmd, cwd=folder, stdin=subprocess.DEVNULL,
                                        stdout=out, stderr=err, timeout=timeout,
                                        preexec_fn=preexec, env=env).returncode
                with open(out_path, "rb") as f:
                    data = f.read()
            elif stdout == "pipe":
                proc = subprocess.run(cmd, cwd=folder, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=err, timeout=timeout,
                                      preexec_fn=preexec, env=env)
                rc, data = proc.returncode, proc.stdout
            else:  # a path such as /dev/full, or None for a closed descriptor
                target = open(stdout, "wb") if stdout else None
                try:
                    rc = subprocess.run(cmd, cwd=folder, stdin=subprocess.DEVNULL,
                                        stdout=target, stderr=err, timeout=timeout,
                                        preexec_fn=preexec, close_fds=True, env=env).returncode
                finally:
                    if target:
                        target.close()
                data = b""
            elapsed = time.time() - start
        with open(err_path, "rb") as f:
            return Result(rc, data, f.read(), elapsed)
