"""Truncated files: every prefix of one file of each kind the writer makes,
through every public function, in a child process with a time limit and an
address-space limit.  Each call must return or raise an ordinary Python
exception; the child must neither crash nor hang nor run out of memory."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

pytest.importorskip("resource")

from vellkit_tools import writer as w

# Files up to this size are cut at every length; larger ones at every
# length near a block boundary and at a stride in between.
WHOLE_SWEEP = 4096
NEAR = 48
STRIDE = 61
ADDRESS_SPACE = 2 << 30
TIME_LIMIT = 300


def _records(count, npt, labels=True):
    return [w.Record(np.arange(npt, dtype=np.float32) + 10 * k, time=0.5 * k, label="trace %d" % k if labels else b"")
            for k in range(count)]


def seed_files():
    """name -> (VellFile, requests): one file of each kind the writer makes."""
    table, indices = w.multi_region_table([{"points": [(0, 0), (1, 1), (2, 0)], "group": 5},
                                           {"nx": 2, "ny": 1, "group": 10}])
    regions = {i: w.Record(np.arange(4, dtype=np.float32) * i, time=i) for i in indices}
    images = [w.Image(b"BM" + bytes(range(40)), title="bitmap", labels=[("Scale:", 2.5)]),
              w.Image(b"\xff\xd8\xff\xe0" + bytes(60), title="jpeg", image_type=258),
              w.Image(None, title="no data")]
    extension = w.VellFile()
    extension.add_spectrum(np.arange(6, dtype=np.float32), data_type="AB", in_extension=True)
    extension.add_parameters(w.spectral_params(6, 1.0, 6.0), data_type="AB", in_extension=True)
    extension.add_3d_block(_records(3, 4), 4, data_type="AB", in_extension=True)
    extension.add_parameters(w.time_resolved_params(4, 1.0, 4.0), data_type="AB", extend_type=w.EXTEND_3D,
                             in_extension=True)
    extension.add_image_block(images[:1], in_extension=True)
    big = w.make_3d_file(_records(4, 2500), 2500, w.image_map_params(2500, 1.0, 2.0, 2, 2),
                         acquisition={"NSS": 4, "TXT": "x" * 300})
    return {
        "spectrum": (w.make_spectrum_file(np.arange(16, dtype=np.float32), acquisition={"NSS": 4},
                                          instrument={"INS": "bench"}), [("AB", "2D", "NONE")]),
        "image_map": (w.make_3d_file(_records(6, 4), 4, w.image_map_params(4, 1.0, 4.0, 3, 2),
                                     store_table=[[10, 12], [-1, 8], [0, 2]]), [("AB", "3D", "NONE")]),
        "trace_map": (w.make_3d_file(_records(3, 6), 6, w.image_map_params(6, 1.0, 4.0, 3, 2), data_type="TRC"),
                      [("TRC", "3D", "NONE")]),
        "series": (w.make_3d_file(_records(4, 5), 5, w.time_resolved_params(5, 1.0, 4.0)), [("AB", "3D", "NONE")]),
        "series_traces": (w.make_3d_file(_records(3, 5), 5, w.time_resolved_params(5, 1.0, 4.0), data_type="TRC"),
                          [("TRC", "3D", "NONE")]),
        "multi_region": (w.make_3d_file(regions, 4, w.multi_region_params(4, 1.0, 4.0), annotation=[table]),
                         [("AB", "3D", "NONE")]),
        "multi_region_traces": (w.make_3d_file(_records(2, 5), 5, w.multi_region_params(5, 1.0, 4.0),
                                               data_type="TRC", annotation=[table]), [("TRC", "3D", "NONE")]),
        "images": (w.make_spectrum_file(np.arange(4, dtype=np.float32), images=images), [("AB", "2D", "NONE")]),
        "extension": (extension, [("AB", "2D", "NONE"), ("AB", "3D", "NONE")]),
        "large_map": (big, [("AB", "3D", "NONE")]),
    }


def prefix_lengths(vf, size):
    """Every length for small files; near every block boundary and at a stride for large ones."""
    if size <= WHOLE_SWEEP:
        return list(range(size + 1))
    marks = {0, 24, size}
    for _, words, offset in vf.entries + vf.extension_entries:
        marks.update((offset, offset + 4 * words))
    lengths = set(range(0, size + 1, STRIDE))
    for mark in marks:
        lengths.update(range(max(0, mark - NEAR), min(size, mark + NEAR) + 1))
    return sorted(lengths)


CHILD = textwrap.dedent("""
    import faulthandler, io, json, os, resource, struct, sys, time
    limit = int(os.environ["SWEEP_ADDRESS_SPACE"])
    if limit:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    faulthandler.enable(file=sys.__stderr__)
    import vellkit
    seed_path, out_path, requests = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    with open(sys.argv[4]) as f:
        lengths = json.load(f)
    with open(seed_path, "rb") as f:
        data = f.read()
    # Failed field reads are reported on stderr and to the unraisable hook.
    sys.unraisablehook = lambda unraisable: None
    sys.stderr = io.StringIO()
    ordinary = (ValueError, KeyError, IndexError, TypeError, OSError, ZeroDivisionError, OverflowError,
                UnicodeDecodeError, MemoryError, struct.error, AttributeError)
    calls = [lambda p: vellkit.isVellFile(p), lambda p: vellkit.listContents(p), lambda p: vellkit.getVisImages(p)]
    calls += [lambda p, r=tuple(r): vellkit.getVellData(p, r) for r in requests]
    outcomes, slowest, unexpected = {}, (0.0, None), []
    for n in lengths:
        with open(out_path, "wb") as f:
            f.write(data[:n])
        start = time.perf_counter()
        for k, call in enumerate(calls):
            try:
                call(out_path)
                kind = "ok"
            except ordinary as e:
                kind = type(e).__qualname__ if type(e).__module__ == "builtins" else "struct.error"
            except BaseException as e:
                kind = type(e).__module__ + "." + type(e).__qualname__
                unexpected.append((n, k, kind, str(e)[:200]))
            outcomes[kind] = outcomes.get(kind, 0) + 1
            sys.stderr.seek(0)
            sys.stderr.truncate()
        took = time.perf_counter() - start
        if took > slowest[0]:
            slowest = (took, n)
    print(json.dumps({"prefixes": len(lengths), "outcomes": outcomes, "slowest": slowest,
                      "unexpected": unexpected}))
""")


def run_sweep(tmp_path, data, requests, lengths):
    seed = tmp_path / "seed.vell"
    seed.write_bytes(data)
    cuts = tmp_path / "lengths.json"
    cuts.write_text(json.dumps(lengths))
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    # Sanitizer runtimes reserve far more address space than any limit allows.
    sanitized = "san" in env.get("LD_PRELOAD", "")
    env["SWEEP_ADDRESS_SPACE"] = "0" if sanitized else str(ADDRESS_SPACE)
    proc = subprocess.run([sys.executable, "-c", CHILD, str(seed), str(tmp_path / "cut.vell"), json.dumps(requests),
                           str(cuts)], capture_output=True, text=True, timeout=TIME_LIMIT, env=env)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout)


@pytest.mark.parametrize("name", sorted(seed_files()))
def test_every_prefix_fails_cleanly(tmp_path, name):
    vf, requests = seed_files()[name]
    data = vf.to_bytes()
    lengths = prefix_lengths(vf, len(data))
    report = run_sweep(tmp_path, data, requests, lengths)
    print("%s: %d bytes, %d prefixes, outcomes %s, slowest prefix %.3f s (at %s bytes)" % (
        name, len(data), report["prefixes"], report["outcomes"], report["slowest"][0], report["slowest"][1]))
    assert report["unexpected"] == []
    assert report["prefixes"] == len(lengths)
    # The whole file reads without error through every call.
    assert sum(report["outcomes"].values()) == len(lengths) * (3 + len(requests))
