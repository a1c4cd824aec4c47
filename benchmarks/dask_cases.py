"""Benchmark cases 10 to 13 of run.py: threads, out-of-core maps, lazy access and many files.

10   two threads each reading its own image map, against the same two reads
     in sequence; the floor is the same pair of ``os.preadv`` reads into
     fresh arrays, in two threads and in sequence.  The figure is the
     two-thread/sequential ratio, set beside the floor's.
11   a band of 100 points integrated over every position of an image map
     opened lazily with ``vellkit_tools.open_dataset``, the band selected,
     split into Dask chunks of 16 map rows and summed by Dask's threaded
     scheduler, in a fresh interpreter: wall time and peak
     resident memory.  The floor reads the same bytes, one ``os.preadv``
     per batch of 512 records (the band of each record, the rest of the
     record into a scratch buffer), and sums the band.
12   one spectrum out of the same map, opened lazily (median of 200 picks
     at random positions); the floor is one open, one ``os.pread`` of the
     record's values, one close.
13   N spectrum files through ``vellkit_tools.open_mfdataset(parallel=True)``
     and loaded, against a loop of ``vellkit.getVellData`` stacking the
     same spectra.

The map of cases 11 and 12 is 4 GiB with ``--big`` (written here a few
rows at a time, never held in memory), 64 MiB otherwise.  Needs the ``dask`` extra; without it the cases are reported as
skipped.
"""

import concurrent.futures
import json
import os
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import time

import numpy as np

MIB = 1024 * 1024
IDS = ("10", "11", "12", "13")
BAND = 100
RECORDS_PER_READ = 512  # two vectors a record, within IOV_MAX = 1024
RSS_LIMIT = 512 * MIB


class Sizes(object):
    def __init__(self, quick, big):
        if quick:
            self.thread_map = (8, 8, 256)
            self.big_map = (16, 16, 256)
            self.files, self.file_npt = 20, 256
            self.repeat = 2
        else:
            self.thread_map = (128, 128, 4096)  # 256 MiB of values
            self.big_map = (512, 512, 4096) if big else (64, 64, 4096)  # 4 GiB or 64 MiB
            self.files, self.file_npt = 2000, 1024
            self.repeat = 7
        self.chunk_rows = 16


def _available():
    try:
        import dask.array  # noqa: F401
        import xarray  # noqa: F401
        from vellkit_tools import _native  # noqa: F401
    except ImportError as exc:
        return str(exc)
    return None


# ----------------------------------------------------------------------------
# Files
# ----------------------------------------------------------------------------

def write_map(path, shape, seed):
    """An image map written a few rows at a time, never whole in memory.

    Laid out for any size: the directory right after the header and the
    parameter block before the data block, so that every offset the 32-bit
    directory holds stays small however large the records grow.
    """
    from vellkit_tools import writer
    rows, columns, npt = shape
    count = rows * columns
    info = writer.DEFAULT_INFO_SIZE
    params = writer.encode_parameters(writer.image_map_params(npt, 4000.0, 400.0, columns, rows, mny=0.0, mxy=1.0))
    params += bytes(-len(params) % 4)
    params_at = 24 + 2 * 12
    data_at = params_at + len(params)
    table = struct.pack("<6i", 0, count, 24 + 8, npt * 4, info, 1) + struct.pack("<ii", 0, count - 1)
    data_bytes = len(table) + count * (npt * 4 + info)
    entries = [(writer.block_type("AB", extend_type=writer.EXTEND_3D), data_bytes // 4, data_at),
               (writer.block_type("AB", param_type=writer.PARAM_OWN, extend_type=writer.EXTEND_3D),
                len(params) // 4, params_at)]
    record = np.dtype([("values", "<f4", (npt,)), ("info", "V%d" % info)])
    base = np.random.default_rng(seed).random((columns, npt), dtype=np.float32)
    step = max(1, (32 * MIB) // max(1, columns * npt * 4))
    with open(path, "wb") as f:
        f.write(writer.MAGIC + struct.pack("<d3i", 1.0, 24, len(entries), len(entries)))
        f.write(b"".join(struct.pack("<3i", *e) for e in entries))
        f.write(params)
        f.write(table)
        for row in range(0, rows, step):
            n = min(step, rows - row)
            chunk = np.zeros(n * columns, record)
            chunk["values"] = (base[np.newaxis] + np.arange(row, row + n, dtype=np.float32)[:, None, None]).reshape(
                n * columns, npt)
            f.write(chunk.tobytes())
    return path


def record_layout(path, block=("AB", "3D", "NONE")):
    """(record offsets in store-table order, NPT, bytes from one record to the next)."""
    from vellkit_tools import _native
    plan = _native.plan_block(path, tuple(block))
    records = plan["records"]
    offsets = np.frombuffer(records["offsets"], dtype=np.int64)
    return offsets, plan["npt"], records["block_size"] + records["info_size"]


def _warm(path):
    buf = bytearray(1024 * 1024)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buf):
            pass


# ----------------------------------------------------------------------------
# Floors
# ----------------------------------------------------------------------------

def _preadv_all(fd, views, offset):
    done, total = 0, sum(len(v) for v in views)
    while done < total:
        got = os.preadv(fd, views, offset)
        if got <= 0:
            raise OSError("short read at %d" % offset)
        done += got
        if done < total:  # rare: continue after what arrived
            rest, skip = [], got
            for v in views:
                if skip >= len(v):
                    skip -= len(v)
                    continue
                rest.append(v[skip:])
                skip = 0
            views, offset = rest, offset + got
    return total


def floor_records(path, offsets, npt, step):
    """Every record's values, one ``os.preadv`` of the records' span into a fresh array."""
    fd = os.open(path, os.O_RDONLY)
    try:
        span = np.empty(int(offsets[-1]) - int(offsets[0]) + npt * 4, np.uint8)
        _preadv_all(fd, [memoryview(span)], int(offsets[0]))
        return span
    finally:
        os.close(fd)


def floor_band(path, offsets, npt, step, first, count=BAND):
    """The band of every record, one ``os.preadv`` per batch of records, then its sum per record."""
    fd = os.open(path, os.O_RDONLY)
    try:
        out = np.empty((len(offsets), count), np.float32)
        scratch = memoryview(bytearray(step - count * 4))
        rows = memoryview(out).cast("B")
        width = count * 4
        for start in range(0, len(offsets), RECORDS_PER_READ):
            stop = min(start + RECORDS_PER_READ, len(offsets))
            views = []
            for k in range(start, stop):
                views.append(rows[k * width:(k + 1) * width])
                if k + 1 < stop:
                    views.append(scratch)
            _preadv_all(fd, views, int(offsets[start]) + first * 4)
        return out.sum(axis=1)
    finally:
        os.close(fd)


def floor_spectrum(path, offset, npt):
    fd = os.open(path, os.O_RDONLY)
    try:
        return np.frombuffer(os.pread(fd, npt * 4, int(offset)), np.float32)
    finally:
        os.close(fd)


# ----------------------------------------------------------------------------
# Case 10: threads
# ----------------------------------------------------------------------------

def _median_time(fn, repeat):
    fn()
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def _pairs(pool, readers, paths, repeat):
    """{name: (sequential, two threads)} medians of reading both paths with each reader.

    The readers take turns within every repetition, so that a change in the
    machine's load touches them all alike.
    """
    def sequential(read):
        for p in paths:
            read(p)

    def threaded(read):
        for f in [pool.submit(read, p) for p in paths]:
            f.result()

    times = {name: ([], []) for name in readers}
    for read in readers.values():
        sequential(read), threaded(read)
    for _ in range(repeat):
        for name, read in readers.items():
            for run, out in ((sequential, times[name][0]), (threaded, times[name][1])):
                t0 = time.perf_counter()
                run(read)
                out.append(time.perf_counter() - t0)
    return {name: (statistics.median(a), statistics.median(b)) for name, (a, b) in times.items()}


def case_threads(workdir, sz, fmt_time):
    import vellkit
    from vellkit_tools import backend
    paths = [write_map(os.path.join(workdir, "thread_map_%d.vell" % k), sz.thread_map, 20 + k) for k in (0, 1)]
    for p in paths:
        _warm(p)
    layouts = {p: record_layout(p) for p in paths}
    request = ("AB", "3D", "NONE")

    def floor(p):
        offsets, npt, step = layouts[p]
        return floor_records(p, offsets, npt, step)

    def lazy(p):
        return backend.open_block(p, request).spectra.values

    rows = []
    readers = {"floor": floor, "10 threads: getVellData": lambda p: vellkit.getVellData(p, request),
               "10b threads: open_dataset(...).values": lazy}
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        medians = _pairs(pool, readers, paths, 2 * sz.repeat + 1)
    f_seq, f_par = medians.pop("floor")
    floor_ratio = f_par / f_seq
    for label, (seq, par) in medians.items():
        ratio = par / seq
        rows.append({"case": label, "measured": "%s seq, %s 2 threads (%.2f)" % (fmt_time(seq), fmt_time(par), ratio),
                     "floor": "%s seq, %s 2 threads (%.2f)" % (fmt_time(f_seq), fmt_time(f_par), floor_ratio),
                     "ratio": ratio / floor_ratio, "target": 1.1,
                     "values": {"seq_s": seq, "threads_s": par, "floor_seq_s": f_seq, "floor_threads_s": f_par}})
    for p in paths:
        os.remove(p)
    return rows


# ----------------------------------------------------------------------------
# Cases 11 and 12: a big map, in fresh interpreters
# ----------------------------------------------------------------------------

def child_main(what, path, chunk_rows):
    """Run in a fresh interpreter: one measurement, printed as one JSON line."""
    offsets, npt, step = record_layout(path)
    first = (npt - BAND) // 2
    if what == "band":
        import dask
        from vellkit_tools import backend
        t0 = time.perf_counter()
        ds = backend.open_dataset(path)  # lazy: the band selection below reads nothing yet
        band = ds.spectra.isel(spectral=slice(first, first + BAND)).chunk({"y": chunk_rows})
        with dask.config.set(scheduler="threads"):
            image = band.sum("spectral").values
        seconds = time.perf_counter() - t0
        check = float(image.sum(dtype=np.float64))
    elif what == "band-floor":
        t0 = time.perf_counter()
        check = float(floor_band(path, offsets, npt, step, first).sum(dtype=np.float64))
        seconds = time.perf_counter() - t0
    else:  # "spectrum": lazy picks, and the floor's, in this interpreter
        from vellkit_tools import backend
        ds = backend.open_dataset(path)
        rows, columns = ds.spectra.shape[:2]
        rng = np.random.default_rng(1)
        picks = [(int(rng.integers(rows)), int(rng.integers(columns))) for _ in range(200)]
        lazy, floor = [], []
        for r, c in picks:
            t0 = time.perf_counter()
            ds.spectra[r, c].values
            lazy.append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            floor_spectrum(path, offsets[r * columns + c], npt)
            floor.append(time.perf_counter() - t0)
        seconds, check = statistics.median(lazy), statistics.median(floor)
    print(json.dumps({"seconds": seconds, "check": check, "peak": peak_resident()}))


def peak_resident():
    """Peak resident bytes of this process image: VmHWM, which exec resets
    (ru_maxrss keeps the peak of the parent that forked this process)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _child(what, path, chunk_rows):
    env = dict(os.environ)
    import vellkit
    import vellkit_tools
    here = [os.path.dirname(os.path.abspath(vellkit.__file__))] + \
        [os.path.dirname(os.path.abspath(p)) for p in vellkit_tools.__path__]
    env["PYTHONPATH"] = os.pathsep.join(here + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), what, path, str(chunk_rows)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, universal_newlines=True)
    if proc.returncode != 0:
        raise RuntimeError("%s measurement failed:\n%s" % (what, proc.stderr.strip()))
    return json.loads(proc.stdout.strip().splitlines()[-1])


def case_big_map(workdir, sz, fmt_time, wanted):
    rows_out = []
    rows, columns, npt = sz.big_map
    values = rows * columns * npt * 4
    free = shutil.disk_usage(workdir).free
    if free < values * 1.1 + 2 * 1024 * MIB:
        raise RuntimeError("not enough free disk space in %s for a %.1f GiB map (%.1f GiB free)"
                           % (workdir, values / 1024 / MIB, free / 1024 / MIB))
    path = os.path.join(workdir, "big_map.vell")
    t0 = time.perf_counter()
    write_map(path, sz.big_map, 30)
    written = time.perf_counter() - t0
    size_text = "%dx%dx%d map, %.2f GiB (written in %.0f s)" % (rows, columns, npt, os.path.getsize(path) / 1024 / MIB,
                                                                 written)
    try:
        _warm(path)
        if "11" in wanted:
            floors = [_child("band-floor", path, sz.chunk_rows) for _ in range(2)]
            runs = [_child("band", path, sz.chunk_rows) for _ in range(2)]
            best_floor = min(floors, key=lambda m: m["seconds"])
            best = min(runs, key=lambda m: m["seconds"])
            if abs(best["check"] - best_floor["check"]) > 1e-4 * abs(best_floor["check"]):
                raise AssertionError("band sums differ: %r vs %r" % (best["check"], best_floor["check"]))
            peak = max(m["peak"] for m in runs)
            rows_out.append({"case": "11 out-of-core band, Dask", "measured": fmt_time(best["seconds"]),
                             "floor": fmt_time(best_floor["seconds"]), "ratio": best["seconds"] / best_floor["seconds"],
                             "target": 1.5, "note": size_text,
                             "values": {"seconds": best["seconds"], "floor_seconds": best_floor["seconds"]}})
            rows_out.append({"case": "11 peak resident memory", "measured": "%.0f MiB" % (peak / MIB),
                             "floor": "%.0f MiB (floor's process)" % (max(m["peak"] for m in floors) / MIB),
                             "ratio": peak / RSS_LIMIT, "target": 1.0, "note": "limit 512 MiB",
                             "values": {"peak_bytes": peak}})
        if "12" in wanted:
            m = _child("spectrum", path, sz.chunk_rows)
            rows_out.append({"case": "12 lazy spectrum of the map", "measured": fmt_time(m["seconds"]),
                             "floor": fmt_time(m["check"]), "ratio": m["seconds"] / 5e-3, "target": 1.0,
                             "note": "limit 5 ms; median of 200 picks",
                             "values": {"seconds": m["seconds"], "floor_seconds": m["check"]}})
    finally:
        os.remove(path)
    return rows_out


# ----------------------------------------------------------------------------
# Case 13: many files
# ----------------------------------------------------------------------------

def case_many_files(workdir, sz, fmt_time):
    import vellkit
    from vellkit_tools import arrays, backend
    folder = os.path.join(workdir, "many")
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(40)
    paths = []
    for k in range(sz.files):
        path = os.path.join(folder, "s%05d.vell" % k)
        arrays.write_spectrum(path, rng.random(sz.file_npt, dtype=np.float32), (4000.0, 400.0))
        paths.append(path)
    request = ("AB", "2D", "NONE")

    def loop():
        return np.stack([vellkit.getVellData(p, request).y for p in paths])

    def mf(parallel):
        return backend.open_mfdataset(paths, block=request, parallel=parallel).spectrum.values

    expected = loop()
    rows = []
    try:
        for parallel in (True, False):
            if not np.array_equal(mf(parallel), expected):
                raise AssertionError("open_mfdataset gave other values")
        # The three calls take turns in each round, so that a change in the
        # machine's load weighs on all three alike.
        calls = {"loop": loop, True: lambda: mf(True), False: lambda: mf(False)}
        times = {name: [] for name in calls}
        for round in range(max(3, sz.repeat)):
            order = list(calls)[round % 3:] + list(calls)[:round % 3]
            for name in order:
                t0 = time.perf_counter()
                calls[name]()
                times[name].append(time.perf_counter() - t0)
        t_loop = statistics.median(times["loop"])
        for parallel in (True, False):
            t = statistics.median(times[parallel])
            rows.append({"case": "13 %d files, open_mfdataset(parallel=%s)" % (sz.files, parallel),
                         "measured": fmt_time(t), "floor": fmt_time(t_loop) + " (getVellData loop)",
                         "ratio": t / t_loop, "target": 1.5, "values": {"seconds": t, "loop_seconds": t_loop}})
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return rows


# ----------------------------------------------------------------------------
# Entry from run.py
# ----------------------------------------------------------------------------

def run(wanted, workdir, quick, big, fmt_time):
    """The rows of cases 10 to 13 that are in ``wanted``; (rows, failures, misses)."""
    missing = _available()
    rows, failures, misses = [], 0, 0
    if missing:
        for id in IDS:
            if id in wanted:
                rows.append({"case": id, "status": "skipped", "error": "needs the dask extra (%s)" % missing})
        return rows, failures, misses
    sz = Sizes(quick, big)
    jobs = [("10", lambda: case_threads(workdir, sz, fmt_time)),
            ("11", lambda: case_big_map(workdir, sz, fmt_time, wanted)),
            ("13", lambda: case_many_files(workdir, sz, fmt_time))]
    for id, job in jobs:
        if id not in wanted and not (id == "11" and "12" in wanted):
            continue
        try:
            for row in job():
                ok = row["target"] is None or row["ratio"] <= row["target"]
                row["status"] = "pass" if ok else "miss"
                misses += not ok
                rows.append(row)
        except Exception as exc:  # reported; the other cases go on
            failures += 1
            rows.append({"case": id, "status": "error", "error": "%s: %s" % (type(exc).__name__, exc)})
    return rows, failures, misses


def table_rows(rows):
    out = []
    for row in rows:
        if row["status"] in ("error", "skipped"):
            out.append([row["case"], row["status"].upper() if row["status"] == "error" else "skipped", "", "", "",
                        row["error"]])
            continue
        target = "report" if row["target"] is None else "<= %gx" % row["target"]
        result = "-" if row["target"] is None else ("pass" if row["status"] == "pass" else "MISS")
        out.append([row["case"], row["measured"], row["floor"], "%.2fx" % row["ratio"], target,
                    result + ("  " + row["note"] if row.get("note") else "")])
    return out


if __name__ == "__main__":
    child_main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
