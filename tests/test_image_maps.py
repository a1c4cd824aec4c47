"""Image maps and trace image maps: grid filling, map axes, the fallback to
the original mapping parameters of derivative maps, and the errors of
records that do not fit the grid."""

import numpy as np
import pytest

from vellkit_tools import writer

from _helpers3d import (assert_array, last_block_file, numpy_error, read,
                        save, stack_error, vals)

NPT = 8
MESSAGE = "Orignal mapping coordinates used\n"


def image_file(records, npx, npy, npt=NPT, deriv="NONE", kind="AB", original=None, **options):
    params = writer.image_map_params(npt, 4000.0, 400.0, npx, npy, aox=5.0, aoy=-1.0, ddx=2.0, ddy=0.5)
    return writer.make_3d_file(records, npt, params, data_type=kind, deriv=deriv,
                               original_params=original, **options)


def grid(slots, npx, npy, npt=NPT):
    """Expected cube: grid position i holds vals(slots[i]), later positions zeros."""
    cube = np.zeros((npy * npx, npt), np.float32)
    for i, slot in enumerate(slots):
        cube[i] = vals(slot, npt)
    return cube.reshape(npy, npx, npt)


@pytest.mark.parametrize("table, slots", [
    ([[0, 5]], [0, 1, 2, 3, 4, 5]),
    ([[0, 3]], [0, 1, 2, 3]),
    ([[10, 12], [0, 2]], [0, 1, 2, 3, 4, 5]),
    ([[0, 1], [-1, 40], [2, 4]], [0, 1, 2, 3, 4]),
    ([[0, 5], [2, 2]], [0, 1, 6, 3, 4, 5]),
    ([], []),
], ids=["full", "partial", "store-order", "gap", "repeat", "empty"])
def test_records_fill_the_grid_row_major(tmp_path, table, slots):
    count = sum(b - a + 1 for a, b in table if a != -1)
    records = [vals(j, NPT) for j in range(count)]
    result = read(save(tmp_path, image_file(records, 3, 2, store_table=table)))
    assert type(result).__name__ == "ImageDataReturn"
    assert_array(result.spectra, grid(slots, 3, 2), np.float32)
    assert_array(result.x, np.linspace(4000.0, 400.0, NPT), np.float64)
    if table == [[0, 5]]:
        np.testing.assert_array_equal(result.spectra[1][0], vals(3, NPT))


@pytest.mark.parametrize("origin, step, count, axis", [
    (5.0, 2.0, 3, [5.0, 7.0, 9.0]),
    (1.0, -0.5, 4, [1.0, 0.5, 0.0, -0.5]),
    (-3.0, 7.0, 1, [-3.0]),
])
def test_map_axes(tmp_path, origin, step, count, axis):
    params = writer.image_map_params(2, 1.0, 2.0, count, count, aox=origin, aoy=origin + 1.0,
                                     ddx=step, ddy=step * 2)
    records = [vals(j, 2) for j in range(count * count)]
    result = read(save(tmp_path, writer.make_3d_file(records, 2, params)))
    assert_array(result.mapX, axis, np.float64)
    assert_array(result.mapY, np.linspace(origin + 1.0, origin + 1.0 + 2 * step * (count - 1), count), np.float64)
    assert result.spectra.shape == (count, count, 2)


ORIGINAL = writer.image_map_params(NPT, 4000.0, 400.0, 2, 3, aox=-10.0, aoy=20.0, ddx=0.25, ddy=-4.0)


@pytest.mark.parametrize("deriv", ["1DER", "2DER", "NDER"])
@pytest.mark.parametrize("npx, npy", [(0, 2), (3, 0), (0, 0)])
def test_derivative_map_falls_back_to_original_grid(tmp_path, capsys, deriv, npx, npy):
    records = [vals(j, NPT) for j in range(6)]
    result = read(save(tmp_path, image_file(records, npx, npy, deriv=deriv, original=ORIGINAL)), deriv=deriv)
    assert capsys.readouterr() == (MESSAGE, "")
    assert result.derivative == deriv
    assert {k: result.parameters[k] for k in ("AOX", "AOY", "DDX", "DDY", "NPX", "NPY")} == dict(ORIGINAL[5:])
    assert result.parameters["NPT"] == NPT
    assert_array(result.mapX, [-10.0, -9.75], np.float64)
    assert_array(result.mapY, [20.0, 16.0, 12.0], np.float64)
    assert_array(result.spectra, grid(range(6), 2, 3), np.float32)


def test_derivative_map_with_a_grid_keeps_it(tmp_path, capsys):
    records = [vals(j, NPT) for j in range(6)]
    result = read(save(tmp_path, image_file(records, 3, 2, deriv="1DER", original=ORIGINAL)), deriv="1DER")
    assert capsys.readouterr() == ("", "")
    assert (result.parameters["NPX"], result.parameters["NPY"], result.parameters["AOX"]) == (3, 2, 5.0)
    assert_array(result.spectra, grid(range(6), 3, 2), np.float32)


def test_fallback_needs_every_original_mapping_name(tmp_path, capsys):
    original = [p for p in ORIGINAL if p[0] != "DDY"]
    path = save(tmp_path, image_file([vals(0, NPT)], 0, 2, deriv="2DER", original=original))
    with pytest.raises(KeyError) as info:
        read(path, deriv="2DER")
    assert info.value.args == ("DDY",)
    assert capsys.readouterr().out == MESSAGE


def test_fallback_without_original_block_fails_after_the_message(tmp_path, capsys):
    path = save(tmp_path, image_file([vals(0, NPT)], 0, 2, deriv="1DER"))
    with open(path, "rb") as f:
        kind, message = numpy_error(lambda: f.seek(-1))
    with pytest.raises(kind) as info:
        read(path, deriv="1DER")
    assert str(info.value) == message
    assert capsys.readouterr().out == MESSAGE


def test_plain_map_without_rows_never_falls_back(tmp_path, capsys):
    path = save(tmp_path, image_file([vals(0, NPT)], 3, 0))
    with pytest.raises(IndexError, match="^index 0 is out of bounds for axis 0 with size 0$"):
        read(path)
    assert capsys.readouterr() == ("", "")


def test_plain_map_without_columns_divides_by_zero(tmp_path, capsys):
    path = save(tmp_path, image_file([vals(0, NPT)], 0, 2))
    kind, message = numpy_error(lambda: 0 % 0)
    with pytest.raises(ZeroDivisionError) as info:
        read(path)
    assert (info.type, str(info.value)) == (kind, message)
    assert capsys.readouterr() == ("", "")


def test_more_records_than_positions(tmp_path):
    records = [vals(j, NPT) for j in range(7)]
    path = save(tmp_path, image_file(records, 3, 2))
    with pytest.raises(IndexError, match="^index 2 is out of bounds for axis 0 with size 2$"):
        read(path)


@pytest.mark.parametrize("left", [5, 1, 0])
def test_record_cut_by_end_of_file(tmp_path, left):
    params = writer.image_map_params(NPT, 1.0, 2.0, 2, 2)
    data = last_block_file([vals(j, NPT) for j in range(3)], NPT, params)
    data = data[:len(data) - (4 * NPT + writer.DEFAULT_INFO_SIZE) + 4 * left]
    with pytest.raises(ValueError) as info:
        read(save(tmp_path, data))
    assert str(info.value) == "could not broadcast input array from shape (%d,) into shape (%d,)" % (left, NPT)


# ----------------------------------------------------------------------------
# Trace image maps
# ----------------------------------------------------------------------------

def trace_file(labels, npx=4, npy=2, npt=8, table=None, **options):
    records = [writer.Record(vals(k, npt), label=label) for k, label in enumerate(labels)]
    return image_file(records, npx, npy, npt=npt, kind="TRC", store_table=table, **options)


def test_trace_maps_stack_along_the_third_axis(tmp_path):
    result = read(save(tmp_path, trace_file(["Band 1", "Integral", "Ratio"], table=[[7, 7], [2, 3]])), "TRC")
    assert type(result).__name__ == "ImageTRCDataReturn"
    assert result.labels == ["Band 1", "Integral", "Ratio"]
    assert_array(result.traces, np.dstack([vals(k, 8).reshape(2, 4) for k in range(3)]), np.float32)
    assert result.traces[1, 0, 2] == vals(2, 8)[4]
    assert_array(result.mapX, [5.0, 7.0, 9.0, 11.0], np.float64)
    assert_array(result.x, np.linspace(4000.0, 400.0, 8), np.float64)


@pytest.mark.parametrize("label, text", [
    (b"abc\0def", "abc"),
    (b"", ""),
    (b"z" * 64, "z" * 64),
    (b"\xe9t\xe9", "\xe9t\xe9"),
])
def test_trace_map_labels(tmp_path, label, text):
    result = read(save(tmp_path, trace_file([b"first", label])), "TRC")
    assert result.labels == ["first", text]


@pytest.mark.parametrize("npx, npy, cut, size", [(3, 3, 0, 8), (4, 2, writer.DEFAULT_INFO_SIZE + 12, 5)],
                         ids=["grid-mismatch", "cut-record"])
def test_trace_map_reshape_errors(tmp_path, npx, npy, cut, size):
    records = [writer.Record(vals(k, 8), label="t") for k in range(2)]
    data = last_block_file(records, 8, writer.image_map_params(8, 1.0, 2.0, npx, npy), data_type="TRC")
    path = save(tmp_path, data[:len(data) - cut])
    kind, message = numpy_error(lambda: np.zeros(size, np.float32).reshape(npy, npx))
    with pytest.raises(kind) as info:
        read(path, "TRC")
    assert str(info.value) == message


def test_trace_map_without_records(tmp_path):
    path = save(tmp_path, trace_file([], table=[]))
    kind, message = stack_error([], np.dstack)
    with pytest.raises(kind, match="^%s$" % message):
        read(path, "TRC")


def test_derivative_trace_map_uses_original_grid(tmp_path, capsys):
    original = writer.image_map_params(8, 1.0, 2.0, 2, 4, aox=1.0, ddx=3.0)
    path = save(tmp_path, trace_file(["a", "b"], npx=4, npy=0, deriv="1DER", original=original))
    result = read(path, "TRC", "1DER")
    assert capsys.readouterr().out == MESSAGE
    assert_array(result.traces, np.dstack([vals(k, 8).reshape(4, 2) for k in range(2)]), np.float32)
    assert_array(result.mapX, [1.0, 4.0], np.float64)
    assert (result.parameters["NPX"], result.parameters["NPY"]) == (2, 4)

