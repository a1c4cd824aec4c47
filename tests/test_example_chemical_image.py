"""The chemical-image example computes, chunk by chunk, the area of the band
that a hand integration of getVellData's cube gives: positive for a positive
band, over a descending or an ascending wavenumber axis."""

import os
import sys

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")

import vellkit

from vellkit_tools import arrays

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples"))
import chemical_image  # noqa: E402

trapezoid = getattr(np, "trapezoid", None) or np.trapz


def hand_area(path, lo, hi):
    """The band's area at every position, by the trapezoid rule over the
    points inside [lo, hi] taken in ascending order."""
    ref = vellkit.getVellData(path, ("AB", "3D", "NONE"))
    keep = (ref.x >= lo) & (ref.x <= hi)
    order = np.argsort(ref.x[keep])
    return trapezoid(ref.spectra[:, :, keep][:, :, order].astype(np.float64), ref.x[keep][order], axis=2)


def test_band_image_equals_hand_integration(tmp_path):
    path = str(tmp_path / "map.vell")
    chemical_image.write_synthetic_map(path, 12, 9, 512)
    image, rows_per_chunk = chemical_image.chemical_image(path, (1600.0, 1700.0), 32 * 1024)
    assert rows_per_chunk < 12 and image.chunks is not None  # really chunk by chunk
    np.testing.assert_allclose(image.values, hand_area(path, 1600.0, 1700.0), rtol=1e-5)
    # The band is where the synthetic chemistry put it: its area follows the height pattern.
    assert image.values.max() > 5 * image.values.min() > 0
    assert image.attrs["units"] == "cm-1" and "1600 to 1700" in image.attrs["long_name"]


def test_an_ascending_axis_gives_the_same_image(tmp_path):
    descending = str(tmp_path / "descending.vell")
    ascending = str(tmp_path / "ascending.vell")
    chemical_image.write_synthetic_map(descending, 5, 4, 256)
    ref = vellkit.getVellData(descending, ("AB", "3D", "NONE"))
    arrays.write_image_map(ascending, np.ascontiguousarray(ref.spectra[:, :, ::-1]), ref.x[::-1])
    down, _ = chemical_image.chemical_image(descending, (1700.0, 1600.0), 1 << 20)
    up, _ = chemical_image.chemical_image(ascending, (1600.0, 1700.0), 1 << 20)
    np.testing.assert_allclose(up.values, down.values, rtol=1e-6)
    assert (down.values > 0).all()


@pytest.mark.parametrize("suffix, engine", [(".nc", "netCDF4"), (".zarr", "zarr")])
def test_main_writes_the_image(tmp_path, suffix, engine):
    pytest.importorskip(engine)
    out = str(tmp_path / ("image" + suffix))
    assert chemical_image.main(["--rows", "8", "--columns", "6", "--points", "256", "--output", out,
                                "--memory", "4096"]) == 0
    zarr = {"engine": "zarr", "consolidated": False} if suffix == ".zarr" else {}
    with xr.open_dataset(out, **zarr) as ds:
        assert ds.band_area.shape == (8, 6)
        assert ds.band_area.attrs["vellkit_block"] == "AB 3D NONE"
        assert float(ds.band_area.min()) > 0


@pytest.mark.parametrize("option, said", [("--output", "the folder %s does not exist"),
                                          ("--input", "%s: no such file")])
def test_a_missing_path_is_named_before_any_work(tmp_path, capsys, option, said):
    missing = tmp_path / "missing"
    path = str(missing / "image.nc") if option == "--output" else str(missing)
    with pytest.raises(SystemExit) as info:
        chemical_image.main([option, path, "--rows", "2", "--columns", "2", "--points", "16"])
    assert info.value.code == 2
    assert (said % (missing if option == "--output" else path)) in capsys.readouterr().err
    assert os.listdir(str(tmp_path)) == []
