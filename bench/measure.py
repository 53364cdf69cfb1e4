"""The configurations the programs run in and the figures of each run."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

from common import BEFORE_LAUNCH_MS, CLOSING_MS, ENTRIES, PAUSE_MS, TICK_MS, WINDOWS_DIR
from terminal import Run

# config.ini sizes for the read-once comparison.
LARGE_SIZES = [1 << 10, 64 << 10, 1 << 20, 4 << 20, 16 << 20]


def prepare_folder(config_name, marker, exe_style):
    """A working folder with config.ini; for "ten", ten marker copies as the entries."""
    folder = tempfile.mkdtemp(prefix="torvinale-bench-")
    entries = []
    if config_name == "ten":
        for n in range(1, ENTRIES + 1):
            name = "marker-%02d" % n + (".exe" if exe_style else "")
            path = os.path.join(folder, name)
            shutil.copy(marker, path)
            entries.append("Z:" + path.replace("/", "\\") if exe_style else path)
    pause = PAUSE_MS if entries else 0
    lines = ["[Torvinale]", "Countdown=0", "Pause=%d" % pause]
    lines += ["Program%d=%s" % (n, e) for n, e in enumerate(entries, 1)]
    with open(os.path.join(folder, "config.ini"), "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in lines))
    waits_ms = TICK_MS + BEFORE_LAUNCH_MS + len(entries) * pause + CLOSING_MS
    return folder, len(entries), pause, waits_ms


def read_markers(folder, expected, timeout=0.5):
    path = os.path.join(folder, "markers.log")
    deadline = time.time() + timeout
    while True:
        rows = []
        if os.path.exists(path):
            with open(path) as f:
                rows = [line.split() for line in f if line.strip()]
        if len(rows) >= expected or time.time() > deadline:
            if os.path.exists(path):
                os.remove(path)
            return {name.split(".")[0]: int(us) / 1e6 for name, us in rows}
        time.sleep(0.05)


def measure(run, entries, pause, waits_ms, folder):
    """The figures of one run, in milliseconds and KiB."""
    figures = {
        "overhead": (run.wall * 1000 - waits_ms),
        "cpu": run.cpu * 1000,
        "rss": float(run.max_rss_kib),
        "first": None if run.first_byte is None else run.first_byte * 1000,
    }
    if entries:
        markers = read_markers(folder, entries)
        figures["opened"] = len(markers)
        end = run.countdown_end()
        if len(markers) == entries and end is not None:
            latency = []
            for n in range(1, entries + 1):
                expected = end + (BEFORE_LAUNCH_MS + (n - 1) * pause) / 1000
                latency.append((markers["marker-%02d" % n] - expected) * 1000)
            figures["launch1"] = latency[0]
            figures["launch10"] = latency[-1]
    return figures


def large_config(size):
    """A config.ini of about size bytes: other sections first, ours last."""
    ours = b"[Torvinale]\r\nCountdown=0\r\nPause=0\r\n"
    filler = []
    length, n = len(ours), 0
    while length < size:
        section = b"[S%d]\r\nKey=%s\r\n" % (n, b"v" * 400)
        filler.append(section)
        length += len(section)
        n += 1
    return b"".join(filler) + ours, n


def measure_large(paths, runs):
    """Launcher overhead against the read-once program, for config.ini files of growing
    size; interleaved."""
    waits_ms = TICK_MS + BEFORE_LAUNCH_MS + CLOSING_MS
    figures = {}
    for size in LARGE_SIZES:
        folder = tempfile.mkdtemp(prefix="torvinale-bench-large-")
        text, sections = large_config(size)
        with open(os.path.join(folder, "config.ini"), "wb") as f:
            f.write(text)
        launcher, read_once = [], []
        try:
            for _ in range(runs):
                run = Run([paths["posix"]], folder)
                if run.exit_code != 0:
                    sys.exit("launcher exited with %d in %s" % (run.exit_code, folder))
                launcher.append(run.wall * 1000 - waits_ms)
                run = Run([paths["read_once"]], folder)
                if run.exit_code != 0:
                    sys.exit("read_once exited with %d in %s" % (run.exit_code, folder))
                read_once.append(run.wall * 1000)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        figures[size] = (len(text), sections, launcher, read_once)
    return figures


def measure_wine(paths, runs, wine, wineserver):
    prefix = os.path.join(WINDOWS_DIR, "wineprefix")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    # A server started apart from the runs, so that none of them owns it or its terminal.
    subprocess.Popen([wineserver, "-p"], env=env, stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).wait()
    subprocess.run([wine, "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    figures = {}
    try:
        for config in ["empty", "ten"]:
            folder, entries, pause, waits_ms = prepare_folder(config, paths["marker_exe"], True)
            figures[config] = []
            for _ in range(runs):
                run = Run([wine, paths["exe"]], folder, env)
                figures[config].append(measure(run, entries, pause, waits_ms, folder))
            shutil.rmtree(folder, ignore_errors=True)
    finally:
        subprocess.run([wineserver, "-k"], env=env, stderr=subprocess.DEVNULL, check=False)
    return figures
