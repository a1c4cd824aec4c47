"""Benchmark cases 14 and 15: the ``vellkit`` command's describing subcommands.

14   ``vellkit show`` and ``vellkit list`` of an image map of 512 x 512
     positions x 4,096 points (4 GiB, a sparse file: its records are holes,
     so it takes no disk space and no time to make), each in a fresh
     interpreter: the time of the command's ``main`` and its peak resident
     memory above the interpreter's after imports. Targets: 50 ms, 64 MiB.
     ``--quick`` uses a 16 MiB map.
15   ``vellkit check`` of files of 48 KB, 192 KB and 1 MB whose directory
     lists one large parameter block again and again (every entry refers to
     the same block): the time per file and per KB. The target is a check
     linear in the file's size: the time per KB of the largest file at most
     three times that of the smallest (a check that walked the block once
     for every entry took 1.5 s, 22 s and about ten minutes).
     ``--quick`` uses 4, 8 and 16 KB.
"""

import json
import os
import struct
import subprocess
import sys
import time

MIB = 1024 * 1024
IDS = ("14", "15")
SHOW_TIME, SHOW_MEMORY = 0.050, 64 * MIB
LINEAR_SLACK = 3.0


# ----------------------------------------------------------------------------
# Files
# ----------------------------------------------------------------------------

def write_sparse_map(path, rows, columns, npt):
    """An image map whose record bytes are never written: the file is cut to
    its full size, so the records read as zeros from holes."""
    from vellkit_tools import writer
    count = rows * columns
    info = writer.DEFAULT_INFO_SIZE
    # The directory right after the header and the parameter block before
    # the data, so that every offset of the 32-bit directory stays small.
    vf = writer.VellFile(directory="start", max_dir_size=2)
    vf.add_parameters(writer.image_map_params(npt, 4000.0, 400.0, columns, rows, mny=0.0, mxy=1.0),
                      data_type="AB", extend_type=writer.EXTEND_3D)
    data_at = vf.next_offset
    # The 3D block's head and store table: one run naming every record.
    table = struct.pack("<6i", 0, count, 24 + 8, npt * 4, info, 1) + struct.pack("<ii", 0, count - 1)
    data_bytes = len(table) + count * (npt * 4 + info)
    vf.add_bytes(table)
    vf.add_entry(writer.block_type("AB", extend_type=writer.EXTEND_3D), data_bytes // 4, data_at)
    with open(path, "wb") as f:
        f.write(vf.to_bytes())
        f.truncate(data_at + data_bytes)
    return path


def write_shared_parameters(path, size):
    """A spectrum file of about ``size`` bytes: half of it an acquisition
    parameter block, half directory entries that all list that block."""
    from vellkit_tools import writer
    import numpy as np
    records = max(1, size // 2 // 12)
    names = ["%03X" % (k % 4096) for k in range(records)]
    vf = writer.make_spectrum_file(np.zeros(16, dtype=np.float32),
                                   acquisition=[(name, k) for k, name in enumerate(names)])
    code, words, offset = vf.entries[-1]
    while len(vf.entries) * 12 < size // 2:
        vf.add_entry(code, words, offset)
    vf.write(path)
    return path


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
    discarded); prints its time and peak resident memory above the
    interpreter's once everything is imported, as one JSON line."""
    import contextlib
    import io

    from vellkit_tools import _native  # noqa: F401  (imported before the baseline)
    from vellkit_tools.cli import main
    sink = io.StringIO()
    with contextlib.redirect_stdout(sink):  # warm: imports, the page cache
        main([command, path])
    sink.seek(0)
    sink.truncate()
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
    rows, columns, npt = (64, 64, 1024) if quick else (512, 512, 4096)
    path = write_sparse_map(os.path.join(workdir, "sparse_map.vell"), rows, columns, npt)
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
    sizes = (4096, 8192, 16384) if quick else (48 * 1024, 192 * 1024, 1024 * 1024)
    out, per_kb = [], []
    for size in sizes:
        path = write_shared_parameters(os.path.join(workdir, "shared_%d.vell" % size), size)
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
