"""Regions of multi-region maps and trace maps against a model of the
reading rules written with Python's own objects: a list per column, the set
of the group values, list.index and list.count. The tables mix what the
reader plans on plain numbers (integers, floats, -0.0, groups that collide in
the set's slots, many groups) with what it leaves to Python objects
(columns given twice, texts), and both must give the same regions, or the
same error."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vellkit_tools import writer

import vellkit
from _model import region_spans

NPT = 4
INDICES = range(1, 13)
COLUMNS = writer.MULTI_REGION_COLUMNS
FLOAT_GROUP = [("Group", 5)] + COLUMNS[1:]
TRACES = np.arange(2 * len(INDICES), dtype=np.float32).reshape(2, len(INDICES)) * 3.5 + 1.0


def spectrum(k):
    return (np.arange(NPT) * 2.0 + 10.0 * k).astype(np.float32)


def write(tmp_path, tables, kind):
    if kind == "TRC":
        records = [writer.Record(TRACES[t], label="T%d" % t) for t in range(len(TRACES))]
        vf = writer.make_3d_file(records, len(INDICES), writer.multi_region_params(len(INDICES), 1.0, 2.0),
                                 data_type="TRC", annotation=tables)
    else:
        records = {i: writer.Record(spectrum(i), time=500.0 + i) for i in INDICES}
        vf = writer.make_3d_file(records, NPT, writer.multi_region_params(NPT, 1.0, 2.0), annotation=tables)
    path = tmp_path / ("%s.vell" % kind)
    vf.write(str(path))
    return str(path)


def stored(ctype, value):
    """A cell as the reader gives it back."""
    if ctype == 4:
        return int(value)
    if ctype == 5:
        return float(np.float32(value))
    return str(value)


def model(tables, kind):
    """(title, [(Fileindex, X, Y), ...]) per region, or the exception class."""
    ann = {}
    for t in tables:
        for name, _, _ in t.columns:
            ann[name] = []
        for r in t.rows:
            for (name, ctype, _), value in zip(t.columns, r):
                ann[name].append(stored(ctype, value))
    try:
        regions = []
        for first, count, title in region_spans(ann):
            positions = []
            for j in range(first, first + count):
                findex = ann["Fileindex"][j]
                positions.append((findex, ann["X"][j], ann["Y"][j]))
                if kind == "AB" and findex not in INDICES:
                    raise KeyError(findex)
                if kind == "TRC" and not 1 <= findex <= len(INDICES):
                    raise IndexError(findex)
            regions.append((title, positions))
        return regions
    except (KeyError, IndexError, ValueError) as exc:
        return type(exc)


def check(tmp_path, tables, kind):
    expected = model(tables, kind)
    path = write(tmp_path, tables, kind)
    if isinstance(expected, type):
        with pytest.raises(expected):
            vellkit.getVellData(path, (kind, "3D", "NONE"))
        return
    found = vellkit.getVellData(path, (kind, "3D", "NONE")).regions
    assert [r.title for r in found] == [title for title, _ in expected]
    for region, (_, positions) in zip(found, expected):
        findex = [p[0] for p in positions]
        assert region.mapX.dtype == region.mapY.dtype == np.float64
        assert region.mapX.tolist() == [p[1] for p in positions]
        assert region.mapY.tolist() == [p[2] for p in positions]
        assert region.spectra.dtype == np.float32
        if kind == "TRC":
            assert region.start_time is None
            want = TRACES[:, [i - 1 for i in findex]].T.reshape(len(findex), len(TRACES))
        else:
            assert region.start_time.tolist() == [500.0 + i for i in findex]
            want = np.array([spectrum(i) for i in findex], np.float32).reshape(len(findex), NPT)
        assert region.spectra.shape == want.shape
        assert region.spectra.tobytes() == want.tobytes()


def points(groups, findex=None):
    """One point-list row per group value."""
    return [[g, 0, 0, 0, 0, findex or INDICES[k % len(INDICES)], float(k), -0.5 * k] for k, g in enumerate(groups)]


@pytest.mark.parametrize("kind", ["AB", "TRC"])
@pytest.mark.parametrize("groups, columns", [
    ([8, 16, 0, 24, -8, 8, 40], COLUMNS),         # one slot of eight for all
    ([-1, -2, 1, 2, -1, 1], COLUMNS),             # -1 hashes as -2
    ([32, 64, 1, 33, 0, 96, 65], COLUMNS),        # collide again after the table grows
    (list(range(300, 0, -1)), COLUMNS),           # many groups: the set grows several times
    ([-(2 ** 31), 2 ** 31 - 1, 0], COLUMNS),       # the ends of int32
    ([5.0, 5.0, -3.0, 7.0], FLOAT_GROUP),
    ([-0.0, 0.0, 0.0], FLOAT_GROUP),              # titled -0.0, one region
    ([0.0, -0.0], FLOAT_GROUP),
    ([2.5, 2.0, -2.75, -2.0], FLOAT_GROUP),       # truncated toward zero
    ([1e9, 16777216.0, -1e9], FLOAT_GROUP),
])
def test_region_order_and_titles(tmp_path, kind, groups, columns):
    check(tmp_path, [writer.AnnotationTable(columns, points(groups))], kind)


@pytest.mark.parametrize("kind", ["AB", "TRC"])
def test_int_and_float_values_of_one_group(tmp_path, kind):
    # A name given twice feeds one list: Group values alternate int and
    # float, 5 and 5.0 are one member of the set, and the value first seen
    # titles the region.
    columns = [("Group", 4), ("Group", 5)] + COLUMNS[1:]
    rows = [[5, 5.0, 0, 0, 0, 0, 1, 0.0, 0.0], [7.0, 7, 0, 0, 0, 0, 2, 1.0, 1.0], [5, 6.0, 0, 0, 0, 0, 3, 2.0, 2.0],
            [5, 5.0, 0, 0, 0, 0, 4, 0.0, 0.0], [5, 5.0, 0, 0, 0, 0, 5, 0.0, 0.0], [5, 5.0, 0, 0, 0, 0, 6, 0.0, 0.0]]
    check(tmp_path, [writer.AnnotationTable(columns, rows)], kind)


@pytest.mark.parametrize("kind", ["AB", "TRC"])
@pytest.mark.parametrize("change", [
    "missing Fileindex", "missing X", "missing Type", "group not in list", "past the table", "no record",
    "text X", "text Type", "float AryNX", "float grid", "negative grid", "empty grids, no positions",
])
def test_what_the_plan_leaves_to_objects(tmp_path, kind, change):
    # Every table here is read with the values as Python objects: the same
    # result or the same error as the model.
    columns = list(COLUMNS)
    rows = points([1, 1, 2, 3, 3, 3])
    if change.startswith("missing"):
        name = change.split()[1]
        at = [c[0] for c in columns].index(name)
        columns[at] = ("Other", columns[at][1])
    elif change == "group not in list":
        columns = FLOAT_GROUP
        rows[2][0] = 4.5
    elif change == "past the table":
        rows[3][2:5] = [2, 2, 1]
    elif change == "no record":
        rows[4][5] = 99
    elif change == "text X":
        columns[6] = ("X", 1004)
        rows = [r[:6] + ["%g" % r[6]] + r[7:] for r in rows]
    elif change == "text Type":
        columns[1] = ("Type", 1004)
        rows = [[r[0], "0"] + r[2:] for r in rows]
    elif change.startswith("float"):
        columns[2] = ("AryNX", 5)
        if change == "float grid":
            rows[2][2:5] = [1.0, 1, 1]
    elif change == "negative grid":
        rows[2][2:5] = [-1, 1, 1]
    elif change == "empty grids, no positions":
        # Regions of no positions read no position column.
        columns = [c for c in columns if c[0] not in ("X", "Y", "Fileindex")]
        rows = [r[:2] + [0, 3, 1] for r in rows]
    tables = [writer.AnnotationTable(columns, rows)]
    if change == "text X":
        # numpy stores a number's text into a float array.
        path = write(tmp_path, tables, kind)
        found = vellkit.getVellData(path, (kind, "3D", "NONE")).regions
        assert [r.mapX.tolist() for r in found] == [[0.0, 1.0], [2.0], [3.0, 4.0, 5.0]]
        return
    if change in ("float grid", "negative grid"):
        # numpy refuses a float or negative size.
        with pytest.raises(TypeError if change == "float grid" else ValueError):
            vellkit.getVellData(write(tmp_path, tables, kind), (kind, "3D", "NONE"))
        return
    check(tmp_path, tables, kind)


@pytest.mark.parametrize("kind", ["AB", "TRC"])
@pytest.mark.parametrize("layout", ["packed", "padded rows", "wide rows", "with text", "two tables", "many rows"])
def test_table_layouts(tmp_path, kind, layout):
    # The table kept as its bytes (numbers only, rows packed or a little
    # padded), or read into cells (wide rows, text columns, a name given in
    # two tables), across chunks of a large table.
    count = 40000 if layout == "many rows" else 60
    rows = [[k % 7 - 3, 0, 0, 0, 0, INDICES[(k * 5) % len(INDICES)], k * 0.25, -k * 1.0] for k in range(count)]
    columns = list(COLUMNS)
    options = {}
    tables = None
    if layout == "padded rows":
        options["row_length"] = 40
    elif layout == "wide rows":
        options["row_length"] = 100
    elif layout == "with text":
        columns.append(("Note", 1004))
        rows = [r + ["note %d" % k] for k, r in enumerate(rows)]
    elif layout == "two tables":
        first = writer.AnnotationTable([("X", 5), ("Group", 4)], [[9.0, 1]] * 3)
        tables = [first, writer.AnnotationTable(columns, rows)]
    tables = tables or [writer.AnnotationTable(columns, rows, **options)]
    check(tmp_path, tables, kind)


group_values = st.one_of(st.integers(-70, 70), st.sampled_from([-(2 ** 31), 2 ** 31 - 1, 1024, 4096, 2048]))


@st.composite
def region_tables(draw):
    floats = draw(st.booleans())
    values = draw(st.lists(group_values, min_size=1, max_size=60))
    if floats:
        values = [float(v) if abs(v) < 2 ** 24 else 3.0 for v in values]
        values = [draw(st.sampled_from([v, v + 0.5, -0.0 if v == 0 else v])) for v in values]
    rows = points(values)
    for r in rows:
        r[1] = draw(st.sampled_from([0, 0, 0, 1]))
        r[5] = draw(st.sampled_from(list(INDICES)))
    # Some groups are grids: their first row's size, within the table or not.
    for k in draw(st.lists(st.integers(0, len(rows) - 1), max_size=4)):
        nx, ny = draw(st.integers(0, 4)), draw(st.integers(0, 3))
        rows[k][2:5] = [nx, ny, draw(st.sampled_from([0, 1]))]
    return writer.AnnotationTable(FLOAT_GROUP if floats else COLUMNS, rows)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(table=region_tables(), kind=st.sampled_from(["AB", "TRC"]))
def test_regions_match_the_model(tmp_path, table, kind):
    check(tmp_path, [table], kind)


def test_memory_limit_met_where_it_was(tmp_path, monkeypatch):
    # Positions past what the limit allows are left to the object path, which
    # refuses them at the region that passes it.
    rows = points([1] * 3000)
    path = write(tmp_path, [writer.AnnotationTable(COLUMNS, rows)], "AB")
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", "64K")
    with pytest.raises(MemoryError, match="VELLKIT_MEMORY_LIMIT"):
        vellkit.getVellData(path, ("AB", "3D", "NONE"))
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", "2M")
    found = vellkit.getVellData(path, ("AB", "3D", "NONE")).regions
    assert [r.title for r in found] == ["Region 1 (3000 points)"]


# ---------------------------------------------------------------------------
# The same plan for vellkit_tools: _native.plan_regions


def native_regions_match(path, kind):
    """_native.plan_regions agrees with getVellData; the records it names hold the spectra."""
    from vellkit_tools import _native
    found = vellkit.getVellData(path, (kind, "3D", "NONE")).regions
    planned = _native.plan_regions(path, (kind, "3D", "NONE"))
    assert [p["title"] for p in planned] == [r.title for r in found]
    plan = _native.plan_block(path, (kind, "3D", "NONE"))
    offsets = np.frombuffer(plan["records"]["offsets"], np.int64)
    for p, r in zip(planned, found):
        assert p["start_time"] is None
        assert "Region {0} (".format(p["group"]) in p["title"] or "." in p["title"]
        assert np.frombuffer(p["map_x"], np.float64).tolist() == r.mapX.tolist()
        assert np.frombuffer(p["map_y"], np.float64).tolist() == r.mapY.tolist()
        records = np.frombuffer(p["records"], np.int64)
        if kind == "TRC":
            npt = plan["npt"]
            traces = _native.read_points(path, offsets, npt, 0, npt)
            assert traces[:, records].T.tobytes() == r.spectra.tobytes()
        elif len(records):
            values = _native.read_points(path, offsets[records], NPT, 0, NPT)
            assert values.tobytes() == r.spectra.tobytes()


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(table=region_tables(), kind=st.sampled_from(["AB", "TRC"]))
def test_native_plan_matches_the_module(tmp_path, table, kind):
    if isinstance(model([table], kind), type):
        return
    native_regions_match(write(tmp_path, [table], kind), kind)


@pytest.mark.parametrize("kind", ["AB", "TRC"])
def test_native_plan_of_many_regions(tmp_path, kind):
    rows = [[g % 97 - 40, 0, 0, 0, 0, INDICES[g % len(INDICES)], g * 0.5, g * 2.0] for g in range(3000)]
    native_regions_match(write(tmp_path, [writer.AnnotationTable(COLUMNS, rows)], kind), kind)


@pytest.mark.parametrize("change, error", [
    ("missing Fileindex", ValueError), ("missing Group", ValueError), ("text NLN", ValueError),
    ("float SRC", ValueError), ("not multi-region", ValueError), ("trace index", ValueError),
    ("memory", MemoryError),
])
def test_native_plan_failures(tmp_path, monkeypatch, change, error):
    from vellkit_tools import _native
    columns = list(COLUMNS)
    rows = points([1, 2, 2])
    options = {}
    kind = "AB"
    if change.startswith("missing"):
        at = [c[0] for c in columns].index(change.split()[1])
        columns[at] = ("Other", columns[at][1])
    elif change == "text NLN":
        options["params"] = [("NLN", "many")]
    elif change == "float SRC":
        options["params"] = [("SRC", 32.0)]
    elif change == "trace index":
        kind = "TRC"
        rows[1][5] = len(INDICES) + 1
    elif change == "memory":
        rows = points([1] * 3000)
        monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", "32K")
    path = write(tmp_path, [writer.AnnotationTable(columns, rows, **options)], kind)
    request = ("AB", "2D", "NONE") if change == "not multi-region" else (kind, "3D", "NONE")
    with pytest.raises(error) as info:
        _native.plan_regions(path, request)
    assert path in str(info.value)


@pytest.mark.parametrize("indices", [[3, 10 ** 6, 7], [-5, 0, 5], [2 ** 31 - 1, -(2 ** 31)]])
def test_sparse_spectrum_indices(tmp_path, indices):
    # Fileindex values looked up among indices far apart, negative, or at the
    # ends of int32; one that no record has fails as a dict lookup does.
    records = {i: writer.Record(spectrum(k), time=500.0 + k) for k, i in enumerate(indices)}
    rows = [[1, 0, 0, 0, 0, i, 0.0, 0.0] for i in reversed(indices)]
    vf = writer.make_3d_file(records, NPT, writer.multi_region_params(NPT, 1.0, 2.0),
                             annotation=[writer.AnnotationTable(COLUMNS, rows)])
    path = str(tmp_path / "sparse.vell")
    vf.write(path)
    region, = vellkit.getVellData(path, ("AB", "3D", "NONE")).regions
    assert region.start_time.tolist() == [500.0 + k for k in reversed(range(len(indices)))]
    assert region.spectra.tobytes() == np.array([spectrum(k) for k in reversed(range(len(indices)))]).tobytes()
    rows[1][5] = min(indices) + 1
    vf = writer.make_3d_file(records, NPT, writer.multi_region_params(NPT, 1.0, 2.0),
                             annotation=[writer.AnnotationTable(COLUMNS, rows)])
    vf.write(path)
    with pytest.raises(KeyError) as info:
        vellkit.getVellData(path, ("AB", "3D", "NONE"))
    assert info.value.args == (min(indices) + 1,)


@pytest.mark.parametrize("kind", ["AB", "TRC"])
def test_repeated_spectrum_indices(tmp_path, kind):
    # A store table naming indices 2..4 twice: each index keeps its first
    # record and takes the later offset, as the offsets map does.
    from vellkit_tools import _native
    store = [[2, 4], [2, 4]]
    if kind == "TRC":
        records = [writer.Record(TRACES[t % 2] * (t + 1), label="T%d" % t) for t in range(6)]
        params = writer.multi_region_params(len(INDICES), 1.0, 2.0)
    else:
        records = [writer.Record(spectrum(k), time=500.0 + k) for k in range(6)]
        params = writer.multi_region_params(NPT, 1.0, 2.0)
    rows = [[1, 0, 0, 0, 0, i, float(i), 0.0] for i in (4, 2, 3, 3)]
    vf = writer.make_3d_file(records, len(INDICES) if kind == "TRC" else NPT, params, data_type=kind,
                             annotation=[writer.AnnotationTable(COLUMNS, rows)], store_table=store)
    path = str(tmp_path / "repeated.vell")
    vf.write(path)
    expected = vellkit.getVellData(path, (kind, "3D", "NONE"))
    region, = expected.regions
    if kind == "AB":
        assert region.spectra.tobytes() == np.array([spectrum(k) for k in (5, 3, 4, 4)]).tobytes()
    native_regions_match(path, kind)


@pytest.mark.parametrize("kind", ["AB", "TRC"])
@pytest.mark.parametrize("change", ["text Type", "float AryNX, point lists", "text AryType"])
def test_native_plan_takes_what_the_module_takes(tmp_path, kind, change):
    # Values that are not integers where the module's arithmetic still
    # forms the regions: a text Type is not 0 (no region), a float size of
    # 0.0 is a point list, a text AryType is not 0 (a grid of no positions).
    columns = list(COLUMNS)
    rows = points([1, 1, 2, 3, 3, 3])
    if change == "text Type":
        columns[1] = ("Type", 1004)
        rows = [r[:1] + ["0"] + r[2:] for r in rows]
    elif change.startswith("float"):
        columns[2] = ("AryNX", 5)
    else:
        columns[4] = ("AryType", 1004)
        rows = [r[:4] + ["none"] + r[5:] for r in rows]
    path = write(tmp_path, [writer.AnnotationTable(columns, rows)], kind)
    native_regions_match(path, kind)
    assert len(vellkit.getVellData(path, (kind, "3D", "NONE")).regions) == (0 if change == "text Type" else 3)


@pytest.mark.parametrize("kind, last, error", [
    ("AB", 2.0, None), ("AB", "2", KeyError), ("TRC", 2.0, IndexError), ("TRC", "2", TypeError),
])
def test_fileindex_of_mixed_kinds_stops_at_its_first_odd_value(tmp_path, kind, last, error):
    # "Fileindex" named three times feeds one list, three values a row: two
    # integers, then a float or a text. A region's positions take the list's
    # values in turn, so its third position is the first that is not an
    # integer: spectra find a float's record by its value and stop at a
    # text; traces stop at either, as numpy's indexing and arithmetic do.
    ctype = 5 if isinstance(last, float) else 1004
    columns = COLUMNS[:5] + [("Fileindex", 4), ("Fileindex", 4), ("Fileindex", ctype)] + COLUMNS[6:]
    rows = [[1, 0, 0, 0, 0, 3 * k + 1, 3 * k + 3, last, float(k), -float(k)] for k in range(4)]
    tables = [writer.AnnotationTable(columns, rows)]
    if error is None:
        check(tmp_path, tables, kind)
        return
    with pytest.raises(error):
        vellkit.getVellData(write(tmp_path, tables, kind), (kind, "3D", "NONE"))
