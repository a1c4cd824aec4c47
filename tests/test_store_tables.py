"""3D data blocks: store table layouts, the choice of reader and the limits
on the counts a file may claim.

Record order is observed through time-resolved series, whose rows follow the
order in which the store table names the records."""

import struct
import time

import numpy as np
import pytest

from vellkit_tools import writer

from _helpers3d import (DATA_OFFSET, NUMBER_ENTRIES, TABLE, assert_array,
                        patch_header, put_i32, read, report_names, reports, save, vals)  # noqa: F401

NPT = 4
INFO = writer.DEFAULT_INFO_SIZE
RECORD = 4 * NPT + INFO


def slot_time(slot):
    return 1000.0 - 12.5 * slot


def series(tmp_path, store_table, **options):
    """A time-resolved file whose j-th written record (slot j) holds vals(j) and slot_time(j)."""
    slots = sum(b - a + 1 for a, b in store_table if a != -1 and b >= a)
    records = [writer.Record(vals(j, NPT), time=slot_time(j)) for j in range(slots)]
    params = writer.time_resolved_params(NPT, 10.0, 40.0)
    return writer.make_3d_file(records, NPT, params, store_table=store_table, **options).to_bytes()


def assert_slots(result, slots):
    assert_array(result.spectra, [vals(j, NPT) for j in slots] or np.zeros((0, NPT)), np.float32)
    assert_array(result.z, [slot_time(j) for j in slots], np.float64)


@pytest.mark.parametrize("table, slots", [
    ([[0, 2]], [0, 1, 2]),
    ([[0, 1], [-1, 50], [2, 2]], [0, 1, 2]),
    ([[2, 2], [-1, 0], [1, 1]], [0, 1]),
    ([[10, 12], [0, 1]], [0, 1, 2, 3, 4]),
    ([[0, 1], [5, 4], [2, 3]], [0, 1, 2, 3]),
    # a repeated index keeps its first position and takes the later offset
    ([[0, 2], [1, 1]], [0, 3, 2]),
    ([[3, 3], [0, 1], [3, 3], [-1, 8], [0, 0]], [3, 4, 2]),
    ([[-1, 12], [7, 7], [-1, 4], [7, 8]], [1, 2]),
], ids=["run", "gap", "empty-gap", "reversed-runs", "second-below-first", "repeat",
        "repeats-and-gap", "leading-gap"])
def test_records_follow_the_store_table(tmp_path, table, slots):
    result = read(save(tmp_path, series(tmp_path, table)))
    assert type(result).__name__ == "TimeResolvedDataReturn"
    assert_slots(result, slots)


@pytest.mark.parametrize("block_offset", [None, 200, 1000])
def test_record_area_starts_at_the_block_offset(tmp_path, block_offset):
    data = series(tmp_path, [[0, 1], [-1, 20], [2, 2]], block_offset=block_offset)
    assert_slots(read(save(tmp_path, data)), [0, 1, 2])


def test_negative_gap_moves_back(tmp_path):
    data = series(tmp_path, [[0, 0], [-1, 0], [1, 1]])
    # the gap row is the second row of the table: a gap of minus one record
    data = put_i32(data, DATA_OFFSET + TABLE + 12, -RECORD)
    assert_slots(read(save(tmp_path, data)), [0, 0])


@pytest.mark.parametrize("entries", [0, -3])
@pytest.mark.parametrize("kind, params, outcome", [
    ("AB", writer.time_resolved_params(NPT, 1.0, 2.0), "vstack"),
    ("TRC", writer.time_resolved_params(NPT, 1.0, 2.0), "vstack"),
    ("TRC", writer.image_map_params(NPT, 1.0, 2.0, 2, 2), "dstack"),
    ("AB", writer.image_map_params(NPT, 1.0, 2.0, 2, 2), "zeros"),
])
def test_store_table_without_rows(tmp_path, entries, kind, params, outcome):
    data = writer.make_3d_file([], NPT, params, data_type=kind, store_table=[]).to_bytes()
    path = save(tmp_path, patch_header(data, NUMBER_ENTRIES, entries))
    if outcome == "zeros":
        assert_array(read(path, kind).spectra, np.zeros((2, 2, NPT)), np.float32)
    else:
        with pytest.raises(ValueError, match="^need at least one array to concatenate$"):
            read(path, kind)


def test_truncated_store_table_reads_zero_rows(tmp_path, reports):
    # Four records lie before the 3D block, which ends the file; its header
    # claims three store table rows but only [1, 2] is in the file.  The
    # missing rows read as [0, 0] twice: index 0 takes the third slot, then
    # the fourth.
    vf = writer.VellFile(directory="start")
    vf.add_parameters(writer.time_resolved_params(NPT, 1.0, 2.0), data_type="AB",
                      extend_type=writer.EXTEND_3D)
    area = vf.add_bytes(b"".join(writer.Record(vals(j, NPT), time=slot_time(j)).encode(4 * NPT, INFO)
                                 for j in range(4)))
    start = vf.next_offset
    block = struct.pack("<6i", 0, 4, area - start, 4 * NPT, INFO, 3) + struct.pack("<2i", 1, 2)
    vf.add_block(block, writer.block_type("AB", param_type=0, extend_type=writer.EXTEND_3D))
    data = vf.to_bytes()
    assert len(data) == start + len(block)
    assert_slots(read(save(tmp_path, data)), [0, 1, 3])
    assert report_names(reports) == ["vellkit.readInt"] * 4


# ----------------------------------------------------------------------------
# Choice of reader
# ----------------------------------------------------------------------------

MAPPING = ("AOX", "AOY", "NPX", "NPY", "DDX", "DDY")


def region_table():
    table, _ = writer.multi_region_table([{"points": [(0.0, 0.0), (1.0, 0.0), (2.0, 0.0), (3.0, 0.0)]}])
    return table


def broken_table():
    """An annotation table that fails whenever it is read."""
    return writer.AnnotationTable([("Group", 7)], [[1]])


def measurement(kind, names, annotation=None, split=False):
    """Four records indexed 1..4, NPT 4, parameters holding the mapping ``names`` (2 x 2 grid)."""
    records = [writer.Record(vals(k, NPT), time=float(k), label="t%d" % k) for k in range(4)]
    mapping = dict(writer.image_map_params(NPT, 1.0, 4.0, 2, 2)[5:])
    own = writer.spectral_params(NPT, 1.0, 4.0) + [(n, mapping[n]) for n in names if not split or n[:2] != "NP"]
    acquisition = [(n, mapping[n]) for n in names if split and n[:2] == "NP"] or None
    return writer.make_3d_file(records, NPT, own, data_type=kind, first_index=1,
                               acquisition=acquisition, annotation=annotation)


@pytest.mark.parametrize("kind, suffix", [("AB", ""), ("TRC", "TRC")])
@pytest.mark.parametrize("names, annotation, family", [
    (MAPPING, None, "Image"),
    (MAPPING, [broken_table()], "Image"),
    (MAPPING[:5], [region_table()], "MultiRegion"),
    (MAPPING[1:], [region_table()], "MultiRegion"),
    (("AOX", "AOY", "NPX", "NPY", "DDX"), None, "TimeResolved"),
    ((), None, "TimeResolved"),
], ids=["map", "map-with-annotation", "no-DDY", "no-AOX", "no-DDY-no-annotation", "none"])
def test_reader_choice(tmp_path, kind, suffix, names, annotation, family):
    result = read(save(tmp_path, measurement(kind, names, annotation)), kind)
    assert type(result).__name__ == family + suffix + "DataReturn"
    assert (result.dimension, result.dataType, result.derivative) == ("3D", kind, "NONE")


def test_mapping_names_from_another_parameter_block(tmp_path):
    result = read(save(tmp_path, measurement("AB", MAPPING, [region_table()], split=True)))
    assert type(result).__name__ == "ImageDataReturn"
    assert (result.parameters["NPX"], result.parameters["NPY"]) == (2, 2)
    assert_array(result.spectra, [[vals(0, NPT), vals(1, NPT)], [vals(2, NPT), vals(3, NPT)]], np.float32)


@pytest.mark.parametrize("name", ["NPT", "FXV", "LXV", "MXY", "MNY"])
def test_missing_spectral_parameter(tmp_path, name):
    params = [p for p in writer.time_resolved_params(NPT, 1.0, 2.0) if p[0] != name]
    path = save(tmp_path, writer.make_3d_file([vals(0, NPT)], NPT, params))
    with pytest.raises(KeyError) as info:
        read(path)
    assert info.value.args == (name,)


# ----------------------------------------------------------------------------
# Counts that cannot be real
# ----------------------------------------------------------------------------

HUGE = 2000000000


def small_file(kind, family):
    records = [writer.Record(vals(k, NPT), label="t") for k in range(2)]
    if family == "map":
        params = writer.image_map_params(NPT, 1.0, 2.0, 2, 2)
    else:
        params = writer.multi_region_params(NPT, 1.0, 2.0)
    annotation = [region_table()] if family == "regions" else None
    return writer.make_3d_file(records, NPT, params, data_type=kind, annotation=annotation,
                               first_index=1).to_bytes()


@pytest.mark.parametrize("kind", ["AB", "TRC"])
@pytest.mark.parametrize("family", ["series", "map", "regions"])
@pytest.mark.parametrize("claim", ["entries", "run"])
def test_huge_store_table_claims_fail_promptly(tmp_path, kind, family, claim):
    data = small_file(kind, family)
    assert len(data) < 2048
    if claim == "entries":
        data = patch_header(data, NUMBER_ENTRIES, HUGE)
    else:
        data = put_i32(data, DATA_OFFSET + TABLE + 4, HUGE)
    path = save(tmp_path, data)
    start = time.process_time()  # the work done, which a loaded machine does not inflate
    with pytest.raises(ValueError):
        read(path, kind)
    assert time.process_time() - start < 5.0

