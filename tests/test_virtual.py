"""Virtual Zarr stores of VELL files: what the written references read
equals what the xarray engine reads, for every kind, record layout and
derivative, locally and in S3; cut records refused; the virtualize command,
of local files and of URLs in the loopback S3 and HTTP servers; an Icechunk
store refusing a changed file; references bound by the memory limit; a store
read back with neither vellkit nor vellkit_tools importable."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("virtualizarr")  # Python 3.11 and later
xr = pytest.importorskip("xarray")
icechunk = pytest.importorskip("icechunk")

from obspec_utils.registry import ObjectStoreRegistry  # noqa: E402
from obstore.store import LocalStore  # noqa: E402
from virtualizarr import open_virtual_dataset, open_virtual_datatree  # noqa: E402

from vellkit_tools import backend, kinds, writer  # noqa: E402
from vellkit_tools.cli import main  # noqa: E402
from vellkit_tools.virtual import VIRTUAL_ATTR, VellParser, in_memory_variables, kerchunk_references  # noqa: E402

from _helpers3d import last_block_file, vals  # noqa: E402
from test_backend_engine import make  # noqa: E402

pytestmark = pytest.mark.native

NPT = 6
INFO = writer.DEFAULT_INFO_SIZE
REGISTRY = ObjectStoreRegistry({"file:///": LocalStore()})
# Gaps, a run below the one before, an empty run: the store table's rows in file order.
TABLE = [[3, 4], [-1, 20], [0, 1], [6, 5], [7, 7]]
TABLE_SLOTS = 5


def _layout_file(tmp_path, kind, name="layout.vell"):
    """A ``kind`` block whose records follow TABLE: out of order, with gaps (a
    3 x 3 map of whose positions the table names only the first five)."""
    labels = "TRC" if kind.endswith("traces") else "AB"
    records = [writer.Record(vals(j, NPT), time=10.0 - j, label="trace %d" % j) for j in range(TABLE_SLOTS)]
    if kind == "image_map":
        params = writer.image_map_params(NPT, 100.0, 200.0, 3, 3, aox=1.0, ddy=0.5)
    else:
        params = writer.time_resolved_params(NPT, 100.0, 200.0)
    vf = writer.make_3d_file(records, NPT, params, data_type=labels, store_table=TABLE)
    path = tmp_path / name
    vf.write(str(path))
    return str(path)


def _derivative_file(tmp_path):
    """A 2 x 2 map and its first derivative, whose own grid is empty (it
    takes the original's) and whose three records leave one position unreached."""
    records = [writer.Record(vals(j, NPT)) for j in range(4)]
    params = writer.image_map_params(NPT, 100.0, 200.0, 2, 2, aox=3.0, ddy=-0.5)
    vf = writer.make_3d_file(records, NPT, params)
    empty = [(n, 0 if n == "NPX" else v) for n, v in writer.image_map_params(NPT, 100.0, 200.0, 1, 1)]
    writer.make_3d_file([writer.Record(-vals(j, NPT)) for j in range(3)], NPT, empty, deriv="1DER", into=vf)
    path = tmp_path / "derivative.vell"
    vf.write(str(path))
    return str(path)


def _picking_regions_file(tmp_path, kind):
    """Positions that pick records (a map) or points of each trace record
    (traces) out of order: file indices 5, 1, 3."""
    rows = [[1, 0, 0, 0, 0, 5, 1.0, 0.0], [1, 0, 0, 0, 0, 1, 2.0, 0.0], [2, 0, 0, 0, 0, 3, 0.0, 4.0]]
    trace = kind == "multi_region_traces"
    records = {i: writer.Record(vals(i, NPT), time=100.0 + i, label="trace %d" % i) for i in (range(3) if trace
                                                                                         else range(1, 7))}
    vf = writer.make_3d_file(records, NPT, writer.multi_region_params(NPT, 10.0, 50.0), data_type="TRC" if trace
                             else "AB", annotation=[writer.AnnotationTable(writer.MULTI_REGION_COLUMNS, rows)])
    path = tmp_path / "regions.vell"
    vf.write(str(path))
    return str(path)


FILES = [("kind", k) for k in kinds.KINDS] + [("layout", k) for k in ("image_map", "series", "series_traces")] + [
    ("derivative", "AB/3D/1DER"), ("regions", "multi_region"), ("regions", "multi_region_traces")]


def _file(tmp_path, how, what):
    if how == "kind":
        return make(tmp_path, what), None
    if how == "layout":
        return _layout_file(tmp_path, what), None
    if how == "regions":
        return _picking_regions_file(tmp_path, what), None
    return _derivative_file(tmp_path), what


def _kerchunk(vds, tmp_path):
    out = str(tmp_path / "refs.json")
    with open(out, "w") as f:
        json.dump(kerchunk_references(vds), f)
    return xr.open_dataset("reference://", engine="zarr", decode_timedelta=False,
                           backend_kwargs={"consolidated": False, "storage_options": {"fo": out}})


def _icechunk(vds, tmp_path):
    from vellkit_tools.cli.virtualize import write_store
    out = str(tmp_path / "repo")
    write_store(vds, out, "icechunk", [str(tmp_path / "x")])
    repo = icechunk.Repository.open(icechunk.local_filesystem_storage(out), authorize_virtual_chunk_access={
        tmp_path.as_uri() + "/": None})
    return xr.open_zarr(repo.readonly_session("main").store, consolidated=False, decode_timedelta=False)


def assert_same_dataset(got, expected):
    """Values, coordinates and every attribute equal, bit for bit (the
    virtual store's own note aside)."""
    got = got.load()
    attrs = dict(got.attrs)
    assert VIRTUAL_ATTR in attrs
    del attrs[VIRTUAL_ATTR]
    assert attrs == expected.attrs
    assert list(got.data_vars) == list(expected.data_vars)
    for name, variable in expected.variables.items():
        mine = got[name].variable
        assert mine.dims == variable.dims and mine.attrs == variable.attrs, name
        a, b = np.asarray(mine.values), np.asarray(variable.values)
        if b.dtype.kind == "O":
            assert a.tolist() == b.tolist(), name
        else:
            assert a.dtype == b.dtype and a.tobytes() == b.tobytes(), name


def _through_store(url, parser):
    """As VirtualiZarr users open it: through the parser's ManifestStore."""
    loaded = in_memory_variables(open_virtual_dataset(url, registry=REGISTRY, parser=parser, loadable_variables=[]))
    return open_virtual_dataset(url, registry=REGISTRY, parser=parser, loadable_variables=loaded)


def _direct(url, parser):
    """As the command opens it: the Dataset built from the plan."""
    return parser.virtual_dataset(url, REGISTRY)


@pytest.mark.parametrize("opener, write", [(_through_store, _kerchunk), (_direct, _kerchunk), (_direct, _icechunk)],
                         ids=["store-kerchunk", "direct-kerchunk", "direct-icechunk"])
@pytest.mark.parametrize("how, what", FILES, ids=["%s-%s" % f for f in FILES])
def test_written_references_read_what_the_engine_reads(tmp_path, how, what, opener, write):
    path, block = _file(tmp_path, how, what)
    vds = opener(Path(path).as_uri(), VellParser(block=block, blocks=False))
    expected = backend.open_dataset(path, block=block).load()
    got = write(vds, tmp_path)
    assert_same_dataset(got, expected)
    # Only points picked out of order from trace records cannot be references.
    loaded = (how, what) == ("regions", "multi_region_traces")
    assert got.attrs[VIRTUAL_ATTR].startswith("values loaded" if loaded else "values referenced")
    if how == "layout" and what == "image_map":
        # the positions past the records the table names are missing chunks: zeros, as the engine reads them
        flat = expected.spectra.values.reshape(9, NPT)
        assert flat[:TABLE_SLOTS].all() and not flat[TABLE_SLOTS:].any()


def test_the_tree_has_every_block_as_the_engine_names_it(tmp_path):
    path = _derivative_file(tmp_path)
    url = Path(path).as_uri()
    store = VellParser()(url, REGISTRY)
    tree = xr.open_datatree(store, engine="zarr", consolidated=False, zarr_format=3, decode_timedelta=False)
    expected = backend.open_datatree(path)
    assert sorted(tree.children) == sorted(expected.children) == ["AB_3D_1DER", "AB_3D_NONE"]
    for name in expected.children:
        assert_same_dataset(tree[name].to_dataset(), expected[name].to_dataset().load())
    # the root holds the default block, as open_virtual_dataset users expect
    assert_same_dataset(tree.to_dataset(), backend.open_dataset(path).load())
    vdt = open_virtual_datatree(url, registry=REGISTRY, parser=VellParser())
    assert vdt["AB_3D_1DER"].spectra.shape == (2, 2, NPT) and vdt["AB_3D_1DER"].x.values.tolist() == [3.0, 4.0]


@pytest.mark.parametrize("cut, refused", [(INFO // 2, False), (INFO + 4, True), (INFO + 4 * NPT + 8, True)],
                         ids=["info-only", "values", "whole-record-and-more"])
def test_a_record_cut_by_the_end_of_the_file(tmp_path, cut, refused):
    data = last_block_file([writer.Record(vals(j, NPT), time=float(j)) for j in range(3)], NPT,
                           writer.time_resolved_params(NPT, 100.0, 200.0))
    path = tmp_path / "cut.vell"
    path.write_bytes(data[:-cut])
    url = path.as_uri()
    if refused:
        with pytest.raises(ValueError, match="%s: record 2 .* cut short by the end of the file" % url):
            VellParser()(url, REGISTRY)
        # The command reports it and fails; the other file is still written.
        other = make(tmp_path, "series")
        out = tmp_path / "out.json"
        assert main(["virtualize", str(path), other, "--to", str(out)]) == 1
        assert out.exists()
        return
    vds = open_virtual_dataset(url, registry=REGISTRY, parser=VellParser(), loadable_variables=["spectral", "time"])
    assert_same_dataset(_kerchunk(vds, tmp_path), backend.open_dataset(str(path)).load())


def test_virtualize_stacks_files_and_reports_those_that_do_not_fit(tmp_path, capsys):
    maps = [make(tmp_path, "image_map", name="m%d.vell" % k) for k in range(3)]
    series = make(tmp_path, "series", name="s.vell")
    other = tmp_path / "text.vell"
    other.write_bytes(b"not a VELL file at all")
    out = tmp_path / "stack.json"
    code = main(["virtualize"] + maps + [series, str(other), "--to", str(out), "--concat-dim", "run"])
    err = capsys.readouterr().err
    assert code == 1
    assert "%s: its spectra is" % series in err and "(%s)" % maps[0] in err
    assert "%s: not a VELL file" % other in err
    got = xr.open_dataset("reference://", engine="zarr",
                          backend_kwargs={"consolidated": False, "storage_options": {"fo": str(out)}})
    expected = backend.open_mfdataset(maps, parallel=False)
    assert got.spectra.dims == ("run", "y", "x", "spectral")
    np.testing.assert_array_equal(got.spectra.values, expected.spectra.values)
    assert got.file.values.tolist() == ["m0.vell", "m1.vell", "m2.vell"]
    assert got.attrs["title"] == "Absorbance, image map AB/3D/NONE of 3 files"
    # An existing output is kept without --force.
    before = out.read_bytes()
    assert main(["virtualize", maps[0], "--to", str(out)]) == 1
    assert "exists already" in capsys.readouterr().err and out.read_bytes() == before
    assert main(["virtualize", maps[0], "--to", str(out), "--force", "--format", "kerchunk"]) == 0
    assert json.loads(json.loads(out.read_text())["refs"]["spectra/.zarray"])["fill_value"] is None


def test_a_store_reads_without_vellkit(tmp_path):
    path = _layout_file(tmp_path, "image_map")
    assert main(["virtualize", path, "--to", str(tmp_path / "refs.json")]) == 0
    assert main(["virtualize", path, "--to", str(tmp_path / "repo"), "--format", "icechunk"]) == 0
    expected = tmp_path / "expected.npy"
    np.save(str(expected), backend.open_dataset(path).spectra.values)
    script = textwrap.dedent("""
        import sys
        sys.modules["vellkit"] = sys.modules["vellkit_tools"] = None
        for name in ("vellkit", "vellkit_tools"):
            try:
                __import__(name)
            except ImportError:
                pass
            else:
                raise SystemExit(name + " imported")
        import numpy as np, xarray as xr, icechunk
        folder, expected = sys.argv[1], np.load(sys.argv[2])
        ds = xr.open_dataset("reference://", engine="zarr", backend_kwargs={
            "consolidated": False, "storage_options": {"fo": folder + "/refs.json"}})
        assert ds.spectra.values.tobytes() == expected.tobytes()
        repo = icechunk.Repository.open(icechunk.local_filesystem_storage(folder + "/repo"),
                                        authorize_virtual_chunk_access={"file://" + folder + "/": None})
        ds = xr.open_zarr(repo.readonly_session("main").store, consolidated=False)
        assert ds.spectra.values.tobytes() == expected.tobytes()
        print("read", ds.spectra.shape)
    """)
    env = dict(os.environ, PYTHONPATH="")
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path), str(expected)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "read (3, 3, %d)" % NPT in done.stdout


def test_an_icechunk_store_refuses_a_file_changed_after_it(tmp_path):
    path = make(tmp_path, "series")
    repo_path = str(tmp_path / "repo")
    assert main(["virtualize", path, "--to", repo_path, "--format", "icechunk"]) == 0

    def values():
        repo = icechunk.Repository.open(icechunk.local_filesystem_storage(repo_path),
                                        authorize_virtual_chunk_access={tmp_path.as_uri() + "/": None})
        return xr.open_zarr(repo.readonly_session("main").store, consolidated=False).spectra.values

    expected = backend.open_dataset(path).spectra.values
    assert values().tobytes() == expected.tobytes()
    make(tmp_path, "series", name=os.path.basename(path))  # other values at the same offsets
    later = os.stat(path).st_mtime + 5
    os.utime(path, (later, later))
    with pytest.raises(Exception, match="changed"):
        values()


def test_references_beyond_the_memory_limit_are_refused(tmp_path, monkeypatch):
    path = _layout_file(tmp_path, "image_map", name="long-name-" * 12 + ".vell")
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", "1000")  # the file reads; 9 references of its long URL do not
    backend.open_dataset(path).spectra.values
    with pytest.raises(MemoryError, match="%s: the references of its 9 chunks" % Path(path).as_uri()):
        VellParser().virtual_dataset(Path(path).as_uri(), REGISTRY)


def test_a_file_in_s3_reads_through_its_references(tmp_path, s3_service):
    path = _layout_file(tmp_path, "image_map")
    url = s3_service.put("vell-virtual", "maps/layout.vell", Path(path).read_bytes())
    registry = ObjectStoreRegistry({"s3://vell-virtual": s3_service.obstore("vell-virtual")})
    expected = backend.open_dataset(path).load()
    parser = VellParser()
    s3_service.reset()
    # Through the parser's own store (obstore ranges) ...
    store = parser(url, registry)
    # a HEAD, then one read-ahead range for the whole small file: counted by the parser and the server alike
    assert parser.requests == 2 == s3_service.count("HEAD") + s3_service.count("GET")
    assert_same_dataset(xr.open_zarr(store, consolidated=False, zarr_format=3), expected)
    # ... and through Kerchunk references to the object, read by fsspec.
    refs = kerchunk_references(parser.virtual_dataset(url, registry))
    assert refs["refs"]["spectra/0.0.0"][0] == url
    remote = dict(s3_service.storage_options(), asynchronous=True)
    got = xr.open_dataset("reference://", engine="zarr", backend_kwargs={"consolidated": False, "storage_options": {
        "fo": refs, "remote_protocol": "s3", "remote_options": remote}})
    assert_same_dataset(got, expected)


# Reading Parquet references, fsspec asks pandas for an engine it deprecates.
@pytest.mark.filterwarnings("ignore:.*'fastparquet' engine is deprecated")
def test_virtualize_as_parquet_reads_what_the_json_reads(tmp_path):
    pytest.importorskip("fastparquet")
    maps = [make(tmp_path, "image_map", name="m%d.vell" % k) for k in range(2)]
    json_out, parquet_out = tmp_path / "stack.json", tmp_path / "stack.parq"
    assert main(["virtualize"] + maps + ["--to", str(json_out)]) == 0
    assert main(["virtualize"] + maps + ["--to", str(parquet_out), "--format", "parquet"]) == 0
    opened = [xr.open_dataset("reference://", engine="zarr", backend_kwargs={
        "consolidated": False, "storage_options": {"fo": str(out), "remote_protocol": "file"}})
        for out in (json_out, parquet_out)]
    xr.testing.assert_identical(opened[0].load(), opened[1].load())


def _s3_maps(tmp_path, s3_service):
    """Two maps uploaded to the loopback S3 server (a third object that no
    pattern below matches beside them), and their local copies."""
    maps = [make(tmp_path, "image_map", name="m%d.vell" % k) for k in range(2)]
    for path in maps:
        s3_service.put("vell-virtualize", "run42/" + os.path.basename(path), Path(path).read_bytes())
    s3_service.put("vell-virtualize", "run42/notes.txt", b"not a map")
    return maps


@pytest.mark.parametrize("fmt", ["kerchunk", "icechunk"])
@pytest.mark.parametrize("how", ["environment", "options"])
def test_virtualize_urls_in_s3(tmp_path, s3_service, monkeypatch, how, fmt):
    maps = _s3_maps(tmp_path, s3_service)
    for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_ENDPOINT_URL", "AWS_DEFAULT_REGION",
                 "AWS_REGION", "AWS_ALLOW_HTTP", "AWS_PROFILE"):
        monkeypatch.delenv(name, raising=False)
    if how == "environment":
        for name, value in dict(s3_service.environment(), AWS_ALLOW_HTTP="true").items():
            monkeypatch.setenv(name, value)
        options = []
    else:  # the fsspec spelling of the options, as list, show and export take them
        options = ["--storage-option", "key=testing", "--storage-option", "secret=testing", "--storage-option",
                   'client_kwargs={"endpoint_url": "%s", "region_name": "us-east-1"}' % s3_service.url]
    out = tmp_path / ("refs.json" if fmt == "kerchunk" else "repo")
    s3_service.reset()
    assert main(["virtualize", "s3://vell-virtualize/run42/m*.vell", "--to", str(out), "--format", fmt]
                + options) == 0
    # Each small object: a HEAD, then one read-ahead range for all the parser reads; no values.
    for name in ("m0.vell", "m1.vell"):
        assert [s3_service.count(m, "/vell-virtualize/run42/" + name) for m in ("HEAD", "GET")] == [1, 1]
    if fmt == "kerchunk":
        refs = json.loads(out.read_text())
        assert refs["refs"]["spectra/0.0.0.0"][0] == "s3://vell-virtualize/run42/m0.vell"
        remote = dict(s3_service.storage_options(), asynchronous=True)
        got = xr.open_dataset("reference://", engine="zarr", backend_kwargs={"consolidated": False, "storage_options": {
            "fo": str(out), "remote_protocol": "s3", "remote_options": remote}})
    else:
        credentials = icechunk.containers_credentials({"s3://vell-virtualize/run42/": icechunk.s3_credentials(
            access_key_id="testing", secret_access_key="testing")})
        repo = icechunk.Repository.open(icechunk.local_filesystem_storage(str(out)),
                                        authorize_virtual_chunk_access=credentials)
        got = xr.open_zarr(repo.readonly_session("main").store, consolidated=False)
    expected = backend.open_mfdataset(maps, parallel=False)
    assert got.spectra.dims == ("file", "y", "x", "spectral")
    assert got.spectra.values.tobytes() == expected.spectra.values.tobytes()
    assert got.file.values.tolist() == ["m0.vell", "m1.vell"]
    for name in ("x", "y", "spectral"):
        assert got[name].values.tobytes() == expected[name].values.tobytes() and got[name].attrs == expected[name].attrs


@pytest.mark.parametrize("where, extra, message", [
    ("s3", [], "s3://vell-virtualize/run42/gone.vell: no such object"),
    ("s3", ["--storage-option", "config_kwargs={}"], "--storage-option config_kwargs: no equivalent"),
    ("http", ["--format", "icechunk"], "--format icechunk reads virtual chunks from local files and s3://"),
], ids=["missing", "option", "icechunk-http"])
def test_urls_refused_by_name(tmp_path, s3_service, http_server, monkeypatch, capsys, where, extra, message):
    for name, value in dict(s3_service.environment(), AWS_ALLOW_HTTP="true").items():
        monkeypatch.setenv(name, value)
    if where == "s3":
        _s3_maps(tmp_path, s3_service)
        url = "s3://vell-virtualize/run42/" + ("gone.vell" if not extra else "m0.vell")
    else:
        url = http_server.put("virtualize/s.vell", Path(make(tmp_path, "series")).read_bytes())
    s3_service.reset()
    out = tmp_path / "out"
    assert main(["virtualize", url, "--to", str(out)] + extra) == 1
    err = capsys.readouterr().err
    assert message in err and "Debug source" not in err and not out.exists()
    if extra:  # refused before any request
        assert s3_service.count("HEAD") + s3_service.count("GET") == 0


def test_virtualize_a_url_over_http(tmp_path, http_server):
    path = make(tmp_path, "series")
    url = http_server.put("virtualize/" + os.path.basename(path), Path(path).read_bytes())
    out = tmp_path / "refs.json"
    assert main(["virtualize", url, "--to", str(out)]) == 0
    got = xr.open_dataset("reference://", engine="zarr", decode_timedelta=False, backend_kwargs={
        "consolidated": False, "storage_options": {"fo": str(out), "remote_protocol": "http",
                                                   "remote_options": {"asynchronous": True}}})
    assert_same_dataset(got, backend.open_dataset(path).load())


def test_each_run_makes_its_stores_from_its_own_options(tmp_path, s3_service, monkeypatch):
    import services

    _s3_maps(tmp_path, s3_service)
    other = services.S3Server()  # a second endpoint onto the same objects (the server's state is shared)
    try:
        for name in ("AWS_ENDPOINT_URL", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"):
            monkeypatch.delenv(name, raising=False)
        for k, server in enumerate((s3_service, other)):
            server.reset()
            assert main(["virtualize", "s3://vell-virtualize/run42/m0.vell", "--to", str(tmp_path / ("%d.json" % k)),
                         "--storage-option", "key=testing", "--storage-option", "secret=testing",
                         "--storage-option", "endpoint_url=" + server.url]) == 0
            assert server.count("HEAD") == 1
    finally:
        other.stop()
