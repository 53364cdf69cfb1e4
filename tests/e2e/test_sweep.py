"""Every system call of a run failing in turn, one occurrence at a time, under strace with
every sleep skipped: whatever fails, the run ends by itself with 0 and the whole screen or
with 1 and the report, a user's config.ini stays byte for byte, a first run leaves the whole
default file or none, and nothing else is left in the folder."""

import collections
import concurrent.futures
import os
import re
import shutil
import unittest

from harness import (BINARY, CLOSING, DEFAULT_FILE, FIRST_RUN, QEMU, REPORT, SANITIZED, STRACE,
                     WINE, LauncherCase, command, confirmation, ini, screen)

ERRORS = ["EIO", "ENOSPC", "EACCES", "ENOMEM"]
# The sleeps are what strace skips; the end of the process cannot fail; and the C library
# ends the process on purpose when a futex call fails in a way the kernel never fails it.
UNSWEPT = {"clock_nanosleep", "exit_group", "exit", "rt_sigreturn", "futex"}
# The program's own first call: what comes before it is the loader's and the C library's.
START = re.compile(r"rt_sigaction\(SIGPIPE, \{sa_handler=SIG_IGN")
CALL = re.compile(r"(\w+)\(")
SKIP_SLEEPS = ["-e", "inject=clock_nanosleep:retval=0"]
ENV = dict(os.environ, PATH="/usr/bin:/bin", LC_ALL="C")

EXISTING = ini(0, 0, ["/bin/true", "ab"])
# name, config.ini before, the screens of a run that ends with 0 (an entry may show either)
SCENARIOS = [
    # A failed lookup counts as a config.ini that is there, so nothing is written; when the
    # next lookup finds none, the run has no settings: one screen showing -1.
    ("first run", None, {FIRST_RUN, screen(-1) + CLOSING}),
    ("existing config.ini", EXISTING,
     {screen(0, ["/bin/true", "ab"]) + confirmation(1, launched) + CLOSING
      for launched in (True, False)}),
    ("bad value", ini("abc", 0), set()),
]


@unittest.skipIf(WINE or QEMU or SANITIZED or not BINARY or not STRACE,
                 "faults are injected into the native, uninstrumented program's own calls")
class SystemCallSweepTest(LauncherCase):
    def run_once(self, before, trace):
        """(exit code, screen, report, config.ini after or None, other files left)"""
        row = self.scenario()
        folder = os.path.join(row, "work")
        os.mkdir(folder)
        if before is not None:
            with open(os.path.join(folder, "config.ini"), "wb") as f:
                f.write(before)
        p = self.run_launcher(stdout=os.path.join(row, "out"), stderr="pipe", env=ENV,
                              cmd=[STRACE, "-qq"] + trace + command(), folder=folder)
        with open(os.path.join(row, "out"), "rb") as f:
            data = f.read()
        config, left = None, sorted(os.listdir(folder))
        if "config.ini" in left:
            left.remove("config.ini")
            with open(os.path.join(folder, "config.ini"), "rb") as f:
                config = f.read()
        shutil.rmtree(row)
        return p.rc, data, re.sub(rb"(?m)^strace: .*\n", b"", p.err), config, left

    def calls(self, before):
        """The program's calls in a run without faults: (name, its number among calls of that
        name, the trace line)."""
        trace = os.path.join(self.dir, "trace")
        self.run_once(before, ["-o", trace] + SKIP_SLEEPS)
        seen, calls, started = collections.Counter(), [], False
        with open(trace, errors="replace") as f:
            for line in f:
                m = CALL.match(line)
                if not m:
                    continue
                seen[m.group(1)] += 1
                started = started or bool(START.match(line))
                if started and m.group(1) not in UNSWEPT:
                    calls.append((m.group(1), seen[m.group(1)], line.strip()))
        self.assertTrue(calls, "no call of the program's own found in the trace")
        return calls

    def violations(self, before, screens, line, result):
        rc, data, err, config, left = result
        found = []
        if rc not in (0, 1):
            found.append("ended with %d" % rc)
        if rc == 0 and data not in screens:
            found.append("exit 0 without the whole screen")
        # Where the report itself could not be written, only the exit code can tell.
        if rc == 1 and not REPORT.fullmatch(err) and not line.startswith("write(2,"):
            found.append("exit 1 without the report: %r" % err[:200])
        if before is not None and config != before:
            found.append("config.ini changed")
        if before is None and config not in (None, DEFAULT_FILE):
            found.append("part of the default file: %r" % config)
        if left:
            found.append("left in the folder: %s" % left)
        return found

    def test_every_call_failing_in_turn(self):
        runs, violations = 0, []
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            for name, before, screens in SCENARIOS:
                jobs = []
                for call, number, line in self.calls(before):
                    for error in ERRORS:
                        fault = "inject=%s:error=%s:when=%d" % (call, error, number)
                        jobs.append((line, error, pool.submit(
                            self.run_once, before, ["-o", "/dev/null", "-e", fault] + SKIP_SLEEPS)))
                for line, error, job in jobs:
                    runs += 1
                    for found in self.violations(before, screens, line, job.result()):
                        violations.append("%s, %s in %s: %s" % (name, error, line[:80], found))
        print("\nsweep: %d runs, %d violations" % (runs, len(violations)))
        self.assertEqual(violations, [], "\n".join(violations))


if __name__ == "__main__":
    unittest.main()
