"""``vellkit export`` and the command's batch runs, in child processes, on files made
by the writer; the runner and the report capture also in-process."""

import csv
import functools
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import vellkit
from pathlib import Path
from vellkit_tools import arrays, kinds, writer as w

PYTHON_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python")
X = np.linspace(4000.123456789012, 400.1, 24)
posix_only = pytest.mark.skipif(os.name != "posix", reason="FIFOs, umask, ptys and SIGKILL are POSIX")
TRICKY = ['Amide I, "band"', "Area\r\nforged,1,2", "CR\ronly"]


def command(*args, umask=None, timeout=120, stdin=None, **popen):
    """``python -m vellkit_tools ARGS`` in a child process (arguments may be bytes)."""
    env = dict(os.environ)
    paths = [PYTHON_DIR] + (env["PYTHONPATH"].split(os.pathsep) if env.get("PYTHONPATH") else [])
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in paths)
    argv = [sys.executable, "-m", "vellkit_tools"] + [a if isinstance(a, bytes) else str(a) for a in args]
    preexec = (lambda: os.umask(umask)) if umask is not None else None
    return subprocess.Popen(argv, env=env, preexec_fn=preexec, stdin=stdin or subprocess.DEVNULL,
                            **dict(dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE), **popen))


def run(*args, **options):
    """(status, stdout, stderr) of the command, output as text (bytes kept as surrogates)."""
    timeout = options.pop("timeout", 120)
    proc = command(*args, **options)
    out, err = proc.communicate(timeout=timeout)
    return (proc.returncode, out.decode("utf-8", "surrogateescape"),
            err.decode("utf-8", "surrogateescape"))


# ----------------------------------------------------------------------------
# Files of every kind
# ----------------------------------------------------------------------------

def _cut_spectrum(path):
    """A spectrum block cut by the end of the file: y holds 40 of its 50 values."""
    vf = w.VellFile(directory="start")
    vf.add_parameters(w.spectral_params(50, 4000.0, 400.0), param_type=w.PARAM_OWN, data_type="AB")
    vf.add_spectrum(np.arange(50, dtype=np.float32), data_type="AB")
    path.write_bytes(vf.to_bytes()[:-40])
    return str(path)


def _derivative_map(path):
    """A 1DER map whose grid lives in the original block's parameters (so the
    directory lists an AB/3D/NONE block without data)."""
    params = w.image_map_params(6, 1.0, 2.0, npx=0, npy=0)
    original = w.image_map_params(6, 1.0, 2.0, npx=2, npy=2, aox=5.0, ddx=2.0)
    records = [np.full(6, k, np.float32) for k in range(4)]
    w.make_3d_file(records, 6, params, deriv="1DER", original_params=original).write(str(path))
    return str(path)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("kinds")
    rng = np.random.default_rng(3)
    f = {}
    f["spectrum"] = arrays.write_spectrum(folder / "spectrum.vell", rng.random(X.size, np.float32), X,
                                          params={"SNM": 'film, "wet"\r\n1,2,3'},
                                          images=[w.Image(b"BM" + bytes(40), "Photo\r\n")])
    derivs = w.make_spectrum_file(np.arange(5, dtype=np.float32))
    for deriv in ("1DER", "2DER", "NDER"):
        w.make_spectrum_file(np.arange(5, dtype=np.float32) * 2, deriv=deriv, into=derivs)
    derivs.write(str(folder / "derivs.vell"))
    f["derivs"] = str(folder / "derivs.vell")
    f["map"] = arrays.write_image_map(folder / "map.vell", rng.random((3, 4, X.size), np.float32), X,
                                      [0.5, 1.0, 1.5, 2.0], [0.1, 0.2, 0.3])
    f["dermap"] = _derivative_map(folder / "dermap.vell")
    f["series"] = arrays.write_time_series(folder / "series.vell", rng.random((5, X.size), np.float32),
                                           X, [0.0, 0.1, 0.2, 0.3, 0.4])
    f["series_traces"] = arrays.write_traces(folder / "strc.vell", rng.random((3, X.size), np.float32),
                                             TRICKY, x=X)
    f["image_traces"] = arrays.write_traces(folder / "itrc.vell", rng.random((2, 3, 3), np.float32),
                                            TRICKY, map_x=np.arange(3.0), map_y=np.arange(2.0))
    regions = [{"nx": 2, "ny": 1, "group": 10, "spectra": rng.random((2, X.size), np.float32),
                "times": [1.5, 2.5]},
               {"points": [(4.0, 1.0)], "group": 12, "spectra": rng.random((1, X.size), np.float32),
                "times": [3.5]}]
    f["regions"] = arrays.write_multi_region(folder / "regions.vell", regions, X)
    f["region_traces"] = arrays.write_traces(
        folder / "rtrc.vell", None, TRICKY[:2],
        regions=[{"nx": 2, "ny": 1, "group": 7, "traces": rng.random((2, 2))}])
    f["cut"] = _cut_spectrum(folder / "cut.vell")
    f["empty"] = arrays.write_spectrum(folder / "empty.vell", np.zeros(0, np.float32), (1.0, 2.0))
    f["special"] = arrays.write_spectrum(folder / "special.vell",
                                         np.array([1.0, np.nan, np.inf, -np.inf], np.float32),
                                         (1.0, 4.0), params={"NSS": 4})
    return f


def _blocks_with_data(path):
    out = []
    for b in vellkit.listContents(path):
        request = (b[0], b[1], kinds.request_word(b[2]))
        try:
            out.append((request, vellkit.getVellData(path, request)))
        except ValueError as exc:
            assert "No data block" in str(exc)  # the original of a derivative map
    return out


def _values(result):
    """The values of a result as its CSV table lays them out: one row per row."""
    kind = kinds.kind_of_result(result)
    if kind.export_layout == "regions":
        return np.concatenate([np.asarray(r.spectra).reshape(np.size(r.mapX), -1) for r in result.regions])
    if kind.name == "spectrum":
        return np.asarray(result.y).reshape(-1, 1)
    if kind.name == "series_traces":
        return np.asarray(result.traces).T
    values = np.asarray(result.traces if kind.traces else result.spectra)
    return values.reshape(-1, values.shape[-1]) if kind.name != "image_traces" else values.reshape(-1, len(result.labels))


def _output(folder, path, block, ext):
    stem = os.path.splitext(os.path.basename(path))[0]
    return os.path.join(folder, "%s_%s.%s" % (stem, kinds.block_name(block), ext))


# ----------------------------------------------------------------------------
# Every kind and derivative through every format
# ----------------------------------------------------------------------------

@pytest.fixture(scope="module")
def exported(files, tmp_path_factory):
    """name of format -> output folder, every file exported in that format."""
    out = {}
    for fmt in ("csv", "npz", "json"):
        folder = tmp_path_factory.mktemp(fmt)
        status, stdout, err = run("export", *files.values(), "--to", folder, "--format", fmt,
                                  "--keep-damaged")
        assert status == 1 and "export: 12 files, 11 OK, 1 failed\n  %s: block AB/2D/NONE is " \
                               "damaged: truncated at byte" % files["cut"] in err, err
        assert err.endswith("; kept as read, marked damaged\n")
        assert sorted(stdout.splitlines()) == sorted(str(folder / n) for n in os.listdir(folder))
        out[fmt] = str(folder)
    return out


def _json_values(values):
    return np.array([[np.nan if v is None else v for v in row] if isinstance(row, list)
                     else (np.nan if row is None else row) for row in values], dtype=np.float64)


def _finite_or_nan(values):
    values = np.asarray(values, dtype=np.float64).ravel()
    return np.where(np.isfinite(values), values, np.nan)


@pytest.mark.parametrize("name", ["spectrum", "derivs", "map", "dermap", "series", "series_traces",
                                  "image_traces", "regions", "region_traces", "cut", "empty", "special"])
def test_every_block_exports_exactly(files, exported, name):
    path = files[name]
    blocks = _blocks_with_data(path)
    assert blocks
    for block, result in blocks:
        kind = kinds.kind_of_result(result)
        # CSV: a header row, then every row; the sidecar says what the table does not
        csv_path = _output(exported["csv"], path, block, "csv")
        side = json.loads(Path(csv_path + ".json").read_text())
        assert side["block"] == list(kinds.output_block(block)) and side["kind"] == kind.words
        assert side["parameters"]["NPT"] == result.parameters["NPT"]
        with open(csv_path, newline="") as f:
            rows = list(csv.reader(f))
        assert len(rows) == side["rows"] + 1 and rows[0] == side["columns"]
        expected = _values(result)
        lead = side["coordinate_columns"]
        table = np.array([[float(v) for v in row] for row in rows[1:]]).reshape(len(rows) - 1, len(rows[0]))
        assert table.shape[0] == expected.shape[0] if kind.name != "spectrum" else \
            table.shape[0] == min(np.size(result.x), np.size(result.y))
        np.testing.assert_array_equal(table[:, lead:].astype(np.float32), expected[:table.shape[0]])
        if kind.export_layout == "columns":
            np.testing.assert_array_equal(table[:, 0], np.asarray(result.x)[:table.shape[0]])
        # NPZ and JSON: the same arrays
        with np.load(_output(exported["npz"], path, block, "npz")) as npz:
            np.testing.assert_array_equal(npz["x"], result.x)
            doc = json.loads(Path(_output(exported["json"], path, block, "json")).read_text(),
                             parse_constant=pytest.fail)
            assert sorted(doc["data"]) == sorted(set(npz.files) - {"block", "parameters_json", "damaged"})
            assert doc["block"] == list(kinds.output_block(block)) == npz["block"].tolist()
            for key in doc["data"]:
                if npz[key].dtype.kind in "fiu":
                    np.testing.assert_array_equal(_json_values(doc["data"][key]).ravel()
                                                  if npz[key].size else np.zeros(0),
                                                  _finite_or_nan(npz[key]))
            if kind.name == "spectrum":
                np.testing.assert_array_equal(npz["y"], result.y)


def test_csv_reads_with_pandas_and_numpy(files, exported):
    pandas = pytest.importorskip("pandas")
    traces = _output(exported["csv"], files["series_traces"], ("TRC", "3D", "NONE"), "csv")
    frame = pandas.read_csv(traces)
    assert list(frame.columns) == ["x (cm-1)", 'Amide I, "band"', "Area\\r\\nforged,1,2", "CR\\ronly"]
    assert len(frame) == X.size
    np.testing.assert_array_equal(frame.iloc[:, 0].to_numpy(), X)  # full precision
    loaded = np.loadtxt(traces, delimiter=",", skiprows=1)
    assert loaded.shape == (X.size, 4)
    side = json.loads(Path(traces + ".json").read_text())
    assert side["labels"] == TRICKY
    spectrum = _output(exported["csv"], files["spectrum"], ("AB", "2D", "NONE"), "csv")
    assert len(pandas.read_csv(spectrum)) == X.size
    assert json.loads(Path(spectrum + ".json").read_text())["parameters"]["SNM"] == 'film, "wet"\r\n1,2,3'
    with open(spectrum, newline="") as f:
        assert all(line.endswith("\r\n") for line in f)  # RFC 4180 line ends


def test_regions_carry_the_files_group_numbers(files, exported):
    block = ("AB", "3D", "NONE")
    table = np.loadtxt(_output(exported["csv"], files["regions"], block, "csv"), delimiter=",",
                       skiprows=1)
    np.testing.assert_array_equal(table[:, 0], [10, 10, 12])
    np.testing.assert_array_equal(table[:, 3], [1.5, 2.5, 3.5])  # start times
    with np.load(_output(exported["npz"], files["regions"], block, "npz")) as npz:
        assert npz["region_groups"].tolist() == [10, 12]
        assert npz["region12_spectra"].shape == (1, X.size) and "region0_spectra" not in npz.files
    doc = json.loads(Path(_output(exported["json"], files["regions"], block, "json")).read_text())
    assert [r["group"] for r in doc["regions"]] == [10, 12]
    traces = _output(exported["csv"], files["region_traces"], ("TRC", "3D", "NONE"), "csv")
    assert np.loadtxt(traces, delimiter=",", skiprows=1)[:, 0].tolist() == [7, 7]


def test_json_is_strict_and_nan_is_null(files, exported):
    text = open(_output(exported["json"], files["special"], ("AB", "2D", "NONE"), "json")).read()
    doc = json.loads(text, parse_constant=pytest.fail)
    assert doc["data"]["y"] == [1.0, None, None, None]
    for name in [n for n in os.listdir(exported["json"]) if n.endswith(".json")]:
        json.loads(Path(os.path.join(exported["json"], name)).read_text(), parse_constant=pytest.fail)


def test_cut_and_empty_blocks(files, exported):
    cut = np.loadtxt(_output(exported["csv"], files["cut"], ("AB", "2D", "NONE"), "csv"),
                     delimiter=",", skiprows=1)
    assert cut.shape == (40, 2)  # as read, and said so
    side = json.loads(Path(_output(exported["csv"], files["cut"], ("AB", "2D", "NONE"), "csv.json")).read_text())
    assert side["damaged"].startswith("truncated at byte")
    empty = _output(exported["csv"], files["empty"], ("AB", "2D", "NONE"), "csv")
    assert Path(empty).read_bytes().decode() == "x (cm-1),AB\r\n"


def test_derivative_map_exports_its_block_and_no_empty_one(files, exported):
    names = [n for n in os.listdir(exported["npz"]) if n.startswith("dermap")]
    assert names == ["dermap_AB_3D_1DER.npz"]
    with np.load(os.path.join(exported["npz"], names[0])) as npz:
        assert npz["map_x"].tolist() == [5.0, 7.0]
    status, _, err = run("export", files["dermap"], "--to", os.path.join(exported["npz"], "x"),
                         "--block", "AB/3D/NONE")
    assert status == 1 and "No data block" in err


@pytest.mark.parametrize("word", ["NDER", "3DER", "nder"])
def test_third_derivative_by_either_word(files, tmp_path, word):
    status, out, err = run("export", files["derivs"], "--to", tmp_path, "--block", "AB/2D/" + word,
                           "--format", "npz")
    assert (status, err) == (0, "")
    assert out.split() == [str(tmp_path / "derivs_AB_2D_3DER.npz")]


def test_netcdf(files, tmp_path):
    xarray = pytest.importorskip("xarray")
    status, _, err = run("export", files["map"], "--to", tmp_path, "--format", "netcdf")
    assert status == 0, err
    with xarray.open_dataset(tmp_path / "map_AB_3D_NONE.nc") as ds:
        np.testing.assert_array_equal(ds["spectra"].values,
                                      vellkit.getVellData(files["map"], ("AB", "3D", "NONE")).spectra)


#: Parameter names NetCDF cannot hold (the first one's "q" becomes a NUL in the file).
ODD_NAMES = ["AqB", "A.B", "A B", "A/B", "A\tB", "A\x1bB", "\u00c4B", " AB", "1AB"]


def test_netcdf_keeps_names_it_cannot_hold_under_safe_names_mapped_back(tmp_path):
    xarray = pytest.importorskip("xarray")
    pytest.importorskip("netCDF4")
    from vellkit_tools import open_dataset
    from vellkit_tools.cli._formats import original_names
    path = tmp_path / "odd.vell"
    arrays.write_spectrum(path, np.arange(8, dtype=np.float32), X[:8],
                          params={n: float(k) for k, n in enumerate(ODD_NAMES)})
    path.write_bytes(path.read_bytes().replace(b"AqB", b"A\0B"))
    status, _, err = run("export", path, "--to", tmp_path / "out", "--format", "netcdf")
    assert (status, err) == (0, "")
    with xarray.open_dataset(tmp_path / "out" / "odd_AB_2D_NONE.nc") as back, \
            open_dataset(str(path)) as expected:
        assert "A\0B" in expected.attrs
        assert original_names(back.attrs) == expected.attrs  # every name, every value
        assert all(k.isidentifier() for k in back.attrs)


@pytest.mark.native
@pytest.mark.parametrize("fmt", ["json", "csv"])
def test_outputs_of_a_map_of_positions_without_points_are_written_as_they_go(tmp_path, fmt):
    """A few hundred bytes claiming 1000 x 500 positions of no points: the JSON
    was a list of empty lists per position, the CSV's coordinates were made
    whole, as numbers and as texts, before a line was written."""
    import tracemalloc
    from vellkit_tools.cli import _formats
    path = tmp_path / "hollow.vell"
    w.make_3d_file([], 0, w.image_map_params(0, 1.0, 2.0, npx=1000, npy=500)).write(str(path))
    block = ("AB", "3D", "NONE")
    result = vellkit.getVellData(str(path), block)
    out = str(tmp_path / ("out." + fmt))
    tracemalloc.start()
    try:
        if fmt == "json":
            _formats.write_json(out, str(path), block, result)
        else:
            _formats.write_csv(out, str(path), block, result)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 3 << 20  # a slice of rows and a constant (500,000 positions)
    if fmt == "csv":
        with open(out) as f:
            assert sum(1 for _ in f) == 1 + 500000
        return
    assert os.path.getsize(out) < 20 * 1500  # the 1500 map coordinates and a constant
    doc = json.loads(Path(out).read_text())
    assert doc["shapes"]["spectra"] == [500, 1000, 0] and doc["data"]["spectra"] == []
    np.testing.assert_array_equal(doc["data"]["map_y"], result.mapY)


@pytest.mark.parametrize("kind, block", [("map", "AB/3D/NONE"), ("series", "AB/3D/NONE"),
                                         ("region_traces", "TRC/3D/NONE")])
def test_zarr_stores_read_back_and_replace_whole(files, tmp_path, kind, block):
    xarray = pytest.importorskip("xarray")
    pytest.importorskip("zarr")
    status, out, err = run("export", files[kind], "--to", tmp_path, "--format", "zarr")
    assert (status, err) == (0, "")  # nothing but the outputs, no library notices
    store = tmp_path / ("%s_%s.zarr" % (os.path.basename(files[kind])[:-5], block.replace("/", "_")))
    assert out.split() == [str(store)]
    from vellkit_tools import open_dataset
    with xarray.open_zarr(str(store)) as back, open_dataset(files[kind]) as expected:
        variable = kinds.KINDS[_native_kind(files[kind])].variable
        np.testing.assert_array_equal(back[variable].values, expected[variable].values)
    # Replaced whole with --force; nothing temporary left beside it.
    status, _, err = run("export", files[kind], "--to", tmp_path, "--format", "zarr", "--force")
    assert status == 0, err
    assert sorted(os.listdir(tmp_path)) == [store.name]


def _native_kind(path):
    from vellkit_tools import _native
    return next(b["kind"] for b in _native.describe_file(path)["blocks"] if b["kind"])


@posix_only
def test_file_names_that_are_not_utf8(files, tmp_path):
    folder = os.fsencode(str(tmp_path))
    source = os.path.join(folder, b"sp\xff.vell")
    with open(files["spectrum"], "rb") as f, open(source, "wb") as g:
        g.write(f.read())
    proc = command("export", source, "--to", os.path.join(folder, b"out\xfe"), "--format", "json")
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    target = os.path.join(folder, b"out\xfe", b"sp\xff_AB_2D_NONE.json")
    # Listed as every command prints names: bytes that are not text escaped.
    assert os.path.join(folder, b"out\\xfe", b"sp\\xff_AB_2D_NONE.json") in out.split(b"\n")
    with open(target, "rb") as exported_json:  # a bytes name, which pathlib does not take
        assert json.loads(exported_json.read())["file"] == "sp\\xff.vell"


# ----------------------------------------------------------------------------
# Outputs: atomic, the umask's mode, errors that stay the file's own
# ----------------------------------------------------------------------------

def _parts(folder):
    return [n for n in os.listdir(folder) if n.endswith(".part")]


def test_an_output_that_cannot_be_written_fails_its_file_only(files, tmp_path):
    (tmp_path / "spectrum_AB_2D_NONE.csv").mkdir()  # replacing a folder fails
    long_name = tmp_path / ("n" * 240 + ".vell")  # its image's name is too long
    long_name.write_bytes(Path(files["spectrum"]).read_bytes())
    status, out, err = run("export", files["spectrum"], long_name, files["map"], "--to", tmp_path,
                           "--force")
    assert status == 1 and "Traceback" not in err
    assert "spectrum_AB_2D_NONE.csv: cannot write it" in err
    assert "File name too long" in err
    assert "export: 3 files, 1 OK, 2 failed" in err
    assert (tmp_path / "map_AB_3D_NONE.csv").exists() and not _parts(tmp_path)


@posix_only
@pytest.mark.parametrize("umask", [0o022, 0o002])
def test_outputs_follow_the_umask(files, tmp_path, umask):
    assert run("export", files["spectrum"], "--to", tmp_path, umask=umask)[0] == 0
    for name in os.listdir(tmp_path):
        assert os.stat(tmp_path / name).st_mode & 0o777 == 0o666 & ~umask, name


# ----------------------------------------------------------------------------
# Inputs
# ----------------------------------------------------------------------------

@posix_only
def test_fifos_are_refused_and_names_taken_once(files, tmp_path):
    fifo = tmp_path / "pipe.vell"
    os.mkfifo(str(fifo))
    here = os.path.dirname(files["map"])
    status, out, err = run("export", fifo, files["map"], "./map.vell", "--to", tmp_path / "out",
                           "--no-images", cwd=here, timeout=60)
    assert status == 1
    assert "pipe.vell: a FIFO, not a file" in err
    assert "export: 2 files, 1 OK, 1 failed" in err
    assert out.split() == [str(tmp_path / "out" / "map_AB_3D_NONE.csv"),
                           str(tmp_path / "out" / "map_AB_3D_NONE.csv.json")]


@posix_only
@pytest.mark.parametrize("args", [["show"], ["preview", "--out", "p.png"], ["list"], ["check"]])
def test_every_subcommand_refuses_a_fifo(tmp_path, args):
    fifo = tmp_path / "pipe.vell"
    os.mkfifo(str(fifo))
    status, out, err = run(args[0], fifo, *args[1:], cwd=tmp_path, timeout=60)
    assert status == 1 and "pipe.vell: " in out + err
    assert "a FIFO, not a file" in out + err or "not a regular file" in out + err


def test_folders_are_walked_with_r(files, tmp_path):
    inner = tmp_path / "in" / "deeper"
    inner.mkdir(parents=True)
    (tmp_path / "in" / "notes.txt").write_text("not a VELL file")
    (inner / "one.vell").write_bytes(Path(files["series"]).read_bytes())
    status, _, err = run("export", tmp_path / "in", "--to", tmp_path / "out")
    assert status == 1 and "is a folder (use -r to walk it)" in err
    status, out, err = run("export", "-r", tmp_path / "in", "--to", tmp_path / "out", "--format", "npz")
    assert (status, err) == (0, "")
    assert out.split() == [str(tmp_path / "out" / "one_AB_3D_NONE.npz")]


def test_skip_existing_writes_only_what_is_missing(files, tmp_path):
    status, out, _ = run("export", files["spectrum"], files["map"], "--to", tmp_path)
    assert status == 0
    first = sorted(out.split())
    os.unlink(tmp_path / "map_AB_3D_NONE.csv")
    status, _, err = run("export", files["spectrum"], files["map"], "--to", tmp_path)
    assert status == 1 and err.splitlines() == [  # one line for all, whatever their number
        "vellkit: 2 outputs exist already (%s, ...): use --force to overwrite or --skip-existing "
        "to keep them" % (tmp_path / "spectrum_AB_2D_NONE.csv"),
        "export: 2 files, 0 OK, 0 failed, 2 not written (outputs exist)"]
    status, out, err = run("export", files["spectrum"], files["map"], "--to", tmp_path,
                           "--skip-existing")
    assert (status, err) == (0, "export: 2 files, 1 OK, 1 skipped (outputs exist), 0 failed\n")
    assert out.split() == [str(tmp_path / "map_AB_3D_NONE.csv"),  # its sidecar goes with it
                           str(tmp_path / "map_AB_3D_NONE.csv.json")]
    assert sorted(str(tmp_path / n) for n in os.listdir(tmp_path)) == first
    status, out, err = run("export", files["spectrum"], files["map"], "--to", tmp_path, "--force",
                           "--quiet")
    assert (status, out, err) == (0, "", "export: 2 files, 2 OK, 0 failed\n")


@pytest.mark.parametrize("args, message", [
    (["--jobs", "0"], "argument --jobs/-j: must be at least 1"),
    (["--bogus"], "unrecognized arguments: --bogus"),
    (["--block", "AB/4D"], "dimensions are 2D or 3D"),
    (["--force", "--skip-existing"], "not allowed with argument"),
])
def test_usage_errors_show_the_subcommands_usage(tmp_path, args, message):
    status, out, err = run("export", "a.vell", "--to", tmp_path, *args)
    assert status == 2 and out == ""
    assert err.startswith("usage: vellkit export") and message in err


# ----------------------------------------------------------------------------
# Parallel runs, Ctrl-C, dying workers, the progress bar
# ----------------------------------------------------------------------------

@pytest.fixture(scope="module")
def many(tmp_path_factory):
    """Forty image maps, each a second or so of CSV export on a shared machine."""
    folder = tmp_path_factory.mktemp("many")
    cube = np.random.default_rng(1).random((40, 50, 200), np.float32)
    first = arrays.write_image_map(folder / "m00.vell", cube)
    data = Path(first).read_bytes()
    paths = [first]
    for k in range(1, 40):
        path = folder / ("m%02d.vell" % k)
        path.write_bytes(data)
        paths.append(str(path))
    return paths


def test_parallel_run_streams_and_ctrl_c_stops_it(many, tmp_path):
    out_dir = tmp_path / "out"
    proc = command("export", *many, "--to", out_dir, "--jobs", "2", "--no-images")
    first = proc.stdout.readline()  # a file's outputs appear while the others run
    assert first.startswith(str(out_dir).encode())
    proc.send_signal(signal.SIGINT)
    out = proc.stdout.read()  # (communicate would lose what readline buffered)
    err = proc.stderr.read()
    proc.wait(timeout=30)  # how promptly: the benchmarks time it; here, the files left unread
    assert proc.returncode == 130 and b"interrupted" in err
    listed = set((first + out).decode().split())
    assert listed == set(str(out_dir / n) for n in os.listdir(out_dir))  # the rest were removed
    assert 0 < len(listed) < 2 * len(many) and not _parts(out_dir)


def test_parallel_run_writes_the_same_files(files, exported, tmp_path):
    status, out, err = run("export", *files.values(), "--to", tmp_path, "--format", "json",
                           "--jobs", "3", "--keep-damaged")
    assert status == 1 and "12 files, 11 OK, 1 failed" in err, err  # the cut file
    names = sorted(os.listdir(tmp_path))
    assert names == sorted(os.listdir(exported["json"]))
    for name in names:
        assert (tmp_path / name).read_bytes() == Path(os.path.join(exported["json"], name)).read_bytes()


def _slow_unless_flag(path, send, flag):
    if path == "slow":
        deadline = time.monotonic() + 30
        while not os.path.exists(flag) and time.monotonic() < deadline:
            time.sleep(0.01)
    elif path == "dies":
        from vellkit_tools._atomic import part_name
        open(part_name(os.path.dirname(flag)), "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    send("sent by " + path)
    return path


@posix_only
def test_runner_reports_each_file_as_it_ends_and_a_dead_worker_fails_alone(tmp_path):
    from vellkit_tools.cli import _batch
    from vellkit_tools._atomic import remove_parts
    flag = str(tmp_path / "flag")
    events = []

    def done(path, result):
        events.append(("done", path, result))
        if path == "fast":
            open(flag, "w").close()  # the slow file ends only after this was seen

    def failed(path, reason, pid):
        events.append(("failed", path, reason))
        remove_parts(str(tmp_path), pid)

    _batch.run_in_processes(["slow", "dies", "fast"], functools.partial(_slow_unless_flag, flag=flag), 2,
                            on_message=lambda path, m: events.append(("message", path, m)),
                            on_done=done, on_failed=failed)
    assert ("failed", "dies", "the worker process was ended by SIGKILL") in events
    order = [e for e in events if e[0] == "done"]
    assert order == [("done", "fast", "fast"), ("done", "slow", "slow")]
    assert ("message", "slow", "sent by slow") in events
    assert os.listdir(tmp_path) == ["flag"]


def _pid(path, send):
    return os.getpid()


def test_workers_take_file_after_file():
    """Each worker lives on for the next file: what it imports, it imports once."""
    from vellkit_tools.cli import _batch
    pids = {}
    _batch.run_in_processes(list("abcdef"), _pid, 2, on_message=lambda path, m: None,
                            on_done=pids.__setitem__, on_failed=lambda *a: pytest.fail(str(a)))
    assert sorted(pids) == list("abcdef") and len(set(pids.values())) <= 2


@posix_only
def test_progress_bar_only_on_a_terminal_and_never_in_the_output(files, tmp_path):
    import pty
    master, slave = pty.openpty()
    proc = command("export", files["spectrum"], files["map"], files["series"], "--to", tmp_path,
                   stderr=slave)
    os.close(slave)
    err = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        err += chunk
    out, _ = proc.communicate(timeout=60)
    os.close(master)
    assert proc.returncode == 0
    assert b"exporting [" in err
    assert err.endswith(b"\r\x1b[Kexport: 3 files, 3 OK, 0 failed\r\n")  # cleared before
    assert b"\x1b" not in out and len(out.split()) == 8
    status, _, err = run("export", files["spectrum"], files["map"], "--to", tmp_path / "again")
    assert (status, err) == (0, "export: 2 files, 2 OK, 0 failed\n")


# ----------------------------------------------------------------------------
# The report capture
# ----------------------------------------------------------------------------

def test_capture_counts_reports_and_restores_every_hook():
    from vellkit_tools.cli._common import Reports, captured
    before = (sys.unraisablehook, sys.excepthook, sys.stderr, sys.stdout,
              signal.getsignal(signal.SIGINT))
    reports = Reports()
    with pytest.raises(RuntimeError):
        with captured(reports):
            for k in range(1000):
                try:
                    raise ValueError("field %d" % (k % 20))
                except ValueError:
                    sys.excepthook(*sys.exc_info())
                    sys.unraisablehook(type("U", (), {"object": "reader", "exc_value": sys.exc_info()[1]}))
            print("a line of the reader")
            raise RuntimeError("the read failed")
    assert (sys.unraisablehook, sys.excepthook, sys.stderr, sys.stdout,
            signal.getsignal(signal.SIGINT)) == before
    assert len(reports) == 1000 and len(reports.reads) == Reports.KINDS
    assert "1000 failed reads" in reports.summary() and "of other kinds" in reports.summary()
    assert reports.printed == ["a line of the reader"]


def _long_read(path, records):
    """A series of ``records`` records of one value, 4 bytes apart (info size
    0), each with its time in the file: seconds of reading, no report (a
    flood of reports past the end of the file is refused as damaged)."""
    data = w.make_3d_file([w.Record([1.0], time=1.0)], 1, w.time_resolved_params(1, 1.0, 2.0)).to_bytes()
    block = 24  # the 3D block comes first: block size 4, info size 0, one run of `records`
    data = data[:block + 12] + struct.pack("<ii", 4, 0) + data[block + 20:block + 28] + \
        struct.pack("<i", records - 1) + data[block + 32:]
    path.write_bytes(data + bytes(4 * records + 144))
    return str(path)


def _wait_until_open(pid, path, limit=60.0):
    deadline = time.monotonic() + limit
    folder = "/proc/%d/fd" % pid
    while time.monotonic() < deadline:
        try:
            if any(os.readlink(os.path.join(folder, fd)) == path for fd in os.listdir(folder)):
                return
        except OSError:
            pass
        time.sleep(0.01)
    pytest.fail("the command never opened %s" % path)


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc to see the open file")
@pytest.mark.parametrize("subcommand", ["check", "export"])
def test_ctrl_c_during_a_long_read_ends_the_run(tmp_path, files, subcommand):
    long = _long_read(tmp_path / "long.vell", 2 << 20)
    extra = ["--to", str(tmp_path / "out")] if subcommand == "export" else []
    proc = command(subcommand, long, files["spectrum"], *extra)
    _wait_until_open(proc.pid, long)
    time.sleep(0.3)  # into the read
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130, err
    assert b"vellkit: interrupted" in err and b"spectrum" not in out + err  # not moved on


class _Signalling(Exception):
    """A report whose text raises SIGINT, as if Ctrl-C came while the hook ran."""

    fired = False

    def __str__(self):
        if not _Signalling.fired:
            _Signalling.fired = True
            signal.raise_signal(signal.SIGINT)
        return "short read"


class _Reported(object):
    def __del__(self):
        raise _Signalling()  # reaches sys.unraisablehook through the interpreter, as reports do


def test_ctrl_c_in_a_report_hook_is_not_lost():
    from vellkit_tools.cli._common import Reports, captured
    reports = Reports()
    reached = 0
    with pytest.raises(KeyboardInterrupt):
        with captured(reports):
            for reached in range(100000):
                _Reported()
                time.sleep(0.0001)  # the reader's own check between reports
    assert 1 <= len(reports) == reached + 1 < 1000


@posix_only
def test_batch_benchmark_runs_quick():
    pytest.importorskip("resource")
    script = os.path.join(PYTHON_DIR, os.pardir, "benchmarks", "command_batch.py")
    env = dict(os.environ)
    paths = [os.path.dirname(os.path.abspath(vellkit.__file__)), PYTHON_DIR]
    env["PYTHONPATH"] = os.pathsep.join(paths + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    proc = subprocess.run([sys.executable, script, "--quick"], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=300)
    assert proc.returncode == 0, proc.stdout
    assert "check, report-heavy file" in proc.stdout and "2000 failed reads" in proc.stdout
    assert "listed == left: True" in proc.stdout


# ----------------------------------------------------------------------------
# A run stopped or killed: every output the old one or the complete new one

STOPPER = """
import os, signal, sys, time
from vellkit_tools.cli import _formats, export, main
how = sys.argv[1]
calls = [0]

def stopping(real):
    def fill(*args):
        real(*args)
        calls[0] += 1
        if calls[0] == 2:  # the file's second block is written: stop the run
            os.kill(os.getpid(), getattr(signal, how))
            time.sleep(30)
    return fill

_formats.write_csv = stopping(_formats.write_csv)
export._to_zarr = stopping(export._to_zarr)
sys.exit(main(sys.argv[2:]))
"""


def _tree(folder):
    """Every output under ``folder`` by name: its bytes, or a folder's files' bytes."""
    found = {}
    for name in os.listdir(str(folder)):
        path = os.path.join(str(folder), name)
        if os.path.isdir(path):
            found[name] = {os.path.relpath(os.path.join(d, f), path): Path(d, f).read_bytes()
                           for d, _, fs in os.walk(path) for f in fs}
        else:
            found[name] = Path(path).read_bytes()
    return found


@posix_only
@pytest.mark.parametrize("fmt", ["csv", "zarr"])
@pytest.mark.parametrize("how", ["SIGINT", "SIGTERM", "SIGKILL"])
def test_a_stopped_run_keeps_every_old_output(files, tmp_path, fmt, how):
    if fmt == "zarr":
        pytest.importorskip("zarr")
    sources = [files["derivs"], files["spectrum"]]  # four blocks, then one
    fresh, out = tmp_path / "fresh", tmp_path / "out"
    assert run("export", *sources, "--to", fresh, "--format", fmt, "--no-images")[0] == 0
    new = _tree(fresh)
    shutil.copytree(str(fresh), str(out))
    for name in os.listdir(str(out)):  # every output there before the run, different
        path = out / name
        if path.is_dir():
            shutil.rmtree(str(path))
            path.mkdir()
            (path / "old").write_bytes(b"old " + name.encode())
        else:
            path.write_bytes(b"old " + name.encode())
    old = _tree(out)
    script = tmp_path / "stopper.py"
    script.write_text(STOPPER)
    jobs = ["--jobs", "2"] if how == "SIGKILL" else []  # a worker is killed, not the run
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.abspath(PYTHON_DIR)] + sys.path))
    proc = subprocess.run([sys.executable, str(script), how, "export", *sources, "--to", str(out),
                           "--format", fmt, "--no-images", "--force"] + jobs,
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    assert proc.returncode == (1 if how == "SIGKILL" else 130), proc.stderr
    after = _tree(out)
    assert sorted(after) == sorted(old)  # nothing lost, nothing left behind
    assert all(after[n] in (old[n], new[n]) for n in after)
    assert any(after[n] == old[n] for n in after if n.startswith("derivs"))


SWAP_STOPPER = """
import os, signal, sys
from vellkit_tools import _atomic
from vellkit_tools.cli import main
real = _atomic.Replacement.swap

def swap(self):
    os.kill(os.getpid(), getattr(signal, sys.argv[1]))  # while the outputs take their places
    real(self)

_atomic.Replacement.swap = swap
sys.exit(main(sys.argv[2:]))
"""


@posix_only
@pytest.mark.parametrize("how, jobs", [("SIGINT", "1"), ("SIGTERM", "2")])
def test_a_stop_while_outputs_take_their_places_lists_them_first(files, tmp_path, how, jobs):
    script = tmp_path / "stopper.py"
    script.write_text(SWAP_STOPPER)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.abspath(PYTHON_DIR)] + sys.path))
    out = tmp_path / "out"
    proc = subprocess.run([sys.executable, str(script), how, "export", files["derivs"], files["map"],
                           "--to", str(out), "--no-images", "--jobs", jobs],
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    # Stopped: the run (one process), or only the worker once its file is done (the run goes on).
    assert proc.returncode == (130 if jobs == "1" else 0), proc.stderr
    listed = set(proc.stdout.decode().split())
    assert listed and listed == set(str(out / n) for n in os.listdir(str(out)))  # all there, all said


@posix_only
def test_temporaries_of_a_killed_run_are_removed_by_the_next(files, tmp_path):
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    (tmp_path / (".vellkit-%d-0123abcd.part" % dead.pid)).write_text("half a CSV")
    (tmp_path / (".vellkit-%d-4567abcd.part" % dead.pid)).mkdir()  # half a Zarr store
    (tmp_path / (".vellkit-%d-4567abcd.part" % dead.pid) / "zarr.json").write_text("{}")
    alive = tmp_path / (".vellkit-%d-89abcdef.part" % os.getpid())  # a run still going
    alive.write_text("busy")
    status, _, err = run("export", files["spectrum"], "--to", tmp_path, "--no-images")
    assert status == 0, err
    assert _parts(tmp_path) == [alive.name]


# ----------------------------------------------------------------------------
# Text from files and file names, made safe
# ----------------------------------------------------------------------------

FORMULAS = ['=HYPERLINK("http://example.invalid","x")', "=cmd|' /C calc'!A0", "+1+2", "@SUM(A1)",
            "-2+3", "\tlead", "-5", "plain"]


def test_csv_cells_that_look_like_formulas_are_inert(tmp_path):
    source = arrays.write_traces(tmp_path / "f.vell", np.ones((len(FORMULAS), 4), np.float32), FORMULAS)
    status, _, err = run("export", source, "--to", tmp_path / "out", "--no-images")
    assert status == 0, err
    table = tmp_path / "out" / "f_TRC_3D_NONE.csv"
    with open(str(table), newline="", encoding="utf-8") as f:
        head = next(csv.reader(f))
    assert head[1:] == ["'" + FORMULAS[0], "'" + FORMULAS[1], "'+1+2", "'@SUM(A1)", "'-2+3", "'\tlead",
                        "-5", "plain"]
    side = json.loads(Path(str(table) + ".json").read_text(encoding="utf-8"))
    assert side["labels"] == FORMULAS and side["columns"] == head


@posix_only
def test_file_names_with_escape_sequences_are_escaped(files, tmp_path):
    good = tmp_path / "a\x1b[31mred.vell"
    good.write_bytes(Path(files["spectrum"]).read_bytes())
    empty = tmp_path / "b\x1b]0;title\x07.vell"
    empty.write_bytes(b"")
    status, out, err = run("export", good, empty, "--to", tmp_path / "out", "--format", "json")
    assert status == 1
    assert "\x1b" not in out + err and "\x07" not in out + err
    assert str(tmp_path / "out" / "a\\x1b[31mred_AB_2D_NONE.json") in out.split("\n")
    assert "  %s: not a VELL file" % (tmp_path / "b\\x1b]0;title\\x07.vell") in err
    for command in ("list", "show", "check"):
        status, out, err = run(command, good, empty)
        assert status == 1 and "\x1b" not in out + err and "\x07" not in out + err, command
        assert "b\\x1b]0;title\\x07.vell" in out + err



def _half_map(path):
    """An image map cut in half, its directory at the start: 51 of 100 records lost."""
    records = [np.full(6, k, np.float32) for k in range(100)]
    data = w.make_3d_file(records, 6, w.image_map_params(6, 1.0, 2.0, 10, 10),
                          into=w.VellFile(directory="start")).to_bytes()
    path.write_bytes(data[:len(data) // 2])
    return str(path)


def _record_cut_map(path):
    """An image map whose last record is cut by the end of the file, its directory at the start."""
    vf = w.VellFile(directory="start")
    vf.add_parameters(w.image_map_params(8, 1.0, 2.0, 2, 2), data_type="AB", extend_type=w.EXTEND_3D)
    vf.add_3d_block([np.full(8, j, np.float32) for j in range(3)], 8, data_type="AB")
    path.write_bytes(vf.to_bytes()[:-(4 * 3 + w.DEFAULT_INFO_SIZE)])
    return str(path)


@pytest.mark.parametrize("name, fmt", [("cut", "csv"), ("cut", "json"), ("cut", "npz"), ("cut", "netcdf"),
                                       ("half map", "csv"), ("cut record", "npz")])
@pytest.mark.parametrize("keep", [False, True], ids=["skipped", "kept"])
def test_a_damaged_block_is_named_as_check_names_it(files, tmp_path, name, fmt, keep):
    if fmt == "netcdf":
        pytest.importorskip("netCDF4")
    source = (files["cut"] if name == "cut" else _half_map(tmp_path / "half.vell") if name == "half map"
              else _record_cut_map(tmp_path / "record.vell"))
    _, checked, _ = run("check", source)
    problem = checked.splitlines()[1].strip("- ").strip()  # check's first line for the file
    status, out, err = run("export", source, files["spectrum"], "--to", tmp_path / "out", "--format", fmt,
                           "--no-images", *(["--keep-damaged"] if keep else []))
    assert status == 1 and "export: 2 files, 1 OK, 1 failed" in err
    block = "AB/2D/NONE" if name == "cut" else "AB/3D/NONE"
    assert "block %s is damaged: " % block in err and problem in err
    assert "broadcast" not in err and "shape" not in err  # numpy's words say nothing of the file
    stem = os.path.splitext(os.path.basename(source))[0]
    output = tmp_path / "out" / ("%s_%s.%s" % (stem, block.replace("/", "_"), {"netcdf": "nc"}.get(fmt, fmt)))
    if fmt == "netcdf" or name != "cut":  # the reader refuses these blocks: never written
        keep = False
    assert output.exists() == keep
    assert (tmp_path / "out" / ("spectrum_AB_2D_NONE." + output.suffix[1:])).exists()
    if not keep:
        return
    if fmt == "csv":
        marked = json.loads(Path(str(output) + ".json").read_text())["damaged"]
    elif fmt == "json":
        marked = json.loads(output.read_text())["damaged"]
    else:
        with np.load(str(output)) as npz:
            marked = str(npz["damaged"])
    assert marked == problem


def test_a_generic_annotation_table_is_exported_as_csv(tmp_path):
    table = w.AnnotationTable([("N", 4), ("V", 5), ("=cmd|x", 1004)], [[1, 0.1, "=HYPERLINK(1)"], [2, -2.5, "b"]])
    path = str(tmp_path / "gen.vell")
    w.make_3d_file([np.ones(4, np.float32)] * 2, 4, w.image_map_params(4, 1.0, 2.0, npx=2, npy=1),
                   annotation=[table]).write(path)
    status, out, err = run("export", path, "--to", str(tmp_path), "--format", "npz")
    assert status == 0, err
    csv_path = str(tmp_path / "gen_annotation_0.csv")
    assert sorted(out.split()) == [str(tmp_path / "gen_AB_3D_NONE.npz"), csv_path]
    assert Path(csv_path).read_text() == "N,V,'=cmd|x\n1,0.1,'=HYPERLINK(1)\n2,-2.5,b\n"


@pytest.mark.parametrize("fmt, writer_step", [("csv", "_number_texts"), ("json", "dumps")])
def test_ctrl_c_while_an_output_is_written_keeps_the_old_one(files, tmp_path, monkeypatch, fmt, writer_step):
    from vellkit_tools import cli
    from vellkit_tools.cli import _formats
    monkeypatch.setattr(_formats, "_CSV_ROWS", 1)  # many slices: the stop lands inside the loop
    monkeypatch.setattr(_formats, "_JSON_SLICE", 4)
    step = getattr(_formats, writer_step)
    calls = []

    def stopping(*args, **kwargs):
        calls.append(1)
        if len(calls) == 6:
            raise KeyboardInterrupt
        return step(*args, **kwargs)

    monkeypatch.setattr(_formats, writer_step, stopping)
    out = tmp_path / ("map_AB_3D_NONE." + fmt)
    out.write_text("the old output")
    assert cli.main(["export", files["map"], "--to", str(tmp_path), "--format", fmt, "--force",
                     "--no-images"]) == 130
    assert len(calls) == 6 and out.read_text() == "the old output"
    assert not _parts(tmp_path) and sorted(os.listdir(tmp_path)) == [out.name]
