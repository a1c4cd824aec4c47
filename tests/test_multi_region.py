"""Multi-region maps and multi-region trace maps: forming regions from the
annotation table, their order and titles, the spectra and traces they pick,
and the errors of tables that do not fit the data block."""

import os
import re
import struct
import subprocess
import sys

import numpy as np
import pytest

from vellkit_tools import writer

import vellkit

from _helpers3d import (assert_array, last_block_file, read, report_names, reports, save,  # noqa: F401
                        stack_error, vals)

NPT = 5
INFO = writer.DEFAULT_INFO_SIZE


def row(group, findex, x=0.0, y=0.0, type=0, nx=0, ny=0, ary=0):
    return [group, type, nx, ny, ary, findex, x, y]


def table(rows, columns=writer.MULTI_REGION_COLUMNS):
    return writer.AnnotationTable(columns, rows)


def spectra_file(rows, indices=range(1, 21), columns=writer.MULTI_REGION_COLUMNS, **options):
    records = {i: writer.Record(vals(i, NPT), time=1000.0 + i) for i in indices}
    return writer.make_3d_file(records, NPT, writer.multi_region_params(NPT, 10.0, 50.0),
                               annotation=[table(rows, columns)], **options)


def regions(tmp_path, rows, kind="AB", **options):
    maker = trace_file if kind == "TRC" else spectra_file
    result = read(save(tmp_path, maker(rows, **options)), kind)
    return result.regions


def titles(found):
    return [r.title for r in found]


def test_point_list_regions(tmp_path):
    rows = [row(1, 4, 0.5, 9.0), row(1, 2, 1.5, 8.0), row(1, 7, 2.5, 7.0), row(2, 1, -1.0, 0.0), row(2, 3, -2.0, 0.0)]
    result = read(save(tmp_path, spectra_file(rows)))
    assert type(result).__name__ == "MultiRegionDataReturn"
    assert_array(result.x, np.linspace(10.0, 50.0, NPT), np.float64)
    first, second = result.regions
    assert (first.title, second.title) == ("Region 1 (3 points)", "Region 2 (2 points)")
    assert repr(result.regions) == "[Region 1 (3 points), Region 2 (2 points)]"
    assert_array(first.spectra, [vals(4, NPT), vals(2, NPT), vals(7, NPT)], np.float32)
    assert_array(first.mapX, [0.5, 1.5, 2.5], np.float64)
    assert_array(first.mapY, [9.0, 8.0, 7.0], np.float64)
    assert_array(first.start_time, [1004.0, 1002.0, 1007.0], np.float64)
    assert_array(second.spectra, [vals(1, NPT), vals(3, NPT)], np.float32)
    assert_array(second.start_time, [1001.0, 1003.0], np.float64)


@pytest.mark.parametrize("groups, order", [
    ([5, 10], [10, 5]),
    ([1, 8], [8, 1]),
    ([1, 2, 3], [1, 2, 3]),
    ([3, 2, 1], [1, 2, 3]),
    ([40, 7, 33, 1, 2, 9], list(set([40, 7, 33, 1, 2, 9]))),
])
@pytest.mark.parametrize("kind", ["AB", "TRC"])
def test_regions_follow_the_set_order_of_groups(tmp_path, groups, order, kind):
    rows = [row(g, k % NPT + 1, x=float(g)) for k, g in enumerate(groups)]
    found = regions(tmp_path, rows, kind)
    assert titles(found) == ["Region %d (1 points)" % g for g in order]
    assert [r.mapX.tolist() for r in found] == [[float(g)] for g in order]


@pytest.mark.native
@pytest.mark.parametrize("kind", ["AB", "TRC"])
@pytest.mark.parametrize("change", [None, "class", "__init__", "__code__"])
def test_regions_are_made_by_the_class_as_bound_at_the_call(tmp_path, monkeypatch, kind, change):
    # Regions are built natively only while Region is the class import made,
    # unchanged; any change is called as Python code would call it.
    calls = []
    original = vellkit.Region
    if change == "class":
        def make(**kwargs):
            calls.append(list(kwargs))
            return original(**kwargs)
        monkeypatch.setattr(vellkit, "Region", make)
    elif change == "__init__":
        init = original.__init__

        def traced(self, **kwargs):
            calls.append(list(kwargs))
            init(self, **kwargs)
        monkeypatch.setattr(original, "__init__", traced)
    elif change == "__code__":
        def init(self, title, mapX, mapY, start_time, spectra):
            self.title, self.mapX, self.mapY, self.start_time, self.spectra = title, mapX, mapY, start_time, spectra
            self.changed = True
        monkeypatch.setattr(original.__init__, "__code__", init.__code__)
    found = regions(tmp_path, [row(1, 1), row(2, 2)], kind)
    assert calls == [["title", "spectra", "mapX", "mapY", "start_time"]] * (2 if change in ("class", "__init__") else 0)
    names = ["title", "mapX", "mapY", "start_time", "spectra"] + (["changed"] if change == "__code__" else [])
    assert [(type(r), list(vars(r))) for r in found] == [(original, names)] * 2
    assert repr(found) == "[Region 1 (1 points), Region 2 (1 points)]"


def test_grid_region_takes_consecutive_rows(tmp_path):
    rows = [row(4, k + 1, x=float(k), y=-float(k), nx=3, ny=2, ary=1) for k in range(4)]
    rows += [row(6, 5, x=4.0), row(6, 6, x=5.0)]
    grid, points = regions(tmp_path, rows)
    assert (grid.title, points.title) == ("Region 4 (3 x 2)", "Region 6 (2 points)")
    assert_array(grid.spectra, [vals(k, NPT) for k in range(1, 7)], np.float32)
    assert_array(grid.mapX, [0.0, 1.0, 2.0, 3.0, 4.0, 5.0], np.float64)
    assert_array(grid.mapY, [0.0, -1.0, -2.0, -3.0, 0.0, 0.0], np.float64)
    assert_array(points.spectra, [vals(5, NPT), vals(6, NPT)], np.float32)


def test_point_count_counts_rows_anywhere(tmp_path):
    # group 1 has two rows, so its region is rows 0 and 1, whatever their group
    found = regions(tmp_path, [row(1, 3, x=1.0), row(2, 2, x=2.0), row(1, 9, x=3.0)])
    assert titles(found) == ["Region 1 (2 points)", "Region 2 (1 points)"]
    assert_array(found[0].spectra, [vals(3, NPT), vals(2, NPT)], np.float32)
    assert_array(found[0].mapX, [1.0, 2.0], np.float64)


def test_long_point_list_reading_spectra_again(tmp_path):
    rows = [row(3, 1 + k % 6, x=k * 0.25) for k in range(17)]
    (found,) = regions(tmp_path, rows)
    assert found.title == "Region 3 (17 points)"
    assert_array(found.spectra, [vals(1 + k % 6, NPT) for k in range(17)], np.float32)
    assert_array(found.start_time, [1001.0 + k % 6 for k in range(17)], np.float64)


@pytest.mark.parametrize("kind", ["AB", "TRC"])
def test_empty_grid_region(tmp_path, kind):
    rows = [row(5, 1, nx=0, ny=4, ary=1), row(7, 2, x=3.0)]
    found = regions(tmp_path, rows, kind)
    assert titles(found) == ["Region 5 (0 x 4)", "Region 7 (1 points)"]
    empty = found[0]
    assert_array(empty.mapX, np.zeros(0), np.float64)
    assert_array(empty.mapY, np.zeros(0), np.float64)
    if kind == "AB":
        assert_array(empty.start_time, np.zeros(0), np.float64)
        assert_array(empty.spectra, np.zeros((0, NPT)), np.float32)
    else:
        assert empty.start_time is None
        assert_array(empty.spectra, np.zeros((0, 2)), np.float32)


@pytest.mark.parametrize("kind", ["AB", "TRC"])
@pytest.mark.parametrize("types, kept", [([2, 0], [2]), ([0, -1], [1]), ([1, 3], [])])
def test_groups_of_other_types_are_skipped(tmp_path, kind, types, kept):
    rows = [row(1, 1, type=types[0]), row(2, 2, type=types[1])]
    assert titles(regions(tmp_path, rows, kind)) == ["Region %d (1 points)" % g for g in kept]


def test_time_counts_from_end_of_values(tmp_path):
    records = {i: writer.Record(vals(i, NPT), time=-1.0, info=bytes(128) + struct.pack("<d", i / 8.0))
               for i in (1, 2)}
    vf = writer.make_3d_file(records, NPT, writer.multi_region_params(NPT, 1.0, 2.0),
                             annotation=[table([row(1, 2), row(1, 1)])], block_size=4 * NPT + 8)
    (found,) = read(save(tmp_path, vf)).regions
    assert_array(found.start_time, [0.25, 0.125], np.float64)
    assert_array(found.spectra, [vals(2, NPT), vals(1, NPT)], np.float32)


FLOAT_GROUP = [("Group", 5)] + writer.MULTI_REGION_COLUMNS[1:]


@pytest.mark.parametrize("groups, title", [
    ([2.0, 2.0, 2.75], "Region 2.0 (2 points)"),
    ([-2.0, -2.0, -2.5], "Region -2.0 (2 points)"),
])
def test_float_groups_truncate_toward_zero(tmp_path, groups, title):
    rows = [row(g, k + 1) for k, g in enumerate(groups)]
    found = regions(tmp_path, rows, columns=FLOAT_GROUP)
    assert titles(found) == [title, title]
    for region in found:
        assert_array(region.spectra, [vals(1, NPT), vals(2, NPT)], np.float32)


def test_group_number_without_matching_row(tmp_path):
    path = save(tmp_path, spectra_file([row(5.0, 1), row(7.5, 2)], columns=FLOAT_GROUP))
    with pytest.raises(ValueError, match="^7 is not in list$"):
        read(path)


@pytest.mark.parametrize("columns, value", [
    ([("Group", 1004, 8)] + writer.MULTI_REGION_COLUMNS[1:], "1"),
    (writer.MULTI_REGION_COLUMNS[:2] + [("AryNX", 5)] + writer.MULTI_REGION_COLUMNS[3:], 2.0),
])
def test_non_integer_region_fields(tmp_path, columns, value):
    rows = [[value if c[0] in ("Group", "AryNX") else v for c, v in zip(columns, row(1, 1, ny=1, ary=1))]]
    with pytest.raises(TypeError):
        read(save(tmp_path, spectra_file(rows, columns=columns)))


def test_file_index_without_record(tmp_path):
    path = save(tmp_path, spectra_file([row(1, 2), row(1, 99)]))
    with pytest.raises(KeyError) as info:
        read(path)
    assert info.value.args == (99,)


def test_region_beyond_the_table(tmp_path):
    path = save(tmp_path, spectra_file([row(1, 1, nx=2, ny=2, ary=1), row(1, 2), row(1, 3)]))
    with pytest.raises(IndexError, match="^list index out of range$"):
        read(path)


MEMORY_PROBE = r"""
import resource, sys
import numpy as np
from vellkit_tools import writer
import vellkit
count = 20000 * 10000
rows = [[1, 0, 20000, 10000, 1, 1, 0.0, 0.0]] * 2
writer.make_3d_file({1: [1.0]}, 1, writer.multi_region_params(1, 1.0, 2.0),
                    annotation=[writer.AnnotationTable(writer.MULTI_REGION_COLUMNS, rows)]).write(sys.argv[1])
size = int([l for l in open("/proc/self/status") if l.startswith("VmSize")][0].split()[1]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + 7 * 10 ** 9, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    arrays = [np.zeros(count) for _ in range(3)] + [np.zeros((count, 1), np.float32)]
except MemoryError:
    sys.exit(3)
del arrays
try:
    vellkit.getVellData(sys.argv[1], ("AB", "3D", "NONE"))
except Exception as e:
    print(type(e).__name__, e)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
def test_huge_grid_needs_no_more_memory_than_its_arrays(tmp_path):
    # A 20000 x 10000 grid on a two-row table: the region's arrays (5.6 GB,
    # never touched) fit a 7 GB address space budget, and the third row
    # does not exist. The arrays are far more than an 864-byte file may ask
    # for by default, so the memory limit is raised for this run.
    paths = [os.path.dirname(vellkit.__file__), os.path.dirname(os.path.dirname(writer.__file__))]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), VELLKIT_MEMORY_LIMIT="16G")
    done = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(tmp_path / "grid.vell")], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    if done.returncode == 3:
        pytest.skip("numpy cannot allocate the region arrays here")
    assert (done.returncode, done.stdout) == (0, "IndexError list index out of range\n")


@pytest.mark.native
@pytest.mark.parametrize("side", [60000, 2 ** 31 - 1])
def test_huge_trace_grid_is_refused_by_the_limit_before_anything_is_allocated(tmp_path, side):
    # 60000 x 60000 positions: 26.8 GiB for each coordinate array; the
    # largest grid's arrays pass what numpy can address at all.
    path = save(tmp_path, trace_file([row(1, 1, nx=side, ny=side, ary=1)]))
    words = r"^%s: reading this file needs \d+ bytes of memory or more, past the limit of "
    with pytest.raises(MemoryError, match=words % re.escape(path)):
        read(path, "TRC")


def cut_file(kind, left, rows, count=3):
    records = {i: writer.Record(vals(i, NPT), time=7.0, label="t%d" % i) for i in range(1, count + 1)}
    data = last_block_file(records, NPT, writer.multi_region_params(NPT, 1.0, 2.0), data_type=kind,
                           annotation=[table(rows)])
    return data[:len(data) - INFO - 4 * NPT + left]


@pytest.mark.parametrize("values_left", [3, 1, 0])
def test_spectrum_cut_by_end_of_file(tmp_path, reports, values_left):
    path = save(tmp_path, cut_file("AB", 4 * values_left, [row(1, 1), row(1, 3)]))
    with pytest.raises(ValueError) as info:
        read(path)
    assert str(info.value) == "could not broadcast input array from shape (%d,) into shape (%d,)" % (
        values_left, NPT)


def test_time_cut_by_end_of_file(tmp_path, reports):
    path = save(tmp_path, cut_file("AB", 4 * NPT + 100, [row(1, 3), row(1, 1)]))
    (found,) = read(path).regions
    assert_array(found.start_time, [0.0, 7.0], np.float64)
    assert_array(found.spectra, [vals(3, NPT), vals(1, NPT)], np.float32)
    assert report_names(reports) == ["vellkit.readDouble"]


# ----------------------------------------------------------------------------
# Trace maps
# ----------------------------------------------------------------------------

TRACES = [np.array([1.0, 2.0, 3.0, 4.0, 5.0], np.float32), np.array([-1.0, -2.0, -3.0, -4.0, -5.0], np.float32)]


def trace_file(rows, labels=("Peak", "Area"), store_table=None, columns=writer.MULTI_REGION_COLUMNS, **options):
    records = [writer.Record(TRACES[k % 2] * (k + 1), label=label) for k, label in enumerate(labels)]
    return writer.make_3d_file(records, NPT, writer.multi_region_params(NPT, 1.0, 5.0), data_type="TRC",
                               annotation=[table(rows, columns)], store_table=store_table, **options)


@pytest.mark.native
@pytest.mark.parametrize("count", [1, 2, 3, 4, 5, 6, 7, 10])
def test_trace_regions_take_every_trace(tmp_path, count):
    # Each position's row holds one value of every trace, whatever the
    # number of traces.
    rows = [row(1, 5), row(1, 1), row(1, 4), row(2, 3), row(2, 2)]
    labels = ["T%d" % k for k in range(count)]
    traces = np.vstack([TRACES[k % 2] * (k + 1) for k in range(count)])
    first, second = regions(tmp_path, rows, "TRC", labels=labels)
    assert_array(first.spectra, [traces[:, 4], traces[:, 0], traces[:, 3]], np.float32)
    assert_array(second.spectra, [traces[:, 2], traces[:, 1]], np.float32)


def test_trace_regions_pick_values_by_file_index(tmp_path):
    rows = [row(1, 5, x=1.0), row(1, 1, x=2.0), row(2, 3, y=4.0)]
    labels = [b"Peak 1\0junk", "Int\u00e9gral".encode("utf-8"), b"x" * 64]
    result = read(save(tmp_path, trace_file(rows, labels, store_table=[[9, 9], [0, 1]])), "TRC")
    assert type(result).__name__ == "MultiRegionTRCDataReturn"
    assert result.labels == ["Peak 1", "Int\u00e9gral", "x" * 64]
    traces = np.vstack([TRACES[0], TRACES[1] * 2, TRACES[0] * 3])
    first, second = result.regions
    assert (first.title, second.title) == ("Region 1 (2 points)", "Region 2 (1 points)")
    assert_array(first.spectra, [traces[:, 4], traces[:, 0]], np.float32)
    assert_array(second.spectra, [traces[:, 2]], np.float32)
    assert_array(first.mapX, [1.0, 2.0], np.float64)
    assert_array(second.mapY, [4.0], np.float64)
    assert first.start_time is None and second.start_time is None


@pytest.mark.parametrize("findex", [0, -1, -5, NPT + 1, 100])
def test_trace_file_index_out_of_range(tmp_path, findex):
    path = save(tmp_path, trace_file([row(1, 1), row(1, findex)]))
    with pytest.raises(IndexError):
        read(path, "TRC")


def test_trace_block_without_records(tmp_path):
    path = save(tmp_path, trace_file([row(1, 1)], labels=(), store_table=[]))
    error, message = stack_error([])
    with pytest.raises(error, match="^%s$" % message):
        read(path, "TRC")


def test_trace_record_cut_by_end_of_file(tmp_path):
    path = save(tmp_path, cut_file("TRC", 8, [row(1, 1)]))
    error, message = stack_error([NPT, NPT, 2])
    with pytest.raises(error) as info:
        read(path, "TRC")
    assert str(info.value) == message


@pytest.mark.parametrize("seed", range(6))
def test_region_order_is_that_of_the_set_of_the_whole_group_column(tmp_path, seed):
    # Many rows, repeated and interleaved groups, values that collide in the
    # set's slots and make it grow: the order must be the interpreter's.
    rng = np.random.RandomState(seed)
    pool = rng.choice(np.arange(-40, 400), size=rng.randint(3, 30), replace=False).tolist()
    groups = [int(g) for g in rng.choice(pool, size=120)]
    rows = [row(g, 1) for g in groups]
    found = regions(tmp_path, rows, "AB", indices=[1])
    assert titles(found) == ["Region %d (%d points)" % (g, groups.count(g)) for g in set(groups)]
