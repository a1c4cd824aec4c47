"""Dask over the xarray backend: chunked maps and many files give the same
results on the threaded, process and distributed schedulers."""

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
dask = pytest.importorskip("dask")

import vellkit
from vellkit_tools import arrays, backend

NPT = 16


@pytest.fixture
def map_path(tmp_path):
    path = str(tmp_path / "map.vell")
    cube = np.random.default_rng(5).random((9, 7, NPT), dtype=np.float32)
    arrays.write_image_map(path, cube, (1000.0, 2500.0))
    return path


@pytest.fixture
def spectrum_paths(tmp_path):
    rng = np.random.default_rng(6)
    paths = []
    for k in range(5):
        path = str(tmp_path / ("s%02d.vell" % k))
        arrays.write_spectrum(path, rng.random(NPT, dtype=np.float32), (1000.0, 2500.0))
        paths.append(path)
    return paths


def band_image(ds):
    return ds.spectra.sel(spectral=slice(1300.0, 2000.0)).sum("spectral")


def reference_band(path):
    ref = vellkit.getVellData(path, ("AB", "3D", "NONE"))
    keep = (ref.x >= 1300.0) & (ref.x <= 2000.0)
    return ref.spectra[:, :, keep].sum(axis=2)


@pytest.mark.parametrize("chunks", [{}, {"y": 2}, {"y": 4, "x": 3, "spectral": 5}])
@pytest.mark.parametrize("scheduler", ["threads", "processes", "synchronous"])
def test_chunked_map_on_local_schedulers(map_path, chunks, scheduler):
    ds = backend.open_dataset(map_path, chunks=chunks)
    assert isinstance(ds.spectra.data, dask.array.Array)
    result = band_image(ds).compute(scheduler=scheduler)
    np.testing.assert_allclose(result.values, reference_band(map_path), rtol=1e-6)
    full = ds.spectra.compute(scheduler=scheduler).values
    np.testing.assert_array_equal(full, vellkit.getVellData(map_path, ("AB", "3D", "NONE")).spectra)


def test_many_files_stack_along_file(spectrum_paths, tmp_path):
    expected = np.stack([vellkit.getVellData(p, ("AB", "2D", "NONE")).y for p in spectrum_paths])
    for parallel, chunks in ((True, None), (True, {"file": 2}), (False, None)):
        ds = backend.open_mfdataset(spectrum_paths, parallel=parallel, chunks=chunks)
        assert ds.spectrum.dims == ("file", "spectral")
        # Small spectra are read at open: a Dask array only when chunks are asked for.
        assert isinstance(ds.spectrum.data, dask.array.Array) == (chunks is not None)
        np.testing.assert_array_equal(ds.spectrum.values, expected)
        assert list(ds.file.values) == spectrum_paths
        assert ds.attrs["vellkit_block"] == "AB 2D NONE"
    assert backend.open_mfdataset(spectrum_paths, chunks={"file": 2}).spectrum.data.numblocks == (3, 1)
    by_pattern = backend.open_mfdataset(str(tmp_path / "s*.vell"))
    np.testing.assert_array_equal(by_pattern.spectrum.values, expected)
    with xr.open_mfdataset(spectrum_paths, engine=backend.VellBackendEntrypoint, combine="nested",
                           concat_dim="file") as through_xarray:
        np.testing.assert_array_equal(through_xarray.spectrum.values, expected)


def test_many_maps_stack(tmp_path):
    paths = []
    for k in range(3):
        path = str(tmp_path / ("m%d.vell" % k))
        arrays.write_image_map(path, np.full((2, 3, NPT), k, np.float32), (1000.0, 2500.0))
        paths.append(path)
    ds = backend.open_mfdataset(paths, parallel=True)
    assert ds.spectra.dims == ("file", "y", "x", "spectral")
    np.testing.assert_array_equal(ds.spectra.values[:, 1, 2, 0], [0, 1, 2])


@pytest.mark.parametrize("parallel", [True, False])
def test_many_files_with_different_axes_are_refused(spectrum_paths, tmp_path, parallel):
    other = str(tmp_path / "other.vell")
    arrays.write_spectrum(other, np.zeros(NPT, np.float32), (0.0, 1.0))
    with pytest.raises(ValueError, match="coordinate spectral differs") as info:
        backend.open_mfdataset(spectrum_paths + [other], parallel=parallel)  # at open, before any compute
    assert other in str(info.value)


def test_distributed_cluster_gives_the_same_results(map_path, spectrum_paths):
    distributed = pytest.importorskip("distributed")
    # Ports chosen by the system: another cluster on the machine may hold the defaults.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  scheduler_port=0, dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        assert len(client.scheduler_info()["workers"]) == 2
        band = band_image(backend.open_dataset(map_path, chunks={"y": 3})).compute()
        many = backend.open_mfdataset(spectrum_paths, parallel=True).spectrum.compute()
    np.testing.assert_allclose(band.values, reference_band(map_path), rtol=1e-6)
    np.testing.assert_array_equal(
        many.values, np.stack([vellkit.getVellData(p, ("AB", "2D", "NONE")).y for p in spectrum_paths]))


@pytest.mark.parametrize("parallel", [True, False])
def test_many_files_of_another_kind_or_grid_are_refused_at_open(spectrum_paths, tmp_path, parallel):
    a_map = str(tmp_path / "map.vell")
    arrays.write_image_map(a_map, np.zeros((2, 3, NPT), np.float32), (1000.0, 2500.0))
    with pytest.raises(ValueError, match=r"map.vell: no block AB/2D/NONE, which the first file \(.*s00.vell\) "
                                         r"holds; it holds AB/3D/NONE \(image map\)$"):
        backend.open_mfdataset(spectrum_paths + [a_map], parallel=parallel)
    # A map cut in half (its directory at the end is gone), after a whole one or first
    cut = str(tmp_path / "cut.vell")
    data = open(a_map, "rb").read()
    open(cut, "wb").write(data[:len(data) // 2])
    with pytest.raises(ValueError, match=r"cut.vell: no block AB/3D/NONE, which the first file .* holds; the file "
                                         r"is damaged: truncated at byte \d+: the directory .* lies past the end of "
                                         r"the file; it lists no data block"):
        backend.open_mfdataset([a_map, cut], parallel=parallel)
    with pytest.raises(ValueError, match=r"cut.vell: the file holds no data block \(it is damaged: truncated"):
        backend.open_mfdataset([cut, a_map], parallel=parallel)
    series = str(tmp_path / "series.vell")
    arrays.write_time_series(series, np.zeros((6, NPT), np.float32), (1000.0, 2500.0))
    with pytest.raises(ValueError, match="its block is a time series, the first file's an image map") as info:
        backend.open_mfdataset([a_map, series], block="AB/3D", parallel=parallel)
    assert series in str(info.value) and a_map in str(info.value)
    other_grid = str(tmp_path / "map2.vell")
    arrays.write_image_map(other_grid, np.zeros((3, 2, NPT), np.float32), (1000.0, 2500.0))
    with pytest.raises(ValueError, match="the map grid") as info:
        backend.open_mfdataset([a_map, other_grid], parallel=parallel)
    assert other_grid in str(info.value)


def test_many_series_with_other_times_are_refused_at_open(tmp_path):
    paths = []
    for k, times in enumerate(([0.0, 1.0, 2.0], [0.0, 1.0, 2.0], [0.0, 1.0, 3.0])):
        paths.append(str(tmp_path / ("t%d.vell" % k)))
        arrays.write_time_series(paths[-1], np.full((3, NPT), k, np.float32), (1000.0, 2500.0), times=times)
    np.testing.assert_array_equal(backend.open_mfdataset(paths[:2]).spectra.values[:, 2, 0], [0, 1])
    with pytest.raises(ValueError, match="coordinate time differs") as info:
        backend.open_mfdataset(paths)
    assert paths[2] in str(info.value)


def test_attributes_combine_as_xarray_combines_them(spectrum_paths):
    # The files share NPT, FXV, ...; their MNY and MXY (value ranges) differ.
    first = backend.open_dataset(spectrum_paths[0]).attrs
    stack = backend.open_mfdataset(spectrum_paths).attrs
    assert stack["title"] == "Absorbance, spectrum AB/2D/NONE of 5 files"  # CF's globals say what the stack is
    cf = ("title", "source", "history")
    assert {k: v for k, v in stack.items() if k not in cf} == {k: v for k, v in first.items() if k not in cf}
    kept = backend.open_mfdataset(spectrum_paths, combine_attrs="drop_conflicts").attrs
    assert {k: v for k, v in kept.items() if k not in cf} == \
        {k: v for k, v in first.items() if k not in ("MNY", "MXY") + cf}
    assert backend.open_mfdataset(spectrum_paths, combine_attrs="drop").attrs == {}
    for how in ("identical", "no_conflicts"):
        with pytest.raises(ValueError, match=how) as info:
            backend.open_mfdataset(spectrum_paths, combine_attrs=how)
        assert spectrum_paths[1] in str(info.value)
    with pytest.raises(ValueError, match="combine_attrs must be one of"):
        backend.open_mfdataset(spectrum_paths, combine_attrs="first")


def test_two_stacks_of_the_same_files_in_other_batches_share_no_task(tmp_path):
    paths = []
    for k in range(6):
        paths.append(str(tmp_path / ("t%d.vell" % k)))
        arrays.write_time_series(paths[-1], np.full((3, NPT), k, np.float32), (1000.0, 2500.0))
    a = backend.open_mfdataset(paths, chunks={"file": 2}).spectra
    b = backend.open_mfdataset(paths, chunks={"file": 4}).spectra
    c = backend.open_mfdataset(paths, block="AB/3D/NONE", chunks={"file": 4}).spectra
    assert b.data.name == c.data.name  # the same stack, named the same
    first, second = dask.compute(a, b)
    assert first.shape == second.shape == (6, 3, NPT)
    np.testing.assert_array_equal((a + b).values[:, 0, 0], 2 * np.arange(6))
    # Files rewritten in place (same paths, new identities) are another stack.
    arrays.write_time_series(paths[0], np.full((3, NPT), 9, np.float32), (1000.0, 2500.0))
    assert backend.open_mfdataset(paths, chunks={"file": 4}).spectra.data.name != b.data.name


@pytest.mark.parametrize("preprocess", [None, lambda ds: ds.assign(total=ds.spectra.sum("spectral"))])
@pytest.mark.parametrize("parallel", [True, False])
def test_each_files_parameters_and_preprocess(tmp_path, preprocess, parallel):
    paths = []
    for k in range(4):
        paths.append(str(tmp_path / ("t%d.vell" % k)))
        arrays.write_time_series(paths[-1], np.full((3, NPT), k, np.float32), (1000.0, 2500.0),
                                 params={"SNM": "sample %d" % k, "RUN": 7, "TIM": 10 + k})
    ds = backend.open_mfdataset(paths, parallel=parallel, preprocess=preprocess, file_coords="all")
    assert list(ds.SNM.values) == ["sample %d" % k for k in range(4)] and ds.SNM.dims == ("file",)
    assert ds.TIM.values.tolist() == [10, 11, 12, 13] and "TIM" not in ds.attrs
    assert ds.attrs["RUN"] == 7 and "RUN" not in ds.coords  # the same in every file: an attribute
    assert list(ds.file.values) == paths
    np.testing.assert_array_equal(ds.spectra.values[:, 1, 0], np.arange(4))
    if preprocess is not None:
        np.testing.assert_array_equal(ds.total.values[:, 0], np.arange(4) * NPT)
    named = backend.open_mfdataset(paths, parallel=parallel, preprocess=preprocess, file_coords=["RUN"])
    assert named.RUN.values.tolist() == [7] * 4 and "SNM" not in named.coords
    arrays.write_time_series(paths[2], np.zeros((3, NPT), np.float32), (1000.0, 2500.0))
    with pytest.raises(ValueError, match="t2.vell: file_coords names parameter RUN"):
        backend.open_mfdataset(paths, parallel=parallel, preprocess=preprocess, file_coords="RUN")
