"""A band image of a map in S3 on a cluster of worker processes: through the
xarray engine, and through a virtual store on workers that cannot import
vellkit."""

import textwrap
from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
distributed = pytest.importorskip("distributed")
pytest.importorskip("dask.array")

from vellkit_tools import backend, writer  # noqa: E402

NPT, NPX, NPY = 32, 6, 5
BAND = slice(8, 20)


@pytest.fixture(scope="module")
def map_in_s3(tmp_path_factory, s3_service):
    path = tmp_path_factory.mktemp("cluster") / "map.vell"
    rng = np.random.default_rng(5)
    records = rng.random((NPX * NPY, NPT), dtype=np.float32)
    writer.write_3d_file(path, records, NPT, writer.image_map_params(NPT, 1000.0, 2000.0, NPX, NPY))
    url = s3_service.put("vell-cluster", "maps/map.vell", path.read_bytes())
    local = backend.open_dataset(str(path))
    return url, local.spectra.isel(spectral=BAND).sum("spectral").values, local.vell.band_area(1300, 1600).values


def _cluster(tmp_path, without_vellkit):
    options = dict(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    if without_vellkit:
        # Each worker refuses to import vellkit before it takes a task.
        preload = tmp_path / "no_vellkit.py"
        preload.write_text(textwrap.dedent("""
            import sys
            for name in [n for n in sys.modules if n.split(".")[0] in ("vellkit", "vellkit_tools")]:
                del sys.modules[name]
            sys.modules["vellkit"] = sys.modules["vellkit_tools"] = None
        """))
        options["preload"] = [str(preload)]
    return distributed.LocalCluster(**options)


def test_the_engine_on_a_cluster_reads_a_map_in_s3(map_in_s3, s3_service, tmp_path):
    url, _, band = map_in_s3
    with _cluster(tmp_path, False) as cluster, distributed.Client(cluster):
        ds = backend.open_dataset(url, chunks={"y": 2}, storage_options=s3_service.storage_options())
        image = ds.vell.band_area(1300, 1600).compute()
    np.testing.assert_array_equal(image.values, band)


def test_a_virtual_store_on_a_cluster_needs_no_vellkit(map_in_s3, s3_service, tmp_path):
    pytest.importorskip("virtualizarr")
    from obspec_utils.registry import ObjectStoreRegistry

    from vellkit_tools.virtual import VellParser, kerchunk_references

    url, local, _ = map_in_s3
    registry = ObjectStoreRegistry({"s3://vell-cluster": s3_service.obstore("vell-cluster")})
    refs = kerchunk_references(VellParser().virtual_dataset(url, registry))
    with _cluster(tmp_path, True) as cluster, distributed.Client(cluster) as client:
        with pytest.raises(ImportError):
            client.submit(exec, "import vellkit", pure=False).result()
        ds = xr.open_dataset("reference://", engine="zarr", chunks={}, backend_kwargs={
            "consolidated": False, "storage_options": {
                "fo": refs, "remote_protocol": "s3",
                "remote_options": dict(s3_service.storage_options(), asynchronous=True)}})
        image = ds.spectra.isel(spectral=BAND).sum("spectral").compute()
    np.testing.assert_array_equal(image.values, local)
