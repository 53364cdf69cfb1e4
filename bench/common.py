"""What every part of the benchmark shares: where things are, the waits a run
asks for, and how commands are run."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench")
POSIX_DIR = os.path.join(ROOT, "build", "bench-posix")
WINDOWS_DIR = os.path.join(ROOT, "build", "bench-windows")

TICK_MS, BEFORE_LAUNCH_MS, CLOSING_MS = 1000, 100, 2000
PAUSE_MS = 20
ENTRIES = 10


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def sh(argv, **kwargs):
    return subprocess.run(argv, check=True, **kwargs)


def wine_programs():
    """(wine, wineserver) that the Windows build runs its programs with, or None
    before it is configured."""
    try:
        with open(os.path.join(WINDOWS_DIR, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("CMAKE_CROSSCOMPILING_EMULATOR:"):
                    wine = line.split("=", 1)[1].strip()
                    return wine, os.path.join(os.path.dirname(wine), "wineserver")
    except FileNotFoundError:
        pass
    return None
