"""Inputs that once crashed or hung a reader (kept under tests/data/crashes,
most of them found by fuzzing): each goes through every public function of
vellkit and every read of vellkit_tools._native in a child process with a
time and an address-space limit, and may only return or raise an ordinary
Python exception."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from test_truncation import ADDRESS_SPACE, TIME_LIMIT, run_sweep

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


# Every read of _native over what the file's plan (or, until plans exist, its
# description) names: all records, all points, times, labels, 2D values.
NATIVE_CHILD = textwrap.dedent("""
    import faulthandler, json, os, resource, sys
    limit = int(os.environ["SWEEP_ADDRESS_SPACE"])
    if limit:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    faulthandler.enable(file=sys.__stderr__)
    import numpy as np
    from vellkit_tools import _native
    path, requests = sys.argv[1], json.loads(sys.argv[2])
    ordinary = (ValueError, KeyError, IndexError, TypeError, OSError, OverflowError, MemoryError)

    def plan(request):
        p = _native.plan_block(path, tuple(request))
        records = p["records"] or {}
        return (p["npt"], p["values_offset"], np.frombuffer(records.get("offsets", b""), np.int64),
                records.get("info_size", 0), p["identity"])

    outcomes, unexpected = {}, []
    for request in requests:
        steps = [lambda: plan(request)]
        try:
            npt, values_offset, offsets, info_size, identity = plan(request)
            steps += [lambda: _native.read_values(path, values_offset, npt, identity),
                      lambda: _native.read_points(path, offsets, npt, 0, npt, identity),
                      lambda: _native.read_points(path, offsets[::-1].copy(), npt, npt // 2, npt - npt // 2),
                      lambda: _native.read_times(path, offsets, npt, identity),
                      lambda: _native.read_labels(path, offsets, npt, info_size, identity)]
        except ordinary:
            pass
        for k, step in enumerate(steps):
            try:
                step()
                kind = "ok"
            except ordinary as e:
                kind = type(e).__qualname__
            except BaseException as e:
                kind = type(e).__module__ + "." + type(e).__qualname__
                unexpected.append((request, k, kind, str(e)[:200]))
            outcomes[kind] = outcomes.get(kind, 0) + 1
    print(json.dumps({"outcomes": outcomes, "unexpected": unexpected}))
""")


@pytest.mark.parametrize("path", crash_files() or [pytest.param(None, marks=pytest.mark.skip(reason="none kept"))],
                         ids=lambda p: os.path.basename(p) if p else "none")
def test_kept_crash_input_fails_cleanly_in_native_reads(path):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    # Sanitizer runtimes reserve far more address space than any limit allows.
    sanitized = "san" in env.get("LD_PRELOAD", "") or not sys.platform.startswith("linux")
    env["SWEEP_ADDRESS_SPACE"] = "0" if sanitized else str(ADDRESS_SPACE)
    proc = subprocess.run([sys.executable, "-c", NATIVE_CHILD, path, json.dumps(REQUESTS)], capture_output=True,
                          text=True, timeout=TIME_LIMIT, env=env)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout)
    assert report["unexpected"] == []
