"""Soak: ten thousand calls that are refused and ten thousand that read in one
process leave open descriptors, traced Python memory and the resident set
where they were, and results hold no stray references."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from vellkit_tools import writer

import vellkit

CALLS = 10000
WARM_UP = 300
# Room for the interpreter's own caches and free lists, far below what a
# leak of even a few bytes per call over 10,000 calls would leave.
TRACED_GROWTH = 256 * 1024
RSS_GROWTH = 16 * 1024 * 1024

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")


class Discard(object):
    """A text stream that keeps nothing."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("soak")
    records = [writer.Record(np.arange(16, dtype=np.float32) + k, time=k, label="t%d" % k) for k in range(6)]
    table, indices = writer.multi_region_table([{"points": [(0, 0), (1, 1)]}, {"nx": 2, "ny": 1}])
    made = {
        "spectrum": writer.make_spectrum_file(np.arange(64, dtype=np.float32), acquisition={"NSS": 4},
                                              images=[writer.Image(b"BM" + bytes(100), title="a")]),
        "series": writer.make_3d_file(records, 16, writer.time_resolved_params(16, 1.0, 2.0)),
        "traces": writer.make_3d_file(records, 16, writer.time_resolved_params(16, 1.0, 2.0), data_type="TRC"),
        "map": writer.make_3d_file(records, 16, writer.image_map_params(16, 1.0, 2.0, 3, 2)),
        "regions": writer.make_3d_file({i: writer.Record(np.arange(16, dtype=np.float32) * i) for i in indices}, 16,
                                       writer.multi_region_params(16, 1.0, 2.0), annotation=[table]),
    }
    paths = {name: str(d / (name + ".vell")) for name in made}
    for name, vf in made.items():
        vf.write(paths[name])
    data = made["series"].to_bytes()
    (d / "cut.vell").write_bytes(data[:len(data) // 2])
    (d / "text.txt").write_bytes(b"not a VELL file at all")
    (d / "no-npt.vell").write_bytes(writer.make_spectrum_file([1.0]).to_bytes()
                                    .replace(b"NPT\0", b"NPX\0"))
    paths.update(cut=str(d / "cut.vell"), text=str(d / "text.txt"), missing=str(d / "missing.vell"),
                 no_npt=str(d / "no-npt.vell"), directory=str(d))
    return paths


def reading(p):
    return [
        lambda: vellkit.getVellData(p["spectrum"], ("AB", "2D", "NONE")),
        lambda: vellkit.getVellData(p["series"], ("AB", "3D", "NONE")),
        lambda: vellkit.getVellData(p["traces"], ("TRC", "3D", "NONE")),
        lambda: vellkit.getVellData(p["map"], ("AB", "3D", "NONE")),
        lambda: vellkit.getVellData(p["regions"], ("AB", "3D", "NONE")),
        lambda: vellkit.getVisImages(p["spectrum"]),
        lambda: vellkit.listContents(p["series"]),
        lambda: vellkit.isVellFile(p["map"]),
    ]


def refused(p):
    return [
        lambda: vellkit.getVellData(p["cut"], ("AB", "3D", "NONE")),
        lambda: vellkit.getVellData(p["text"], ("AB", "2D", "NONE")),
        lambda: vellkit.getVellData(p["missing"], ("AB", "2D", "NONE")),
        lambda: vellkit.getVellData(p["directory"], ("AB", "2D", "NONE")),
        lambda: vellkit.getVellData(p["no_npt"], ("AB", "2D", "NONE")),
        lambda: vellkit.getVellData(p["series"], ("AB", "4D", "NONE")),
        lambda: vellkit.getVellData(p["series"], ("AB", "2D", "NONE")),
        lambda: vellkit.getVisImages(p["missing"]),
        lambda: vellkit.listContents(p["directory"]),
    ]


def run(calls, count, expect_refusal):
    refusals = 0
    for i in range(count):
        try:
            calls[i % len(calls)]()
        except Exception:
            refusals += 1
    assert refusals == (count if expect_refusal else 0)


def measure():
    gc.collect()
    return open_descriptors(), tracemalloc.get_traced_memory()[0], rss()


@pytest.mark.parametrize("kind", ["refused", "reading"])
def test_ten_thousand_calls_leave_nothing_behind(files, monkeypatch, capsys, kind):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    # Failed field reads are printed; a capturing stderr would keep them all.
    monkeypatch.setattr(sys, "stderr", Discard())
    calls = (refused if kind == "refused" else reading)(files)
    expect_refusal = kind == "refused"
    run(calls, WARM_UP, expect_refusal)
    tracemalloc.start()
    try:
        fds, traced, resident = measure()
        run(calls, CALLS, expect_refusal)
        fds_after, traced_after, resident_after = measure()
    finally:
        tracemalloc.stop()
    with capsys.disabled():
        print("\nsoak of %d %s calls: descriptors %d -> %d, traced memory %+d bytes, RSS %+d KiB" % (
            CALLS, kind, fds, fds_after, traced_after - traced, (resident_after - resident) // 1024))
    assert fds_after == fds
    assert traced_after - traced < TRACED_GROWTH
    # A sanitizer's allocator holds freed memory back for a while.
    if "san" not in os.environ.get("LD_PRELOAD", ""):
        assert resident_after - resident < RSS_GROWTH


def test_results_hold_no_stray_references(files):
    for call in reading(files):
        result = call()
        if isinstance(result, bool):
            continue
        # The local name and getrefcount's argument.
        assert sys.getrefcount(result) == 2
        parts = list(vars(result).values()) if hasattr(result, "__dict__") else (
            list(result) if isinstance(result, (list, tuple)) else [])
        for part in parts:
            if isinstance(part, (np.ndarray, dict, list)):
                # The attribute, the list above, the loop variable and the argument.
                assert sys.getrefcount(part) == 4, (call, part)
                if isinstance(part, np.ndarray):
                    assert part.base is None or sys.getrefcount(part.base) <= 4
        del parts
