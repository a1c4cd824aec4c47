"""Threads: eight threads reading different files, and eight reading the
same file, get exactly the results one thread gets."""

import os
import subprocess
import sys
import sysconfig
import threading
import types

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


# Stress: many threads, every public function, names the module has not seen
# yet (so that threads race to add them to its name cache), and a thread that
# keeps rebinding and resizing the module's namespace meanwhile (so that every
# global looked up at call time may be replaced while it is in use). The
# module declares that it does not need the GIL; on a regular build a tiny
# switch interval interleaves the threads as finely as the GIL allows, and the
# ThreadSanitizer build sees every access made without it.
STRESS_THREADS = 16
STRESS_ROUNDS = 20
STRESS_TEXTS = [b"plain", "caf\u00e9".encode("utf-8"), b"\xff\xfe latin", b""]
# Each way of giving the encodings: none, a tuple, a list, an iterator.
STRESS_ENCODINGS = [lambda: None, lambda: ("ascii",), lambda: ["utf8", "latin1"], lambda: iter(["ascii", "latin1"])]


def build_stress_files(directory):
    files = build_files(directory)
    for k in range(6):
        # 4-byte names, some with NULs around them: raw names that decode to
        # the same name, and names that only this test uses.
        names = [("%c%03d" % ("klmnop"[k], i)).encode() for i in range(120)]
        names += [b"\0" + n[:3] for n in names[:20]] + [n[:3] + b"\0" for n in names[:20]]
        params = [(n, i if i % 3 == 0 else (0.5 + i if i % 3 == 1 else "value %d" % i)) for i, n in enumerate(names)]
        vf = writer.make_spectrum_file(np.arange(64, dtype=np.float32) * k, params=params,
                                       instrument=params[::-1], images=[writer.Image(b"BM" + bytes(40 + k))])
        path = str(directory / ("names%d.vell" % k))
        vf.write(path)
        files.append((path, [("AB", "2D", "NONE"), ("AB", "2D", "1DER")]))
    return files


def stress_outcome(path, requests, k):
    """outcome() plus decode_string with each way of giving encodings."""
    out = outcome(path, requests)
    for n, text in enumerate(STRESS_TEXTS):
        encodings = STRESS_ENCODINGS[(n + k) % len(STRESS_ENCODINGS)]()
        out.append(vellkit.decode_string(text) if encodings is None else vellkit.decode_string(text, encodings))
    return out


class Rebinder(threading.Thread):
    """Rebinds the module's globals to equivalent objects, and adds and
    removes others so that the namespace is resized, until stopped."""

    NAMES = ("isVellFile", "imghdr", "SingleDataReturn", "ImageDataReturn", "TimeResolvedDataReturn",
             "TimeResolvedTRCDataReturn", "ImageTRCDataReturn", "MultiRegionDataReturn", "Region",
             "MultiRegionTRCDataReturn")

    def __init__(self):
        super().__init__(daemon=True)
        self.stop = threading.Event()
        self.originals = {name: getattr(vellkit, name) for name in self.NAMES}
        self.error = None
        self.passes = 0

    def equivalent(self, name):
        original = self.originals[name]
        if name == "isVellFile":
            return lambda path: original(path)
        if name == "imghdr":
            module = types.ModuleType("imghdr")
            module.what = lambda file, h=None: original.what(file, h)
            return module
        return type(name, (original,), {})

    def run(self):
        try:
            n = 0
            while not self.stop.is_set():
                name = self.NAMES[n % len(self.NAMES)]
                setattr(vellkit, name, self.equivalent(name))
                for i in range(40):
                    setattr(vellkit, "_scratch%d" % i, i)
                for i in range(40):
                    delattr(vellkit, "_scratch%d" % i)
                setattr(vellkit, name, self.originals[name])
                n += 1
                self.passes = n
        except BaseException as e:  # reported to the main thread
            self.error = e
        finally:
            for name, value in self.originals.items():
                setattr(vellkit, name, value)


@pytest.fixture
def fine_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_stress_every_function_on_shared_and_distinct_files(tmp_path, quiet, fine_switching, capsys):
    files = build_stress_files(tmp_path)
    barrier = threading.Barrier(STRESS_THREADS + 1)
    results, errors = [[] for _ in range(STRESS_THREADS)], []
    helps = []

    def pick(k, r):
        # Even rounds: every thread on a file of its own; odd rounds: all on one.
        return (k + r) % len(files) if r % 2 == 0 else (r * 7) % len(files)

    def target(k):
        try:
            barrier.wait()
            for r in range(STRESS_ROUNDS):
                i = pick(k, r)
                results[k].append((i, stress_outcome(*files[i], k)))
                if (k + r) % 5 == 0:
                    vellkit.help()
                    helps.append(1)
        except BaseException as e:  # reported to the main thread
            errors.append(e)

    capsys.readouterr()
    rebinder = Rebinder()
    threads = [threading.Thread(target=target, args=(k,)) for k in range(STRESS_THREADS)]
    for t in threads:
        t.start()
    rebinder.start()
    barrier.wait()
    for t in threads:
        t.join(600)
    rebinder.stop.set()
    rebinder.join(60)
    assert not any(t.is_alive() for t in threads + [rebinder])
    assert errors == [] and rebinder.error is None and rebinder.passes > 0
    printed = capsys.readouterr().out

    # One thread alone, afterwards: the threads above met every name first.
    for k, rounds in enumerate(results):
        assert len(rounds) == STRESS_ROUNDS
        for i, got in rounds:
            assert got == stress_outcome(*files[i], k)
    vellkit.help()
    one_help = capsys.readouterr().out
    # Lines of threads printing at once may interleave; nothing is lost.
    assert one_help and len(printed) == len(helps) * len(one_help)


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="a regular build always has the GIL")
def test_import_leaves_a_free_threaded_interpreter_without_the_gil():
    # A module that does not declare itself safe turns the GIL back on, with
    # a RuntimeWarning (an error here).
    code = ("import importlib.util, sys, vellkit\n"
            "if importlib.util.find_spec('vellkit_tools._native'): import vellkit_tools._native\n"
            "sys.exit(1 if sys._is_gil_enabled() else 0)\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("PYTHON_GIL", None)
    run = subprocess.run([sys.executable, "-W", "error", "-c", code], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
