"""One start of a program on a pseudo-terminal, as on a console."""

import errno
import os
import select
import subprocess
import sys
import tempfile
import time
import tty

from common import TICK_MS


class Run:
    """One start of a program on a pseudo-terminal, through the spawn helper."""

    spawner = None  # set once the helper is built

    def __init__(self, argv, cwd, env=None):
        master, slave = os.openpty()
        tty.setraw(slave)  # bytes reach us unchanged: no CR added, nothing echoed
        self.chunks = []  # (CLOCK_MONOTONIC seconds, bytes)
        fd, result_path = tempfile.mkstemp(prefix="torvinale-bench-run-")
        os.close(fd)
        try:
            proc = subprocess.Popen([Run.spawner, result_path] + argv, cwd=cwd, env=env,
                                    stdin=subprocess.DEVNULL, stdout=slave,
                                    stderr=subprocess.DEVNULL, close_fds=True)
            os.close(slave)
            quiet_since = None
            while True:
                ready, _, _ = select.select([master], [], [], 0.05)
                if ready:
                    try:
                        data = os.read(master, 65536)
                    except OSError as e:
                        if e.errno != errno.EIO:
                            raise
                        data = b""
                    if not data:
                        break
                    self.chunks.append((time.clock_gettime(time.CLOCK_MONOTONIC), data))
                    quiet_since = None
                elif proc.poll() is not None:
                    # Something the program started may keep the terminal open.
                    quiet_since = quiet_since or time.monotonic()
                    if time.monotonic() - quiet_since > 0.3:
                        break
            proc.wait()
            os.close(master)
            with open(result_path) as f:
                fields = f.read().split()
        finally:
            os.remove(result_path)
        if proc.returncode != 0 or len(fields) != 6:
            sys.exit("could not run %s (spawn helper exit %d)" % (argv, proc.returncode))

        start_ns, end_ns, user_us, system_us, rss_kib, status = map(int, fields)
        self.start = start_ns / 1e9
        # Wall-clock time of the start, for the markers' time stamps.
        self.start_wall = time.time() - time.clock_gettime(time.CLOCK_MONOTONIC) + self.start
        self.wall = (end_ns - start_ns) / 1e9
        self.cpu = (user_us + system_us) / 1e6
        self.max_rss_kib = rss_kib
        self.exit_code = os.waitstatus_to_exitcode(status)
        self.chunks = [(at - self.start, data) for at, data in self.chunks]
        self.out = b"".join(data for _, data in self.chunks)
        self.first_byte = self.chunks[0][0] if self.chunks else None

    def time_at(self, offset):
        """When the byte at offset arrived, in seconds since the start."""
        seen = 0
        for at, data in self.chunks:
            seen += len(data)
            if seen > offset:
                return at
        return None

    def countdown_end(self):
        """Wall-clock time at which the last tick's wait ended: one tick after its screen."""
        last = self.out.rfind(b"Program 10:")
        if last < 0:
            return None
        line_end = self.out.find(b"\r\n", last)
        at = self.time_at(line_end + 1)
        return None if at is None else self.start_wall + at + TICK_MS / 1000
