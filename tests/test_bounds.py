"""Counts and offsets at their limits: blocks of more records than one
vectored read takes, claims exactly at each bound on what a file can hold
and one past it, the last of several original mapping blocks, and record
offsets below zero in every 3D reader."""

import errno

import numpy as np
import pytest

from vellkit_tools import writer

import vellkit

import _model
from _helpers3d import DATA_OFFSET, patch_header, put_i32, save, vals

# Store-table rows and annotation rows that start past the end of the file
# are read (as zeros, reported) up to this many; records named may be as
# many as the file has bytes, no more.
ROWS_PAST_END = 16
RECORD_SLACK = 0
BLOCK_OFFSET = 8  # header field of a 3D data block


def compare(path, request):
    _model.assert_same(vellkit.getVellData(path, request), _model.get_vell_data(path, request))


# ----------------------------------------------------------------------------
# More records than one vectored read takes
# ----------------------------------------------------------------------------

def many_records(count, npt, kind):
    return [writer.Record(vals(k, npt), time=0.25 * k, label=("trace %d" % k) if kind == "TRC" else b"")
            for k in range(count)]


@pytest.mark.parametrize("count", [1500, 3000])
@pytest.mark.parametrize("family, kind", [("series", "AB"), ("series", "TRC"), ("map", "AB"), ("map", "TRC"),
                                          ("regions", "AB"), ("regions", "TRC")])
def test_blocks_of_thousands_of_records(tmp_path, count, family, kind):
    npt = 3
    if family == "series":
        vf = writer.make_3d_file(many_records(count, npt, kind), npt, writer.time_resolved_params(npt, 1.0, 2.0),
                                 data_type=kind)
    elif family == "map":
        npt = 30 if kind == "TRC" else npt  # a trace map holds one value per grid position
        vf = writer.make_3d_file(many_records(count, npt, kind), npt,
                                 writer.image_map_params(npt, 1.0, 2.0, 6 if kind == "TRC" else 50,
                                                         5 if kind == "TRC" else count // 50), data_type=kind)
    else:
        table, indices = writer.multi_region_table([{"points": [(k, 0.5 * k) for k in range(count // 3)]},
                                                    {"nx": 10, "ny": count // 30}, {"points": [(1.0, 2.0)] * 7}])
        if kind == "TRC":
            npt = len(indices)
            records = many_records(count, npt, kind)
        else:
            records = {i: writer.Record(vals(i, npt), time=0.5 * i) for i in indices}
        vf = writer.make_3d_file(records, npt, writer.multi_region_params(npt, 1.0, 2.0), data_type=kind,
                                 annotation=[table])
    path = save(tmp_path, vf)
    compare(path, (kind, "3D", "NONE"))
    result = vellkit.getVellData(path, (kind, "3D", "NONE"))
    if family == "series":
        values = result.traces if kind == "TRC" else result.spectra
        assert values.shape == (count, npt)
        np.testing.assert_array_equal(values[-1], vals(count - 1, npt))


# ----------------------------------------------------------------------------
# Claims at each bound and one past it
# ----------------------------------------------------------------------------

def store_table_at_end(rows_claimed):
    """A series whose 3D block ends the file, 169 bytes from its store table on (not a multiple of 8)."""
    npt, info = 1, 157
    vf = writer.VellFile(directory="start", align=1)
    vf.add_parameters(writer.time_resolved_params(npt, 1.0, 2.0), data_type="AB", extend_type=writer.EXTEND_3D)
    block = vf.add_3d_block([writer.Record([0.0])], npt, data_type="AB", info_size=info)
    data = vf.to_bytes()
    assert len(data) - (block + 24) == 169
    return patch_header(data, 20, rows_claimed, data_offset=block), block


def test_store_table_rows_at_the_bound(tmp_path, reports):
    rows_in_file = -(-169 // 8)  # a partial row counts as a row
    data, _ = store_table_at_end(rows_in_file + ROWS_PAST_END)
    path = save(tmp_path, data)
    compare(path, ("AB", "3D", "NONE"))
    assert reports  # the rows past the end were reported


def test_store_table_rows_past_the_bound(tmp_path):
    claim = -(-169 // 8) + ROWS_PAST_END + 1
    data, block = store_table_at_end(claim)
    with pytest.raises(ValueError, match="^3D data block at offset %d claims %d store table entries" % (block, claim)):
        vellkit.getVellData(save(tmp_path, data), ("AB", "3D", "NONE"))


def named_records(extra):
    """A trace series of NPT 0 whose one run names file size + slack + ``extra`` records."""
    vf = writer.make_3d_file([writer.Record([], label="a")], 0, writer.time_resolved_params(0, 1.0, 2.0),
                             data_type="TRC", info_size=160)
    data = vf.to_bytes()
    count = len(data) + RECORD_SLACK + extra
    return put_i32(data, DATA_OFFSET + 24 + 4, count - 1), count


def test_records_named_at_the_bound(tmp_path):
    data, count = named_records(0)
    result = vellkit.getVellData(save(tmp_path, data), ("TRC", "3D", "NONE"))
    assert result.traces.shape == (count, 0)
    assert result.labels[0] == "a" and len(result.labels) == count


def test_records_named_past_the_bound(tmp_path):
    data, count = named_records(1)
    path = save(tmp_path, data)
    with pytest.raises(ValueError) as info:
        vellkit.getVellData(path, ("TRC", "3D", "NONE"))
    assert str(info.value) == ("%s: 3D data block at offset %d names %d records, more than the file has bytes: "
                               "the file is damaged" % (path, DATA_OFFSET, count))


def annotation_at_end(extra_rows):
    """A multi-region map whose annotation rows end the file, with a partial row after the last whole one.

    Returns the file and the claimed row count: the rows the file holds
    (the partial one included), the rows read past the end, and ``extra_rows``.
    """
    table, indices = writer.multi_region_table([{"points": [(0.0, 1.0), (2.0, 3.0), (4.0, 5.0)]}], first_index=0)
    records = {i: writer.Record(vals(i, 4), time=1.0 + i) for i in indices}

    def build(row_length, claim):
        annotation = writer.AnnotationTable(writer.MULTI_REGION_COLUMNS, table.rows, row_length=row_length,
                                            params=[("NLN", claim)])
        vf = writer.make_3d_file(records, 4, writer.multi_region_params(4, 1.0, 2.0), annotation=[annotation],
                                 into=writer.VellFile(directory="start"))
        data = vf.to_bytes()
        return data, len(data) - data.rindex(annotation.encode_rows())

    for row_length in (34, 35, 36, 37):
        _, left = build(row_length, 0)
        if left % row_length:
            break
    claim = -(-left // row_length) + ROWS_PAST_END + extra_rows
    data, _ = build(row_length, claim)
    return data, claim


def test_annotation_rows_at_the_bound(tmp_path, reports):
    data, _ = annotation_at_end(0)
    path = save(tmp_path, data)
    compare(path, ("AB", "3D", "NONE"))
    assert reports


def test_annotation_rows_past_the_bound(tmp_path):
    data, claim = annotation_at_end(1)
    with pytest.raises(ValueError, match="^annotation table at offset \\d+ claims %d rows" % claim):
        vellkit.getVellData(save(tmp_path, data), ("AB", "3D", "NONE"))


# ----------------------------------------------------------------------------
# The last original mapping block wins
# ----------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["AB", "TRC"])
def test_last_original_mapping_block_wins(tmp_path, capsys, kind):
    npt = 6
    own = writer.image_map_params(npt, 1.0, 2.0, 0, 0)
    first = writer.image_map_params(npt, 1.0, 2.0, 6, 1, aox=100.0)
    last = writer.image_map_params(npt, 1.0, 2.0, 3, 2, aox=5.0, aoy=7.0, ddx=0.5, ddy=2.0)
    vf = writer.make_3d_file([vals(k, npt) for k in range(3)], npt, own, data_type=kind, deriv="1DER",
                             original_params=first)
    vf.add_parameters(last, data_type=kind, extend_type=writer.EXTEND_3D)
    path = save(tmp_path, vf)
    result = vellkit.getVellData(path, (kind, "3D", "1DER"))
    assert capsys.readouterr().out == "Orignal mapping coordinates used\n"
    np.testing.assert_array_equal(result.mapX, [5.0, 5.5, 6.0])
    np.testing.assert_array_equal(result.mapY, [7.0, 9.0])
    assert (result.parameters["NPX"], result.parameters["NPY"], result.parameters["AOX"]) == (3, 2, 5.0)
    compare(path, (kind, "3D", "1DER"))
    capsys.readouterr()


# ----------------------------------------------------------------------------
# Record offsets below zero
# ----------------------------------------------------------------------------

def negative_offset_file(family, kind, npt):
    records = [writer.Record(vals(k, npt), label="t") for k in range(4)]
    annotation = None
    if family == "map":
        params = writer.image_map_params(npt, 1.0, 2.0, 2, 2)
    elif family == "series":
        params = writer.time_resolved_params(npt, 1.0, 2.0)
    else:
        params = writer.multi_region_params(npt, 1.0, 2.0)
        annotation = [writer.multi_region_table([{"points": [(0.0, 0.0), (1.0, 1.0)]}])[0]]
    data = writer.make_3d_file(records, npt, params, data_type=kind, annotation=annotation, first_index=1).to_bytes()
    return patch_header(data, BLOCK_OFFSET, -DATA_OFFSET - 1000)


@pytest.mark.parametrize("npt", [0, 4])
@pytest.mark.parametrize("kind", ["AB", "TRC"])
@pytest.mark.parametrize("family", ["map", "series", "regions"])
def test_negative_record_offset_raises_the_seek_error(tmp_path, family, kind, npt):
    path = save(tmp_path, negative_offset_file(family, kind, npt))
    with pytest.raises(OSError) as info:
        vellkit.getVellData(path, (kind, "3D", "NONE"))
    assert info.value.errno == errno.EINVAL
