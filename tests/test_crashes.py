"""Inputs that once crashed or hung a reader (kept under tests/data/crashes,
most of them found by fuzzing): each goes through every public function in
a child process with a time and an address-space limit, and may only
return or raise an ordinary Python exception."""

import os

import pytest

from test_truncation import run_sweep

CRASHES = os.path.join(os.path.dirname(__file__), "data", "crashes")
REQUESTS = [[kind, dims, deriv] for kind in ("AB", "TRC") for dims in ("2D", "3D") for deriv in ("NONE", "1DER")]


def crash_files():
    names = sorted(os.listdir(CRASHES)) if os.path.isdir(CRASHES) else []
    return [os.path.join(CRASHES, n) for n in names if not n.startswith(".") and n != "README"]


@pytest.mark.parametrize("path", crash_files() or [pytest.param(None, marks=pytest.mark.skip(reason="none kept"))],
                         ids=lambda p: os.path.basename(p) if p else "none")
def test_kept_crash_input_fails_cleanly(tmp_path, path):
    with open(path, "rb") as f:
        data = f.read()
    report = run_sweep(tmp_path, data, REQUESTS, [len(data)])
    assert report["unexpected"] == []
    assert sum(report["outcomes"].values()) == 3 + len(REQUESTS)
