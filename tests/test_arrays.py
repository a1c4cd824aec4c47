"""Whole-array writers: every kind round-trips through vellkit.getVellData."""

import os
from pathlib import Path

import numpy as np
import pytest

import vellkit
from vellkit_tools import arrays, writer

X = np.linspace(4000.0, 400.0, 37)


def _rng(seed=0):
    return np.random.default_rng(seed)


@pytest.mark.parametrize("npt", [1, 2, 37])
def test_spectrum_round_trip(tmp_path, npt):
    y = _rng().normal(size=npt).astype(np.float32)
    x = np.linspace(10.0, 20.0, npt) if npt > 1 else None
    path = arrays.write_spectrum(tmp_path / "s.vell", y, x, params={"SNM": "film"})
    result = vellkit.getVellData(path, ("AB", "2D", "NONE"))
    np.testing.assert_array_equal(result.y, y)
    if x is not None:
        np.testing.assert_allclose(result.x, x)
    assert (result.minY, result.maxY) == (float(y.min()), float(y.max()))
    assert result.parameters["SNM"] == "film" and result.parameters["DXU"] == "WN"


@pytest.mark.parametrize("rows, columns", [(1, 1), (3, 4), (5, 2)])
@pytest.mark.parametrize("form", ["array", "memmap", "chunks"])
def test_image_map_round_trip(tmp_path, rows, columns, form):
    cube = _rng().random((rows, columns, X.size), dtype=np.float32)
    map_x = 100.0 + 2.5 * np.arange(columns)
    map_y = -5.0 - 1.0 * np.arange(rows)  # a descending axis
    options = {}
    if form == "memmap":
        np.save(tmp_path / "cube.npy", cube)
        data = np.load(tmp_path / "cube.npy", mmap_mode="r")
    elif form == "chunks":
        data = (cube[r] for r in range(rows))  # one map row per chunk
        options["shape"] = cube.shape
    else:
        data = cube
    path = writer.write_image_map(tmp_path / "m.vell", data, X, map_x, map_y,
                                  deriv="NONE", params={"DXU": "MI"}, **options)
    result = vellkit.getVellData(path, ("AB", "3D", "NONE"))
    assert type(result).__name__ == "ImageDataReturn"
    np.testing.assert_array_equal(result.spectra, cube)
    np.testing.assert_allclose(result.mapX, map_x)
    np.testing.assert_allclose(result.mapY, map_y)
    np.testing.assert_allclose(result.x, X)
    assert result.parameters["DXU"] == "MI"
    assert (result.parameters["NPX"], result.parameters["NPY"]) == (columns, rows)


def test_image_map_streams_many_small_chunks(tmp_path):
    cube = _rng(1).random((4, 3, 5), dtype=np.float32)
    spectra = (cube.reshape(-1, 5)[k] for k in range(12))  # single spectra
    path = arrays.write_image_map(tmp_path / "m.vell", spectra, (1.0, 2.0), shape=cube.shape)
    np.testing.assert_array_equal(vellkit.getVellData(path, ("AB", "3D", "NONE")).spectra, cube)


def test_time_series_round_trip(tmp_path):
    spectra = _rng(2).random((6, X.size), dtype=np.float32)
    times = np.array([0.0, 0.25, 0.5, 3.0, 1.0, 2.0])  # any order
    path = writer.write_time_series(tmp_path / "t.vell", spectra, X, times, time_unit="Minutes")
    result = vellkit.getVellData(path, ("AB", "3D", "NONE"))
    assert type(result).__name__ == "TimeResolvedDataReturn"
    np.testing.assert_array_equal(result.spectra, spectra)
    np.testing.assert_array_equal(result.z, times)
    assert result.parameters["ZTX"] == "Minutes"


def test_time_series_from_chunks(tmp_path):
    spectra = _rng(3).random((7, 4), dtype=np.float32)
    chunks = iter([spectra[:3], spectra[3:]])
    path = arrays.write_time_series(tmp_path / "t.vell", chunks, (1.0, 4.0), shape=spectra.shape)
    result = vellkit.getVellData(path, ("AB", "3D", "NONE"))
    np.testing.assert_array_equal(result.spectra, spectra)
    np.testing.assert_array_equal(result.z, np.arange(7.0))


def test_multi_region_round_trip(tmp_path):
    rng = _rng(4)
    regions = [
        {"nx": 3, "ny": 2, "x0": 10.0, "y0": 20.0, "dx": 0.5, "dy": 2.0,
         "spectra": rng.random((6, X.size), dtype=np.float32), "times": np.arange(6) + 0.5},
        {"points": [(1.0, 2.0), (3.0, 4.0)], "spectra": rng.random((2, X.size), dtype=np.float32)},
        {"nx": 1, "ny": 1, "spectra": iter([rng.random(X.size, dtype=np.float32)])},
    ]
    path = writer.write_multi_region(tmp_path / "r.vell", regions, X)
    result = vellkit.getVellData(path, ("AB", "3D", "NONE"))
    assert type(result).__name__ == "MultiRegionDataReturn"
    assert [r.title for r in result.regions] == [
        "Region 1 (3 x 2)", "Region 2 (2 points)", "Region 3 (1 x 1)"]
    first, second = result.regions[0], result.regions[1]
    np.testing.assert_array_equal(first.spectra, regions[0]["spectra"])
    np.testing.assert_allclose(first.mapX, [10.0, 10.5, 11.0] * 2)
    np.testing.assert_allclose(first.mapY, [20.0] * 3 + [22.0] * 3)
    np.testing.assert_array_equal(first.start_time, np.arange(6) + 0.5)
    np.testing.assert_array_equal(second.spectra, regions[1]["spectra"])
    np.testing.assert_allclose(second.mapX, [1.0, 3.0])
    assert result.regions[2].spectra.shape == (1, X.size)


def test_trace_layouts_round_trip(tmp_path):
    rng = _rng(5)
    image = rng.random((3, 4, 2), dtype=np.float32)
    path = arrays.write_traces(tmp_path / "i.vell", image, ["Amide I", "Area"],
                               map_x=np.arange(4.0), map_y=np.arange(3.0))
    result = vellkit.getVellData(path, ("TRC", "3D", "NONE"))
    assert type(result).__name__ == "ImageTRCDataReturn"
    assert result.labels == ["Amide I", "Area"]
    np.testing.assert_array_equal(result.traces, image)

    series = rng.random((3, X.size), dtype=np.float32)
    path = arrays.write_traces(tmp_path / "t.vell", series, ["a", "b", "c"], x=X)
    result = vellkit.getVellData(path, ("TRC", "3D", "NONE"))
    assert type(result).__name__ == "TimeResolvedTRCDataReturn"
    np.testing.assert_array_equal(result.traces, series)

    per_position = rng.random((5, 2), dtype=np.float32)
    regions = [{"nx": 2, "ny": 2}, {"points": [(9.0, 9.0)]}]
    path = arrays.write_traces(tmp_path / "r.vell", per_position, ["p", "q"], regions=regions)
    result = vellkit.getVellData(path, ("TRC", "3D", "NONE"))
    assert type(result).__name__ == "MultiRegionTRCDataReturn"
    np.testing.assert_array_equal(result.regions[0].spectra, per_position[:4])
    np.testing.assert_array_equal(result.regions[1].spectra, per_position[4:])
    assert result.regions[0].start_time is None


def test_visible_images_and_extra_parameter_blocks(tmp_path):
    picture = b"BM" + bytes(100)
    image = arrays.visible_image(picture, "Overview", pos_x=1.5, pos_y=-2.0, size_x=30.0,
                                 size_y=20.0)
    path = arrays.write_spectrum(tmp_path / "s.vell", [1.0, 2.0, 3.0], images=[image],
                                 acquisition={"NSS": 32}, sample={"SNM": "leaf"})
    (found,) = vellkit.getVisImages(path)
    assert found["Title"] == "Overview" and found["image"] == picture
    assert found["imgext"] == "bmp"
    assert (found["Pos. X"], found["Pos. Y"], found["Size X"], found["Size Y"]) == (
        1.5, -2.0, 30.0, 20.0)
    parameters = vellkit.getVellData(path, ("AB", "2D", "NONE")).parameters
    assert parameters["NSS"] == 32 and parameters["SNM"] == "leaf"


@pytest.mark.parametrize("call, message", [
    (lambda p: arrays.write_spectrum(p, [1, 2, 3, 4], [1.0, 2.0, 4.0, 5.0]), "evenly spaced"),
    (lambda p: arrays.write_spectrum(p, [1, 2, 3], [1.0, 2.0, 3.0, 4.0]), "3 points"),
    (lambda p: arrays.write_image_map(p, np.zeros((2, 2, 3)), map_x=[0.0, 1.0, 2.0]), "map_x"),
    (lambda p: arrays.write_image_map(p, iter([np.zeros(3)])), "shape="),
    (lambda p: arrays.write_image_map(p, iter([np.zeros((1, 3))]), shape=(2, 1, 3)),
     "2 records expected, 1 given"),
    (lambda p: arrays.write_multi_region(p, [{"nx": 2, "ny": 1, "spectra": np.zeros((3, 4))}]),
     "region 1 has 2 positions"),
    (lambda p: arrays.write_traces(p, np.zeros((2, 5)), ["only one"]), "1 labels"),
])
def test_bad_input_is_refused_and_leaves_no_file(tmp_path, call, message):
    path = tmp_path / "bad.vell"
    with pytest.raises((ValueError, TypeError), match=message):
        call(path)
    assert not path.exists()


def test_writer_offers_the_array_functions():
    assert writer.write_image_map is arrays.write_image_map
    assert writer.visible_image is arrays.visible_image
    with pytest.raises(AttributeError):
        writer.no_such_function  # noqa: B018


def test_trace_labels_fill_their_field_or_are_refused(tmp_path):
    labels = ["x" * 64, "\u00e9" * 32, "Amide \u2160"]          # 64, 64 and 10 bytes of UTF-8
    path = arrays.write_traces(tmp_path / "t.vell", np.ones((3, 2)), labels)
    assert vellkit.getVellData(path, ("TRC", "3D", "NONE")).labels == labels
    before = Path(path).read_bytes()
    for label in ("x" * 65, "\u00e9" * 32 + "a", "ab" + "\u20ac" * 21):  # 65 bytes; the last cut mid-character
        with pytest.raises(ValueError, match="more than its field of 64"):
            arrays.write_traces(path, np.ones((1, 2)), [label])
    assert Path(path).read_bytes() == before


@pytest.mark.parametrize("call", [
    lambda p: arrays.write_image_map(p, np.ones((2, 2, 3)), params={"LONGER": 1}),
    lambda p: arrays.write_time_series(p, np.ones((2, 3)), params={"NPX": 2 ** 40}),
    lambda p: arrays.write_spectrum(p, [1.0], acquisition={"NSS": object()}),
    lambda p: arrays.write_spectrum(p, [1.0], images=[writer.Image(b"BM", title="x", params={"TOOLONG": 1})]),
])
def test_bad_parameters_are_refused_before_the_file_is_touched(tmp_path, monkeypatch, call):
    opened = []
    monkeypatch.setattr(arrays._e, "atomic_write", lambda path: opened.append(path))
    with pytest.raises((ValueError, TypeError)):
        call(tmp_path / "bad.vell")
    assert opened == [] and not os.listdir(str(tmp_path))


def test_values_and_range_with_nan(tmp_path):
    cube = np.full((1, 2, 3), np.nan, dtype=np.float32)
    cube[0, 1, 2] = 5.0
    path = arrays.write_image_map(tmp_path / "m.vell", cube)
    result = vellkit.getVellData(path, ("AB", "3D", "NONE"))
    np.testing.assert_array_equal(result.spectra, cube)
    assert (result.parameters["MNY"], result.parameters["MXY"]) == (5.0, 5.0)
    path = arrays.write_time_series(tmp_path / "t.vell", np.full((2, 2), np.nan))
    assert (vellkit.getVellData(path, ("AB", "3D", "NONE")).parameters["MNY"]) == 0.0
