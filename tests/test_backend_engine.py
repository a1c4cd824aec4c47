"""The xarray engine as xarray users expect it: every kind and derivative,
block requests in every spelling, the decoding keywords, CF metadata,
record-aligned chunks, datatree, files bound to their identity, the band
area, and refusals at open."""

import io
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import vellkit
from pathlib import Path
from vellkit_tools import _native, arrays, backend, bands, kinds, writer

from conftest import write

NPT = 12
X_ENDS = (4000.0, 400.0)
ENGINE = backend.VellBackendEntrypoint
RNG = np.random.default_rng(11)
TIME = backend._TIME_ATTRS


def _regions():
    return [{"nx": 3, "ny": 2, "x0": 1.0, "dx": 0.5, "times": np.arange(6) + 0.5},
            {"points": [(7.0, 8.0), (9.0, -1.0)]}]


def make(tmp_path, kind, deriv="NONE", name=None):
    """A file holding one block of ``kind`` (a key of kinds.KINDS) with derivative ``deriv``."""
    path = str(tmp_path / (name or "%s-%s.vell" % (kind, deriv)))
    labels = ["band A", "Integral 1", "peak"]
    if kind == "spectrum":
        arrays.write_spectrum(path, RNG.random(NPT, dtype=np.float32), X_ENDS, deriv=deriv)
    elif kind == "image_map":
        arrays.write_image_map(path, RNG.random((3, 4, NPT), dtype=np.float32), X_ENDS, deriv=deriv)
    elif kind == "series":
        arrays.write_time_series(path, RNG.random((5, NPT), dtype=np.float32), X_ENDS, times=np.arange(5) * 1.5,
                                 deriv=deriv)
    elif kind == "multi_region":
        regions = _regions()
        regions[0]["spectra"] = RNG.random((6, NPT), dtype=np.float32)
        regions[1]["spectra"] = RNG.random((2, NPT), dtype=np.float32)
        arrays.write_multi_region(path, regions, X_ENDS, deriv=deriv)
    elif kind == "image_traces":
        arrays.write_traces(path, RNG.random((3, 4, 3), dtype=np.float32), labels, map_x=[0, 1, 2, 3],
                            map_y=[5, 6, 7], deriv=deriv)
    elif kind == "series_traces":
        arrays.write_traces(path, RNG.random((3, NPT), dtype=np.float32), labels, x=X_ENDS, deriv=deriv)
    else:
        arrays.write_traces(path, RNG.random((8, 3), dtype=np.float32), labels, deriv=deriv,
                            regions=[{"nx": 3, "ny": 2}, {"points": [(1.0, 2.0), (3.0, 4.0)]}])
    return path


def derivatives_file(tmp_path):
    """AB 2D NONE, 1DER, 2DER, 3DER (in file order) and a TRC spectrum:
    ``listContents`` lists the third derivative first."""
    vf = writer.make_spectrum_file(np.full(NPT, 10.0, np.float32), "TRC")
    for code, deriv in enumerate(("NONE", "1DER", "2DER", "NDER")):
        writer.make_spectrum_file(np.full(NPT, float(code), np.float32), deriv=deriv, into=vf)
    return write(tmp_path, vf)


@pytest.mark.parametrize("request_", [None, "AB", "AB/2D", ("ab",)])
def test_the_default_and_a_prefix_pick_the_original_block(tmp_path, request_):
    pytest.importorskip("matplotlib")
    from vellkit_tools import plots
    path = derivatives_file(tmp_path)
    assert vellkit.listContents(path)[0] == ("AB", "2D", "3DER")
    ds = backend.open_dataset(path, block=request_)
    assert ds.attrs["vellkit_block"] == "AB 2D NONE" and not ds.spectrum.values.any()
    assert ds.spectrum.attrs["long_name"] == "Absorbance"
    fig = plots.preview(path, request_)
    assert fig.axes[0].get_ylabel() == "Absorbance"
    third = plots.preview(path, "AB/2D/NDER")
    assert third.axes[0].get_ylabel() == "Absorbance, third derivative"
    if request_ is None:
        assert backend.default_block(path) == ("AB", "2D", "NONE")
        assert kinds.default_block([("AB", "3D", "3DER"), ("AB", "3D", "1DER")]) == ("AB", "3D", "1DER")
        tree = backend.open_datatree(path)
        assert tree["AB_2D_3DER"].attrs["vellkit_block"] == "AB 2D 3DER"
        assert tree["AB_2D_3DER"].spectrum.attrs["long_name"] == "Absorbance, third derivative"


def expected_values(result):
    """getVellData's values in the engine's layout (kinds.KINDS dims)."""
    name = type(result).__name__
    if name == "SingleDataReturn":
        return result.y
    if name == "ImageTRCDataReturn":
        return np.moveaxis(result.traces, 2, 0)
    if name == "TimeResolvedTRCDataReturn":
        return result.traces
    if name in ("MultiRegionDataReturn", "MultiRegionTRCDataReturn"):
        joined = np.concatenate([r.spectra for r in result.regions])
        return joined.T if name == "MultiRegionTRCDataReturn" else joined
    return result.spectra


@pytest.mark.parametrize("deriv", kinds.LISTING_DERIVATIVES)
@pytest.mark.parametrize("kind", list(kinds.KINDS))
def test_every_kind_and_derivative(tmp_path, kind, deriv):
    path = make(tmp_path, kind, kinds.request_word(deriv))
    listed = vellkit.listContents(path)
    assert listed[0][2] == deriv  # NDER is listed as 3DER
    request = kinds.parse_block(listed[0])
    ds = backend.open_dataset(path, block=listed[0])  # the listing's words are a request too
    ref = vellkit.getVellData(path, request)
    row = kinds.kind(kind)
    assert list(ds.data_vars) == [row.variable] and ds[row.variable].dims == row.dims
    np.testing.assert_array_equal(ds[row.variable].values, expected_values(ref))
    assert ds.attrs["vellkit_block"] == " ".join(kinds.output_block(request))
    assert ("spectral" in ds.dims) == ("spectral" in row.dims)  # trace maps and regions have none
    assert ds[row.variable].attrs["units"] == "1"
    assert ds[row.variable].attrs["long_name"].startswith("Trace value" if row.traces else "Absorbance")
    assert ds[row.variable].attrs["long_name"].endswith("derivative") == (deriv != "NONE")
    if "spectral" in row.dims:
        np.testing.assert_array_equal(ds.spectral.values, ref.x)


def test_every_kind_has_a_builder_and_an_unknown_kind_is_an_error(tmp_path, monkeypatch):
    assert set(backend._BUILDERS) == set(kinds.KINDS)
    path = make(tmp_path, "spectrum")
    real = _native.plan_block
    monkeypatch.setattr(_native, "plan_block", lambda p, b: dict(real(p, b), kind="hologram"))
    with pytest.raises(ValueError, match="unknown kind of data block 'hologram'"):
        backend.open_dataset(path)


@pytest.mark.parametrize("npx, npy", [(0, 2), (2, 0), (0, 0)])
def test_derivative_map_takes_the_original_grid_when_one_axis_is_empty(tmp_path, npx, npy):
    params = writer.image_map_params(NPT, 1.0, 2.0, npx=npx, npy=npy)
    original = writer.image_map_params(NPT, 1.0, 2.0, npx=2, npy=2, aox=5.0, ddx=2.0, aoy=-1.0, ddy=0.5)
    records = [np.full(NPT, k, np.float32) for k in range(4)]
    path = write(tmp_path, writer.make_3d_file(records, NPT, params, deriv="1DER", original_params=original))
    # The original block is listed from its parameter block alone; the default is the first block with data.
    assert vellkit.listContents(path)[0] == ("AB", "3D", "NONE")
    ds = backend.open_dataset(path)
    assert ds.attrs["vellkit_block"] == "AB 3D 1DER"
    np.testing.assert_array_equal(ds.x.values, [5.0, 7.0])
    np.testing.assert_array_equal(ds.y.values, [-1.0, -0.5])
    np.testing.assert_array_equal(ds.spectra.values, vellkit.getVellData(path, ("AB", "3D", "1DER")).spectra)
    with pytest.raises(ValueError, match="(?i)no (data )?block AB.3D.NONE"):
        backend.open_dataset(path, block="AB/3D/NONE")


def two_kind_file(tmp_path):
    """A time series (AB 3D) and its traces (TRC 3D) in one file, then an AB 2D spectrum."""
    vf = writer.make_3d_file([np.full(NPT, k, np.float32) for k in range(3)], NPT,
                             writer.time_resolved_params(NPT, 1.0, 2.0))
    labels = [writer.Record(np.arange(NPT, dtype=np.float32) + k, label="trace %d" % k) for k in range(2)]
    writer.make_3d_file(labels, NPT, writer.time_resolved_params(NPT, 1.0, 2.0), data_type="TRC", into=vf)
    writer.make_spectrum_file(np.arange(NPT, dtype=np.float32), data_type="TR", into=vf)
    return write(tmp_path, vf)


@pytest.mark.parametrize("block, expected", [
    ("TRC", "TRC 3D NONE"), ("trc/3d", "TRC 3D NONE"), ("AB,3D,NONE", "AB 3D NONE"),
    (("ab", "3d", "none"), "AB 3D NONE"), ("TR", "TR 2D NONE"), (" (AB, 3D) ", "AB 3D NONE"),
])
def test_block_requests_in_every_spelling(tmp_path, block, expected):
    path = two_kind_file(tmp_path)
    assert backend.open_dataset(path, block=block).attrs["vellkit_block"] == expected


@pytest.mark.parametrize("block, message", [("SSC", "no block SSC"), ("AB/3D/2DER", "no data block AB.3D.2DER"),
                                            ("AB/4D", "dimensions are 2D or 3D"), (b"AB", "text, not bytes"),
                                            ("AB/3D/NONE/X", "not a block request")])
def test_bad_block_requests(tmp_path, block, message):
    path = two_kind_file(tmp_path)
    with pytest.raises(ValueError, match=message):
        backend.open_dataset(path, block=block)


# ----------------------------------------------------------------------------
# A lazy dataset stays bound to the file it opened
# ----------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["spectrum", "image_map", "series", "image_traces"])
def test_a_replaced_file_is_refused_not_read(tmp_path, kind):
    path = make(tmp_path, kind, name="data.vell")
    ds = backend.open_dataset(path)
    (name,) = ds.data_vars
    other = make(tmp_path, kind, name="other.vell")
    os.replace(other, path)  # same name, same layout, other values
    with pytest.raises(OSError, match="changed since it was opened") as info:
        ds[name].values
    assert path in str(info.value)
    np.testing.assert_array_equal(backend.open_dataset(path)[name].values,
                                  expected_values(vellkit.getVellData(path, kinds.parse_block(ds.attrs["vellkit_block"]))))


def test_a_file_rewritten_in_place_is_refused(tmp_path):
    path = make(tmp_path, "image_map", name="data.vell")
    ds = backend.open_dataset(path)
    data = Path(path).read_bytes()
    st = os.stat(path)
    with open(path, "r+b") as f:  # same inode and size, another modification time
        f.write(data)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))
    with pytest.raises(OSError, match="changed since it was opened"):
        ds.spectra[0, 0].values


def test_many_files_are_bound_to_their_identity(tmp_path):
    pytest.importorskip("dask")
    paths = [make(tmp_path, "image_map", name="m%d.vell" % k) for k in range(3)]
    ds = backend.open_mfdataset(paths, parallel=True)
    os.replace(make(tmp_path, "image_map", name="new.vell"), paths[1])
    with pytest.raises(OSError, match="changed since it was opened") as info:
        ds.spectra.values
    assert paths[1] in str(info.value)


# ----------------------------------------------------------------------------
# Keywords, CF metadata, chunks
# ----------------------------------------------------------------------------

DECODERS = {"decode_times": False, "decode_timedelta": False, "mask_and_scale": True, "use_cftime": False,
            "decode_coords": "all", "concat_characters": True}


@pytest.mark.parametrize("kind", ["image_map", "series", "series_traces"])
def test_the_keywords_every_engine_takes(tmp_path, kind):
    path = make(tmp_path, kind)
    plain = xr.open_dataset(path, engine=ENGINE).load()
    for keywords in (DECODERS, dict.fromkeys(DECODERS, True), {"decode_cf": False}):
        if keywords.get("decode_timedelta") and kind == "series":
            continue
        with xr.open_dataset(path, engine=ENGINE, **keywords) as ds:
            xr.testing.assert_identical(ds.load(), plain)


@pytest.mark.parametrize("ztx, units, nanoseconds", [("Minutes", "min", 60 * 10**9), ("ms", "ms", 10**6),
                                                     ("microseconds", "us", 10**3)])
def test_decode_timedelta_makes_series_times_durations(tmp_path, ztx, units, nanoseconds):
    path = str(tmp_path / "series.vell")
    arrays.write_time_series(path, np.ones((3, NPT), np.float32), X_ENDS, times=[0.0, 0.5, 2.0], time_unit=ztx)
    ds = xr.open_dataset(path, engine=ENGINE, decode_timedelta=True)
    assert ds.time.dtype == np.dtype("timedelta64[ns]")
    assert ds.time.values.tolist() == [0, nanoseconds // 2, 2 * nanoseconds]
    assert ds.time.attrs == dict(TIME, ZTX=ztx)
    plain = xr.open_dataset(path, engine=ENGINE)
    assert plain.time.attrs == dict(TIME, units=units, ZTX=ztx)


@pytest.mark.parametrize("ztx, units", [("Seconds", "s"), ("sec", "s"), ("Minutes", "min"), ("ms", "ms"),
                                        ("Frames", None), ("", None)])
def test_time_units_are_udunits_and_the_file_text_is_kept(tmp_path, ztx, units):
    path = str(tmp_path / "series.vell")
    arrays.write_time_series(path, np.ones((2, NPT), np.float32), X_ENDS, times=[0.0, 1.0], time_unit=ztx)
    attrs = backend.open_dataset(path).time.attrs
    assert attrs.get("units") == units
    assert attrs.get("ZTX") == (ztx or None)


@pytest.mark.parametrize("dxu, units, long_name", [("WN", "cm-1", "Wavenumber"), ("NM", "nm", "Wavelength"),
                                                   ("PNT", "1", "Data point"), ("SEC", "s", "Time"),
                                                   ("LGW", None, "Log wavenumber")])
def test_spectral_units_are_udunits(tmp_path, dxu, units, long_name):
    path = str(tmp_path / "s.vell")
    arrays.write_spectrum(path, np.ones(NPT, np.float32), X_ENDS, dxu=dxu)
    attrs = backend.open_dataset(path).spectral.attrs
    assert attrs == dict({"long_name": long_name}, **({"units": units} if units else {}))


CF_KINDS = list(kinds.KINDS)


@pytest.mark.parametrize("kind", CF_KINDS)
def test_netcdf_export_passes_the_cf_checker(tmp_path, kind):
    pytest.importorskip("netCDF4")
    pytest.importorskip("compliance_checker")
    out = str(tmp_path / "out.nc")
    backend.open_dataset(make(tmp_path, kind)).to_netcdf(out)
    code = textwrap.dedent("""
        import json, sys, warnings
        warnings.simplefilter("ignore")
        from compliance_checker.runner import CheckSuite, ComplianceChecker
        CheckSuite().load_all_available_checkers()
        ComplianceChecker.run_checker(sys.argv[1], ["cf:1.8"], 0, "strict", output_filename=sys.argv[2],
                                      output_format="json")
    """)
    report = str(tmp_path / "cf.json")
    subprocess.run([sys.executable, "-c", code, out, report], check=True, capture_output=True, timeout=300)
    with open(report) as f:
        results = json.load(f)["cf:1.8"]
    errors = [(item["name"], item["msgs"]) for item in results["high_priorities"]
              if item["value"][0] < item["value"][1]]
    # The checker takes any dimension named "time" for CF's time axis, which
    # needs a reference date; a series' times are durations from its start.
    # (The Dataset says so: the time's comment gives the reason.)
    errors = [(name, msgs) for name, msgs in errors
              if not (kind == "series" and name.startswith("§5.1") and msgs == [
                  "Coordinate variable 'time' should have standard_name='time', found: 'None'"])]
    assert errors == []
    # CF's global attributes: title, history (and source, Conventions)
    attributes = [item["msgs"] for item in results["medium_priorities"] if item["name"].startswith("§2.6")]
    assert not any(attributes), attributes
    with xr.open_dataset(out) as back:
        assert back.attrs["Conventions"] == "CF-1.8" and back.attrs["source"].startswith("VELL data file ")
        assert back.attrs["title"].startswith(back[kinds.kind(kind).variable].attrs["long_name"] + ", ")
        if kind == "series":
            assert "no standard_name" in back.time.attrs["comment"].lower()


def test_to_netcdf_round_trip_keeps_every_attribute(tmp_path):
    pytest.importorskip("netCDF4")
    for kind in ("series", "multi_region", "image_traces"):
        ds = backend.open_dataset(make(tmp_path, kind))
        out = str(tmp_path / ("%s.nc" % kind))
        ds.to_netcdf(out)
        with xr.open_dataset(out, decode_timedelta=False) as back:
            xr.testing.assert_identical(back.load(), ds.load())


def test_zarr_round_trip(tmp_path):
    pytest.importorskip("zarr")
    pytest.importorskip("dask")
    # Text coordinates along a chunked dimension (region titles) would be
    # loaded to find their width: Dask for the others only.
    for kind, chunks in (("image_map", {}), ("series", {}), ("multi_region_traces", None)):
        ds = backend.open_dataset(make(tmp_path, kind), chunks=chunks)
        store = str(tmp_path / ("%s.zarr" % kind))
        ds.to_zarr(store, mode="w", consolidated=False)
        with xr.open_zarr(store, decode_timedelta=False, consolidated=False) as back:
            xr.testing.assert_identical(back.load(), ds.load())


def test_chunks_are_whole_records(tmp_path):
    pytest.importorskip("dask")
    path = make(tmp_path, "image_map")
    ds = backend.open_dataset(path)
    assert ds.spectra.encoding["preferred_chunks"] == {"y": 1}
    chunked = backend.open_dataset(path, chunks={})
    assert chunked.spectra.chunks == ((1, 1, 1), (4,), (NPT,))  # one row of records per chunk
    # Any whole-record chunking, or a span of points, is aligned: no warning (warnings are errors here).
    assert backend.open_dataset(path, chunks={"y": 2, "spectral": 5}).spectra.chunks[0] == (2, 1)
    assert backend.open_dataset(path, chunks="auto").spectra.chunks == ((3,), (4,), (NPT,))
    traces = backend.open_dataset(make(tmp_path, "series_traces"), chunks={})
    assert traces.traces.chunks == ((1, 1, 1), (NPT,))
    np.testing.assert_array_equal(chunked.spectra.values, ds.spectra.values)


# ----------------------------------------------------------------------------
# Datatree
# ----------------------------------------------------------------------------

def test_datatree_has_every_block_and_the_visible_images(tmp_path):
    if not hasattr(xr, "open_datatree"):
        pytest.skip("this xarray has no open_datatree")
    PIL = pytest.importorskip("PIL.Image")
    picture = (np.arange(12, dtype=np.uint8).reshape(3, 4) * 20)
    png = io.BytesIO()
    PIL.fromarray(picture).save(png, "PNG")
    cube = RNG.random((2, 3, NPT), dtype=np.float32)
    vf = writer.make_3d_file(list(cube.reshape(6, NPT)), NPT, writer.image_map_params(NPT, *X_ENDS, npx=3, npy=2))
    writer.make_3d_file(list(-cube.reshape(6, NPT)), NPT, writer.image_map_params(NPT, *X_ENDS, npx=3, npy=2),
                        deriv="NDER", into=vf)
    traces = [writer.Record(np.arange(6, dtype=np.float32) + k, label="t%d" % k) for k in range(2)]
    writer.make_3d_file(traces, 6, writer.image_map_params(6, *X_ENDS, npx=3, npy=2), data_type="TRC", into=vf)
    vf.add_image_block([writer.Image(png.getvalue(), title="overview", labels=[("X:", 1.5)]),
                        writer.Image(None, title="empty")])
    path = write(tmp_path, vf)
    tree = xr.open_datatree(path, engine=ENGINE)
    assert sorted(tree.children) == ["AB_3D_3DER", "AB_3D_NONE", "TRC_3D_NONE", "image_0", "image_1"]
    np.testing.assert_array_equal(tree["AB_3D_NONE"].spectra.values, cube)
    np.testing.assert_array_equal(tree["AB_3D_3DER"].spectra.values, -cube)
    assert tree["AB_3D_3DER"].attrs["vellkit_block"] == "AB 3D 3DER"
    assert list(tree["TRC_3D_NONE"].trace.values) == ["t0", "t1"]
    image = tree["image_0"]
    assert image.attrs["Title"] == "overview" and image.attrs["X"] == 1.5
    np.testing.assert_array_equal(image.pixels.values, picture)
    assert image.pixels.dims == ("row", "column")
    assert tree["image_1"].attrs == {"Title": "empty"} and not tree["image_1"].data_vars


def _png(width, height, rows=b""):
    """A grey PNG whose header claims ``width`` x ``height``; its data holds only ``rows``."""
    import struct
    import zlib

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def test_images_decode_when_asked_within_the_memory_limit(tmp_path, monkeypatch):
    if not hasattr(xr, "open_datatree"):
        pytest.skip("this xarray has no open_datatree")
    pytest.importorskip("PIL.Image")
    small = np.arange(6, dtype=np.uint8).reshape(2, 3)
    vf = writer.make_spectrum_file(np.ones(NPT, np.float32))
    vf.add_image_block([writer.Image(_png(3, 2, b"".join(b"\0" + r.tobytes() for r in small)), title="small"),
                        writer.Image(_png(40000, 40000), title="bomb"),  # 1.6 G pixels in 60 bytes
                        writer.Image(_png(300, 300), title="large"),
                        writer.Image(_png(3, 2, b"\0\1"), title="cut")])
    path = write(tmp_path, vf)
    decoded = []
    from vellkit_tools._engine import tree as tree_module
    real = tree_module._decode_image
    monkeypatch.setattr(tree_module, "_decode_image", lambda data: decoded.append(1) or real(data))
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", "256K")
    tree = backend.open_datatree(path)
    assert decoded == []  # nothing decoded at open
    np.testing.assert_array_equal(tree["AB_2D_NONE"].spectrum.values, np.ones(NPT))
    np.testing.assert_array_equal(tree["image_0"].pixels.values, small)
    assert len(decoded) == 1
    for name, why in (("image_1", "DecompressionBomb"), ("image_2", "memory limit of 262144 bytes")):
        assert why in tree[name].attrs["pixels_error"] and not tree[name].data_vars
    with pytest.raises(ValueError, match="image 3: the pixels cannot be decoded"):
        tree["image_3"].pixels.values


def test_datatree_of_a_damaged_block_says_why(tmp_path):
    if not hasattr(xr, "open_datatree"):
        pytest.skip("this xarray has no open_datatree")
    params = writer.image_map_params(NPT, 1.0, 2.0, npx=2, npy=1)
    path = write(tmp_path, writer.make_3d_file([np.zeros(NPT, np.float32)] * 3, NPT, params))
    tree = xr.open_datatree(path, engine=ENGINE)
    assert "more than the 2 x 1 map" in tree["AB_3D_NONE"].attrs["vellkit_problem"]


# ----------------------------------------------------------------------------
# The band area
# ----------------------------------------------------------------------------

def hand_area(x, y, lo, hi):
    keep = (x >= lo) & (x <= hi)
    xs, ys = x[keep], y[..., keep].astype(np.float64)
    order = np.argsort(xs)
    xs, ys = xs[order], ys[..., order]
    return ((ys[..., 1:] + ys[..., :-1]) / 2 * np.diff(xs)).sum(axis=-1)


@pytest.mark.parametrize("ends", [(4000.0, 400.0), (400.0, 4000.0)])
@pytest.mark.parametrize("bounds", [(1700, 1600), (1600, 1700), (3999.0, 401.0)])
def test_band_area_is_the_positive_area_from_zero(tmp_path, ends, bounds):
    path = str(tmp_path / "s.vell")
    x = np.linspace(ends[0], ends[1], 400)
    y = (np.exp(-((x - 1650.0) / 30.0) ** 2) + 0.1).astype(np.float32)
    arrays.write_spectrum(path, y, ends)
    area = backend.open_dataset(path).vell.band_area(*bounds)
    assert area.name == "band_area" and area.dims == () and area.attrs["units"] == "cm-1"
    lo, hi = sorted(bounds)
    expected = hand_area(x, y, lo, hi)
    assert area.values > 0
    np.testing.assert_allclose(area.values, expected, rtol=1e-5)


def test_band_area_of_a_map_is_a_lazy_chemical_image(tmp_path):
    pytest.importorskip("dask")
    path = str(tmp_path / "map.vell")
    cube = RNG.random((5, 4, 60), dtype=np.float32)
    arrays.write_image_map(path, cube, (4000.0, 400.0))
    x = np.linspace(4000.0, 400.0, 60)
    image = backend.open_dataset(path, chunks={"y": 2}).vell.band_area(2000, 1000)
    assert image.dims == ("y", "x") and image.chunks is not None
    np.testing.assert_allclose(image.values, hand_area(x, cube, 1000, 2000), rtol=1e-5)
    # The DataArray accessor gives the same image.
    np.testing.assert_allclose(backend.open_dataset(path).spectra.vell.band_area(1000, 2000).values,
                               image.values, rtol=1e-6)
    # Above the line between the band's ends: lazy too, the numbers of vellkit_tools.bands.
    above = backend.open_dataset(path, chunks={"y": 2}).vell.band_area(1000, 2000, baseline=True)
    assert above.chunks is not None and "above the line" in above.attrs["long_name"]
    np.testing.assert_allclose(above.values, bands.band_area(x, cube, 1000, 2000, baseline=True),
                               rtol=1e-5)


def test_band_area_refusals(tmp_path):
    path = str(tmp_path / "s.vell")
    arrays.write_spectrum(path, np.ones(NPT, np.float32), X_ENDS)
    ds = backend.open_dataset(path)
    with pytest.raises(ValueError, match="holds 0 point"):
        ds.vell.band_area(10, 20)
    with pytest.raises(ValueError, match="no variable along 'time'"):
        ds.vell.band_area(1000, 2000, dim="time")
    with pytest.raises(ValueError, match="is not a dimension"):
        ds.spectrum.vell.band_area(1000, 2000, dim="time")


# ----------------------------------------------------------------------------
# Refusals at open, reads that take only what they need
# ----------------------------------------------------------------------------

def _with_npt(tmp_path, npt):
    vf = writer.make_spectrum_file(np.ones(4, np.float32), params=[("NPT", npt)])
    return write(tmp_path, vf)


def _with_grid(tmp_path, n):
    params = writer.image_map_params(4, 1.0, 2.0, npx=n, npy=n)
    return write(tmp_path, writer.make_3d_file([np.zeros(4, np.float32)], 4, params))


@pytest.mark.parametrize("make_file", [lambda t: _with_npt(t, 130_000_000), lambda t: _with_grid(t, 60_000_000)])
def test_huge_axes_of_a_tiny_file_are_refused_at_open(tmp_path, make_file):
    path = make_file(tmp_path)
    assert os.path.getsize(path) < 1024
    code = textwrap.dedent("""
        import sys
        from vellkit_tools import backend
        try:
            backend.open_dataset(sys.argv[1])
        except MemoryError as e:
            print("MemoryError", e)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True, timeout=120, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("MemoryError") and path in out.stdout


@pytest.mark.parametrize("npt, fits", [(6, True), (5, False), (7, False)])
def test_a_trace_map_record_must_hold_one_whole_map(tmp_path, npt, fits):
    records = [writer.Record(np.arange(npt, dtype=np.float32), label="t%d" % k) for k in range(2)]
    path = write(tmp_path, writer.make_3d_file(records, npt, writer.image_map_params(npt, 1.0, 2.0, 2, 3),
                                               data_type="TRC"))
    if fits:
        assert xr.open_dataset(path, engine=ENGINE).traces.shape == (2, 3, 2)
        return
    with pytest.raises(ValueError, match="holds NPT = %d values, not NPX x NPY = 2 x 3" % npt):
        xr.open_dataset(path, engine=ENGINE)


def test_one_spectrum_of_a_multi_region_map_reads_one_record(tmp_path):
    path = make(tmp_path, "multi_region")
    _native.reset_counters()
    ds = backend.open_dataset(path)
    assert _native.counters()[0] == 0  # the start times only (coordinates)
    _native.reset_counters()
    np.testing.assert_array_equal(ds.spectra[6].values,
                                  vellkit.getVellData(path, ("AB", "3D", "NONE")).regions[1].spectra[0])
    assert _native.counters() == (1, NPT * 4)


def test_the_package_offers_each_opener_lazily():
    import subprocess
    import sys
    code = ("import sys, vellkit_tools; assert 'xarray' not in sys.modules; "
            "assert set(vellkit_tools.__all__) >= {'open_dataset', 'open_mfdataset', 'open_datatree'}; "
            "from vellkit_tools import backend; "
            "assert all(getattr(vellkit_tools, n) is getattr(backend, n) "
            "for n in ('open_dataset', 'open_mfdataset', 'open_datatree'))")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)
