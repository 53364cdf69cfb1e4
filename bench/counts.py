"""User-mode instruction counts of whole runs, under callgrind."""

import os
import shutil
import tempfile

from terminal import Run


def instructions(argv, folder):
    """User-mode instructions of the whole run, the entries excepted (callgrind)."""
    out_dir = tempfile.mkdtemp(prefix="torvinale-callgrind-")
    try:
        # A forked child inherits its parent's counts: dumping (and so zeroing
        # them) just before each fork keeps every instruction counted once.
        Run(["valgrind", "--tool=callgrind", "--trace-children=yes",
             "--trace-children-skip=*marker-*", "--dump-before=*fork",
             "--callgrind-out-file=%s/cg.%%p" % out_dir] + argv, folder)
        total = 0
        for name in os.listdir(out_dir):
            with open(os.path.join(out_dir, name)) as f:
                for line in f:
                    if line.startswith("totals:") or line.startswith("summary:"):
                        total += int(line.split()[1])
                        break
        return total
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)
