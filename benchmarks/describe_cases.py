"""Cases 20 and 21 of benchmarks/run.py: header-only file descriptions
(``vellkit_tools._native.describe_file``, what ``list``, ``show`` and ``check``
build on).

20  a 4 GiB image map (a sparse file: headers written, the records a hole
    made with truncate) described in a fresh interpreter: time and peak
    resident memory, against 50 ms and 64 MiB.
21  files of 48 KB, 192 KB and 1 MB whose directory entries point at one
    long parameter block and into it (each entry's block is examined once):
    time per file, and the time per byte of the largest against the
    smallest (the least of five samples each), which a quadratic scan would
    make 21.
"""

import json
import os
import struct
import subprocess
import sys
import time


from vellkit_tools import writer

IDS = ("20", "21")
MIB = 1024 * 1024
TIME_TARGET = 0.050
MEMORY_TARGET = 64 * MIB
# Time per byte, largest file over smallest: a scan that walks a parameter
# block again for every entry grows 21-fold over these sizes; a linear one
# stays within 4 (the largest file's work no longer fits the caches).
LINEAR_TARGET = 4.0


def sparse_map(path, total_bytes):
    """An image map of ``total_bytes`` of records; only the headers are written."""
    npt = 1024
    record = 4 * npt
    side = 1
    while side * side * 2 * record <= total_bytes:
        side *= 2
    nx, ny = side * (2 if side * side * 2 * record <= total_bytes else 1), side
    records = nx * ny
    vf = writer.VellFile(directory="start")
    vf.add_parameters(writer.image_map_params(npt, 4000.0, 400.0, nx, ny), data_type="AB",
                      extend_type=writer.EXTEND_3D)
    header = struct.pack("<6i", 0, records, 32, record, 0, 1) + struct.pack("<ii", 0, records - 1)
    size_in_words = (len(header) + records * record) // 4
    offset = vf.add_block(header, writer.block_type("AB", extend_type=writer.EXTEND_3D),
                          size_in_words=min(size_in_words, 2 ** 31 - 1))
    vf.write(path)
    os.truncate(path, offset + len(header) + records * record)
    return (ny, nx, npt)


def _child(path):
    """Times describe_file in this fresh interpreter; prints one JSON line."""
    from vellkit_tools import _native

    def rss(key):
        try:
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith(key + ":"):
                        return int(line.split()[1]) * 1024
        except OSError:
            pass
        return None

    base = rss("VmRSS")
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    start = time.perf_counter()
    description = _native.describe_file(path)
    elapsed = time.perf_counter() - start
    peak = rss("VmHWM")
    print(json.dumps({"time": elapsed, "peak": None if peak is None or base is None else peak - base,
                      "shape": description["blocks"][0]["shape"], "problems": description["problems"]}))


def case_big_map(workdir, quick, fmt_time):
    path = os.path.join(workdir, "sparse_map.vell")
    total = 64 * MIB if quick else 4096 * MIB
    shape = sparse_map(path, total)
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = os.pathsep.join([p for p in sys.path if p] + [here])
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", path], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr.strip())
    m = json.loads(proc.stdout.strip().splitlines()[-1])
    if tuple(m["shape"]) != shape or m["problems"]:
        raise RuntimeError("described %s with %s, expected %s" % (m["shape"], m["problems"], shape))
    peak = m["peak"]
    ok = m["time"] <= TIME_TARGET and (peak is None or peak <= MEMORY_TARGET)
    size = os.path.getsize(path)
    os.remove(path)
    return {"case": "20 describe_file, %.0f MiB map" % (size / MIB), "status": "pass" if ok else "miss",
            "measured": "%s, peak %s" % (fmt_time(m["time"]), "?" if peak is None else "%.1f MiB" % (peak / MIB)),
            "target": "<= 50 ms, <= 64 MiB"}


def frame_file(path, total_bytes):
    """A file of about ``total_bytes``: half a long parameter block, half
    directory entries pointing at it and at its records."""
    records = max(8, total_bytes // 2 // 12)
    params = writer.spectral_params(1, 4000.0, 400.0) + [("Q%03d" % (i % 1000), i) for i in range(records)]
    vf = writer.VellFile()
    vf.add_spectrum([0.5], data_type="AB")
    at = vf.add_parameters(params, data_type="AB")
    entries = max(8, (total_bytes - 12 * records) // 12)
    for k in range(entries):
        # The block's start, then its record boundaries (the spectral set takes 76 bytes).
        vf.add_entry(writer.block_type(param_type=writer.PARAM_ACQUISITION), 4,
                     at if k % 2 == 0 else at + 76 + 12 * ((k // 2) % records))
    vf.write(path)


def case_linear(workdir, quick, fmt_time):
    from vellkit_tools import _native
    sizes = (12 * 1024, 48 * 1024) if quick else (48 * 1024, 192 * 1024, 1024 * 1024)
    times, parts = [], []
    for total in sizes:
        path = os.path.join(workdir, "frame_%d.vell" % total)
        frame_file(path, total)
        size = os.path.getsize(path)
        samples = []
        for _ in range(5):
            start = time.perf_counter()
            description = _native.describe_file(path)
            samples.append(time.perf_counter() - start)
        if description["problems"]:
            raise RuntimeError("problems in a sound file: %s" % description["problems"][:3])
        times.append((size, min(samples)))
        parts.append("%d KB %s" % (size // 1000, fmt_time(times[-1][1])))
        os.remove(path)
    growth = (times[-1][1] / times[-1][0]) / (times[0][1] / times[0][0])
    return {"case": "21 describe_file, check-style files", "status": "pass" if growth <= LINEAR_TARGET else "miss",
            "measured": "%s; per byte x%.2f" % (", ".join(parts), growth), "target": "per byte <= x%g" % LINEAR_TARGET}


def run(wanted, workdir, quick, fmt_time):
    """The rows of cases 20 and 21 that are in ``wanted``; (rows, failures, misses)."""
    rows, failures, misses = [], 0, 0
    for id, job in (("20", case_big_map), ("21", case_linear)):
        if id not in wanted:
            continue
        try:
            row = job(workdir, quick, fmt_time)
        except Exception as exc:  # reported in the table
            rows.append({"case": id, "status": "error", "error": "%s: %s" % (type(exc).__name__, exc)})
            failures += 1
            continue
        misses += row["status"] == "miss"
        rows.append(row)
    return rows, failures, misses


def table_rows(rows):
    return [[r["case"], "ERROR", "", r["error"]] if r["status"] == "error" else
            [r["case"], r["measured"], r["target"], "pass" if r["status"] == "pass" else "MISS"] for r in rows]


if __name__ == "__main__" and len(sys.argv) == 3 and sys.argv[1] == "--child":
    _child(sys.argv[2])
