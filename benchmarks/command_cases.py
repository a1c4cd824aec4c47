"""Benchmark cases 14 and 15: the ``vellkit`` command's describing
subcommands, on the files of cases 20 and 21 (benchmarks/describe_cases.py).

14   ``vellkit show`` and ``vellkit list`` of the 4 GiB sparse image map,
     each in a fresh interpreter: the time of the command's ``main`` and its
     peak resident memory above the interpreter's once everything is
     imported. Targets: 50 ms, 64 MiB. ``--quick`` uses a 64 MiB map.
15   ``vellkit check`` of the files of 48 KB, 192 KB and 1 MB whose
     directory entries point at one long parameter block and into it: the
     time per file. The target is a check linear in the file's size: the
     time per KB of the largest file at most three times that of the
     smallest (the check that walked the block again for every entry took
     1.2 s, 18 s and over 20 minutes). ``--quick`` uses 12 KB and 48 KB.
"""

import json
import os
import subprocess
import sys
import time

from describe_cases import frame_file, sparse_map

MIB = 1024 * 1024
IDS = ("14", "15")
SHOW_TIME, SHOW_MEMORY = 0.050, 64 * MIB
LINEAR_SLACK = 3.0


# ----------------------------------------------------------------------------
# Measuring one run of the command in a fresh interpreter
# ----------------------------------------------------------------------------

def _status_bytes(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return None


def child_main(command, path):
    """Runs ``vellkit COMMAND PATH`` once in this interpreter (output
    discarded), the first call after the command's modules are imported
    and its parser built once;
    prints its time and peak resident memory above the interpreter's
    before the call, as one JSON line."""
    import contextlib
    import io

    from vellkit_tools import _native  # noqa: F401  (imported before the baseline)
    from vellkit_tools.cli import build_parser, main
    build_parser()  # its one-time cost (the package's version looked up) is the interpreter's, not the file's
    with open(path, "rb") as f:  # the headers into the page cache (they lie at the start)
        f.read(16 * MIB)
    sink = io.StringIO()
    base = _status_bytes("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from here
    t0 = time.perf_counter()
    with contextlib.redirect_stdout(sink):
        status = main([command, path])
    seconds = time.perf_counter() - t0
    peak = _status_bytes("VmHWM") - base
    print(json.dumps({"status": status, "seconds": seconds, "peak": peak, "output": len(sink.getvalue())}))


def _child(command, path):
    env = dict(os.environ)
    import vellkit
    import vellkit_tools
    here = [os.path.dirname(os.path.abspath(vellkit.__file__))] + \
        [os.path.dirname(os.path.abspath(p)) for p in vellkit_tools.__path__]
    env["PYTHONPATH"] = os.pathsep.join(here + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), command, path], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=env, universal_newlines=True)
    if proc.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (command, proc.stderr.strip()))
    return json.loads(proc.stdout.strip().splitlines()[-1])


def _available():
    if not os.path.exists("/proc/self/clear_refs"):
        return "needs /proc/self/clear_refs (Linux) to measure peak memory"
    try:
        from vellkit_tools import _native
    except ImportError as exc:
        return str(exc)
    if not hasattr(_native, "describe_file"):
        return "the built vellkit_tools._native has no describe_file"
    return None


def _size_text(n):
    return "%.1f GiB" % (n / 1024 ** 3) if n >= 1024 ** 3 else "%.0f MiB" % (n / MIB)


def case_show_list(workdir, quick, fmt_time):
    path = os.path.join(workdir, "sparse_map.vell")
    sparse_map(path, (64 if quick else 4096) * MIB)
    size = os.path.getsize(path)
    out = []
    for command in ("show", "list"):
        m = _child(command, path)
        if m["status"] != 0 or not m["output"]:
            raise RuntimeError("vellkit %s of the map exited with %d" % (command, m["status"]))
        ok = m["seconds"] <= SHOW_TIME and m["peak"] <= SHOW_MEMORY
        out.append({"case": "14", "name": "vellkit %s, %s map" % (command, _size_text(size)),
                    "seconds": m["seconds"], "peak_bytes": m["peak"], "file_bytes": size,
                    "status": "pass" if ok else "miss",
                    "cells": ["14 %s %s map" % (command, _size_text(size)), fmt_time(m["seconds"]),
                              "%.1f MiB" % (m["peak"] / MIB), "<= 50 ms, <= 64 MiB", "pass" if ok else "MISS"]})
    os.remove(path)
    return out


def case_check(workdir, quick, fmt_time):
    sizes = (12 * 1024, 48 * 1024) if quick else (48 * 1024, 192 * 1024, 1024 * 1024)
    out, per_kb = [], []
    for size in sizes:
        path = os.path.join(workdir, "frame_%d.vell" % size)
        frame_file(path, size)
        m = _child("check", path)
        if m["status"] != 0:
            raise RuntimeError("vellkit check of a healthy %d-byte file exited with %d" % (size, m["status"]))
        actual = os.path.getsize(path)
        per_kb.append(m["seconds"] / (actual / 1024.0))
        out.append({"case": "15", "name": "vellkit check, %d KB" % (actual // 1000), "seconds": m["seconds"],
                    "peak_bytes": m["peak"], "file_bytes": actual,
                    "cells": ["15 check %d KB" % (actual // 1000), fmt_time(m["seconds"]),
                              "%.1f MiB" % (m["peak"] / MIB), "", ""]})
        os.remove(path)
    growth = per_kb[-1] / per_kb[0]
    ok = growth <= LINEAR_SLACK
    for row in out:
        row["status"] = "pass" if ok else "miss"
        row["time_per_kb_growth"] = growth
    out[-1]["cells"][3:] = ["per-KB time x%.2f (<= %g)" % (growth, LINEAR_SLACK), "pass" if ok else "MISS"]
    return out


def run(wanted, workdir, quick, fmt_time):
    """The rows of cases 14 and 15 that are in ``wanted``; (rows, failures, misses)."""
    rows, failures, misses = [], 0, 0
    missing = _available()
    for id, job in (("14", case_show_list), ("15", case_check)):
        if id not in wanted:
            continue
        if missing:
            rows.append({"case": id, "status": "skipped", "error": missing,
                         "cells": [id, "skipped", "", "", missing]})
            continue
        try:
            for row in job(workdir, quick, fmt_time):
                misses += row["status"] == "miss"
                rows.append(row)
        except Exception as exc:  # reported; the other cases go on
            failures += 1
            rows.append({"case": id, "status": "error", "error": "%s: %s" % (type(exc).__name__, exc),
                         "cells": [id, "error", "", "", "ERROR %s: %s" % (type(exc).__name__, exc)]})
    return rows, failures, misses


HEADERS = ["case", "time", "peak growth", "target", "result"]


if __name__ == "__main__":
    child_main(sys.argv[1], sys.argv[2])
