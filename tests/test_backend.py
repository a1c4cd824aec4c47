"""The xarray backend: every kind of block as a Dataset equal to getVellData's
result, coordinates and attributes, lazy selections that read only what they
need, errors that name the file."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import vellkit
from vellkit_tools import _native, arrays, backend, writer

from conftest import write

NPT = 12
X_ENDS = (4000.0, 400.0)


def cube(rows, columns, npt=NPT):
    return (np.arange(rows * columns * npt, dtype=np.float32).reshape(rows, columns, npt) * 0.5 + 1)


def image_map(tmp_path, rows=4, columns=5, **kwargs):
    path = str(tmp_path / "map.vell")
    arrays.write_image_map(path, cube(rows, columns), X_ENDS, map_x=np.arange(columns) * 2.0 + 10,
                           map_y=np.arange(rows) * -1.5, **kwargs)
    return path


def time_series(tmp_path):
    path = str(tmp_path / "series.vell")
    spectra = np.random.default_rng(1).random((6, NPT), dtype=np.float32)
    arrays.write_time_series(path, spectra, X_ENDS, times=[3.0, 1.0, 2.5, 9.0, 0.0, 4.0])
    return path


def multi_region(tmp_path):
    path = str(tmp_path / "regions.vell")
    rng = np.random.default_rng(2)
    regions = [{"nx": 3, "ny": 2, "x0": 1.0, "dx": 0.5, "spectra": rng.random((6, NPT), dtype=np.float32),
                "times": np.arange(6) + 0.5},
               {"points": [(7.0, 8.0), (9.0, -1.0)], "spectra": rng.random((2, NPT), dtype=np.float32)}]
    arrays.write_multi_region(path, regions, X_ENDS)
    return path


def trace_file(tmp_path, layout):
    path = str(tmp_path / ("trc-%s.vell" % layout))
    labels = ["band A", "Integral 1", "peak"]
    rng = np.random.default_rng(3)
    if layout == "map":
        arrays.write_traces(path, rng.random((3, 4, 3), dtype=np.float32), labels, map_x=[0, 1, 2, 3],
                            map_y=[5, 6, 7])
    elif layout == "series":
        arrays.write_traces(path, rng.random((3, NPT), dtype=np.float32), labels, x=X_ENDS)
    else:
        arrays.write_traces(path, rng.random((8, 3), dtype=np.float32), labels,
                            regions=[{"nx": 3, "ny": 2}, {"points": [(1.0, 2.0), (3.0, 4.0)]}])
    return path


def spectrum_file(tmp_path, dxu="WN"):
    path = str(tmp_path / "spectrum.vell")
    arrays.write_spectrum(path, np.linspace(0, 1, NPT, dtype=np.float32), X_ENDS, dxu=dxu,
                          params={"SNM": "film"})
    return path


def test_spectrum(tmp_path):
    path = spectrum_file(tmp_path)
    ds = backend.open_dataset(path)
    ref = vellkit.getVellData(path, ("AB", "2D", "NONE"))
    assert list(ds.data_vars) == ["spectrum"] and ds.spectrum.dims == ("spectral",)
    np.testing.assert_array_equal(ds.spectrum.values, ref.y)
    np.testing.assert_array_equal(ds.spectral.values, ref.x)
    assert ds.spectral.attrs == {"units": "cm-1", "long_name": "Wavenumber"}
    assert ds.spectrum.attrs == {"long_name": "Absorbance", "units": "1"}
    assert ds.attrs["Conventions"] == "CF-1.8"
    assert ds.attrs["vellkit_block"] == "AB 2D NONE"
    assert ds.attrs["SNM"] == "film" and ds.attrs["NPT"] == NPT
    assert {k: ds.attrs[k] for k in ref.parameters} == ref.parameters


def test_unknown_unit_code_is_no_cf_unit_but_is_kept(tmp_path):
    ds = backend.open_dataset(spectrum_file(tmp_path, dxu="ZZQ"))
    assert ds.spectral.attrs == {"long_name": "ZZQ"} and ds.attrs["DXU"] == "ZZQ"


@pytest.mark.parametrize("deriv", ["NONE", "1DER"])
def test_image_map(tmp_path, deriv):
    path = image_map(tmp_path, deriv=deriv)
    ds = backend.open_dataset(path, block=("ab", "3d", deriv.lower()))
    ref = vellkit.getVellData(path, ("AB", "3D", deriv))
    assert ds.spectra.dims == ("y", "x", "spectral")
    np.testing.assert_array_equal(ds.spectra.values, ref.spectra)
    np.testing.assert_array_equal(ds.x.values, ref.mapX)
    np.testing.assert_array_equal(ds.y.values, ref.mapY)
    np.testing.assert_array_equal(ds.spectral.values, ref.x)
    assert ds.attrs["vellkit_block"] == "AB 3D " + deriv


def test_image_map_in_store_table_order_with_gaps(tmp_path):
    # Records fill the grid in store-table order; positions without a record are 0.
    records = [writer.Record(np.full(NPT, k, np.float32)) for k in range(5)]
    params = writer.image_map_params(NPT, 10.0, 20.0, npx=3, npy=2)
    path = write(tmp_path, writer.make_3d_file(records, NPT, params,
                                               store_table=[[10, 12], writer.gap(40), [0, 1]]))
    ds = backend.open_dataset(path)
    np.testing.assert_array_equal(ds.spectra.values, vellkit.getVellData(path, ("AB", "3D", "NONE")).spectra)
    assert ds.spectra.values[1, 2].tolist() == [0.0] * NPT


def test_derivative_map_takes_the_original_grid(tmp_path):
    params = writer.image_map_params(NPT, 1.0, 2.0, npx=0, npy=0)
    original = writer.image_map_params(NPT, 1.0, 2.0, npx=2, npy=2, aox=5.0, ddx=2.0)
    records = [np.full(NPT, k, np.float32) for k in range(4)]
    path = write(tmp_path, writer.make_3d_file(records, NPT, params, deriv="1DER", original_params=original))
    ds = backend.open_dataset(path, block=("AB", "3D", "1DER"))
    ref = vellkit.getVellData(path, ("AB", "3D", "1DER"))
    np.testing.assert_array_equal(ds.spectra.values, ref.spectra)
    np.testing.assert_array_equal(ds.x.values, [5.0, 7.0])
    assert ds.attrs["NPX"] == 2 == ref.parameters["NPX"]


def test_time_series(tmp_path):
    path = time_series(tmp_path)
    ds = backend.open_dataset(path)
    ref = vellkit.getVellData(path, ("AB", "3D", "NONE"))
    assert ds.spectra.dims == ("time", "spectral")
    np.testing.assert_array_equal(ds.spectra.values, ref.spectra)
    np.testing.assert_array_equal(ds.time.values, ref.z)
    assert ds.time.attrs == dict(backend._TIME_ATTRS, units="s", ZTX="Seconds")


def test_multi_region(tmp_path):
    path = multi_region(tmp_path)
    ds = backend.open_dataset(path)
    ref = vellkit.getVellData(path, ("AB", "3D", "NONE"))
    assert ds.spectra.dims == ("position", "spectral")
    np.testing.assert_array_equal(ds.spectra.values, np.concatenate([r.spectra for r in ref.regions]))
    np.testing.assert_array_equal(ds.map_x.values, np.concatenate([r.mapX for r in ref.regions]))
    np.testing.assert_array_equal(ds.map_y.values, np.concatenate([r.mapY for r in ref.regions]))
    np.testing.assert_array_equal(ds.start_time.values, np.concatenate([r.start_time for r in ref.regions]))
    assert list(ds.region.values) == ["Region 1 (3 x 2)"] * 6 + ["Region 2 (2 points)"] * 2
    assert ds.group.values.tolist() == [1] * 6 + [2] * 2


@pytest.mark.parametrize("layout, dims", [("map", ("trace", "y", "x")), ("series", ("trace", "spectral")),
                                          ("regions", ("trace", "position"))])
def test_traces(tmp_path, layout, dims):
    path = trace_file(tmp_path, layout)
    ds = backend.open_dataset(path)
    ref = vellkit.getVellData(path, ("TRC", "3D", "NONE"))
    assert ds.traces.dims == dims
    assert list(ds.trace.values) == ref.labels == ["band A", "Integral 1", "peak"]
    if layout == "map":
        expected = np.moveaxis(ref.traces, 2, 0)
    elif layout == "series":
        expected = ref.traces
    else:
        expected = np.concatenate([r.spectra for r in ref.regions]).T
        assert "start_time" not in ds.coords  # trace regions carry no times
    np.testing.assert_array_equal(ds.traces.values, expected)


KEYS = [
    {"y": 1, "x": 2},
    {"y": slice(None, None, 2), "x": -1, "spectral": slice(3, 9)},
    {"y": [3, 0, 3], "x": [4, 1]},
    {"spectral": [11, 0, 5]},
    {"x": slice(1, 4), "spectral": 7},
    {"y": slice(3, 0, -1), "x": slice(None, None, -2)},
    {"y": slice(2, 2)},
]


@pytest.mark.parametrize("key", KEYS)
def test_selections_equal_numpy_indexing(tmp_path, key):
    path = image_map(tmp_path)
    ds = backend.open_dataset(path)
    full = xr.DataArray(vellkit.getVellData(path, ("AB", "3D", "NONE")).spectra, dims=("y", "x", "spectral"))
    np.testing.assert_array_equal(ds.spectra.isel(key).values, full.isel(key).values)


def test_trace_map_selections(tmp_path):
    path = trace_file(tmp_path, "map")
    ds = backend.open_dataset(path)
    full = ds.traces.values
    for key in ({"trace": 1}, {"y": 2, "x": [0, 3]}, {"trace": [2, 0], "x": slice(1, 3)}):
        np.testing.assert_array_equal(ds.traces.isel(key).values, xr.DataArray(full, dims=ds.traces.dims).isel(key))


def test_open_reads_no_records_and_a_selection_only_its_own(tmp_path):
    path = image_map(tmp_path, rows=6, columns=7)
    _native.reset_counters()
    ds = backend.open_dataset(path)
    assert _native.counters() == (0, 0)
    ds.spectra[2, 3].values
    assert _native.counters() == (1, NPT * 4)
    _native.reset_counters()
    band = ds.spectra.isel(spectral=slice(4, 7)).sum("spectral").values
    assert _native.counters() == (42, 42 * 3 * 4)
    np.testing.assert_array_equal(band, cube(6, 7)[:, :, 4:7].sum(axis=2))


def test_to_netcdf_round_trip(tmp_path):
    pytest.importorskip("netCDF4")
    for path in (image_map(tmp_path), trace_file(tmp_path, "regions"), time_series(tmp_path)):
        ds = backend.open_dataset(path)
        out = str(tmp_path / "out.nc")
        ds.to_netcdf(out)
        with xr.open_dataset(out) as back:
            xr.testing.assert_identical(back.load(), ds.load())


def test_engine_by_name_and_by_content(tmp_path):
    path = image_map(tmp_path)
    renamed = str(tmp_path / "measurement.dat")
    os.rename(path, renamed)
    entry = backend.VellBackendEntrypoint()
    assert entry.guess_can_open(renamed)
    text = tmp_path / "notes.vell"
    text.write_text("not a VELL file")
    assert not entry.guess_can_open(str(text))
    assert not entry.guess_can_open(str(tmp_path / "missing.vell"))
    if "vell" not in xr.backends.list_engines():
        pytest.skip("the package is not installed with its entry points")
    with xr.open_dataset(renamed, engine="vell") as ds:
        assert ds.spectra.shape == (4, 5, NPT)
    with xr.open_dataset(renamed) as ds:  # found by content
        assert ds.attrs["vellkit_block"] == "AB 3D NONE"


def test_default_block_and_explicit_block(tmp_path):
    vf = writer.make_3d_file([np.ones(NPT, np.float32)] * 2, NPT, writer.time_resolved_params(NPT, 1.0, 2.0))
    writer.make_spectrum_file(np.arange(NPT, dtype=np.float32), data_type="TR", into=vf)
    path = write(tmp_path, vf)
    assert vellkit.listContents(path)[0] == backend.default_block(path)
    ds = backend.open_dataset(path, block=("TR", "2D", "NONE"))
    np.testing.assert_array_equal(ds.spectrum.values, np.arange(NPT))


@pytest.mark.parametrize("block, message", [(("AB", "3D", "1DER"), "no data block AB.3D.1DER"),
                                            (("XX", "3D", "NONE"), "(invalid|not a) data block request"),
                                            (("AB", "4D"), "dimensions are 2D or 3D")])
def test_bad_requests_name_the_file(tmp_path, block, message):
    path = time_series(tmp_path)
    with pytest.raises(ValueError, match=message) as info:
        backend.open_dataset(path, block=block)
    if "dimensions" not in message:
        assert path in str(info.value)


def test_not_a_vell_file_and_missing_file(tmp_path):
    other = tmp_path / "x.vell"
    other.write_bytes(b"\0" * 64)
    with pytest.raises(ValueError, match="not a VELL data file") as info:
        backend.open_dataset(str(other), block=("AB", "3D", "NONE"))
    assert str(other) in str(info.value)
    with pytest.raises(FileNotFoundError):
        backend.open_dataset(str(tmp_path / "missing.vell"), block=("AB", "3D", "NONE"))


def test_cut_file_reads_whole_records_and_names_the_file_for_the_cut_one(tmp_path):
    # The data block comes last, so cutting the file cuts its last record.
    records = [np.full(NPT, k, np.float32) for k in range(6)]
    vf = writer.VellFile(directory="start")
    vf.add_parameters(writer.image_map_params(NPT, 1.0, 2.0, npx=3, npy=2), data_type="AB",
                      extend_type=writer.EXTEND_3D)
    vf.add_3d_block(records, NPT, data_type="AB")
    data = vf.to_bytes()
    path = write(tmp_path, data[:-(writer.DEFAULT_INFO_SIZE + 8)])
    ds = backend.open_dataset(path)
    np.testing.assert_array_equal(ds.spectra[1, 1].values, records[4])
    with pytest.raises(ValueError, match="does not hold its 12 values") as info:
        ds.spectra[1, 2].values
    assert path in str(info.value)
    with pytest.raises(ValueError):  # getVellData refuses the whole block
        vellkit.getVellData(path, ("AB", "3D", "NONE"))


def test_more_records_than_the_grid_fails_at_open(tmp_path):
    params = writer.image_map_params(NPT, 1.0, 2.0, npx=2, npy=1)
    path = write(tmp_path, writer.make_3d_file([np.zeros(NPT, np.float32)] * 3, NPT, params))
    with pytest.raises(ValueError, match="more than the 2 x 1 map"):
        backend.open_dataset(path)


def test_import_does_not_need_xarray_and_errors_name_the_extra():
    code = ("import sys; sys.modules['xarray'] = None; sys.modules['dask'] = None\n"
            "import vellkit_tools\n"
            "try:\n    vellkit_tools.open_dataset\nexcept ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert 'pip install "vellkit[xarray]"' in out


def test_dask_missing_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "dask", None)
    monkeypatch.setitem(sys.modules, "dask.array", None)
    with pytest.raises(ImportError, match=r"vellkit\[dask\]"):
        backend.require_dask()


@pytest.mark.parametrize("info_size", [writer.DEFAULT_INFO_SIZE, 160, 140, 100])
def test_times_and_labels_as_getvelldata_reads_them(tmp_path, info_size):
    # Short info records put a time or a label in the next record's bytes, or
    # past the end of the file: the lazy readers find what getVellData finds.
    records = [writer.Record(np.arange(NPT, dtype=np.float32) + k, time=1.5 * k, label=b"L" * 64)
               for k in range(4)]
    for kind, params in (("AB", writer.time_resolved_params(NPT, 1.0, 2.0)),
                         ("TRC", writer.time_resolved_params(NPT, 1.0, 2.0))):
        path = write(tmp_path, writer.make_3d_file(records, NPT, params, data_type=kind, info_size=info_size))
        ds = backend.open_dataset(path, block=(kind, "3D", "NONE"))
        ref = vellkit.getVellData(path, (kind, "3D", "NONE"))
        if kind == "AB":
            np.testing.assert_array_equal(ds.time.values, ref.z)
            np.testing.assert_array_equal(ds.spectra.values, ref.spectra)
        else:
            assert list(ds.trace.values) == ref.labels
            np.testing.assert_array_equal(ds.traces.values, ref.traces)


def _damaged(data, seed):
    """``data`` cut short or with a few 32-bit words overwritten, chosen by ``seed``."""
    rng = np.random.default_rng(seed)
    data = bytearray(data)
    if seed % 3 == 0:
        return bytes(data[:int(rng.integers(24, len(data)))])
    for _ in range(int(rng.integers(1, 4))):
        at = int(rng.integers(0, len(data) - 4)) & ~3
        data[at:at + 4] = rng.choice([0, 1, -1, 7, 1 << 20, 0x7FFFFFFF, int(rng.integers(-2**31, 2**31))],
                                     1).astype("<i4").tobytes()
    return bytes(data)


def _outcome(fn, errors):
    try:
        return fn(), None
    except errors as error:
        return None, error


@pytest.mark.parametrize("kind", ["map", "series", "trace map"])
def test_damaged_files_give_getvelldata_values_or_errors_naming_the_file(tmp_path, kind, reports):
    source = {"map": lambda: image_map(tmp_path), "series": lambda: time_series(tmp_path),
              "trace map": lambda: trace_file(tmp_path, "map")}[kind]()
    request = ("TRC" if kind == "trace map" else "AB", "3D", "NONE")
    data = Path(source).read_bytes()
    compared = 0
    for seed in range(60):
        path = write(tmp_path, _damaged(data, seed))

        def lazy():
            ds = backend.open_dataset(path, block=request)
            return {name: var.values for name, var in ds.variables.items()}

        ours, error = _outcome(lazy, (ValueError, OSError))
        if error is not None:
            assert path in str(error) or getattr(error, "filename", None) == path, repr(error)
            continue
        ref, ref_error = _outcome(lambda: vellkit.getVellData(path, request), Exception)
        if ref_error is not None:
            continue  # getVellData refuses what the lazy reader could still read
        # A damaged parameter block may change the kind of block both readers see.
        result = type(ref).__name__
        if result == "ImageDataReturn":
            np.testing.assert_array_equal(ours["spectra"], ref.spectra)
        elif result == "TimeResolvedDataReturn":
            np.testing.assert_array_equal(ours["spectra"], ref.spectra)
            np.testing.assert_array_equal(ours["time"], ref.z)
        elif result == "ImageTRCDataReturn":
            np.testing.assert_array_equal(ours["traces"], np.moveaxis(ref.traces, 2, 0))
            assert list(ours["trace"]) == ref.labels
        elif result == "TimeResolvedTRCDataReturn":
            np.testing.assert_array_equal(ours["traces"], ref.traces)
            assert list(ours["trace"]) == ref.labels
        compared += 1
    assert compared >= 5


def test_axes_larger_than_a_read_may_use_are_refused_at_open(tmp_path):
    params = writer.image_map_params(NPT, 1.0, 2.0, npx=1 << 30, npy=1 << 30)
    path = write(tmp_path, writer.make_3d_file([np.zeros(NPT, np.float32)], NPT, params))
    with pytest.raises(MemoryError) as info:
        backend.open_dataset(path)
    assert path in str(info.value)


def test_errors_of_whole_block_reads_name_the_file(tmp_path):
    path = spectrum_file(tmp_path)
    with pytest.raises(ValueError, match="(?i)no data block") as info:
        backend.open_dataset(path, block=("TR", "2D", "NONE"))
    assert path in str(info.value)
    other = tmp_path / "other.vell"
    other.write_bytes(b"\0" * 64)
    with pytest.raises(ValueError, match="(non-Vell|not a VELL data file)") as info:
        backend.open_dataset(str(other))
    assert str(other) in str(info.value)
