"""The vellkit command, run in a subprocess on files made by the writer."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

from vellkit_tools import arrays, writer

PYTHON_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python")
X = np.linspace(4000.0, 400.0, 40)


def run(*args, cwd=None, extra_path=None):
    """Run ``python -m vellkit_tools ARGS``; returns (status, stdout, stderr)."""
    env = dict(os.environ)
    paths = ([extra_path] if extra_path else []) + [PYTHON_DIR]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env.pop("MPLBACKEND", None)
    proc = subprocess.run([sys.executable, "-m", "vellkit_tools"] + [str(a) for a in args],
                          cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=300)
    return proc.returncode, proc.stdout, proc.stderr


def _png(size=(12, 9)):
    from PIL import Image
    import io
    picture = np.zeros(size + (3,), dtype=np.uint8)
    picture[..., 0] = np.arange(size[1], dtype=np.uint8) * 20
    buf = io.BytesIO()
    Image.fromarray(picture).save(buf, "PNG")
    return buf.getvalue()


@pytest.fixture(scope="module")
def samples(tmp_path_factory):
    """A folder with one file of each kind, a damaged file and a non-VELL file."""
    folder = tmp_path_factory.mktemp("samples")
    rng = np.random.default_rng(7)
    band = np.exp(-((X - 1650.0) / 60.0) ** 2)
    files = {}
    files["spectrum"] = arrays.write_spectrum(
        folder / "spectrum.vell", band.astype(np.float32), X, params={"SNM": "film"},
        images=[writer.Image(b"BM" + bytes(64), "Photo")])
    cube = (band[None, None, :] * rng.random((3, 4, 1))).astype(np.float32)
    files["map"] = arrays.write_image_map(folder / "map.vell", cube, X,
                                          [0.0, 5.0, 10.0, 15.0], [0.0, 5.0, 10.0])
    files["series"] = arrays.write_time_series(
        folder / "series.vell", (band * np.arange(1, 6)[:, None]).astype(np.float32), X,
        [0.0, 1.0, 2.0, 3.0, 4.0])
    regions = [{"nx": 2, "ny": 2, "x0": 0, "y0": 0, "dx": 1, "dy": 1,
                "spectra": rng.random((4, X.size), dtype=np.float32)},
               {"points": [(4.0, 1.0), (5.0, 2.0)], "spectra": rng.random((2, X.size),
                                                                          dtype=np.float32)}]
    files["regions"] = arrays.write_multi_region(
        folder / "regions.vell", regions, X,
        images=[arrays.visible_image(_png(), "Overview", pos_x=2.5, pos_y=1.0, size_x=8.0,
                                     size_y=6.0)])
    files["traces"] = arrays.write_traces(folder / "traces.vell",
                                          rng.random((3, 4, 2), dtype=np.float32),
                                          ["Amide I", "Area"], map_x=np.arange(4.0),
                                          map_y=np.arange(3.0))
    good = dict(files)
    with open(files["map"], "rb") as f:
        data = f.read()
    damaged = folder / "damaged.vell"
    damaged.write_bytes(data[:len(data) // 2])
    notes = folder / "notes.txt"
    notes.write_text("not a VELL file\n")
    return {"folder": folder, "good": good, "damaged": str(damaged), "notes": str(notes),
            "cube": cube, "band": band}


def _all(samples):
    return sorted(samples["good"].values()) + [samples["damaged"], samples["notes"]]


# ----------------------------------------------------------------------------
# list, show
# ----------------------------------------------------------------------------

def test_list_goes_past_bad_files_and_sums_up(samples):
    status, out, err = run("list", *_all(samples))
    assert status == 1
    assert "('AB', '3D', 'NONE')  image map: 4 x 3 positions, 40 points" in out
    assert "time series: 5 spectra, 40 points" in out
    assert "multi-region map: 6 positions, 40 points" in out
    assert "image trace map: 2 traces on 4 x 3 positions" in out
    assert "visible images: 1" in out
    assert "list: 7 files, 5 OK, 2 failed" in err
    assert "notes.txt: not a VELL file" in err
    assert samples["damaged"] in err
    assert "Traceback" not in out + err


def test_list_of_good_files_succeeds_quietly(samples):
    status, out, err = run("list", samples["good"]["spectrum"])
    assert (status, err) == (0, "")
    assert out.splitlines()[1].strip() == "('AB', '2D', 'NONE')  spectrum: 40 points"


def test_show_text_has_labels_units_and_axes(samples):
    status, out, err = run("show", samples["good"]["map"], "AB/3D/NONE")
    assert (status, err) == (0, "")
    assert "image map (ImageDataReturn)" in out
    assert "x axis: 40 points, 4000 to 400 cm-1 (Wavenumber)" in out
    assert "map X: 4, 0 to 15 (step 5)" in out
    assert "Number of Data Points" in out


def test_show_json(samples):
    status, out, err = run("show", samples["good"]["regions"], "--json")
    assert status == 0, err
    doc = json.loads(out)
    (block,) = doc["files"][0]["blocks"]
    assert block["block"] == "AB/3D/NONE" and block["kind"] == "multi_region"
    assert block["x"]["unit"] == "cm-1" and block["x"]["points"] == 40
    labels = {p["name"]: p["label"] for p in block["parameters"]}
    assert labels["NPT"] == "Number of Data Points"
    status, out, _ = run("show", samples["good"]["traces"], "TRC", "--json")
    assert json.loads(out)["files"][0]["blocks"][0]["traces"]["labels"] == ["Amide I", "Area"]


def test_show_unknown_block_names_the_file(samples):
    status, out, err = run("show", samples["good"]["map"], "TR/2D")
    assert status == 1 and out == ""
    assert samples["good"]["map"] in err and "no block TR/2D" in err


# ----------------------------------------------------------------------------
# check
# ----------------------------------------------------------------------------

def test_check_folder(samples):
    status, out, err = run("check", *_all(samples))
    assert status == 1
    for path in samples["good"].values():
        assert "OK      " + path in out
    size = os.path.getsize(samples["damaged"])
    assert "DAMAGED " + samples["damaged"] in out
    assert "truncated at byte %d" % size in out
    assert "FAILED  %s" % samples["notes"] in out and "not a VELL file" in out
    assert "check: 7 files, 5 OK, 2 failed" in out
    assert "Traceback" not in out + err and "unpack requires" not in err


def _damage(tmp_path, how):
    spectrum = np.linspace(0.0, 1.0, 30, dtype=np.float32)
    if how == "records":
        vf = writer.VellFile(directory="start")
        writer.make_3d_file([writer.Record(spectrum, time=k) for k in range(6)], 30,
                            writer.time_resolved_params(30, 1.0, 2.0), into=vf)
        data = vf.to_bytes()[:-300]  # into the last record
        path = tmp_path / "records.vell"
        path.write_bytes(data)
        return str(path), len(data)
    if how == "parameter":
        vf = writer.make_spectrum_file(spectrum)
        vf.add_parameters([("NSS", 4), ("BAD", writer.Param(7, 1))], param_type=3)
    else:
        vf = writer.make_spectrum_file(spectrum)
        if how == "past-end":
            vf.add_entry(writer.block_type("AB", extend_type=10), 50, 1 << 20)
    data = vf.to_bytes()
    if how == "directory":
        data = data[:-10]
    path = tmp_path / ("%s.vell" % how)
    path.write_bytes(data)
    return str(path), len(data)


@pytest.mark.parametrize("how, expected", [
    ("parameter", "unreadable parameter block at byte"),
    ("records", "1 of its 6 records lie past the end of the file (byte {size})"),
    ("past-end", "block past the end: it starts at byte 1048576"),
    ("directory", "truncated at byte {size}: the directory claims 2 entries"),
])
def test_check_names_what_is_wrong_and_where(tmp_path, how, expected):
    path, size = _damage(tmp_path, how)
    status, out, err = run("check", path)
    assert status == 1
    assert "DAMAGED " + path in out
    assert expected.format(size=size) in out
    assert "Traceback" not in out + err


def test_check_gathers_failed_reads_per_file(tmp_path):
    # The last record's info field is cut: its time cannot be read.
    vf = writer.VellFile(directory="start")
    vf.add_parameters(writer.time_resolved_params(30, 1.0, 2.0), data_type="AB", extend_type=writer.EXTEND_3D)
    vf.add_3d_block([writer.Record(np.zeros(30, np.float32), time=k) for k in range(6)], 30, data_type="AB")
    path = tmp_path / "records.vell"
    path.write_bytes(vf.to_bytes()[:-100])
    status, out, err = run("check", path)
    assert status == 1 and "1 of its 6 records lie past the end of the file" in out
    assert "block AB/3D/NONE: 1 failed read (vellkit.read" in out
    assert err == ""


# ----------------------------------------------------------------------------
# preview
# ----------------------------------------------------------------------------

def _picture(path):
    Image = pytest.importorskip("PIL.Image")
    with Image.open(path) as im:
        pixels = np.asarray(im.convert("RGB"))
    return pixels


@pytest.mark.parametrize("name, options", [
    ("spectrum", []), ("map", ["--at", "1650"]), ("map", ["--band", "1600:1700"]),
    ("map", ["--band", "1700:1600:baseline"]),
    ("series", []), ("regions", []), ("traces", ["--trace", "Area"]),
])
def test_preview_draws_a_picture(samples, tmp_path, name, options):
    pytest.importorskip("matplotlib")
    out = tmp_path / "p.png"
    status, stdout, err = run("preview", samples["good"][name], "--out", out, *options)
    assert (status, err) == (0, ""), err
    assert stdout.strip() == str(out)
    pixels = _picture(out)
    assert pixels.shape[0] >= 300 and pixels.shape[1] >= 500
    assert len(np.unique(pixels.reshape(-1, 3), axis=0)) > 20  # not blank


def test_preview_errors_name_the_file(samples, tmp_path):
    pytest.importorskip("matplotlib")
    status, _, err = run("preview", samples["good"]["map"], "--at", "99999", "--out",
                         tmp_path / "p.png")
    assert status == 1 and samples["good"]["map"] in err and "outside the x axis" in err
    assert not (tmp_path / "p.png").exists()


def _cut(how, path):
    """Bytes of a file cut by its end: its directory, a spectrum's values, a map's last record."""
    vf = writer.VellFile(directory="start")
    if how == "directory":
        data = open(arrays.write_image_map(path, np.ones((2, 2, 8), np.float32)), "rb").read()
        data = data[:len(data) // 2]
    elif how == "spectrum":
        vf.add_parameters(writer.spectral_params(50, 4000.0, 400.0), param_type=writer.PARAM_OWN,
                          data_type="AB")
        vf.add_spectrum(np.arange(50, dtype=np.float32), data_type="AB")
        data = vf.to_bytes()[:-40]
    else:
        vf.add_parameters(writer.image_map_params(8, 1.0, 2.0, 2, 2), data_type="AB",
                          extend_type=writer.EXTEND_3D)
        vf.add_3d_block([np.full(8, j, np.float32) for j in range(3)], 8, data_type="AB")
        data = vf.to_bytes()[:-(4 * 3 + writer.DEFAULT_INFO_SIZE)]
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize("how, said", [
    ("directory", "damaged, no block can be read: truncated at byte"),
    ("spectrum", "block AB/2D/NONE is damaged: truncated at byte"),
    ("record", "block AB/3D/NONE is damaged: the data block at byte"),
])
def test_preview_of_a_cut_file_says_it_is_damaged(tmp_path, how, said):
    pytest.importorskip("matplotlib")
    path = _cut(how, tmp_path / "cut.vell")
    status, _, err = run("preview", path, "--out", tmp_path / "p.png")
    assert status == 1 and err.startswith("vellkit: %s: %s" % (path, said)), err
    assert "(see 'vellkit check')" in err and "broadcast" not in err and "shape" not in err
    assert not (tmp_path / "p.png").exists()


def test_preview_without_matplotlib_names_the_extra(samples, tmp_path):
    blocker = tmp_path / "blocked"
    (blocker / "matplotlib").mkdir(parents=True)
    (blocker / "matplotlib" / "__init__.py").write_text("raise ImportError('blocked')\n")
    status, _, err = run("preview", samples["good"]["spectrum"], "--out", tmp_path / "p.png",
                         extra_path=str(blocker))
    assert status == 1 and 'pip install "vellkit[plot]"' in err


@pytest.mark.parametrize("project, expected", [
    ('[project]\nname = "vellkit"\nversion = "9.8.7"\n[tool.x]\nversion = "1"\n', "9.8.7"),
    ('[project]\nname = "other"\nversion = "9.8.7"\n', None),  # a tree of another project
    ("", None), (None, None),
])
def test_version_from_the_source_tree_else_the_installed_metadata(tmp_path, project, expected):
    from vellkit_tools import _version
    import vellkit_tools
    path = tmp_path / "pyproject.toml"
    if project is not None:
        path.write_text(project)
    assert _version._source_tree_version(str(path)) == expected
    here = _version._source_tree_version()
    assert vellkit_tools.__version__ == (here or _version.version()) and vellkit_tools.__version__
    assert run("--version")[1] == "vellkit %s\n" % vellkit_tools.__version__


# ----------------------------------------------------------------------------
# help and entry points
# ----------------------------------------------------------------------------

@pytest.mark.parametrize("command", ["list", "show", "check", "export", "preview", "virtualize"])
def test_every_subcommand_help_has_an_example(command):
    status, out, _ = run(command, "--help")
    assert status == 0 and "example:\n  vellkit " + command in out


def test_usage_errors_exit_2():
    status, _, err = run("export", "x.vell")
    assert status == 2 and "--to" in err


def test_console_script_is_installed():
    script = os.path.join(os.path.dirname(sys.executable), "vellkit")
    if not os.path.exists(script):
        pytest.skip("the package is not installed in this interpreter's environment")
    proc = subprocess.run([script, "--help"], stdout=subprocess.PIPE, universal_newlines=True)
    assert proc.returncode == 0 and "check" in proc.stdout
