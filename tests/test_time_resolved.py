"""Time-resolved spectra and traces: row order, time axis, labels, and the
records cut by the end of the file."""

import struct
import sys

import numpy as np
import pytest

from vellkit_tools import writer

from _helpers3d import (assert_array, last_block_file, read, report_names, reports, save,  # noqa: F401
                        stack_error, vals)

NPT = 6
INFO = writer.DEFAULT_INFO_SIZE
RECORD = 4 * NPT + INFO


def params(npt=NPT, **kw):
    return writer.time_resolved_params(npt, 1200.0, 800.0, mny=-3.5, mxy=99.0, **kw)


def series(times, npt=NPT, kind="AB", labels=None, **options):
    records = [writer.Record(vals(k, npt), time=t, label=(labels or {}).get(k, b""))
               for k, t in enumerate(times)]
    return writer.make_3d_file(records, npt, params(npt), data_type=kind, **options)


def test_spectra_and_times(tmp_path):
    result = read(save(tmp_path, series([0.0, 1.5, 3.25])))
    assert type(result).__name__ == "TimeResolvedDataReturn"
    assert_array(result.spectra, [vals(k, NPT) for k in range(3)], np.float32)
    assert_array(result.z, [0.0, 1.5, 3.25], np.float64)
    assert_array(result.x, np.linspace(1200.0, 800.0, NPT), np.float64)
    assert (result.minY, result.maxY, result.parameters["ZTX"]) == (-3.5, 99.0, "Seconds")


def test_times_stay_in_store_table_order(tmp_path):
    records = {5: writer.Record(vals(5, NPT), time=50.0), 6: writer.Record(vals(6, NPT), time=60.0),
               0: writer.Record(vals(0, NPT), time=-1.0)}
    vf = writer.make_3d_file(records, NPT, params(), store_table=[[5, 6], [0, 0]])
    result = read(save(tmp_path, vf))
    assert_array(result.z, [50.0, 60.0, -1.0], np.float64)
    assert_array(result.spectra, [vals(5, NPT), vals(6, NPT), vals(0, NPT)], np.float32)


def test_single_point_spectra(tmp_path):
    result = read(save(tmp_path, series([1.0, 2.0, 3.0, 4.0], npt=1)))
    assert_array(result.spectra, [[vals(k, 1)[0]] for k in range(4)], np.float32)
    assert_array(result.x, [1200.0], np.float64)


def test_time_counts_from_end_of_values_not_from_block_size(tmp_path):
    # blockSize leaves 16 bytes after the values: the time is read 136 bytes
    # after the values, 16 bytes before where the info record keeps it
    records = [writer.Record(vals(k, NPT), time=-7.0, info=bytes(120) + struct.pack("<d", 0.5 + k))
               for k in range(2)]
    vf = writer.make_3d_file(records, NPT, params(), block_size=4 * NPT + 16)
    result = read(save(tmp_path, vf))
    assert_array(result.z, [0.5, 1.5], np.float64)
    assert_array(result.spectra, [vals(0, NPT), vals(1, NPT)], np.float32)


@pytest.mark.parametrize("kind", ["AB", "TRC"])
def test_no_records(tmp_path, kind):
    path = save(tmp_path, series([], kind=kind, store_table=[]))
    error, message = stack_error([])
    with pytest.raises(error, match="^%s$" % message):
        read(path, kind)


@pytest.mark.parametrize("kind", ["AB", "TRC"])
@pytest.mark.parametrize("left", [2, 0])
def test_last_record_cut_short(tmp_path, reports, kind, left):
    records = [writer.Record(vals(k, NPT), time=1.0, label="t") for k in range(3)]
    data = last_block_file(records, NPT, params(), data_type=kind)
    path = save(tmp_path, data[:len(data) - RECORD + 4 * left])
    error, message = stack_error([NPT, NPT, left])
    with pytest.raises(error) as info:
        read(path, kind)
    assert str(info.value) == message
    # the time behind the cut values is a failed read, the label is not
    assert report_names(reports) == (["vellkit.readDouble"] if kind == "AB" else [])


@pytest.mark.parametrize("keep", [140, 100, 0])
def test_time_cut_by_end_of_file_reads_zero(tmp_path, reports, keep):
    records = [writer.Record(vals(k, NPT), time=2.5 + k) for k in range(2)]
    data = last_block_file(records, NPT, params())
    result = read(save(tmp_path, data[:len(data) - INFO + keep]))
    assert_array(result.z, [2.5, 0.0], np.float64)
    assert_array(result.spectra, [vals(0, NPT), vals(1, NPT)], np.float32)
    assert report_names(reports) == ["vellkit.readDouble"]


def test_time_cut_report_on_stderr(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
    data = last_block_file([writer.Record(vals(0, NPT), time=9.0)], NPT, params())
    result = read(save(tmp_path, data[:-INFO + 140]))
    assert_array(result.z, [0.0], np.float64)
    out, err = capsys.readouterr()
    assert out == ""
    assert err.count("Exception ignored in: 'vellkit.readDouble'") == 1
    assert "unpack requires a buffer of 8 bytes" in err


# ----------------------------------------------------------------------------
# Traces
# ----------------------------------------------------------------------------

def test_traces_and_labels(tmp_path):
    vf = series([0.0, 0.0, 0.0], kind="TRC", labels={0: "Peak 1", 1: "Area", 2: b"x\0y"},
                store_table=[[4, 4], [1, 2]])
    result = read(save(tmp_path, vf), "TRC")
    assert type(result).__name__ == "TimeResolvedTRCDataReturn"
    assert result.labels == ["Peak 1", "Area", "x"]
    assert_array(result.traces, [vals(k, NPT) for k in range(3)], np.float32)
    assert_array(result.x, np.linspace(1200.0, 800.0, NPT), np.float64)


@pytest.mark.parametrize("label, text", [
    (b"", ""),
    (b"\0abc", ""),
    (b"a" * 64, "a" * 64),
    (b"Schw\xc3\xa4che\0\xff", "Schwäche"),
    (b"caf\xe9", "caf\xe9"),
    (b"tab\there", "tab\there"),
], ids=["empty", "leading-nul", "no-nul", "utf8", "latin1", "control"])
def test_trace_label_decoding(tmp_path, label, text):
    result = read(save(tmp_path, series([0.0, 0.0], kind="TRC", labels={1: label})), "TRC")
    assert result.labels == ["", text]


@pytest.mark.parametrize("info_size, text", [(152, ""), (156, "abcd"), (400, "abcdefgh")])
def test_label_field_length_follows_info_size(tmp_path, info_size, text):
    vf = series([0.0], kind="TRC", labels={0: b"abcdefgh"}, info_size=info_size)
    assert read(save(tmp_path, vf), "TRC").labels == [text]


def test_short_info_record_reads_label_to_end_of_file(tmp_path):
    # infoSize 100 < 152: each name starts 152 bytes after the values, 88
    # bytes into the info record (blockSize is 4 * NPT + 64), and runs to
    # the first NUL byte, here in the next record's values; the last one has
    # no NUL before the end of the file.
    nxt = np.frombuffer(b"QRST" + b"UV\0\0" + bytes(4 * NPT - 8), np.float32)
    records = [writer.Record(vals(0, NPT), time=None, info=bytes(88) + b"ABCDEFGHIJKL"),
               writer.Record(nxt, time=None, info=bytes(88) + b"0123456789+-")]
    data = last_block_file(records, NPT, params(), data_type="TRC", block_size=4 * NPT + 64, info_size=100)
    result = read(save(tmp_path, data), "TRC")
    assert result.labels == ["ABCDEFGHIJKLQRSTUV", "0123456789+-"]
    assert_array(result.traces, [vals(0, NPT), nxt], np.float32)
