"""The Markdown report, with the targets it holds the figures to."""

import os
import re
import statistics
import subprocess

from common import BEFORE_LAUNCH_MS, CLOSING_MS, ENTRIES, PAUSE_MS, ROOT, TICK_MS

# Targets, from the issue.
OVERHEAD_TARGET_MS = 3.0
CPU_TARGET_MS = 2.0
# The launcher's median at most this many times the floor's.
FLOOR_RATIO_TARGETS = {("overhead", "empty"): 1.2, ("overhead", "ten"): 1.3,
                       ("cpu", "empty"): 1.2, ("cpu", "ten"): 1.5}
RSS_TARGET_KIB = 1536
EXE_TARGET_BYTES = 300 * 1024
# The read-once comparison's target: for this config.ini size, this ratio.
LARGE_TARGET_SIZE = 4 << 20
LARGE_TARGET_RATIO = 3.0

# DLLs every supported Windows ships; anything else would have to travel with the .exe.
WINDOWS_DLLS = {
    "kernel32.dll", "user32.dll", "shell32.dll", "msvcrt.dll", "advapi32.dll", "gdi32.dll",
    "ntdll.dll", "ole32.dll", "shlwapi.dll", "ws2_32.dll", "ucrtbase.dll", "comctl32.dll",
}


def median(values):
    return statistics.median(values) if values else None


def fmt(value, digits=2):
    return "n/a" if value is None else "%.*f" % (digits, value)


def ratio(a, b):
    if a is None or b is None or b == 0:
        return "n/a"
    r = a / b
    return "%.2f" % r if r >= 0.1 or r <= 0 else "1/%.0f" % (1 / r)


def spread(values, digits=2):
    return "" if not values else " (%s–%s)" % (fmt(min(values), digits), fmt(max(values), digits))


def render_large(large, add):
    add("Large `config.ini` files: other sections (400-byte values) before ours, Countdown=0, "
        "no entries. The launcher's overhead (wall time minus the waits) against the whole "
        "run of `bench/read_once.c`, which reads the file in one go and finds the section:")
    add("")
    add("| config.ini | Other sections | Launcher overhead (ms) | Read-once (ms) | "
        "Launcher/read-once | Target |")
    add("|---:|---:|---:|---:|---:|---|")
    for size, (length, sections, launcher, read_once) in large.items():
        med_l, med_r = median(launcher), median(read_once)
        verdict = ""
        if size == LARGE_TARGET_SIZE and med_l is not None and med_r:
            verdict = target_cell(med_l / med_r <= LARGE_TARGET_RATIO,
                                  "≤ %g × read-once" % LARGE_TARGET_RATIO)
        add("| %s | %d | %s%s | %s%s | %s | %s |" % (
            human_size(length), sections, fmt(med_l), spread(launcher), fmt(med_r),
            spread(read_once), ratio(med_l, med_r), verdict))
    add("")


def human_size(n):
    for unit in ("bytes", "KiB", "MiB"):
        if n < 1024 or unit == "MiB":
            return ("%d %s" % (n, unit)) if unit == "bytes" else "%.0f %s" % (n, unit)
        n /= 1024
    return str(n)


def render(paths, programs, configs, results, outputs, counts, wine, args, seconds, large=None):
    lines = []
    add = lines.append
    add("Runs: %d per program and configuration, on a pseudo-terminal; medians, with the "
        "range in brackets. Configurations: `empty` is Countdown=0, no entries (waits %d ms); "
        "`ten` is Countdown=0, Pause=%d, ten marker entries (waits %d ms)."
        % (args.runs, TICK_MS + BEFORE_LAUNCH_MS + CLOSING_MS, PAUSE_MS,
           TICK_MS + BEFORE_LAUNCH_MS + CLOSING_MS + ENTRIES * PAUSE_MS))
    add("")
    rows = [("overhead", "Overhead: wall time minus the waits (ms)", OVERHEAD_TARGET_MS),
            ("cpu", "CPU time, user + system (ms)", CPU_TARGET_MS),
            ("rss", "Peak resident memory (KiB)", RSS_TARGET_KIB),
            ("first", "Start to first screen byte (ms)", None),
            ("launch1", "End of countdown to entry 1 running, less the 100 ms wait (ms)", None),
            ("launch10", "End of countdown to entry 10 running, less the waits (ms)", None)]
    add("| Figure | Config | Launcher | Peer (sh) | Floor (C) | Launcher/peer | "
        "Launcher/floor | Target |")
    add("|---|---|---:|---:|---:|---:|---:|---|")
    for key, title, target in rows:
        for config in configs:
            values = {p: [r[key] for r in results[p, config] if r.get(key) is not None]
                      for p in programs}
            if not any(values.values()):
                continue
            med = {p: median(v) for p, v in values.items()}
            digits = 0 if key == "rss" else 2
            cells = [fmt(med[p], digits) + spread(values[p], digits) for p in programs]
            verdict = ""
            launcher, floor = med["launcher"], med["floor"]
            if key in ("overhead", "cpu", "rss") and launcher is not None:
                verdict = target_cell(launcher < target, "< %g" % target, floor < target)
            most = FLOOR_RATIO_TARGETS.get((key, config))
            if most is not None and launcher is not None and floor:
                verdict += "; " + target_cell(launcher / floor <= most, "≤ %g × floor" % most)
            add("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
                title, config, *cells, ratio(med["launcher"], med["peer"]),
                ratio(med["launcher"], med["floor"]), verdict))
    for config in configs:
        if ("launcher", config) in counts:
            c = {p: counts[p, config] for p in programs}
            add("| Instructions, callgrind (millions) | %s | %s | %s | %s | %s | %s | |" % (
                config, *(fmt(c[p] / 1e6) for p in programs), ratio(c["launcher"], c["peer"]),
                ratio(c["launcher"], c["floor"])))
    add("")

    for config in configs:
        same = [p for p in ("peer", "floor") if outputs.get((p, config)) ==
                outputs.get(("launcher", config))]
        differ = [p for p in ("peer", "floor") if p not in same]
        note = "same bytes as the launcher: %s" % (", ".join(same) or "none")
        if differ:
            note += "; different: %s (%s)" % (", ".join(differ), first_difference(
                outputs["launcher", config], outputs[differ[0], config]))
        add("- Output `%s`: %s." % (config, note))
    opened = {p: [r["opened"] for r in results[p, "ten"] if "opened" in r] for p in programs}
    add("- Entries running after each `ten` run: %s." % ", ".join(
        "%s %s" % (p, "/".join(str(n) for n in sorted(set(v))) or "n/a")
        for p, v in opened.items()))
    add("- Launcher measured: `%s`." % os.path.relpath(paths["posix"], ROOT))
    add("")

    if large:
        render_large(large, add)

    posix_size = os.path.getsize(paths["posix"])
    exe_size = os.path.getsize(paths["exe"])
    dlls = imported_dlls(paths["exe"])
    foreign = [d for d in dlls if d.lower() not in WINDOWS_DLLS]
    needed = shared_libraries(paths["posix"])
    add("| Binary (stripped) | Bytes | KiB | Target |")
    add("|---|---:|---:|---|")
    add("| POSIX `torvinale` | %d | %.1f | |" % (posix_size, posix_size / 1024))
    add("| Windows `torvinale.exe` | %d | %.1f | %s |" % (
        exe_size, exe_size / 1024, target_cell(exe_size < EXE_TARGET_BYTES, "< 300 KiB")))
    add("| Floor (C, dynamic) | %d | %.1f | |" % (
        os.path.getsize(paths["floor"]), os.path.getsize(paths["floor"]) / 1024))
    add("")
    add("- DLLs the .exe imports: %s — %s." % (
        ", ".join(dlls), "all shipped with Windows" if not foreign else
        "NOT shipped with Windows: " + ", ".join(foreign)))
    add("- Shared libraries the POSIX binary needs: %s." % ", ".join(needed))

    if wine:
        add("")
        add("For information only, the .exe under Wine (not Windows: Wine's own start-up "
            "dominates; no peer or floor):")
        add("")
        add("| Figure | Config | Median (range) |")
        add("|---|---|---:|")
        for key, title, _ in rows:
            if key in ("cpu", "rss"):
                continue  # Wine's server does part of the work, outside the process tree
            for config, runs in wine.items():
                values = [r[key] for r in runs if r.get(key) is not None]
                if values:
                    add("| %s | %s | %s%s |" % (title, config, fmt(median(values)),
                                                spread(values)))
    add("")
    add("Measured in %.0f s on %s." % (seconds, machine()))
    return "\n".join(lines) + "\n"


def target_cell(ok, text, floor_ok=True):
    if ok:
        return "met: " + text
    return "MISSED: " + text + ("" if floor_ok else " (the floor misses it too)")


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return "from byte %d: %r vs %r" % (i, a[i:i + 24], b[i:i + 24])
    return "lengths %d and %d" % (len(a), len(b))


def imported_dlls(exe):
    text = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True,
                          text=True, check=True).stdout
    return re.findall(r"DLL Name: (\S+)", text)


def shared_libraries(binary):
    text = subprocess.run(["objdump", "-p", binary], capture_output=True, text=True,
                          check=True).stdout
    return re.findall(r"NEEDED\s+(\S+)", text)


def machine():
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f
                         if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return "%s, %d cores, Linux %s" % (model, os.cpu_count() or 0, os.uname().release)
