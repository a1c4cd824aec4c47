"""Annotation tables of multi-region maps: column types, the shared length
of text fields, several tables, and damaged tables.

The table is observed through the regions it produces: "Fileindex" picks
the spectra, "X" and "Y" become the map coordinates."""

import os
import time

import numpy as np
import pytest

from vellkit_tools import writer

from _helpers3d import assert_array, read, report_names, reports, save, vals  # noqa: F401

NPT = 3
SHAPE = [("Group", 4), ("Type", 4), ("AryNX", 4), ("AryNY", 4), ("AryType", 4)]


def regions_file(tables, first=1, count=6, into=None):
    records = {i: writer.Record(vals(i, NPT), time=0.5 * i) for i in range(first, first + count)}
    return writer.make_3d_file(records, NPT, writer.multi_region_params(NPT, 1.0, 3.0),
                               annotation=tables, into=into)


def shapes(groups, types=None):
    """Table of the region-shape columns: point lists of the given groups."""
    types = types or [0] * len(groups)
    return writer.AnnotationTable(SHAPE, [[g, t, 0, 0, 0] for g, t in zip(groups, types)])


def points(findex, xs, ys):
    return writer.AnnotationTable([("Fileindex", 4), ("X", 5), ("Y", 5)], list(zip(findex, xs, ys)))


def only_region(path):
    result = read(path)
    assert type(result).__name__ == "MultiRegionDataReturn"
    assert len(result.regions) == 1
    return result.regions[0]


def test_columns_gathered_from_several_tables(tmp_path):
    region = only_region(save(tmp_path, regions_file([shapes([1, 1, 1]), points([3, 1, 2], [0.5, 1.5, 2.5],
                                                                                  [-1.0, -2.0, -3.0])])))
    assert region.title == "Region 1 (3 points)"
    assert_array(region.mapX, [0.5, 1.5, 2.5], np.float64)
    assert_array(region.mapY, [-1.0, -2.0, -3.0], np.float64)
    assert_array(region.spectra, [vals(3, NPT), vals(1, NPT), vals(2, NPT)], np.float32)


@pytest.mark.parametrize("later_first", [False, True])
def test_later_table_replaces_a_column(tmp_path, later_first):
    full = writer.AnnotationTable(writer.MULTI_REGION_COLUMNS,
                                  [[1, 0, 0, 0, 0, k + 1, float(k), 7.0] for k in range(3)])
    extra = writer.AnnotationTable([("X", 5)], [[10.0], [20.0], [30.0]])
    tables = [extra, full] if later_first else [full, extra]
    region = only_region(save(tmp_path, regions_file(tables)))
    assert_array(region.mapX, [0.0, 1.0, 2.0] if later_first else [10.0, 20.0, 30.0], np.float64)
    assert_array(region.mapY, [7.0] * 3, np.float64)


def test_replacing_column_with_fewer_rows(tmp_path):
    full = writer.AnnotationTable(writer.MULTI_REGION_COLUMNS,
                                  [[1, 0, 0, 0, 0, k + 1, float(k), 7.0] for k in range(3)])
    path = save(tmp_path, regions_file([full, writer.AnnotationTable([("Y", 5)], [[1.0], [2.0]])]))
    with pytest.raises(IndexError, match="^list index out of range$"):
        read(path)


def layout_table(columns, positions, row_length, rows):
    return writer.AnnotationTable(columns, rows, positions=positions, row_length=row_length)


def four_text_columns():
    # 4, 4, 1004, 1004 at 0, 4, 8, 24 in 40-byte rows: every text field takes
    # 32 bytes, so the second one reads the 32 bytes after its row and X and Y
    # come from the next row's X and Y fields.
    columns = [("Group", 4), ("Fileindex", 4), ("Title", 1004, 16), ("Note", 1004, 8), ("X", 5), ("Y", 5)]
    rows = [[1, k + 1, "t%d" % k, "n", 10.0 * k + 1.0, -k - 0.5] for k in range(4)]
    return layout_table(columns, [0, 4, 8, 24, 32, 36], 40, rows), [11.0, 21.0, 31.0], [-1.5, -2.5, -3.5]


def text_at_row_end():
    # a text column positioned at the row end has length 0 and shifts nothing
    columns = [("Group", 4), ("Fileindex", 4), ("Label", 1004, 0), ("X", 5), ("Y", 5)]
    rows = [[1, k + 1, "", 1.0 + k, 2.0 + k] for k in range(4)]
    return layout_table(columns, [0, 4, 16, 8, 12], 16, rows), [1.0, 2.0, 3.0], [2.0, 3.0, 4.0]


def swapped_positions():
    # fields are read one after the other: the claimed positions do not place them
    columns = [("Group", 4), ("Fileindex", 4), ("X", 5), ("Y", 5)]
    rows = [[1, k + 1, 1.0 + k, -1.0 - k] for k in range(4)]
    return layout_table(columns, [0, 4, 12, 8], 16, rows), [-1.0, -2.0, -3.0], [1.0, 2.0, 3.0]


def text_coordinates():
    # text values are cut at their first NUL byte and stored as numbers
    columns = [("Group", 4), ("Fileindex", 4), ("Y", 5), ("X", 1011, 16)]
    rows = [[1, k + 1, float(k), b"%d.5\0trailing" % k] for k in range(4)]
    return layout_table(columns, None, None, rows), [0.5, 1.5, 2.5], [0.0, 1.0, 2.0]


def repeated_name():
    # a name used twice in one table collects both columns' values, row by row
    columns = [("Group", 4), ("Fileindex", 4), ("X", 5), ("X", 5), ("Y", 5)]
    rows = [[1, k + 1, float(k), 10.0 + k, 5.0] for k in range(4)]
    return layout_table(columns, None, None, rows), [0.0, 10.0, 1.0], [5.0] * 3


@pytest.mark.parametrize("make", [four_text_columns, text_at_row_end, swapped_positions, text_coordinates,
                                  repeated_name])
def test_row_layouts(tmp_path, make):
    table, xs, ys = make()
    tables = [table, shapes([1, 1, 1, 2], types=[0, 0, 0, 1])]
    region = only_region(save(tmp_path, regions_file(tables)))
    assert region.title == "Region 1 (3 points)"
    assert_array(region.mapX, xs, np.float64)
    assert_array(region.mapY, ys, np.float64)
    assert_array(region.spectra, [vals(k, NPT) for k in (1, 2, 3)], np.float32)


def test_text_field_without_length_reads_to_end_of_file(tmp_path, reports):
    # the only text column starts beyond the row end: each text field reads
    # the rest of the file, so the floats after it fail and read as 0.0
    columns = [("Group", 4), ("Fileindex", 4), ("Note", 1005, 1), ("X", 5), ("Y", 5)]
    rows = [[1, k + 1, None, 9.0, 9.0] for k in range(3)]
    table = layout_table(columns, [0, 4, 30, 8, 8], 12, rows)
    region = only_region(save(tmp_path, regions_file([table, shapes([1, 1, 1])])))
    assert_array(region.mapX, [0.0] * 3, np.float64)
    assert_array(region.mapY, [0.0] * 3, np.float64)
    assert_array(region.spectra, [vals(k, NPT) for k in (1, 2, 3)], np.float32)
    assert report_names(reports) == ["vellkit.readFloat"] * 6


@pytest.mark.parametrize("code", [7, 0, 6, 1003])
def test_unknown_column_type(tmp_path, code):
    extra = writer.AnnotationTable([("Extra", code)], [[1]])
    path = save(tmp_path, regions_file([shapes([1]), points([1], [0.0], [0.0]), extra]))
    with pytest.raises(ValueError) as info:
        read(path)
    assert str(info.value) == "Unknown annotation data type %d" % code


def test_unknown_column_type_without_rows(tmp_path):
    extra = writer.AnnotationTable([("Extra", 7)], [])
    region = only_region(save(tmp_path, regions_file([shapes([1]), points([1], [4.0], [5.0]), extra])))
    assert_array(region.mapX, [4.0], np.float64)


def test_table_without_rows_gives_no_regions(tmp_path):
    result = read(save(tmp_path, regions_file([writer.AnnotationTable(writer.MULTI_REGION_COLUMNS, [])])))
    assert type(result).__name__ == "MultiRegionDataReturn"
    assert result.regions == []


def test_block_without_tables(tmp_path):
    with pytest.raises(KeyError) as info:
        read(save(tmp_path, regions_file([])))
    assert info.value.args == ("Group",)


def three_column_file(columns=writer.MULTI_REGION_COLUMNS):
    table = writer.AnnotationTable(columns, [[1, 0, 0, 0, 0, 1, 0.0, 0.0]])
    return regions_file([table]).to_bytes()


@pytest.mark.parametrize("key", [b"NRP", b"F00", b"SIZ", b"SRC", b"NCO", b"NLN", b"S03", b"F03", b"T03"])
def test_missing_table_key(tmp_path, key):
    data = three_column_file()
    # the table directory's F00 comes before the first column's F00
    data = data.replace(key + b"\0", b"Q" + key[1:] + b"\0", 1)
    with pytest.raises(KeyError) as info:
        read(save(tmp_path, data))
    assert info.value.args == (key.decode(),)


@pytest.mark.parametrize("column", ["Group", "Type", "AryNX", "AryNY", "AryType", "Fileindex", "X", "Y"])
def test_missing_region_column(tmp_path, column):
    columns = [(name + "_" if name == column else name, ctype) for name, ctype in writer.MULTI_REGION_COLUMNS]
    with pytest.raises(KeyError) as info:
        read(save(tmp_path, three_column_file(columns)))
    assert info.value.args == (column,)


def test_huge_row_count_fails_promptly(tmp_path):
    table = writer.AnnotationTable(writer.MULTI_REGION_COLUMNS, [[1, 0, 0, 0, 0, 1, 0.0, 0.0]],
                                   params=[("NLN", 2000000000)])
    data = regions_file([table]).to_bytes()
    assert len(data) < 2048
    path = save(tmp_path, data)
    start = time.process_time()  # the work done, which a loaded machine does not inflate
    with pytest.raises(ValueError):
        read(path)
    assert time.process_time() - start < 5.0


def test_rows_past_end_of_file_read_as_zeros(tmp_path, reports):
    # the annotation block ends the file and claims two rows more than it has
    table = writer.AnnotationTable(writer.MULTI_REGION_COLUMNS,
                                   [[1, 0, 0, 0, 0, k + 1, float(k), 1.0] for k in range(3)],
                                   params=[("NLN", 5)])
    vf = regions_file([table], first=0, count=4, into=writer.VellFile(directory="start"))
    result = read(save(tmp_path, vf))
    assert [r.title for r in result.regions] == ["Region 0 (2 points)", "Region 1 (3 points)"]
    zero, one = result.regions
    assert_array(zero.spectra, [vals(0, NPT)] * 2, np.float32)
    assert_array(zero.mapX, [0.0, 0.0], np.float64)
    assert_array(one.spectra, [vals(k, NPT) for k in (1, 2, 3)], np.float32)
    assert_array(one.mapX, [0.0, 1.0, 2.0], np.float64)
    assert report_names(reports) == (["vellkit.readInt"] * 6 + ["vellkit.readFloat"] * 2) * 2


TEXT_TABLE = [("Group", 4), ("Type", 4), ("AryNX", 4), ("AryNY", 4), ("AryType", 4), ("Fileindex", 4), ("X", 5),
              ("Y", 5), ("Note", 1004, 8), ("Tag", 1004, 4)]


@pytest.mark.parametrize("params, expected", [
    # Each value is read with the module's arithmetic on the file's numbers:
    # what an integer must be fails as range() or a seek fails with it ...
    ([("NCO", 10.0)], (TypeError, "'float' object cannot be interpreted as an integer")),
    ([("NLN", "1")], (TypeError, "'str' object cannot be interpreted as an integer")),
    ([("SIZ", 400.0)], (TypeError, "'float' object cannot be interpreted as an integer")),
    ([("SRC", 48.0)], (TypeError, "'float' object cannot be interpreted as an integer")),
    # ... a text's room to the row's end is row length - position ...
    ([("SRC", "x")], (TypeError, "unsupported operand type(s) for -: 'str' and 'int'")),
    ([("F08", "x")], (TypeError, "unsupported operand type(s) for -: 'int' and 'str'")),
    # ... a float room that is the greatest fails at the first text read ...
    ([("F08", 30.5)], (TypeError, "argument should be integer or None, not 'float'")),
    ([("T03", "ab")], (ValueError, "Unknown annotation data type ab")),
    # ... and where the module goes on with a float, so does the reading.
    ([("F08", 44.5)], 1),
    ([("SRC", 48.0), ("NLN", 0)], 0),
])
def test_values_plain_arithmetic_cannot_take(tmp_path, params, expected):
    table = writer.AnnotationTable(TEXT_TABLE, [[1, 0, 0, 0, 0, 1, 0.0, 0.0, b"a", b"b"]], params=params)
    path = save(tmp_path, regions_file([table]))
    if isinstance(expected, int):
        assert len(read(path).regions) == expected
        return
    with pytest.raises(expected[0]) as info:
        read(path)
    assert str(info.value) == expected[1]


# ----------------------------------------------------------------------------
# Annotation tables as tables: a DataFrame and a datatree node
# ----------------------------------------------------------------------------

def generic_file(tables):
    """An image map (its regions come from its grid) that carries an annotation block of its own."""
    return writer.make_3d_file([vals(i, NPT) for i in range(6)], NPT,
                               writer.image_map_params(NPT, 1.0, 3.0, npx=3, npy=2), annotation=tables)


@pytest.mark.native
def test_annotation_tables_read_as_tables(tmp_path):
    pd = pytest.importorskip("pandas")
    from vellkit_tools import annotations
    first = writer.AnnotationTable([("N", 4), ("V", 5), ("Note", 1004)], [[1, 0.5, "a"], [2, -1.5, "b/é"]])
    later = writer.AnnotationTable([("V", 5), ("W", 4)], [[7.25, 3], [8.0, 4]])
    path = save(tmp_path, generic_file([first, later]))
    table = annotations.read_annotations(path)
    assert list(table.columns) == ["N", "V", "Note", "W"]  # a later table's V replaces the first's
    assert [str(t) for t in table.dtypes[["N", "V", "W"]]] == ["int32", "float32", "int32"]
    assert pd.api.types.is_string_dtype(table["Note"])
    assert table["N"].tolist() == [1, 2] and table["V"].tolist() == [7.25, 8.0]
    assert table["Note"].tolist() == ["a", "b/é"]
    pd.testing.assert_frame_equal(table, __import__("vellkit_tools").read_annotations(path))
    xr = pytest.importorskip("xarray")
    if hasattr(xr, "DataTree"):
        from vellkit_tools import backend
        node = backend.open_datatree(path)["annotation_0"]
        assert node.N.dims == ("row",) and node.Note.values.tolist() == ["a", "b/é"]
    # Tables of other lengths: padded
    short = writer.AnnotationTable([("X", 5)], [[1.0]])
    padded = annotations.read_annotations(save(tmp_path, generic_file([first, short]), "padded.vell"))
    assert len(padded) == 2 and np.isnan(padded["X"][1])


@pytest.mark.native
def test_a_damaged_annotation_table_names_the_file_and_spares_the_tree(tmp_path):
    pytest.importorskip("pandas")
    from vellkit_tools import annotations
    bad = writer.AnnotationTable([("N", 4), ("Odd", 7)], [[1, 2]])
    path = save(tmp_path, generic_file([bad]))
    with pytest.raises(ValueError, match="%s: .*Unknown annotation data type 7|%s" % (path, path)):
        annotations.read_annotations(path)
    from vellkit_tools import _native
    for offset in (-1, os.path.getsize(path), 2 ** 62):
        with pytest.raises(ValueError, match="%s: no annotation block at byte" % path):
            _native.read_annotations(path, offset)
    with pytest.raises(ValueError, match="no annotation table"):
        annotations.read_annotations(save(tmp_path, writer.make_3d_file(
            [vals(0, NPT)], NPT, writer.image_map_params(NPT, 1.0, 3.0, npx=1, npy=1)), "none.vell"))
    xr = pytest.importorskip("xarray")
    if hasattr(xr, "DataTree"):
        from vellkit_tools import backend
        tree = backend.open_datatree(path)
        assert path in tree["annotation_0"].attrs["vellkit_problem"]
        assert tree["AB_3D_NONE"].spectra.shape == (2, 3, NPT)
