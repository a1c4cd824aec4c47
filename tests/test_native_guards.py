"""The guards of vellkit_tools._native, shared with vellkit: the memory limit
on every read (and its setting, read the same way by both modules), reads
bound to the file they were planned on, point ranges, and the failures that
used to abort or hang: allocation failure under an address-space limit, a
FIFO without a writer ended by a signal, labels of records stacked on one
offset. Crash, hang and limit cases run in a child process with a timeout."""

import os
import re
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vellkit_tools import _native, writer
import vellkit

from _helpers3d import DATA_OFFSET, last_block_file, patch_header, put_i32, save, vals

posix_only = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
SANITIZED = "san" in os.environ.get("LD_PRELOAD", "")
NPT = 300
INFO = writer.DEFAULT_INFO_SIZE


def engine():
    """The xarray engine's entry point (found without the package installed)."""
    from vellkit_tools.backend import VellBackendEntrypoint
    return VellBackendEntrypoint


def skip_without_xarray(call):
    """Calls through the xarray engine need the xarray extra."""
    if "xarray" in call or "open_dataset" in call:
        pytest.importorskip("xarray")


# Children load xarray's engines (when installed) before any limit or timing.
LOAD_ENGINES = """
try:
    import xarray
    from vellkit_tools.backend import VellBackendEntrypoint
    xarray.backends.list_engines()
except ImportError:
    pass
"""


def identity_of(path):
    st = os.stat(path)
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def series_file(tmp_path, count=4, npt=NPT, kind="AB", name="series.vell"):
    """A series (or series traces) of `count` records; returns (path, record offsets)."""
    records = [writer.Record(vals(k, npt), time=0.5 * k, label="trace %d" % k) for k in range(count)]
    data = writer.make_3d_file(records, npt, writer.time_resolved_params(npt, 1.0, 2.0), data_type=kind).to_bytes()
    offsets = np.array([data.index(vals(k, npt).astype("<f4").tobytes()) for k in range(count)], dtype=np.int64)
    return save(tmp_path, data, name), offsets


def spectrum_file(tmp_path, npt=NPT, name="spectrum.vell"):
    """A 2D spectrum whose values end the file; returns (path, their offset)."""
    y = vals(7, npt)
    vf = writer.VellFile(directory="start")
    vf.add_parameters(writer.spectral_params(npt, 1.0, 2.0), data_type="AB")
    vf.add_spectrum(y, data_type="AB")
    data = vf.to_bytes()
    assert data.endswith(y.astype("<f4").tobytes())
    return save(tmp_path, data, name), len(data) - 4 * npt


def run_child(code, *args, timeout=60, env=None):
    """Runs ``code`` in a fresh interpreter that sees this build; (status, stdout, stderr)."""
    paths = [os.path.dirname(vellkit.__file__), os.path.dirname(os.path.dirname(writer.__file__)),
             os.path.dirname(__file__)]
    child_env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), OPENBLAS_NUM_THREADS="1",
                     OMP_NUM_THREADS="1", **(env or {}))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)] + [str(a) for a in args], env=child_env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


# ----------------------------------------------------------------------------
# What the reads return
# ----------------------------------------------------------------------------

def test_the_reads_return_what_vellkit_reads(tmp_path):
    path, offsets = series_file(tmp_path)
    whole = vellkit.getVellData(path, ("AB", "3D", "NONE"))
    ident = identity_of(path)
    points = _native.read_points(path, offsets, NPT, 0, NPT, ident)
    assert points.dtype == np.float32 and points.shape == (4, NPT)
    np.testing.assert_array_equal(points, whole.spectra)
    np.testing.assert_array_equal(_native.read_points(path, offsets[::-1].copy(), NPT, 5, 7), whole.spectra[::-1, 5:12])
    times = _native.read_times(path, offsets, NPT, identity=ident)
    assert times.dtype == np.float64
    np.testing.assert_array_equal(times, whole.z)
    traces, trace_offsets = series_file(tmp_path, kind="TRC", name="traces.vell")
    labels = vellkit.getVellData(traces, ("TRC", "3D", "NONE")).labels
    assert _native.read_labels(traces, trace_offsets, NPT, INFO) == list(labels) == ["trace %d" % k for k in range(4)]


@pytest.mark.parametrize("cut", [0, 1, 4 * NPT - 3, 4 * NPT])
def test_read_values_reads_a_2d_block_as_vellkit_does(tmp_path, cut):
    path, offset = spectrum_file(tmp_path)
    with open(path, "rb") as f:
        data = f.read()
    # Cut by the end of the file, the block gives the values the file holds.
    cut_path = save(tmp_path, data[:len(data) - cut], "cut.vell")
    expected = vellkit.getVellData(cut_path, ("AB", "2D", "NONE")).y
    values = _native.read_values(cut_path, offset, NPT, identity_of(cut_path))
    assert values.dtype == np.float32
    np.testing.assert_array_equal(values, expected)


@pytest.mark.parametrize("start, length, fits", [(0, NPT, True), (NPT - 1, 1, True), (NPT, 0, True),
                                                 (1, NPT, False), (NPT, 1, False), (-1, 2, False),
                                                 (0, -1, False), (2 ** 62, 2 ** 62, False)])
def test_a_point_range_must_lie_in_the_record(tmp_path, start, length, fits):
    path, offsets = series_file(tmp_path)
    if fits:
        assert _native.read_points(path, offsets, NPT, start, length).shape == (4, length)
    else:
        with pytest.raises(ValueError, match="outside a record of %d points" % NPT):
            _native.read_points(path, offsets, NPT, start, length)


def test_a_record_past_the_end_of_the_file_is_refused_naming_the_file(tmp_path):
    path, offsets = series_file(tmp_path)
    offsets[2] = os.path.getsize(path) - 4 * NPT + 4
    with pytest.raises(ValueError, match="^%s: the record at offset %d does not hold its %d values"
                       % (path, offsets[2], NPT)):
        _native.read_points(path, offsets, NPT, 0, 1)


def test_failures_of_the_core_name_the_file_in_vellkit_wording(tmp_path):
    path, offsets = series_file(tmp_path)
    with pytest.raises(OSError) as info:
        _native.read_values(path, -4, NPT)
    assert info.value.filename == path
    missing = str(tmp_path / "missing.vell")
    with pytest.raises(FileNotFoundError) as info:
        _native.read_times(missing, offsets, NPT)
    assert info.value.filename == missing


def test_audit_hooks_see_the_open_as_the_built_in_open_reports_it(tmp_path):
    from test_open_audit import _open_events
    path, offsets = series_file(tmp_path, name="sërïes.vell")

    def read_with_builtin_open():
        with open(path, "rb"):
            pass

    (expected,) = _open_events(read_with_builtin_open)
    assert _open_events(lambda: _native.read_points(path, offsets, NPT, 0, 1)) == [expected]


# ----------------------------------------------------------------------------
# The memory limit
# ----------------------------------------------------------------------------

def native_reads(tmp_path):
    """Every _native read of more than 1 KiB, as name -> call."""
    series, offsets = series_file(tmp_path)
    traces, trace_offsets = series_file(tmp_path, count=4, npt=2, kind="TRC", name="traces.vell")
    spectrum, offset = spectrum_file(tmp_path)
    many = np.repeat(offsets, 40)
    return {
        "read_points": lambda: _native.read_points(series, offsets, NPT, 0, NPT),
        "read_values": lambda: _native.read_values(spectrum, offset, NPT),
        "read_times": lambda: _native.read_times(series, many, NPT),
        # An info size past the records': each label runs on for 400 bytes.
        "read_labels": lambda: _native.read_labels(traces, trace_offsets, 2, INFO + 400),
    }


@pytest.mark.parametrize("read", ["read_points", "read_values", "read_times", "read_labels"])
def test_every_read_is_charged_to_the_memory_limit(tmp_path, monkeypatch, read):
    call = native_reads(tmp_path)[read]
    call()
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", "1K")
    # In vellkit's words for the same limit.
    spectrum, _ = spectrum_file(tmp_path)
    words = (r"^%s: reading this file needs \d+ bytes of memory or more, past the limit of 1024 bytes for a file "
             r"of \d+ bytes; set VELLKIT_MEMORY_LIMIT to a larger size \(such as 64G\) to read it$")
    with pytest.raises(MemoryError, match=words % re.escape(spectrum)):
        vellkit.getVellData(spectrum, ("AB", "2D", "NONE"))
    with pytest.raises(MemoryError, match=words % (re.escape(str(tmp_path)) + r".\w+\.vell")):
        call()


def test_a_map_of_3_kb_is_refused_by_open_dataset_as_by_getvelldata(tmp_path, monkeypatch):
    xr = pytest.importorskip("xarray")
    npt = 64
    records = [writer.Record(vals(k, npt)) for k in range(12)]
    path = save(tmp_path, writer.make_3d_file(records, npt, writer.image_map_params(npt, 1.0, 2.0, 4, 3)))
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", "1K")
    with pytest.raises(MemoryError, match="VELLKIT_MEMORY_LIMIT"):
        vellkit.getVellData(path, ("AB", "3D", "NONE"))
    # Refused at open when the plan charges the coordinates, else at the read.
    with pytest.raises(MemoryError, match="VELLKIT_MEMORY_LIMIT"):
        with xr.open_dataset(path, engine=engine()) as dataset:
            dataset["spectra"].values


@pytest.mark.parametrize("setting", ["0", "0K", " 0\n"])
def test_a_memory_limit_of_0_lifts_the_limit(tmp_path, monkeypatch, setting):
    path, offsets = series_file(tmp_path)
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", setting)
    assert vellkit.getVellData(path, ("AB", "3D", "NONE")).spectra.shape == (4, NPT)
    assert _native.read_points(path, offsets, NPT, 0, NPT).shape == (4, NPT)


@pytest.mark.parametrize("setting", ["64G\n", "\t64G\t", " 64G", "64 G\r\n", "\v64g\f", "64GB\n"])
def test_whitespace_around_a_memory_limit_is_ignored_by_both_modules(tmp_path, monkeypatch, setting):
    path, offsets = series_file(tmp_path)
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", setting)
    assert vellkit.getVellData(path, ("AB", "3D", "NONE")).spectra.shape == (4, NPT)
    assert _native.read_points(path, offsets, NPT, 0, NPT).shape == (4, NPT)


@pytest.mark.parametrize("setting", ["lots", "-5", "12Q", "", "\n", "6 4G", "64G x", "0x10"])
def test_both_modules_refuse_a_bad_memory_limit_in_the_same_words(tmp_path, monkeypatch, setting):
    path, offsets = series_file(tmp_path)
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", setting)
    with pytest.raises(ValueError) as from_vellkit:
        vellkit.getVellData(path, ("AB", "3D", "NONE"))
    with pytest.raises(ValueError) as from_native:
        _native.read_points(path, offsets, NPT, 0, NPT)
    assert str(from_native.value) == str(from_vellkit.value)
    assert str(from_native.value).startswith("VELLKIT_MEMORY_LIMIT must be a number of bytes")


# ----------------------------------------------------------------------------
# Reads stay bound to the file a plan was made of
# ----------------------------------------------------------------------------

def test_a_read_of_a_replaced_file_raises_naming_it(tmp_path):
    path, offsets = series_file(tmp_path)
    planned = identity_of(path)
    other, _ = series_file(tmp_path, count=5, name="other.vell")
    os.replace(other, path)
    for call in (lambda i: _native.read_points(path, offsets, NPT, 0, 1, i),
                 lambda i: _native.read_times(path, offsets, NPT, i),
                 lambda i: _native.read_labels(path, offsets, NPT, INFO, identity=i),
                 lambda i: _native.read_values(path, int(offsets[0]), NPT, i)):
        with pytest.raises(OSError, match="^%s has changed since it was opened" % path):
            call(planned)
        call(identity_of(path))  # the new file, planned anew, reads


def test_a_file_rewritten_in_place_is_another_file(tmp_path):
    path, offsets = series_file(tmp_path)
    planned = identity_of(path)
    os.utime(path, ns=(planned[3], planned[3] + 1000))
    with pytest.raises(OSError, match="has changed since it was opened"):
        _native.read_points(path, offsets, NPT, 0, 1, planned)


@pytest.mark.parametrize("identity, error", [((1, 2, 3), TypeError), ([1, 2, 3, 4], TypeError),
                                             ((1, 2, 3, "4"), TypeError), ((-1, 2, 3, 4), OverflowError),
                                             ((2 ** 64, 2, 3, 4), OverflowError)])
def test_an_identity_that_is_not_one_is_refused(tmp_path, identity, error):
    path, offsets = series_file(tmp_path)
    with pytest.raises(error):
        _native.read_points(path, offsets, NPT, 0, 1, identity)


def test_a_lazy_dataset_refuses_a_replaced_file(tmp_path):
    xr = pytest.importorskip("xarray")
    path, _ = series_file(tmp_path)
    dataset = xr.open_dataset(path, engine=engine())
    other, _ = series_file(tmp_path, count=4, name="other.vell")
    with open(other, "r+b") as f:  # same size, other values
        f.seek(-8, os.SEEK_END)
        f.write(b"\x01" * 8)
    os.replace(other, path)
    with pytest.raises(OSError, match="^%s has changed since it was opened" % path):
        dataset["spectra"].values


# ----------------------------------------------------------------------------
# Faults that used to abort, hang or run away (child processes)
# ----------------------------------------------------------------------------

def stacked_records_file(tmp_path, kind, npt):
    """64 KiB: one record of `npt` values named 60,000 times at one offset
    (block and info sizes 0), whose label runs to the end of the file (no
    NUL ends it). Returns (path, the records' offset)."""
    data = last_block_file([writer.Record(np.zeros(npt), label="L" * 64)], npt,
                           writer.time_resolved_params(npt, 1.0, 2.0), data_type=kind)
    block = len(data) - (32 + 4 * npt + INFO)  # the 3D block ends the file
    data = patch_header(data, 12, 0, block)
    data = patch_header(data, 16, 0, block)
    data = put_i32(data, block + 28, 59999)
    return save(tmp_path, data + b"L" * max(0, 65536 - len(data)), "stacked-%s.vell" % kind), block + 32


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS")
@pytest.mark.skipif(SANITIZED, reason="sanitizer runtimes reserve more address space than the limit allows")
@pytest.mark.parametrize("kind, npt, call", [
    # 60,000 labels of 64 KiB each
    ("TRC", 4, "xarray.open_dataset(path, engine=VellBackendEntrypoint)"),
    ("TRC", 4, "_native.read_labels(path, np.full(60000, offset, np.int64), 4, 0)"),
    # 60,000 records of 16,384 values each
    ("AB", 16384, "xarray.open_dataset(path, engine=VellBackendEntrypoint)['spectra'].values"),
    ("AB", 16384, "_native.read_points(path, np.full(60000, offset, np.int64), 16384, 0, 16384)"),
])
def test_records_stacked_on_one_offset_are_refused_at_once(tmp_path, kind, npt, call):
    skip_without_xarray(call)
    path, offset = stacked_records_file(tmp_path, kind, npt)
    code = """
        import resource, sys, time
        import numpy as np
        from vellkit_tools import _native
        exec(sys.argv[3])  # xarray's first-use work, not timed
        # Far below what reading every label would take (8 GB).
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, resource.RLIM_INFINITY))
        path, offset = sys.argv[1], int(sys.argv[2])
        started = time.process_time()  # the work done, which a loaded machine does not inflate
        try:
            %s
            print("read")
        except MemoryError as error:
            print("MemoryError", path in str(error), "VELLKIT_MEMORY_LIMIT" in str(error))
        print(round(time.process_time() - started, 3), file=sys.stderr)
        """ % call
    status, out, err = run_child(code, path, offset, LOAD_ENGINES, timeout=60)
    assert (status, out) == (0, "MemoryError True True\n"), err[-2000:]
    # Refused before reading: milliseconds, where reading took 26 s to 75 s.
    took = float(err.strip().splitlines()[-1])
    print("refused in %.3f s" % took)
    assert took < 10


def many_records_file(tmp_path, size=16 << 20):
    """16 MiB whose store table names as many 4-byte records as the file has
    bytes (the records past the one written read as zeros)."""
    vf = writer.make_3d_file([writer.Record([1.0])], 1, writer.time_resolved_params(1, 1.0, 2.0))
    data = vf.to_bytes()
    data = put_i32(data, DATA_OFFSET + 28, size - 1)
    return save(tmp_path, data + bytes(size - len(data)), "many-records.vell")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS")
@pytest.mark.skipif(SANITIZED, reason="sanitizer runtimes reserve more address space than the limit allows")
@pytest.mark.parametrize("call", [
    "xarray.open_dataset(path, engine=VellBackendEntrypoint)",
    "vellkit.getVellData(path, ('AB', '3D', 'NONE'))",
    "_native.plan_block(path, ('AB', '3D', 'NONE'))",
    "_native.read_times(path, np.full(10 ** 7, 56, np.int64), 1)",
    # 800 MB of values: within the memory limit, past the address space left.
    "_native.read_points(path, np.full(5 * 10 ** 4, 56, np.int64), 4096, 0, 4096)",
])
def test_an_allocation_that_fails_is_a_memory_error(tmp_path, call):
    skip_without_xarray(call)
    path = many_records_file(tmp_path)
    code = """
        import resource, sys
        import numpy as np, vellkit
        from vellkit_tools import _native
        path = sys.argv[1]
        exec(sys.argv[2])  # plugins loaded before the limit
        with open("/proc/self/status") as f:
            used = [int(line.split()[1]) for line in f if line.startswith("VmSize:")][0] * 1024
        # Room for a few hundred MB more: less than the file's records take.
        resource.setrlimit(resource.RLIMIT_AS, (used + (200 << 20), resource.RLIM_INFINITY))
        try:
            %s
            print("read")
        except MemoryError:
            print("MemoryError")
        """ % call
    status, out, err = run_child(code, path, LOAD_ENGINES, timeout=120)
    assert (status, out) == (0, "MemoryError\n"), err[-2000:]


FIFO_CALLS = [
    "_native.read_points(path, np.zeros(1, np.int64), 1, 0, 1)",
    "_native.read_values(path, 0, 1)",
    "_native.read_times(path, np.zeros(1, np.int64), 1)",
    "_native.read_labels(path, np.zeros(1, np.int64), 1, 216)",
    "_native.read_annotations(path, 0)",
    "_native.plan_block(path, ('AB', '3D', 'NONE'))",
    "vellkit_tools.open_dataset(path, block=('AB', '3D', 'NONE'))",
]


@posix_only
@pytest.mark.parametrize("how", ["SIGALRM", "SIGINT"])
@pytest.mark.parametrize("call", FIFO_CALLS)
def test_a_signal_ends_a_wait_for_a_fifo_writer(tmp_path, how, call):
    skip_without_xarray(call)
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    code = """
        import os, signal, sys, time
        import numpy as np, vellkit_tools
        from vellkit_tools import _native
        try:  # imported before the signal: one that lands in an import can be lost there
            import vellkit_tools.backend
        except ImportError:
            pass
        path = sys.argv[1]
        # Not an OSError (TimeoutError is one), which code on the way may
        # take for a failed file operation.
        class Alarm(Exception):
            pass
        def timeout(signum, frame):
            raise Alarm("no writer")
        signal.signal(signal.SIGALRM, timeout)
        if sys.argv[2] == "SIGALRM":
            signal.setitimer(signal.ITIMER_REAL, 0.2)
        else:  # Ctrl-C, from another process
            import subprocess
            subprocess.Popen([sys.executable, "-c", "import os, time, signal; time.sleep(0.3); "
                              "os.kill(%%d, signal.SIGINT)" %% os.getpid()])
        try:
            %s
            print("read")
        except (Alarm, KeyboardInterrupt) as error:
            print(type(error).__name__)
        """ % call
    status, out, err = run_child(code, fifo, how, timeout=90)
    expected = "Alarm" if how == "SIGALRM" else "KeyboardInterrupt"
    assert (status, out) == (0, "%s\n" % expected), err[-2000:]


# Elsewhere the open of a FIFO waits in one system call (the BSDs and macOS
# report a FIFO without a writer at its end, so it cannot be waited for in slices).
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="waits in slices on Linux only")
@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs signal.pthread_kill")
@pytest.mark.parametrize("call", ["_native.read_values(path, 0, 1)", "vellkit.isVellFile(path)"])
def test_a_signal_taken_by_another_thread_ends_a_wait_for_a_fifo_writer(tmp_path, call):
    """Ctrl-C that the system hands to a thread other than the waiting one
    (or that lands just before the wait starts) interrupts no system call:
    the wait must still notice it."""
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    code = """
        import signal, sys, threading, time
        import vellkit
        from vellkit_tools import _native
        path = sys.argv[1]
        def other_thread():
            time.sleep(0.3)
            signal.pthread_kill(threading.get_ident(), signal.SIGINT)
        threading.Thread(target=other_thread).start()
        try:
            %s
            print("read")
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
        """ % call
    status, out, err = run_child(code, fifo, timeout=30)
    assert (status, out) == (0, "KeyboardInterrupt\n"), err[-2000:]


# ----------------------------------------------------------------------------
# Signals and changes during a read
# ----------------------------------------------------------------------------

def dense_records_file(tmp_path, count=2 << 20):
    """A series of ``count`` records of one value, 4 bytes apart (info size
    0): all of them and their times (136 bytes on) lie in the file."""
    vf = writer.make_3d_file([writer.Record([1.0], time=1.0)], 1, writer.time_resolved_params(1, 1.0, 2.0))
    data = patch_header(vf.to_bytes(), 12, 4)
    data = patch_header(data, 16, 0)
    data = put_i32(data, DATA_OFFSET + 28, count - 1)
    return save(tmp_path, data + bytes(4 * count + 144), "dense.vell")


# A timer ticks every millisecond; its handler counts the ticks it runs for.
# A loop over records that asks the interrupt hook runs the handler as it
# goes (with or without the GIL); one that does not runs it once, after.
TICKS = """
    import os, signal, sys
    import numpy as np, vellkit
    from vellkit_tools import _native
    path, what = sys.argv[1], sys.argv[2]
    plan = _native.plan_block(path, ("AB", "3D", "NONE"))
    offsets = np.frombuffer(plan["records"]["offsets"], np.int64)
    ticks = []
    signal.signal(signal.SIGALRM, lambda signum, frame: ticks.append(1))
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    before = len(ticks)
    if what == "getVellData":  # the module's loops hold the GIL
        vellkit.getVellData(path, ("AB", "3D", "NONE"))
    elif what == "plan_block":
        _native.plan_block(path, ("AB", "3D", "NONE"))
    elif what == "read_points":
        _native.read_points(path, offsets, 1, 0, 1)
    elif what == "read_times":
        _native.read_times(path, offsets, 1)
    else:
        _native.read_labels(path, offsets, 1, 153)
    during = len(ticks) - before
    signal.setitimer(signal.ITIMER_REAL, 0)
    print(during >= 3 or during)
    """


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs POSIX timers")
@pytest.mark.parametrize("what", ["getVellData", "plan_block", "read_points", "read_times", "read_labels"])
def test_every_loop_over_records_runs_the_signal_handlers(tmp_path, what):
    path = dense_records_file(tmp_path)
    status, out, err = run_child(TICKS, path, what, timeout=300)
    assert (status, out) == (0, "True\n"), err[-2000:]


def truncate_during_the_read(path, read):
    """Runs ``read()`` with a timer whose handler, run inside a record read,
    cuts the file to half its size; what the read raises, if anything."""
    size = os.path.getsize(path)
    reading = (RecordArray_read_rows(),)

    def cut(signum, frame):
        if frame is not None and frame.f_code in reading and os.path.getsize(path) == size:
            os.truncate(path, size // 2)

    previous = signal.signal(signal.SIGALRM, cut)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        read()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert os.path.getsize(path) < size, "the file was not cut during the read"


def RecordArray_read_rows():
    from vellkit_tools.backend import RecordArray
    return RecordArray._read_rows.__code__


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs POSIX timers")
@pytest.mark.parametrize("route", ["values", "dask"])
def test_a_file_cut_during_a_lazy_read_is_an_error_naming_it(tmp_path, route):
    xr = pytest.importorskip("xarray")
    if route == "dask":
        pytest.importorskip("dask")
    path = dense_records_file(tmp_path)
    dataset = xr.open_dataset(path, engine=engine())
    if route == "dask":  # chunks read in this thread, where signal handlers run
        read = lambda: dataset.chunk({"time": 1 << 20})["spectra"].compute(scheduler="synchronous")
    else:
        read = lambda: dataset["spectra"].values
    with pytest.raises(OSError, match="^%s changed while it was read" % re.escape(path)):
        truncate_during_the_read(path, read)
