"""Series whose records lie past the end of the file, each reported as a
failed read: a store table naming more records than the file has bytes, or
more records past the end than a file cut short leaves, is damaged and
refused before any report; a call that will be refused for its memory is
refused before it reports anything; and a signal handler's exception ends
the reports at once (in a child process)."""

import errno
import os
import signal
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vellkit_tools import writer

import vellkit

from conftest import READ_DOUBLE
from _helpers3d import save

posix_only = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs POSIX signals")
SERIES = ("AB", "3D", "NONE")
TIME_LIMIT = 120
REPORTS_PAST_END = 4096  # the most a call reports for records past the end of the file


def series_at_the_end(records, npt, store_table, npt_param=None, **block):
    """A series whose 3D data block ends the file (so its records' times lie past the end), and the block's offset."""
    vf = writer.VellFile(directory="start")
    vf.add_parameters(writer.time_resolved_params(npt_param or npt, 1.0, 2.0), data_type="AB",
                      extend_type=writer.EXTEND_3D)
    at = vf.add_3d_block(records, npt, data_type="AB", store_table=store_table, info_size=0, **block)
    return vf.to_bytes(), at


def stacked_series(count, npt=16384):
    """64 KB: one record of `npt` values named `count` times at one offset (blockSize 0), each time past the end."""
    data, at = series_at_the_end([writer.Record(np.zeros(npt, np.float32), time=None)], npt, [[0, 0]],
                                 npt_param=2 * npt)
    data = bytearray(data)
    struct.pack_into("<i", data, at + 12, 0)
    struct.pack_into("<i", data, at + 28, count - 1)
    return bytes(data)


def empty_records(count, padding):
    """`count` records of no bytes at the end of the file, after `padding` zero bytes: every time past the end."""
    return series_at_the_end([writer.Record([], time=None)] * count, 0, [[0, count - 1]], block_offset=padding,
                             block_size=0)[0]


def run_child(code, *args, timeout=TIME_LIMIT, env=None):
    paths = [os.path.dirname(vellkit.__file__), os.path.dirname(os.path.dirname(writer.__file__))]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), **(env or {}))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)] + [str(a) for a in args], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def test_a_call_refused_for_its_memory_reports_nothing(tmp_path):
    # 4,096 records x 16,384 values: 256 MiB from a 64 KB file, past a limit of 128 MiB.
    path = save(tmp_path, stacked_series(REPORTS_PAST_END))
    status, out, err = run_child("""
        import sys, vellkit
        try:
            vellkit.getVellData(sys.argv[1], ("AB", "3D", "NONE"))
        except MemoryError as e:
            print("MemoryError", "VELLKIT_MEMORY_LIMIT" in str(e))
        """, path, env={"VELLKIT_MEMORY_LIMIT": "128M"})
    assert (status, out, err) == (0, "MemoryError True\n", "")


@pytest.mark.parametrize("count, limit, refused", [(64, "8M", False), (64, "4M", True), (1, "1M", False)])
def test_the_same_records_under_the_bound_report_every_time(tmp_path, monkeypatch, reports, count, limit, refused):
    path = save(tmp_path, stacked_series(count))
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", limit)
    if refused:
        with pytest.raises(MemoryError):
            vellkit.getVellData(path, SERIES)
        assert reports == []
    else:
        result = vellkit.getVellData(path, SERIES)
        assert result.spectra.shape == (count, 16384) and list(result.z) == [0.0] * count
        assert reports == [READ_DOUBLE] * count


def test_reports_come_before_the_error_of_a_record_that_cannot_be_sought(tmp_path, reports):
    # Three records past the end, then a gap back to before the start of the file.
    data, at = series_at_the_end([writer.Record([], time=None)] * 4, 0, [[0, 2], [-1, 0], [3, 3]], block_size=0)
    data = bytearray(data)
    struct.pack_into("<ii", data, at + 24 + 8, -1, -(1 << 30))
    with pytest.raises(OSError) as info:
        vellkit.getVellData(save(tmp_path, bytes(data)), SERIES)
    assert info.value.errno == errno.EINVAL
    assert reports == [READ_DOUBLE] * 3


@pytest.mark.parametrize("count, padding, refused", [
    (REPORTS_PAST_END, REPORTS_PAST_END, None),
    (REPORTS_PAST_END + 1, REPORTS_PAST_END + 1, "records past the end of the file, more than a file cut short"),
    (2000, 32, "names 2000 records, more than the file has bytes"),
])
def test_a_damaged_store_table_is_refused_before_any_report(tmp_path, reports, count, padding, refused):
    path = save(tmp_path, empty_records(count, padding))
    if refused is None:  # as many as a file cut short may leave: each reported
        assert vellkit.getVellData(path, SERIES).spectra.shape == (count, 0)
        assert reports == [READ_DOUBLE] * count
        return
    with pytest.raises(ValueError) as info:
        vellkit.getVellData(path, SERIES)
    message = str(info.value)
    assert message.startswith(path + ": ") and refused in message and message.endswith("the file is damaged")
    assert reports == []


# The first reports go through a hook that, at the tenth, gives the printing
# back to the interpreter's own hook (no Python code runs between reports
# after it) and has the signal sent: its handler then runs where the reader
# asks for it, between two reports.
FLOOD = """
    import os, signal, sys, threading, vellkit
    path, how = sys.argv[1], sys.argv[2]
    def fds():
        return sorted(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else []
    before = fds()
    def marked(signum, frame):
        sys.stderr.write("<<signal>>\\n")
        raise TimeoutError("signal %d" % signum)
    seen = []
    def counting(*report):
        sys.__excepthook__(*report)
        seen.append(1)
        if len(seen) < 10:
            return
        sys.excepthook = sys.__excepthook__
        if how == "alarm":
            signal.setitimer(signal.ITIMER_REAL, 0.001)
        else:
            threading.Timer(0.001, os.kill, (os.getpid(), signal.SIGINT)).start()
    sys.excepthook = counting
    if how == "alarm":
        signal.signal(signal.SIGALRM, marked)
    else:
        # Ctrl-C with the default handler (even where the parent ignores
        # SIGINT, as a shell does for background jobs): KeyboardInterrupt, uncaught.
        signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        vellkit.getVellData(path, ("AB", "3D", "NONE"))
        print("returned")
    except TimeoutError as e:
        print(e, fds() == before)
    """


@posix_only
@pytest.mark.parametrize("how", ["alarm", "interrupt"])
def test_a_signal_ends_the_reports(tmp_path, how):
    count = REPORTS_PAST_END
    path = save(tmp_path, empty_records(count, count))
    status, out, err = run_child(FLOOD, path, how)
    printed = err.count("struct.error: unpack requires a buffer of 8 bytes") // 2
    assert 10 <= printed < count
    if how == "alarm":
        assert (status, out) == (0, "signal %d True\n" % signal.SIGALRM)
        # The handler's mark ends the output: no report is printed after it.
        assert err.endswith("struct.error: unpack requires a buffer of 8 bytes\n<<signal>>\n")
    else:
        assert (status, out) == (-signal.SIGINT, "")
        assert err.endswith("\nKeyboardInterrupt\n") and "lost sys.stderr" not in err


def regions_past_the_end(positions):
    """One region of `positions` points, all naming one record of no bytes at the end of the file."""
    rows = [[1, 0, 0, 0, 0, 1, float(k), 0.0] for k in range(positions)]
    vf = writer.VellFile(directory="start")
    vf.add_parameters(writer.multi_region_params(0, 1.0, 2.0), data_type="AB", extend_type=writer.EXTEND_3D)
    vf.add_annotation_block([writer.AnnotationTable(writer.MULTI_REGION_COLUMNS, rows)])
    vf.add_3d_block({1: writer.Record([], time=None)}, 0, data_type="AB", info_size=0, block_size=0)
    return vf.to_bytes()


@pytest.mark.parametrize("positions", [REPORTS_PAST_END, REPORTS_PAST_END + 1])
def test_region_positions_past_the_end_are_bounded_like_records(tmp_path, reports, positions):
    path = save(tmp_path, regions_past_the_end(positions))
    if positions <= REPORTS_PAST_END:
        (region,) = vellkit.getVellData(path, SERIES).regions
        assert region.spectra.shape == (positions, 0)
        assert reports == [READ_DOUBLE] * positions
        return
    with pytest.raises(ValueError, match="records past the end of the file, more than a file cut short"):
        vellkit.getVellData(path, SERIES)
    assert reports == []


@pytest.mark.parametrize("second, error", [
    ("no record", KeyError), ("text X", ValueError), ("negative size", ValueError), ("float size", TypeError),
])
def test_a_later_region_fails_after_the_reports_of_those_before(tmp_path, reports, second, error):
    # Region 1 reads three positions whose times lie past the end of the
    # file; region 2 fails at its first row, after them.
    columns = list(writer.MULTI_REGION_COLUMNS)
    rows = [[1, 0, 0, 0, 0, 1, float(k), 0.0] for k in range(3)] + [[2, 0, 1, 1, 0, 1, 9.0, 0.0]]
    if second == "no record":
        rows[3][5] = 99
    elif second == "text X":
        columns[6] = ("X", 1004)
        rows = [r[:6] + [str(r[6])] + r[7:] for r in rows]
        rows[3][6] = "far"
    elif second == "negative size":
        rows[3][2] = -1
    else:
        columns[2] = ("AryNX", 5)  # region 1 takes 0.0 as a point list's
        rows[3][2] = 1.5
    vf = writer.VellFile(directory="start")
    vf.add_parameters(writer.multi_region_params(0, 1.0, 2.0), data_type="AB", extend_type=writer.EXTEND_3D)
    vf.add_annotation_block([writer.AnnotationTable(columns, rows)])
    vf.add_3d_block({1: writer.Record([], time=None)}, 0, data_type="AB", info_size=0, block_size=0)
    with pytest.raises(error):
        vellkit.getVellData(save(tmp_path, vf.to_bytes()), SERIES)
    assert reports == [READ_DOUBLE] * 3
