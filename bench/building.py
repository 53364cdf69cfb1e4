"""Builds the release binaries and the helpers the runs need."""

import os
import subprocess

from common import BENCH, POSIX_DIR, ROOT, WINDOWS_DIR, log, sh


def build(jobs):
    """Configures and builds both release binaries and the helpers; returns their paths."""
    common = ["-DCMAKE_BUILD_TYPE=MinSizeRel", "-DTORVINALE_TESTS=OFF"]
    quiet = {"stdout": subprocess.DEVNULL}
    log("building", POSIX_DIR)
    sh(["cmake", "-S", ROOT, "-B", POSIX_DIR] + common, **quiet)
    sh(["cmake", "--build", POSIX_DIR, "--target", "torvinale", "-j", str(jobs)], **quiet)
    log("building", WINDOWS_DIR)
    toolchain = os.path.join(ROOT, "cmake", "mingw-w64-x86_64.cmake")
    sh(["cmake", "-S", ROOT, "-B", WINDOWS_DIR, "-DCMAKE_TOOLCHAIN_FILE=" + toolchain] + common,
       **quiet)
    sh(["cmake", "--build", WINDOWS_DIR, "--target", "torvinale", "-j", str(jobs)], **quiet)

    posix = os.path.join(POSIX_DIR, "torvinale")
    exe = os.path.join(WINDOWS_DIR, "torvinale.exe")
    sh(["strip", posix])
    sh(["x86_64-w64-mingw32-strip", exe])

    helpers = os.path.join(POSIX_DIR, "bench")
    os.makedirs(helpers, exist_ok=True)
    cflags = ["-std=c11", "-O2", "-Wall", "-Wextra", "-Werror"]
    floor = os.path.join(helpers, "floor")
    sh(["cc"] + cflags + ["-o", floor, os.path.join(BENCH, "floor.c")])
    sh(["strip", floor])
    read_once = os.path.join(helpers, "read_once")
    sh(["cc"] + cflags + ["-o", read_once, os.path.join(BENCH, "read_once.c")])
    sh(["strip", read_once])
    # Static: a small image to start from, and markers that run without loading anything.
    spawner = os.path.join(helpers, "spawn")
    sh(["cc"] + cflags + ["-static", "-o", spawner, os.path.join(BENCH, "spawn.c")])
    marker = os.path.join(helpers, "marker")
    sh(["cc"] + cflags + ["-static", "-o", marker, os.path.join(BENCH, "marker.c")])
    marker_exe = os.path.join(WINDOWS_DIR, "bench-marker.exe")
    sh(["x86_64-w64-mingw32-gcc-posix"] + cflags +
       ["-static", "-o", marker_exe, os.path.join(BENCH, "marker.c")])
    return {"posix": posix, "exe": exe, "floor": floor, "marker": marker,
            "marker_exe": marker_exe, "spawn": spawner, "read_once": read_once}
