#!/usr/bin/env python
"""Speed and memory benchmarks of vellkit against the cost of plain reads.

Usage::

    python benchmarks/run.py [--scale S] [--repeat N] [--quick] [--only IDS]
                             [--workdir DIR] [--json FILE] [--strict]

Every file is made here, in a temporary folder, with ``vellkit_tools.writer``.
Each case times one vellkit call and a *floor* measured in the same run on the
same file: the least a Python program must do to get the same bytes out of
the file (for bulk calls: one open, one read of each block the call needs
into a fresh numpy array, one close).  The table gives both medians, their
ratio and the ratio the case is meant to stay under.

The harness is a small one of its own (``time.perf_counter``, a warm-up call,
calls batched until a sample lasts long enough, the garbage collector off
while timing, vellkit and floor samples taken in turn, medians): every case
needs its floor timed beside it on the same file and in the same process,
and the files are made once for all cases, which neither pyperf (one worker
process per benchmark) nor pytest-benchmark (no paired baselines) gives
without more code than this.

Peak memory (case 9) is measured in a fresh interpreter per case: the peak
resident set size of the call (``VmHWM`` after resetting it through
``/proc/self/clear_refs``, else the growth of ``ru_maxrss``) less the
resident size before it, set beside the bytes of the arrays returned.

The exit code is 0 when every case ran (a target missed is reported, not
fatal; ``--strict`` makes it exit with 2), 1 when a call failed or returned
data of the wrong shape.  See benchmarks/README.md for the cases.
"""

import argparse
import collections
import datetime
import gc
import itertools
import json
import os
import platform
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

try:
    from vellkit_tools import writer
except ImportError:  # running from a source tree without PYTHONPATH=python
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
    from vellkit_tools import writer

try:
    import vellkit
except ImportError as exc:  # pragma: no cover - depends on the installation
    sys.exit("vellkit is not importable (%s): install it with `pip install .`, or build it and put the "
             "build folder on PYTHONPATH" % exc)

MIB = 1024 * 1024
MEMORY_LIMIT = 32 * MIB

# ----------------------------------------------------------------------------
# Sizes
# ----------------------------------------------------------------------------


class Sizes(object):
    """Sizes of the files; ``scale`` multiplies the record/position/entry counts."""

    def __init__(self, scale=1.0, quick=False):
        def scaled(n, least):
            return max(least, int(round(n * scale)))

        self.spectrum_npt = 4096
        self.params_per_block = 30
        if quick:
            self.map_nx, self.map_ny, self.map_npt = 8, 8, 64
            self.trace_map_records = 3
            self.tr_spectra, self.tr_npt = 200, 64
            self.series_traces, self.series_points = 5, 200
            self.mr_positions, self.mr_npt, self.mr_regions, self.mr_traces = 200, 64, 10, 3
            self.dir_entries = 1000
            self.images, self.image_bytes = 4, 64 * 1024
            return
        self.map_nx = 128
        self.map_ny = scaled(128, 2)
        self.map_npt = 1024
        self.trace_map_records = 8
        self.tr_spectra, self.tr_npt = scaled(20000, 2), 512
        self.series_traces, self.series_points = 50, scaled(20000, 2)
        self.mr_regions = 50
        self.mr_positions, self.mr_npt = scaled(5000, 2 * self.mr_regions), 1024
        self.mr_traces = 10
        self.dir_entries = scaled(100000, 10)
        self.images, self.image_bytes = scaled(200, 2), 1024 * 1024


# ----------------------------------------------------------------------------
# Files
# ----------------------------------------------------------------------------

FXV, LXV = 4000.0, 400.0


def _block(vf, extend_type, data_type=None, param_type=None):
    """(offset, length in bytes) of the first listed block of the given kind."""
    for code, words, offset in vf.entries:
        _, _, ptype, dtype, _, extend = writer.decode_block_type(code)
        if extend != extend_type:
            continue
        if param_type is not None and ptype != param_type:
            continue
        if data_type is not None and dtype != writer.DATA_TYPES[data_type][0]:
            continue
        return (offset, words * 4)
    raise LookupError("no block of extendType %d" % extend_type)


def _data_block(vf, data_type):
    return _block(vf, writer.EXTEND_3D, data_type, writer.PARAM_DATA)


def _param_set(prefix, count):
    """``count`` parameters of mixed types under three-character names."""
    out = []
    for i in range(count):
        name = "%s%02d" % (prefix, i)
        kind = i % 3
        if kind == 0:
            out.append((name, i * 7))
        elif kind == 1:
            out.append((name, 0.5 + i))
        else:
            out.append((name, "value %d of %s" % (i, prefix)))
    return out


def _random(shape, seed):
    return np.random.default_rng(seed).random(shape, dtype=np.float32)


def make_spectrum(path, sz):
    """A 4,096-point spectrum with its own, acquisition, instrument, sample and FT parameter blocks."""
    y = _random(sz.spectrum_npt, 1)
    extra = _param_set("Q", sz.params_per_block - 5)
    vf = writer.make_spectrum_file(
        y, "AB", fxv=FXV, lxv=LXV, params=extra,
        acquisition=_param_set("A", sz.params_per_block), instrument=_param_set("I", sz.params_per_block),
        sample=_param_set("S", sz.params_per_block), ft=_param_set("F", sz.params_per_block))
    vf.write(path)
    return {"size": os.path.getsize(path)}


def make_image_map(path, sz):
    """An image map whose records lie in a few store-table runs separated by gaps."""
    nx, ny, npt = sz.map_nx, sz.map_ny, sz.map_npt
    n = nx * ny
    values = _random((n, npt), 2)
    records = [writer.Record(values[i], time=0.1 * i) for i in range(n)]
    cuts = sorted({0, n // 4, n // 2, (3 * n) // 4, n})
    table = []
    for k, (a, b) in enumerate(zip(cuts, cuts[1:])):
        if b <= a:
            continue
        if table:
            table.append(writer.gap(4096 if k % 2 else 3 * writer.DEFAULT_INFO_SIZE))
        table.append([a, b - 1])
    params = writer.image_map_params(npt, FXV, LXV, nx, ny, aox=10.0, aoy=-5.0, ddx=2.5, ddy=2.5,
                                     mny=0.0, mxy=1.0)
    vf = writer.make_3d_file(records, npt, params, "AB", store_table=table)
    vf.write(path)
    return {"blocks": [_data_block(vf, "AB")], "shape": (ny, nx, npt)}


def make_trace_map(path, sz):
    """A trace image map: one record per trace, each holding a whole map."""
    nx, ny, count = sz.map_nx, sz.map_ny, sz.trace_map_records
    cells = nx * ny
    values = _random((count, cells), 3)
    records = [writer.Record(values[k], label="Band %d" % k) for k in range(count)]
    params = writer.image_map_params(cells, FXV, LXV, nx, ny, mny=0.0, mxy=1.0)
    vf = writer.make_3d_file(records, cells, params, "TRC")
    vf.write(path)
    return {"blocks": [_data_block(vf, "TRC")], "shape": (ny, nx, count)}


def make_time_resolved(path, sz):
    """A time-resolved series of spectra."""
    n, npt = sz.tr_spectra, sz.tr_npt
    values = _random((n, npt), 4)
    records = [writer.Record(values[k], time=0.05 * k) for k in range(n)]
    vf = writer.make_3d_file(records, npt, writer.time_resolved_params(npt, FXV, LXV, mny=0.0, mxy=1.0), "AB")
    vf.write(path)
    return {"blocks": [_data_block(vf, "AB")], "shape": (n, npt)}


def make_trace_series(path, sz):
    """A time-resolved trace series: a few long traces."""
    count, points = sz.series_traces, sz.series_points
    values = _random((count, points), 5)
    records = [writer.Record(values[k], label="Trace %d" % k) for k in range(count)]
    vf = writer.make_3d_file(records, points, writer.time_resolved_params(points, 0.0, 1.0, mny=0.0, mxy=1.0),
                             "TRC")
    vf.write(path)
    return {"blocks": [_data_block(vf, "TRC")], "shape": (count, points)}


def _regions(total, count, seed):
    """``count`` regions, grids and point lists in turn, of ``total`` positions in all."""
    rng = np.random.default_rng(seed)
    each = total // count
    regions = []
    for r in range(count):
        n = each + (total - each * count if r == count - 1 else 0)
        if r % 2 == 0 and r != count - 1:
            nx = int(n ** 0.5)
            while n % nx:
                nx -= 1
            regions.append({"nx": nx, "ny": n // nx, "x0": 100.0 * r, "y0": 0.0, "dx": 1.5, "dy": 1.5})
        else:
            pts = rng.random((n, 2)) * 1000.0
            regions.append({"points": [(float(x), float(y)) for x, y in pts]})
    return regions


def make_multi_region(path, sz):
    """A multi-region map (spectra) and a trace block over the same positions, one annotation table."""
    table, indices = writer.multi_region_table(_regions(sz.mr_positions, sz.mr_regions, 6), first_index=1)
    n, npt = len(indices), sz.mr_npt
    values = _random((n, npt), 7)
    records = [writer.Record(values[k], time=1.0 + k) for k in range(n)]
    vf = writer.make_3d_file(records, npt, writer.multi_region_params(npt, FXV, LXV, mny=0.0, mxy=1.0), "AB",
                             annotation=[table], first_index=1)
    traces = _random((sz.mr_traces, n), 8)
    trace_records = [writer.Record(traces[k], label="Trace %d" % k) for k in range(sz.mr_traces)]
    writer.make_3d_file(trace_records, n, writer.multi_region_params(n, 0.0, 1.0, mny=0.0, mxy=1.0), "TRC",
                        into=vf)
    vf.write(path)
    annotation = _block(vf, writer.EXTEND_ANNOTATION)
    return {"blocks": [_data_block(vf, "AB"), annotation], "trace_blocks": [_data_block(vf, "TRC"), annotation],
            "positions": n, "regions": sz.mr_regions, "npt": npt, "traces": sz.mr_traces}


def make_directory(path, sz):
    """A file whose directory lists ``dir_entries`` parameter blocks of every data kind."""
    vf = writer.VellFile()
    offset = vf.add_parameters(writer.spectral_params(1, FXV, LXV), data_type="AB")
    kinds = []
    for name in writer.DATA_TYPES:
        for three_d in (False, True):
            for deriv in range(4):
                kinds.append((name, three_d, deriv))
    deriv_words = ("NONE", "1DER", "2DER", "3DER")
    expected = [("AB", "2D", "NONE")]
    first_code = vf.entries[0][0]
    for i in range(1, sz.dir_entries):
        name, three_d, deriv = kinds[i % len(kinds)]
        code = writer.block_type(name, param_type=writer.PARAM_OWN, deriv_type=deriv,
                                 extend_type=writer.EXTEND_3D if three_d else writer.EXTEND_2D)
        vf.add_entry(code, vf.entries[0][1], offset)
        expected.append((name, "3D" if three_d else "2D", deriv_words[deriv]))
    assert vf.entries[0][0] == first_code
    vf.write(path)
    words = {w: sys.intern(w) for t in expected for w in t}
    columns = [[words[t[c]] for t in expected] for c in range(3)]
    return {"expected": collections.Counter(expected), "columns": columns}


def _image_bytes(k, size, base):
    """Bytes of a bitmap-like image: a 14-byte file header, then pixels."""
    head = b"BM" + struct.pack("<IHHI", size, 0, 0, 54)
    return head + base[: size - len(head) - 4] + struct.pack("<I", k)


def make_images(path, sz):
    """A spectrum file with an image block of ``images`` images."""
    base = np.random.default_rng(9).integers(0, 256, sz.image_bytes, dtype=np.uint8).tobytes()
    images = [writer.Image(_image_bytes(k, sz.image_bytes, base), title="Image %d" % k,
                           labels=[("Pos. X:", 1000.0 + k), ("Pos. Y:", 2000.0 - k), ("Zoom:", 4)])
              for k in range(sz.images)]
    vf = writer.make_spectrum_file(_random(64, 10), "AB", images=images)
    vf.write(path)
    return {"blocks": [_block(vf, writer.EXTEND_IMAGE)], "count": sz.images, "image_bytes": sz.image_bytes}


MAKERS = [("spectrum", make_spectrum), ("image_map", make_image_map), ("trace_map", make_trace_map),
          ("time_resolved", make_time_resolved), ("trace_series", make_trace_series),
          ("multi_region", make_multi_region), ("directory", make_directory), ("images", make_images)]


def warm(path):
    """Reads the whole file once, so that every timed read finds it in the page cache.

    The reads go through one small buffer, so that no freed memory is left
    in the heap for the measured calls to reuse.
    """
    buf = bytearray(256 * 1024)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buf):
            pass


# ----------------------------------------------------------------------------
# Floors
# ----------------------------------------------------------------------------


def _pread_into(fd, buf, offset):
    view = memoryview(buf).cast("B")
    done = 0
    while done < len(view):
        got = os.preadv(fd, [view[done:]], offset + done)
        if got <= 0:
            raise OSError("short read at %d" % (offset + done))
        done += got


def floor_blocks(path, blocks):
    """One open, one read of each block into a fresh numpy array, one close."""
    fd = os.open(path, os.O_RDONLY)
    try:
        out = []
        for offset, length in blocks:
            buf = np.empty(length, np.uint8)
            _pread_into(fd, buf, offset)
            out.append(buf)
        return out
    finally:
        os.close(fd)


def floor_whole_file(path, size):
    """One open, one read of the whole file, one close."""
    fd = os.open(path, os.O_RDONLY)
    try:
        data = os.read(fd, size)
        while len(data) < size:
            more = os.read(fd, size - len(data))
            if not more:
                break
            data += more
        return data
    finally:
        os.close(fd)


def floor_magic(path):
    """One open, one read of the four magic bytes, one close."""
    fd = os.open(path, os.O_RDONLY)
    try:
        return os.read(fd, 4) == writer.MAGIC
    finally:
        os.close(fd)


# ----------------------------------------------------------------------------
# Timing
# ----------------------------------------------------------------------------


def _sample(fn, number):
    """Seconds per call over ``number`` calls, collector off; results are freed outside the clock."""
    gc.collect()
    gc.disable()
    try:
        result = None
        loop = itertools.repeat(None, number)
        t0 = time.perf_counter()
        for _ in loop:
            result = fn()
        t1 = time.perf_counter()
    finally:
        gc.enable()
    del result
    return (t1 - t0) / number


def _calibrate(fn, min_sample):
    """Calls per sample so that a sample lasts at least ``min_sample`` seconds."""
    number = 1
    while True:
        per_call = _sample(fn, number)
        if per_call * number >= min_sample or number >= 1 << 20:
            return number
        number = max(number * 2, int(min_sample / max(per_call, 1e-9) * 1.2))


def time_pair(fn, floor, repeat, min_sample):
    """Median seconds per call of ``fn`` and of ``floor``, sampled in turn after a warm-up."""
    fn()
    floor()
    n_fn = _calibrate(fn, min_sample)
    n_floor = _calibrate(floor, min_sample)
    fn_times, floor_times = [], []
    for _ in range(repeat):
        fn_times.append(_sample(fn, n_fn))
        floor_times.append(_sample(floor, n_floor))
    return statistics.median(fn_times), statistics.median(floor_times)


# ----------------------------------------------------------------------------
# Cases
# ----------------------------------------------------------------------------


class Case(object):
    """One timed case: a vellkit call, its floor, a check of the call's result."""

    def __init__(self, id, name, target, call, floor, check, floor_text):
        self.id, self.name, self.target = id, name, target
        self.call, self.floor, self.check, self.floor_text = call, floor, check, floor_text

    @property
    def label(self):
        return "%s %s" % (self.id, self.name)


def engine_spectrum_case(path, mr):
    """Case 6c: one spectrum out of a multi-region map through the xarray engine, opened each time.

    The floor is one open, one ``os.pread`` of that position's record, one
    close; the records the engine reads are counted by ``_native.counters()``.
    """
    import vellkit_tools
    from vellkit_tools import _native

    k = mr["positions"] // 2
    records = np.concatenate([np.frombuffer(r["records"], np.int64)
                              for r in _native.plan_regions(path, ("AB", "3D", "NONE"))])
    offsets = np.frombuffer(_native.describe(path, "AB", "3D", "NONE")["record_offsets"], np.int64)
    offset, npt = int(offsets[records[k]]), mr["npt"]
    expected = vellkit.getVellData(path, ("AB", "3D", "NONE"))
    want = np.vstack([r.spectra for r in expected.regions])[k]

    def call():
        _native.reset_counters()
        values = vellkit_tools.open_dataset(path).spectra.isel(position=k).values
        return values, _native.counters()

    def floor():
        fd = os.open(path, os.O_RDONLY)
        try:
            return os.pread(fd, npt * 4, offset)
        finally:
            os.close(fd)

    case = Case("6c", "engine: one spectrum of a multi-region map", 100.0, call, floor, None, "")

    def check(result):
        values, (records_read, value_bytes) = result
        if values.tobytes() != want.tobytes():
            raise AssertionError("position %d holds other values than getVellData's" % k)
        case.floor_text = "open, pread %d bytes, close; engine read %d record(s), %d bytes of values" % (
            npt * 4, records_read, value_bytes)

    case.check = check
    return case


#: The file each case reads (case 9 reads those of cases 3, 5 and 8).
CASE_FILES = {"1": "spectrum", "2": "spectrum", "2b": "spectrum", "3": "image_map", "4": "trace_map",
              "5": "time_resolved", "5b": "trace_series", "6": "multi_region", "6b": "multi_region",
              "6c": "multi_region",
              "7": "directory", "8": "images"}
MEMORY_CASES = [("3", "image map", "image_map"), ("5", "time-resolved", "time_resolved"),
                ("8", "getVisImages", "images")]


def _expect_shape(array, shape, what):
    if tuple(array.shape) != tuple(shape):
        raise AssertionError("%s has shape %s, expected %s" % (what, array.shape, shape))


def _size_text(blocks):
    return "read " + " + ".join("%.1f MiB" % (n / MIB) if n >= MIB else "%.0f KiB" % (n / 1024)
                                for _, n in blocks)


def build_cases(files, info, sz, wanted):
    """The timed cases whose ids are in ``wanted``, in table order."""
    cases = []

    def add(case):
        if case.id in wanted:
            cases.append(case)

    def bulk(id, name, target, key, request, check, blocks_key="blocks"):
        path, blocks = files[key], info[key][blocks_key]
        if request is None:
            call = lambda: vellkit.getVisImages(path)  # noqa: E731
        else:
            call = lambda: vellkit.getVellData(path, request)  # noqa: E731
        add(Case(id, name, target, call, lambda: floor_blocks(path, blocks), check, _size_text(blocks)))

    if "spectrum" in files:
        spectrum_path, size = files["spectrum"], info["spectrum"]["size"]

        def check_spectrum(r):
            _expect_shape(r.y, (sz.spectrum_npt,), "y")
            if len(r.parameters) < 5 * sz.params_per_block - 5:
                raise AssertionError("only %d parameters read" % len(r.parameters))

        def check_listing(r):
            if r != [("AB", "2D", "NONE")]:
                raise AssertionError("listContents gave %r" % (r,))

        def check_true(r):
            if r is not True:
                raise AssertionError("isVellFile gave %r" % (r,))

        add(Case("1", "spectrum 2D", 3.0, lambda: vellkit.getVellData(spectrum_path, ("AB", "2D", "NONE")),
                 lambda: floor_whole_file(spectrum_path, size), check_spectrum, "open, read file, close"))
        add(Case("2", "listContents", 3.0, lambda: vellkit.listContents(spectrum_path),
                 lambda: floor_whole_file(spectrum_path, size), check_listing, "open, read file, close"))
        add(Case("2b", "isVellFile", 2.0, lambda: vellkit.isVellFile(spectrum_path), lambda: floor_magic(spectrum_path),
                 check_true, "open, read 4 bytes, close"))

    # Cases whose result is one array of a known shape.
    for id, name, target, key, request, attribute in [
            ("3", "image map", 1.5, "image_map", ("AB", "3D", "NONE"), "spectra"),
            ("4", "trace image map", 2.0, "trace_map", ("TRC", "3D", "NONE"), "traces"),
            ("5", "time-resolved", 1.5, "time_resolved", ("AB", "3D", "NONE"), "spectra"),
            ("5b", "trace series", 2.0, "trace_series", ("TRC", "3D", "NONE"), "traces")]:
        if key in files:
            bulk(id, name, target, key, request,
                 lambda r, key=key, attribute=attribute: _expect_shape(getattr(r, attribute), info[key]["shape"],
                                                                       attribute))

    if "multi_region" in files:
        mr = info["multi_region"]

        def check_regions(r, width):
            if len(r.regions) != mr["regions"]:
                raise AssertionError("%d regions, expected %d" % (len(r.regions), mr["regions"]))
            total = sum(reg.spectra.shape[0] for reg in r.regions)
            if total != mr["positions"] or any(reg.spectra.shape[1] != width for reg in r.regions):
                raise AssertionError("regions hold %d positions, expected %d x %d" % (total, mr["positions"], width))

        bulk("6", "multi-region", 1.5, "multi_region", ("AB", "3D", "NONE"), lambda r: check_regions(r, mr["npt"]))
        bulk("6b", "multi-region traces", 3.0, "multi_region", ("TRC", "3D", "NONE"),
             lambda r: check_regions(r, mr["traces"]), blocks_key="trace_blocks")
        if "6c" in wanted:
            add(engine_spectrum_case(files["multi_region"], mr))

    if "directory" in files:
        directory, columns, expected = files["directory"], info["directory"]["columns"], info["directory"]["expected"]

        def check_directory(r):
            if collections.Counter(r) != expected:
                raise AssertionError("listContents gave another listing (%d entries)" % len(r))

        add(Case("7", "directory %s entries" % format(sz.dir_entries, ","), 2.0,
                 lambda: vellkit.listContents(directory), lambda: list(zip(*columns)), check_directory,
                 "list(zip()) of ready strings"))

    if "images" in files:
        im = info["images"]

        def check_images(r):
            if len(r) != im["count"] or any(len(d["image"]) < im["image_bytes"] - 64 for d in r):
                raise AssertionError("%d images returned, expected %d of %d bytes"
                                     % (len(r), im["count"], im["image_bytes"]))

        bulk("8", "getVisImages", 1.5, "images", None, check_images)
    return cases


# ----------------------------------------------------------------------------
# Memory (run in a fresh interpreter per case)
# ----------------------------------------------------------------------------


def _status_kib(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return None


def _returned_bytes(result):
    if isinstance(result, list):
        return sum(len(d["image"]) for d in result)
    total = 0
    for value in vars(result).values():
        if isinstance(value, np.ndarray):
            total += value.nbytes
    for region in getattr(result, "regions", None) or []:
        for value in vars(region).values():
            if isinstance(value, np.ndarray):
                total += value.nbytes
    return total


def _trim_heap():
    """Hands freed heap memory back to the system (glibc), so the call cannot reuse it unseen."""
    try:
        import ctypes
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def memory_child(case_id, path):
    """Peak memory of one call; prints one JSON line."""
    call = {"3": lambda: vellkit.getVellData(path, ("AB", "3D", "NONE")),
            "5": lambda: vellkit.getVellData(path, ("AB", "3D", "NONE")),
            "8": lambda: vellkit.getVisImages(path)}[case_id]
    warm(path)
    gc.collect()
    _trim_heap()
    base = _status_kib("VmRSS")
    method = "VmHWM"
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        method = "ru_maxrss"
    if base is None:
        method = "ru_maxrss"
    maxrss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    result = call()
    if method == "VmHWM":
        peak = _status_kib("VmHWM") - base
    else:  # a lower bound when the interpreter's start peaked higher than the call
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - max(maxrss_before, base or 0)
    print(json.dumps({"returned": _returned_bytes(result), "peak": peak, "method": method}))


def measure_memory(case_id, path):
    env = dict(os.environ)
    here = [p for p in (os.path.dirname(os.path.abspath(vellkit.__file__)),
                        os.path.dirname(os.path.dirname(os.path.abspath(writer.__file__)))) if p]
    env["PYTHONPATH"] = os.pathsep.join(here + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", case_id, path],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, universal_newlines=True)
    if proc.returncode != 0:
        raise RuntimeError("memory measurement of case %s failed:\n%s" % (case_id, proc.stderr.strip()))
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ----------------------------------------------------------------------------
# Report
# ----------------------------------------------------------------------------


def fmt_time(seconds):
    if seconds < 1e-3:
        return "%.2f us" % (seconds * 1e6)
    if seconds < 1.0:
        return "%.2f ms" % (seconds * 1e3)
    return "%.3f s" % seconds


def fmt_bytes(n):
    return "%.1f MiB" % (n / MIB)


def print_table(headers, rows):
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) if rows else len(str(h))
              for i, h in enumerate(headers)]
    line = "  ".join(str(h).ljust(w) for h, w in zip(headers, widths))
    print(line)
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)))


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


ALL_IDS = ["1", "2", "2b", "3", "4", "5", "5b", "6", "6b", "6c", "7", "8", "9", "10", "11", "12", "13", "14", "15",
           "20", "21"]
#: Threads, out-of-core maps, lazy access and many files: benchmarks/dask_cases.py.
DASK_IDS = ["10", "11", "12", "13"]
#: The command's describing subcommands: benchmarks/command_cases.py.
COMMAND_IDS = ["14", "15"]


def parse_args(argv):
    p = argparse.ArgumentParser(description="Time vellkit against plain reads of the same files.")
    p.add_argument("--scale", type=float, default=1.0,
                   help="multiply the record, position, entry and image counts (default 1)")
    p.add_argument("--repeat", type=int, default=None, help="timed samples per case (default 9; 2 with --quick)")
    p.add_argument("--quick", action="store_true", help="tiny files and two samples: a smoke test")
    p.add_argument("--only", default=None, help="comma-separated case ids to run (e.g. 3,5b,9)")
    p.add_argument("--workdir", default=None, help="make the files here and keep them (default: a temporary folder)")
    p.add_argument("--json", default=None, metavar="FILE", help="also write the results to FILE as JSON")
    p.add_argument("--strict", action="store_true", help="exit with 2 when a target is missed")
    p.add_argument("--big", action="store_true", help="cases 11 and 12 on a 4 GiB map (default 64 MiB)")
    p.add_argument("--memory-child", nargs=2, metavar=("CASE", "PATH"), help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.repeat is None:
        args.repeat = 2 if args.quick else 9
    if args.repeat < 1 or args.scale <= 0:
        p.error("--repeat and --scale must be positive")
    args.wanted = ALL_IDS if not args.only else [i.strip() for i in args.only.split(",") if i.strip()]
    unknown = sorted(set(args.wanted) - set(ALL_IDS))
    if unknown:
        p.error("unknown case id(s) %s; the cases are %s" % (", ".join(unknown), ", ".join(ALL_IDS)))
    return args


def run_timed(cases, args, min_sample, results):
    """Times every case; returns the table rows, the number of failures and of missed targets."""
    rows, failures, misses = [], 0, 0
    for case in cases:
        target = "<= %gx" % case.target
        entry = {"case": case.id, "name": case.name, "target_ratio": case.target, "floor_is": case.floor_text}
        results.append(entry)
        try:
            case.check(case.call())
            t_call, t_floor = time_pair(case.call, case.floor, args.repeat, min_sample)
        except Exception as exc:  # reported; the other cases go on
            failures += 1
            entry.update(status="error", error="%s: %s" % (type(exc).__name__, exc))
            rows.append([case.label, "error", "", "", target, "ERROR %s: %s" % (type(exc).__name__, exc),
                         case.floor_text])
            continue
        ratio = t_call / t_floor
        ok = ratio <= case.target
        misses += not ok
        entry.update(status="pass" if ok else "miss", vellkit_s=t_call, floor_s=t_floor, ratio=ratio)
        rows.append([case.label, fmt_time(t_call), fmt_time(t_floor), "%.2fx" % ratio, target,
                     "pass" if ok else "MISS", case.floor_text])
    return rows, failures, misses


def run_memory(files, results):
    rows, failures, misses = [], 0, 0
    for id, name, key in MEMORY_CASES:
        label = "9 memory (%s %s)" % (id, name)
        entry = {"case": "9", "name": "memory of case %s" % id, "target_overhead_bytes": MEMORY_LIMIT}
        results.append(entry)
        try:
            m = measure_memory(id, files[key])
        except Exception as exc:
            failures += 1
            entry.update(status="error", error=str(exc))
            rows.append([label, "error", "", "", "<= 32 MiB", "ERROR %s" % exc])
            continue
        overhead = m["peak"] - m["returned"]
        ok = overhead <= MEMORY_LIMIT
        misses += not ok
        entry.update(status="pass" if ok else "miss", returned_bytes=m["returned"], peak_bytes=m["peak"],
                     overhead_bytes=overhead, method=m["method"])
        rows.append([label, fmt_bytes(m["returned"]), fmt_bytes(m["peak"]), fmt_bytes(overhead), "<= 32 MiB",
                     "pass" if ok else "MISS"])
    return rows, failures, misses


def main(argv=None):
    args = parse_args(argv)
    if args.memory_child:
        memory_child(*args.memory_child)
        return 0

    sz = Sizes(args.scale, args.quick)
    min_sample = 0.002 if args.quick else 0.05
    started = time.perf_counter()
    needed = {CASE_FILES[i] for i in args.wanted if i in CASE_FILES}
    if "9" in args.wanted:
        needed.update(key for _, _, key in MEMORY_CASES)

    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print("vellkit benchmarks  %s" % datetime.datetime.now().strftime("%Y-%m-%d %H:%M"))
    print("python %s, numpy %s, vellkit from %s" % (platform.python_version(), np.__version__,
                                                     os.path.dirname(os.path.abspath(vellkit.__file__))))
    print("cpu: %s, %d cores, load %.2f; scale %g%s, %d samples per case"
          % (cpu_model(), os.cpu_count() or 0, load, args.scale, " (quick)" if args.quick else "", args.repeat))

    workdir = args.workdir or tempfile.mkdtemp(prefix="vellkit-bench-")
    os.makedirs(workdir, exist_ok=True)
    results = []
    try:
        t0 = time.perf_counter()
        files, info = {}, {}
        for key, maker in MAKERS:
            if key not in needed:
                continue
            path = os.path.join(workdir, key + ".vell")
            info[key] = maker(path, sz)
            files[key] = path
            warm(path)
        total = sum(os.path.getsize(p) for p in files.values())
        print("files: %s in %s, made in %.1f s" % (fmt_bytes(total), workdir, time.perf_counter() - t0))
        print()

        rows, failures, misses = run_timed(build_cases(files, info, sz, set(args.wanted)), args, min_sample, results)
        if rows:
            print_table(["case", "vellkit", "floor", "ratio", "target", "result", "floor is"], rows)
            print()
        if "9" in args.wanted:
            mem_rows, mem_failures, mem_misses = run_memory(files, results)
            failures += mem_failures
            misses += mem_misses
            print_table(["case", "returned", "peak growth", "overhead", "target", "result"], mem_rows)
            print()
        if set(DASK_IDS) & set(args.wanted):
            import dask_cases
            dask_rows, dask_failures, dask_misses = dask_cases.run(set(args.wanted), workdir, args.quick, args.big,
                                                                   fmt_time)
            failures += dask_failures
            misses += dask_misses
            results.extend(dask_rows)
            print_table(["case", "measured", "floor", "ratio", "target", "result"], dask_cases.table_rows(dask_rows))
            print()
        if {"20", "21"} & set(args.wanted):
            import describe_cases
            rows, more_failures, more_misses = describe_cases.run(set(args.wanted), workdir, args.quick, fmt_time)
            failures += more_failures
            misses += more_misses
            results.extend(rows)
            print_table(["case", "measured", "target", "result"], describe_cases.table_rows(rows))
            print()
        if set(COMMAND_IDS) & set(args.wanted):
            import command_cases
            command_rows, command_failures, command_misses = command_cases.run(set(args.wanted), workdir,
                                                                               args.quick, fmt_time)
            failures += command_failures
            misses += command_misses
            print_table(command_cases.HEADERS, [row.pop("cells") for row in command_rows])
            print()
            results.extend(command_rows)
    finally:
        if not args.workdir:
            shutil.rmtree(workdir, ignore_errors=True)
    if args.quick:
        print("quick run: the files are too small for the ratios to mean anything")
    print("done in %.1f s: %d failed, %d target(s) missed" % (time.perf_counter() - started, failures, misses))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"date": datetime.datetime.now().isoformat(timespec="seconds"),
                       "python": platform.python_version(), "numpy": np.__version__, "cpu": cpu_model(),
                       "cores": os.cpu_count(), "load": load, "scale": args.scale, "quick": args.quick,
                       "repeat": args.repeat, "results": results}, f, indent=1)
    if failures:
        return 1
    if misses and args.strict:
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
