#!/usr/bin/env python3
"""Differential test: our POSIX profile functions against Windows' own under Wine.

Generates INI files and operations from a seed, runs every case through
torvinale_profile_driver (POSIX build) and torvinale_profile_driver.exe (under
Wine), and compares the values read, the write results and the files written.
A difference passes only when one of the classes listed in README.md ("How
config.ini is read and written on Linux") explains it exactly.
The .exe also runs every case through the program's own Windows layer, in a
folder whose name the ANSI code page lacks: that must give exactly what
Windows' ANSI functions give.

    python3 tests/diff/run_diff.py --seed 7 --cases 20000
    python3 tests/diff/run_diff.py --seed 7 --cases 20000 --show 1234   # one case
"""

import argparse
import collections
import os
import shutil
import subprocess
import sys
import tempfile
import time

from cases import escape, generate
from compare import compare, differences_of_the_program

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
POSIX_DRIVER = os.path.join(ROOT, "build", "posix", "tests", "torvinale_profile_driver")
WINDOWS_DRIVER = os.path.join(ROOT, "build", "windows", "tests", "torvinale_profile_driver.exe")


def cached_wine():
    """The Wine the windows preset runs its programs with, if it is configured."""
    try:
        with open(os.path.join(ROOT, "build", "windows", "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("CMAKE_CROSSCOMPILING_EMULATOR:"):
                    return line.split("=", 1)[1].strip()
    except FileNotFoundError:
        pass
    return None


def host_path(path, windows):
    return "Z:" + path.replace("/", "\\") if windows else path


def write_script(cases, folder, windows):
    """windows None: names alone, taken in the working folder."""
    lines = []
    for case in cases:
        name = f"c{case.number}.ini"
        path = escape(name if windows is None else host_path(os.path.join(folder, name), windows))
        for op in case.ops:
            lines.append("\t".join([op[0], path] + [escape(f) for f in op[1:]]))
    script = os.path.join(folder, "script.txt")
    with open(script, "w", encoding="ascii") as f:
        f.write("".join(line + "\n" for line in lines))
    return script


def prepare(cases, folder):
    os.makedirs(folder, exist_ok=True)
    for case in cases:
        path = os.path.join(folder, f"c{case.number}.ini")
        if case.initial is not None:
            with open(path, "wb") as f:
                f.write(case.initial)


def split_results(cases, output, who):
    lines = output.decode("ascii").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    results, pos = [], 0
    for case in cases:
        results.append(lines[pos:pos + len(case.ops)])
        pos += len(case.ops)
    if pos != len(lines):
        sys.exit(f"{who} driver gave {len(lines)} results for {pos} operations")
    return results


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


# The program's Windows layer runs in a folder whose name cp1252 lacks.
PROGRAM_FOLDER = "windows-\u0414\u043c\u0438\u0442\u0440\u0438\u0439"


def run_batch(cases, work, env, drivers, wine_path):
    folders = [os.path.join(work, name) for name in ("posix", "windows", PROGRAM_FOLDER)]
    for folder in folders:
        shutil.rmtree(folder, ignore_errors=True)
        prepare(cases, folder)
    posix_dir, wine_dir, program_dir = folders
    write_script(cases, program_dir, None)
    # Three at once, each into a file: a full pipe would hold its driver up.
    runs = [([drivers[0], write_script(cases, posix_dir, False)], None),
            ([wine_path, drivers[1], write_script(cases, wine_dir, True)], None),
            ([wine_path, drivers[1], "--through-program", "script.txt"], program_dir)]
    procs = []
    for command, cwd in runs:
        out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        procs.append((subprocess.Popen(command, stdout=out, stderr=err, env=env, cwd=cwd),
                      out, err))
    outputs, failed = [], []
    for proc, out, err in procs:
        proc.wait()
        out.seek(0)
        err.seek(0)
        outputs.append(out.read())
        if proc.returncode != 0:
            failed.append(f"{proc.args[-1]}: {proc.returncode}: "
                          f"{err.read().decode(errors='replace')[-2000:]}")
    if failed:
        sys.exit("driver failed: " + "; ".join(failed))
    posix_out, wine_out, program_out = outputs
    ours = split_results(cases, posix_out, "POSIX")
    theirs = split_results(cases, wine_out, "Windows")
    programs = split_results(cases, program_out, "program's Windows")
    for case, mine, wine, program in zip(cases, ours, theirs, programs):
        name = f"c{case.number}.ini"
        yield case, mine, wine, program, read_file(os.path.join(posix_dir, name)), \
            read_file(os.path.join(wine_dir, name)), read_file(os.path.join(program_dir, name))


def show(case, mine, wine, our_file, their_file):
    print(f"case {case.number} {case.kinds}\n  initial: {case.initial!r}")
    for op, m, w in zip(case.ops, mine, wine):
        print(f"  {op!r}\n      ours    {m!r}" + ("" if m == w else f"\n      Windows {w!r}"))
    print(f"  ours:    {our_file!r}\n  Windows: {their_file!r}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--cases", type=int, default=2000)
    parser.add_argument("--batch", type=int, default=1000, help="cases per driver run")
    parser.add_argument("--show", type=int, help="print this case in full")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--posix-driver", default=POSIX_DRIVER)
    parser.add_argument("--windows-driver", default=WINDOWS_DRIVER, type=os.path.abspath)
    parser.add_argument("--wine", help="default: the windows preset's, from its CMakeCache.txt")
    args = parser.parse_args()
    wine_path = args.wine or cached_wine()

    for driver in (args.posix_driver, args.windows_driver, wine_path):
        if not driver or not os.path.isfile(driver):
            sys.exit(f"missing {driver or 'Wine'}: build the posix and windows presets first")
    # Wine names a folder outside the ANSI code page only under a UTF-8 locale.
    env = dict(os.environ, WINEDEBUG="-all", LC_ALL="C.UTF-8")
    env.setdefault("WINEPREFIX", os.path.join(ROOT, "build", "windows", "wineprefix"))
    subprocess.run([wine_path, "cmd", "/c", "exit"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)

    cases = generate(args.seed, args.cases)
    if args.show is not None:
        cases = [cases[args.show]]
    # Our writes sync every file; a memory file system keeps that cheap.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    work = tempfile.mkdtemp(prefix="torvinale-diff-", dir=shm)
    started = time.monotonic()
    met_counts, failures, ops = collections.Counter(), [], 0
    try:
        for first in range(0, len(cases), args.batch):
            for case, mine, wine, program, our_file, their_file, program_file in run_batch(
                    cases[first:first + args.batch], work, env,
                    (args.posix_driver, args.windows_driver), wine_path):
                ops += len(case.ops)
                met, bad = compare(case, mine, wine, our_file, their_file)
                bad += differences_of_the_program(case, program, wine, program_file, their_file)
                met_counts.update(met)
                if args.show is not None:
                    show(case, mine, wine, our_file, their_file)
                if bad:
                    failures.append((case, bad))
    finally:
        if args.keep:
            print(f"work folder: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)

    print(f"seed {args.seed}: {len(cases)} cases, {ops} operations, "
          f"{time.monotonic() - started:.1f} s")
    for name, count in sorted(met_counts.items()):
        print(f"  listed difference '{name}': {count} cases")
    for case, bad in failures[:10]:
        print(f"FAIL case {case.number} {case.kinds} (rerun with --seed {args.seed} "
              f"--cases {args.cases} --show {case.number}):")
        for line in bad[:5]:
            print("  " + line)
    if failures:
        print(f"{len(failures)} of {len(cases)} cases differ beyond the listed classes")
        return 1
    print("no unlisted difference")
    return 0


if __name__ == "__main__":
    sys.exit(main())
