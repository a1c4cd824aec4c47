"""The benchmark script runs end to end on tiny files (``--quick``).

Only that it runs and prints every case is checked here: timings on tiny
files say nothing, and the ratios are the benchmark's business.
"""

import os
import subprocess
import sys

import pytest

import vellkit

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
SCRIPT = os.path.join(ROOT, "benchmarks", "run.py")

CASE_LABELS = [
    "1 spectrum 2D", "2 listContents", "2b isVellFile", "3 image map", "4 trace image map",
    "5 time-resolved", "5b trace series", "6 multi-region", "6b multi-region traces", "7 directory",
    "8 getVisImages", "9 memory (3 image map)", "9 memory (5 time-resolved)", "9 memory (8 getVisImages)",
    "14 show", "14 list", "15 check",
]


# The floors are os.preadv reads and the memory case reads resource's peak.
@pytest.mark.skipif(not hasattr(os, "preadv"), reason="the benchmark floors need os.preadv")
def test_quick_run_prints_every_case():
    pytest.importorskip("resource")
    env = dict(os.environ)
    # The same vellkit as the tests import, however it was found.
    paths = [os.path.dirname(os.path.abspath(vellkit.__file__)), os.path.join(ROOT, "python")]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    proc = subprocess.run([sys.executable, SCRIPT, "--quick"], cwd=ROOT, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=600)
    assert proc.returncode == 0, proc.stdout
    lines = proc.stdout.splitlines()
    for label in CASE_LABELS:
        assert any(line.startswith(label) for line in lines), "%r missing from:\n%s" % (label, proc.stdout)
    assert "ERROR" not in proc.stdout
