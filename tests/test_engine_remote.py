"""The xarray engine and the command reading files that are not local paths:
fsspec URLs (memory://, file://, s3:// on the loopback server with its
storage options) and open binary file objects give what the local file gives; a replaced object is
refused by name; Dask task names and pickles follow the object."""

import io
import json
import os
import pickle
import shutil

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
fsspec = pytest.importorskip("fsspec")

from vellkit_tools import backend, kinds, writer  # noqa: E402
from vellkit_tools.cli import main  # noqa: E402
from vellkit_tools.cli._options import storage_option  # noqa: E402

from test_backend_engine import make  # noqa: E402

pytestmark = pytest.mark.native

MEMORY = fsspec.filesystem("memory")


def _bytes(path):
    with open(path, "rb") as f:
        return f.read()


def _put(local, url):
    data = _bytes(local)
    MEMORY.pipe(url, data)
    return data


@pytest.fixture
def one_of_each(tmp_path):
    """{kind: (local path, memory:// URL)} with the same file name."""
    files = {}
    for kind in kinds.KINDS:
        path = make(tmp_path, kind)
        url = "memory://engine/%s/%s" % (tmp_path.name, os.path.basename(path))
        _put(path, url)
        files[kind] = (path, url)
    yield files
    MEMORY.rm("/engine/%s" % tmp_path.name, recursive=True)


def _open_via(how, path, url):
    if how == "url":
        return backend.open_dataset(url)
    if how == "xarray url":
        return xr.open_dataset(url, engine="vell")
    if how == "file url":
        return backend.open_dataset("file://" + os.path.abspath(path))
    if how == "file object":
        with open(path, "rb") as f:
            return backend.open_dataset(f).load()
    return backend.open_dataset(io.BytesIO(_bytes(path)))


@pytest.mark.parametrize("how", ["url", "xarray url", "file url", "file object", "bytes"])
@pytest.mark.parametrize("kind", list(kinds.KINDS))
def test_every_kind_reads_as_the_local_file(one_of_each, kind, how):
    path, url = one_of_each[kind]
    expected = backend.open_dataset(path).load()
    got = _open_via(how, path, url).load()
    if how == "bytes":  # no name to give the title and source
        xr.testing.assert_equal(got, expected)
    else:
        xr.testing.assert_identical(got, expected)


BUCKET = "engine"


@pytest.fixture
def on_s3(tmp_path, s3_service):
    """(local image map, its s3:// URL on the loopback server, the options that reach it)."""
    path = make(tmp_path, "image_map")
    url = s3_service.put(BUCKET, "%s/map.vell" % tmp_path.name, _bytes(path))
    return path, url, s3_service.storage_options()


@pytest.mark.parametrize("opener", [
    lambda url, so: xr.open_dataset(url, engine="vell", storage_options=so),
    lambda url, so: xr.open_dataset(url, engine="vell", backend_kwargs={"storage_options": so}),
    lambda url, so: backend.open_dataset(url, storage_options=so),
    lambda url, so: backend.open_dataset(url, backend_kwargs={"storage_options": so}),
    lambda url, so: backend.open_mfdataset([url], parallel=False, storage_options=so).isel(file=0),
    lambda url, so: backend.open_datatree(url, storage_options=so)["AB_3D_NONE"].to_dataset(),
], ids=["xarray keyword", "xarray backend_kwargs", "keyword", "backend_kwargs", "mfdataset", "datatree"])
def test_storage_options_reach_s3_every_way(on_s3, opener):
    path, url, options = on_s3
    np.testing.assert_array_equal(opener(url, options).spectra.values, backend.open_dataset(path).spectra.values)


@pytest.mark.parametrize("target, options, error, text", [
    ("memory://engine/none/missing.vell", None, FileNotFoundError, "memory://engine/none/missing.vell"),
    ("memory://engine/none/*.vell", None, FileNotFoundError, "memory://engine/none/\\*.vell: no objects match"),
    ("local.vell", {"anon": True}, ValueError, "storage_options apply to URLs only"),
    (42, None, TypeError, "paths, URLs and binary file objects, not int"),
])
def test_what_cannot_be_opened_is_named(target, options, error, text):
    with pytest.raises(error, match=text):
        backend.open_mfdataset(target, storage_options=options, parallel=False) if "*" in str(target) else \
            backend.open_dataset(target, storage_options=options)


@pytest.mark.parametrize("replacement", ["same size", "other size"])
def test_a_replaced_object_is_refused_by_its_url_at_the_next_read(one_of_each, replacement):
    path, url = one_of_each["image_map"]
    ds = backend.open_dataset(url)
    data = _bytes(path)
    MEMORY.pipe(url, data if replacement == "same size" else data + b"\0" * 8)
    with pytest.raises(OSError, match="%s has changed since it was opened" % url):
        ds.spectra[1, 2].values


def test_dask_chunks_compute_the_same_and_are_named_by_url_and_version(one_of_each):
    pytest.importorskip("dask.array")
    path, url = one_of_each["image_map"]
    expected = backend.open_dataset(path).spectra.values
    first = backend.open_dataset(url, chunks={}).spectra
    np.testing.assert_array_equal(first.values, expected)
    assert backend.open_dataset(url, chunks={}).spectra.data.name == first.data.name
    MEMORY.pipe(url, _bytes(path))  # the same bytes, another version of the object
    assert backend.open_dataset(url, chunks={}).spectra.data.name != first.data.name
    other = url.replace("image_map", "renamed")
    MEMORY.pipe(other, _bytes(path))
    assert backend.open_dataset(other, chunks={}).spectra.data.name != first.data.name


@pytest.mark.parametrize("kind", ["spectrum", "image_map", "multi_region_traces"])
def test_a_pickled_lazy_dataset_reopens_the_url_and_reads_the_same(one_of_each, kind):
    path, url = one_of_each[kind]
    (name,) = backend.open_dataset(path).data_vars
    copy = pickle.loads(pickle.dumps(backend.open_dataset(url)))
    np.testing.assert_array_equal(copy[name].values, backend.open_dataset(path)[name].values)


@pytest.mark.parametrize("parallel", [False, True])
def test_many_objects_by_pattern_or_file_object_stack_as_local_files(tmp_path, parallel):
    if parallel:
        pytest.importorskip("dask.array")
    paths = [make(tmp_path, "series", name="run%d.vell" % k) for k in range(3)]
    urls = ["memory://engine/many-%s/run%d.vell" % (tmp_path.name, k) for k in range(3)]
    for path, url in zip(paths, urls):
        _put(path, url)
    expected = backend.open_mfdataset(paths, parallel=False).spectra.values
    by_pattern = backend.open_mfdataset("memory://engine/many-%s/run*.vell" % tmp_path.name, parallel=parallel)
    np.testing.assert_array_equal(by_pattern.spectra.values, expected)
    assert [u.rsplit("/", 1)[1] for u in by_pattern.file.values] == ["run0.vell", "run1.vell", "run2.vell"]
    with open(paths[0], "rb") as a, open(paths[1], "rb") as b, open(paths[2], "rb") as c:
        stacked = backend.open_mfdataset([a, b, c], parallel=parallel)
        np.testing.assert_array_equal(stacked.spectra.values, expected)
    assert list(stacked.file.values) == paths


def test_a_tree_of_a_url_lists_its_images_without_pixels(tmp_path):
    vf = writer.make_spectrum_file(np.arange(8, dtype=np.float32))
    vf.add_image_block([writer.Image(b"\x89PNG not decoded", title="camera")])
    path = str(tmp_path / "with-image.vell")
    vf.write(path)
    url = "memory://engine/tree-%s.vell" % tmp_path.name
    _put(path, url)
    tree = backend.open_datatree(url)
    np.testing.assert_array_equal(tree["AB_2D_NONE"].spectrum.values, np.arange(8))
    assert tree["image_0"].attrs["title"] == "camera" and "local files only" in tree["image_0"].attrs["pixels_error"]


@pytest.mark.parametrize("name, taken", [
    ("s3://bucket/run/map.vell", True), ("https://host/data/sample.0", True), ("memory://a/B.VELL?v=2", True),
    ("https://host/data/sample.txt", False), ("s3://bucket/run/", False),
])
def test_a_url_is_recognised_by_its_name_without_a_request(name, taken):
    assert backend.VellBackendEntrypoint().guess_can_open(name) is taken


# ----------------------------------------------------------------------------
# The command
# ----------------------------------------------------------------------------

@pytest.mark.parametrize("text, parsed", [
    ("anon=true", ("anon", True)),
    ('client_kwargs={"endpoint_url": "http://127.0.0.1:9000"}',
     ("client_kwargs", {"endpoint_url": "http://127.0.0.1:9000"})),
    ("region=eu-west-1", ("region", "eu-west-1")),
    ("token=", ("token", "")),
    ("path=/a=b", ("path", "/a=b")),
])
def test_a_storage_option_is_json_when_it_parses(text, parsed):
    assert storage_option(text) == parsed


def test_a_storage_option_without_a_key_is_a_usage_error(capsys):
    with pytest.raises(SystemExit) as stop:
        main(["show", "memory://x.vell", "--storage-option", "anon"])
    assert stop.value.code == 2 and "expected KEY=VALUE" in capsys.readouterr().err


def _cli_options(options):
    return [arg for key, value in options.items()
            for arg in ("--storage-option", "%s=%s" % (key, value if isinstance(value, str) else json.dumps(value)))]


@pytest.mark.parametrize("command", ["list", "show", "check"])
def test_list_show_check_read_s3_with_storage_options(on_s3, capsys, command):
    path, url, options = on_s3
    assert main([command, url] + _cli_options(options)) == 0
    out = capsys.readouterr().out
    assert out.startswith(("%s" if command != "check" else "OK      %s") % url)


def test_the_stores_environment_variables_need_no_option(on_s3, s3_service, capsys, monkeypatch):
    path, url, options = on_s3
    for name, value in s3_service.environment().items():
        monkeypatch.setenv(name, value)
    assert main(["show", url]) == 0
    assert capsys.readouterr().out.startswith("%s (" % url)


def test_check_of_a_damaged_object_says_what_is_wrong_under_its_url(tmp_path, capsys):
    path = make(tmp_path, "image_map")
    data = _bytes(path)
    url = "memory://engine/damaged-%s/cut.vell" % tmp_path.name
    MEMORY.pipe(url, data[:len(data) - 100])
    assert main(["check", url]) == 1
    out = capsys.readouterr().out
    assert out.startswith("DAMAGED %s\n        - truncated at byte %d" % (url, len(data) - 100))


def test_export_of_a_url_writes_outputs_named_after_its_last_component(on_s3, tmp_path):
    path, url, options = on_s3
    MEMORY.pipe("/engine/export-%s/remote map.vell" % tmp_path.name, _bytes(path))
    memory_url = "memory://engine/export-%s/remote map.vell" % tmp_path.name
    out = tmp_path / "out"
    assert main(["export", url, memory_url, "--to", str(out), "--format", "csv"] + _cli_options(options)) == 0
    assert sorted(os.listdir(out)) == ["map_AB_3D_NONE.csv", "map_AB_3D_NONE.csv.json",
                                       "remote map_AB_3D_NONE.csv", "remote map_AB_3D_NONE.csv.json"]
    local = tmp_path / "local"
    assert main(["export", path, "--to", str(local), "--format", "csv"]) == 0
    expected = (local / ("%s_AB_3D_NONE.csv" % os.path.splitext(os.path.basename(path))[0])).read_bytes()
    assert (out / "map_AB_3D_NONE.csv").read_bytes() == expected == (out / "remote map_AB_3D_NONE.csv").read_bytes()


@pytest.mark.parametrize("command", ["list", "check"])
def test_a_url_pattern_matching_nothing_is_refused_once_by_name(capsys, command):
    pattern = "memory://engine/none/*.vell"
    assert main([command, pattern]) == 1
    said = capsys.readouterr()
    assert "%s: no objects match" % pattern in said.out + said.err
    assert "%s: %s" % (pattern, pattern) not in said.out + said.err


def test_preview_of_a_url_draws_what_the_local_file_draws(on_s3, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    path, url, options = on_s3
    monkeypatch.chdir(tmp_path)
    shutil.copy(path, "map.vell")  # named as the URL's object, which the picture names
    assert main(["preview", url, "--band", "1000:3500", "--out", "remote.png"] + _cli_options(options)) == 0
    assert main(["preview", "map.vell", "--band", "1000:3500", "--out", "local.png"]) == 0
    assert (tmp_path / "remote.png").read_bytes() == (tmp_path / "local.png").read_bytes()
    assert main(["preview", url + ".missing", "--out", "none.png"] + _cli_options(options)) == 1
