"""Threads: eight threads reading different files, and eight reading the
same file, get exactly the results one thread gets."""

import sys
import threading

import numpy as np
import pytest

from vellkit_tools import writer

import vellkit

THREADS = 8
ROUNDS = 12


def build_files(directory):
    records = [writer.Record(np.arange(300, dtype=np.float32) * (k + 1), time=k, label="trace %d" % k)
               for k in range(40)]
    table, indices = writer.multi_region_table([{"points": [(k, k) for k in range(5)]}, {"nx": 4, "ny": 3}])
    made = [
        (writer.make_spectrum_file(np.linspace(0, 1, 5000, dtype=np.float32),
                                   images=[writer.Image(bytes(range(256)) * 200, title="a"),
                                           writer.Image(b"BM" + bytes(3000), title="b")]),
         [("AB", "2D", "NONE")]),
        (writer.make_3d_file(records, 300, writer.time_resolved_params(300, 1.0, 2.0)), [("AB", "3D", "NONE")]),
        (writer.make_3d_file(records, 300, writer.time_resolved_params(300, 1.0, 2.0), data_type="TRC"),
         [("TRC", "3D", "NONE")]),
        (writer.make_3d_file(records, 300, writer.image_map_params(300, 1.0, 2.0, 8, 5)), [("AB", "3D", "NONE")]),
        (writer.make_3d_file(records[:3], 40, writer.image_map_params(40, 1.0, 2.0, 8, 5), data_type="TRC"),
         [("TRC", "3D", "NONE")]),
        (writer.make_3d_file({i: writer.Record(np.arange(50, dtype=np.float32) * i, time=i) for i in indices}, 50,
                             writer.multi_region_params(50, 1.0, 2.0), annotation=[table]), [("AB", "3D", "NONE")]),
        (writer.make_3d_file(records[:4], len(indices), writer.multi_region_params(len(indices), 1.0, 2.0),
                             data_type="TRC", annotation=[table]), [("TRC", "3D", "NONE")]),
        (writer.make_spectrum_file(np.arange(10, dtype=np.float32)), [("AB", "3D", "NONE")]),  # fails
    ]
    files = []
    for k, (vf, requests) in enumerate(made):
        path = str(directory / ("file%d.vell" % k))
        vf.write(path)
        files.append((path, requests))
    return files


def outcome(path, requests):
    """Everything the public functions give for one file, in comparable form."""
    out = [vellkit.isVellFile(path), vellkit.listContents(path), vellkit.getVisImages(path)]
    for request in requests:
        try:
            result = vellkit.getVellData(path, request)
        except Exception as e:
            out.append((type(e), str(e)))
            continue
        out.append(flatten(vars(result)))
    return out


def flatten(value):
    if isinstance(value, np.ndarray):
        return (value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, dict):
        return {k: flatten(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [flatten(v) for v in value]
    if hasattr(value, "__dict__"):
        return flatten(vars(value))
    return value


def run_threads(work):
    barrier = threading.Barrier(THREADS)
    results, errors = [None] * THREADS, []

    def target(k):
        try:
            barrier.wait()
            results[k] = [work(k, r) for r in range(ROUNDS)]
        except BaseException as e:  # reported to the main thread
            errors.append(e)

    threads = [threading.Thread(target=target, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    return results


@pytest.fixture
def quiet(monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)


def test_threads_reading_different_files(tmp_path, quiet):
    files = build_files(tmp_path)
    alone = [outcome(*f) for f in files]
    results = run_threads(lambda k, r: outcome(*files[(k + r) % len(files)]))
    for k, rounds in enumerate(results):
        for r, got in enumerate(rounds):
            assert got == alone[(k + r) % len(files)]


@pytest.mark.parametrize("which", range(8))
def test_threads_reading_the_same_file(tmp_path, quiet, which):
    path, requests = build_files(tmp_path)[which]
    alone = outcome(path, requests)
    for rounds in run_threads(lambda k, r: outcome(path, requests)):
        assert all(got == alone for got in rounds)
