"""The packages as users get them: built with cpack, unpacked, checked with Debian's
tools, the program run from them; the login entries started for real under Xvfb; the
MSI installed and removed with Wine's msiexec; two builds of the commit compared byte
for byte."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

BUILD = os.environ.get("TORVINALE_BUILD", "")
CPACK = os.environ.get("TORVINALE_CPACK", "cpack")
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DOC = "usr/share/doc/torvinale/"
MSI = bool(shutil.which("wixl") and shutil.which("msibuild") and shutil.which("msiinfo"))


def build_packages(test_class, generators, build=None):
    """Runs cpack into a fresh folder; returns the package files by extension."""
    build = build or BUILD
    if not build:
        raise unittest.SkipTest("TORVINALE_BUILD is not set")
    out = tempfile.mkdtemp(prefix="torvinale-package-")
    test_class.addClassCleanup(shutil.rmtree, out, ignore_errors=True)
    subprocess.run([CPACK, "--config", os.path.join(build, "CPackConfig.cmake"),
                    "-G", ";".join(generators), "-B", out],
                   check=True, stdout=subprocess.DEVNULL, timeout=300)
    found = {}
    for name in os.listdir(out):
        for ext in (".deb", ".tar.gz", ".zip", ".msi"):
            if name.endswith(ext):
                found[ext] = os.path.join(out, name)
    return out, found


def sample_config_for_test(sample, entry, countdown="0"):
    """The installed sample with no wait and one entry (that cannot be opened)."""
    text = re.sub(r"(?m)^Countdown=.*$", "Countdown=" + countdown, sample)
    text = re.sub(r"(?m)^Pause=.*$", "Pause=0", text)
    text = re.sub(r"(?m)^(Program\d+)=.*$", r"\1=", text)
    return text.replace("Program1=", "Program1=" + entry, 1)


def run_program(argv, cwd):
    return subprocess.run(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60)


def tool(*argv, **kwargs):
    return subprocess.run(argv, check=True, capture_output=True, text=True, timeout=300,
                          **kwargs).stdout


def without_signing(env):
    """The environment without the certificate for release signing (cmake/cpack-sign.cmake)."""
    return {k: v for k, v in env.items() if not k.startswith("TORVINALE_SIGN_")}


def wait_for(check, timeout=60):
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.1)
