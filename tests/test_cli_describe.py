"""list, show, check and preview on files of every kind and derivative, damaged
files, files that change while they are checked, hostile text and file names.

Every command runs in a child process (``python -m vellkit_tools``) on files
made here with the writer or patched from a writer-made file.
"""

import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

from vellkit_tools import arrays, writer

PYTHON_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python")
X = np.linspace(4000.0, 400.0, 40)
BAND = np.exp(-((X - 1650.0) / 60.0) ** 2).astype(np.float32)


def _env():
    env = dict(os.environ)
    paths = [PYTHON_DIR] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in paths)  # the child may run elsewhere
    env.pop("MPLBACKEND", None)
    return env


def run(*args, cwd=None, code=None):
    """``python -m vellkit_tools ARGS`` (or ``python -c CODE ARGS``); (status, stdout, stderr).
    Arguments may be bytes (file names that are not text)."""
    head = [sys.executable, "-c", code] if code else [sys.executable, "-m", "vellkit_tools"]
    argv = head + [a if isinstance(a, bytes) else str(a) for a in args]
    proc = subprocess.run(argv, cwd=cwd, env=_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=300)
    return (proc.returncode, proc.stdout.decode("utf-8", "surrogateescape"),
            proc.stderr.decode("utf-8", "surrogateescape"))


def _strict_json(text):
    def refuse(token):
        raise AssertionError("not strict JSON: %s" % token)
    return json.loads(text, parse_constant=refuse)


REGIONS = [{"nx": 2, "ny": 2, "x0": 0, "y0": 0, "dx": 1, "dy": 1, "group": 10,
            "spectra": np.arange(160, dtype=np.float32).reshape(4, 40)},
           {"points": [(4.0, 1.0), (5.0, 2.0)], "group": 3,
            "spectra": np.ones((2, 40), dtype=np.float32)}]


def _derivative_map(path):
    """A 1DER map whose grid lives in the original map's parameter block: the
    file lists AB/3D/NONE from that parameter block alone, with no data."""
    own = writer.image_map_params(40, 4000.0, 400.0, 0, 0)
    original = writer.image_map_params(40, 4000.0, 400.0, 4, 3, aox=1.0, ddx=5.0, aoy=2.0, ddy=5.0)
    records = [writer.Record(BAND * k) for k in range(12)]
    writer.write_3d_file(path, records, 40, own, deriv="1DER", original_params=original)
    return str(path)


#: name -> (maker, the block, its kind, its dimensions)
def _makers():
    cube = BAND[None, None, :] * np.arange(1, 13, dtype=np.float32).reshape(3, 4, 1)
    series = BAND[None, :] * np.arange(1, 6, dtype=np.float32)[:, None]
    return {
        "spectrum": (lambda p: arrays.write_spectrum(p, BAND, X),
                     "AB/2D/NONE", "spectrum", {"spectral": 40}),
        "spectrum_1der": (lambda p: arrays.write_spectrum(p, BAND, X, deriv="1DER"),
                          "AB/2D/1DER", "spectrum", {"spectral": 40}),
        "spectrum_2der": (lambda p: arrays.write_spectrum(p, BAND, X, deriv="2DER"),
                          "AB/2D/2DER", "spectrum", {"spectral": 40}),
        "spectrum_nder": (lambda p: arrays.write_spectrum(p, BAND, X, deriv="NDER"),
                          "AB/2D/3DER", "spectrum", {"spectral": 40}),
        "map": (lambda p: arrays.write_image_map(p, cube, X, [0.0, 5.0, 10.0, 15.0], [0.0, 5.0, 10.0]),
                "AB/3D/NONE", "image_map", {"y": 3, "x": 4, "spectral": 40}),
        "map_1der": (_derivative_map, "AB/3D/1DER", "image_map", {"y": 3, "x": 4, "spectral": 40}),
        "map_2der": (lambda p: arrays.write_image_map(p, cube, X, deriv="2DER"),
                     "AB/3D/2DER", "image_map", {"y": 3, "x": 4, "spectral": 40}),
        "series_nder": (lambda p: arrays.write_time_series(p, series, X, np.arange(5.0), deriv="NDER"),
                        "AB/3D/3DER", "series", {"time": 5, "spectral": 40}),
        "series": (lambda p: arrays.write_time_series(p, series, X, np.arange(5.0)),
                   "AB/3D/NONE", "series", {"time": 5, "spectral": 40}),
        "map_traces": (lambda p: arrays.write_traces(p, cube[:, :, :2], ["Amide I", "Area"]),
                       "TRC/3D/NONE", "image_traces", {"trace": 2, "y": 3, "x": 4}),
        "series_traces": (lambda p: arrays.write_traces(p, series[:2], ["a", "b"], x=X),
                          "TRC/3D/NONE", "series_traces", {"trace": 2, "spectral": 40}),
        "regions": (lambda p: arrays.write_multi_region(p, REGIONS, X),
                    "AB/3D/NONE", "multi_region", {"position": 6, "spectral": 40}),
        "region_traces": (lambda p: arrays.write_traces(p, np.ones((6, 2), np.float32), ["a", "b"],
                                                        regions=REGIONS),
                          "TRC/3D/NONE", "multi_region_traces", {"trace": 2, "position": 6}),
    }


@pytest.fixture(scope="module")
def every_kind(tmp_path_factory):
    folder = tmp_path_factory.mktemp("kinds")
    files = {}
    for name, (make, block, kind, dims) in _makers().items():
        path = str(folder / (name + ".vell"))
        make(path)
        files[name] = (path, block, kind, dims)
    return files


# ----------------------------------------------------------------------------
# Every kind and derivative
# ----------------------------------------------------------------------------

def test_every_kind_and_derivative_is_listed_shown_and_checked(every_kind):
    paths = [f[0] for f in every_kind.values()]
    status, out, err = run("check", *paths)
    assert status == 0, out + err
    assert out.count("OK      ") == len(paths)
    assert "(2 blocks (1 listed from a parameter block alone)" in out

    status, out, err = run("list", "--json", *paths)
    assert (status, err) == (0, ""), err
    listed = {f["path"]: f for f in _strict_json(out)["files"]}
    status, out, err = run("show", "--json", *paths)
    assert (status, err) == (0, ""), err
    shown = {f["path"]: f for f in _strict_json(out)["files"]}
    for name, (path, block, kind, dims) in every_kind.items():
        for doc in (listed[path], shown[path]):
            assert doc["status"] == "ok" and doc["problems"] == []
            (entry,) = [b for b in doc["blocks"] if b["kind"]]
            assert (entry["block"], entry["kind"], entry["dims"]) == (block, kind, dims), name
    # listContents' word for the third derivative beside the request word
    nder = [b for b in listed[every_kind["spectrum_nder"][0]]["blocks"]][0]
    assert (nder["listed"], nder["request"]) == (["AB", "2D", "3DER"], ["AB", "2D", "NDER"])


def test_show_gives_axes_grid_times_labels_and_regions(every_kind):
    def block(name):
        status, out, err = run("show", "--json", every_kind[name][0], "--block", every_kind[name][1])
        assert status == 0, err
        return _strict_json(out)["files"][0]["blocks"][0]

    spectrum = block("spectrum")
    assert spectrum["x"] == {"points": 40, "first": 4000.0, "last": 400.0, "code": "WN", "unit": "cm-1",
                             "name": "Wavenumber"}
    assert spectrum["stated_values"] == {"min": 0.0, "max": pytest.approx(float(BAND.max()))}
    labels = {p["name"]: p["label"] for p in spectrum["parameters"]}
    assert labels["NPT"] == "Number of Data Points"
    derivative = block("map_1der")
    assert derivative["map_x"] == {"count": 4, "first": 1.0, "last": 16.0, "step": 5.0}
    assert derivative["map_y"] == {"count": 3, "first": 2.0, "last": 12.0, "step": 5.0}
    series = block("series_nder")
    assert series["time"]["steps"] == 5 and series["time"]["range"] == {"min": 0.0, "max": 4.0}
    assert series["time"]["unit"] == "Seconds"
    assert block("map_traces")["traces"] == {"count": 2, "labels": ["Amide I", "Area"]}


def test_show_gives_the_regions_by_group_number(every_kind):
    path = every_kind["regions"][0]
    status, out, err = run("show", "--json", path)
    assert status == 0, err
    regions = _strict_json(out)["files"][0]["blocks"][0]["regions"]
    assert [(r["group"], r["positions"]) for r in regions] == [(10, 4), (3, 2)]
    assert regions[1]["map_x"] == {"min": 4.0, "max": 5.0}
    status, out, err = run("show", path)
    assert re.search(r"region 10 '[^']*': 4 positions, X 0 to 1, Y 0 to 1", out), out


def test_third_derivative_is_reached_by_either_word(every_kind):
    path = every_kind["spectrum_nder"][0]
    for word in ("AB/2D/3DER", "AB/2D/NDER", "ab,2d,nder"):
        status, out, err = run("show", path, "--block", word)
        assert status == 0 and "block ('AB', '2D', 'NDER'): spectrum" in out, err
    status, out, err = run("show", path, "AB/2D/3DER")  # the block as the last argument
    assert status == 0 and "spectrum (SingleDataReturn)" in out, err


def test_a_block_listed_from_a_parameter_block_alone_is_not_damage(every_kind, tmp_path):
    path = every_kind["map_1der"][0]
    status, out, err = run("list", path)
    assert (status, err) == (0, "")
    assert "('AB', '3D', 'NONE')  no data (listed from a parameter block alone)" in out
    status, out, err = run("show", path, "--block", "AB/3D/NONE", "--json")
    (empty,) = _strict_json(out)["files"][0]["blocks"]
    assert status == 0 and empty["kind"] is None and "no data" in empty["note"]
    pytest.importorskip("matplotlib")
    status, out, err = run("preview", path, cwd=tmp_path)  # default: the first block with data
    assert (status, err) == (0, ""), err
    assert out.strip() == "map_1der_AB_3D_1DER.png" and (tmp_path / out.strip()).exists()
    status, out, err = run("preview", path, "AB/3D/NONE", "--out", tmp_path / "p.png")
    assert status == 1 and "AB/3D/NONE holds no data" in err


@pytest.mark.parametrize("name, options", [
    ("spectrum", []), ("spectrum_nder", ["AB/2D/3DER"]), ("map", ["--at", "1650"]),
    ("map_1der", ["--band", "1600:1700"]), ("map_traces", ["--trace", "Area"]), ("series_nder", []),
    ("series_traces", ["--trace", "1"]), ("regions", ["--band", "1600:1700"]),
    ("region_traces", ["--trace", "b"]),
])
def test_preview_every_kind(every_kind, tmp_path, name, options):
    pytest.importorskip("matplotlib")
    out = tmp_path / "p.png"
    status, stdout, err = run("preview", every_kind[name][0], *options, "--out", out)
    assert (status, err) == (0, ""), err
    assert stdout.strip() == str(out) and out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# ----------------------------------------------------------------------------
# Damaged files
# ----------------------------------------------------------------------------

def _ending_in_parameters(cut):
    """A spectrum file whose own parameter block is the last thing in it, less
    its last ``cut`` bytes, its directory entry claiming exactly what is left."""
    vf = writer.VellFile(directory="start", max_dir_size=2)
    vf.add_spectrum(BAND, data_type="AB")
    for sample in ("film", "fi"):  # a name that makes the block a whole number of words
        params = writer.encode_parameters(writer.spectral_params(40, 4000.0, 400.0, BAND) + [("SNM", sample)])
        kept = params[:len(params) - cut]
        if len(kept) % 4 == 0:
            break
    vf.add_block(kept, writer.block_type("AB", param_type=writer.PARAM_OWN))
    data = vf.to_bytes()
    assert data.endswith(kept)
    return data


def _damaged(tmp_path):
    good = tmp_path / "good.vell"
    arrays.write_image_map(good, np.ones((3, 4, 40), np.float32), X)
    data = good.read_bytes()
    files = {}
    files["cut in its data"] = data[:len(data) // 2]
    vf = writer.make_spectrum_file(BAND)
    vf.add_entry(writer.block_type("AB", extend_type=writer.EXTEND_3D), 50, 1 << 20)
    files["a block past the end"] = vf.to_bytes()
    # The END record's name ends exactly at the end of the file: complete.
    files["END ending at the end of the file"] = _ending_in_parameters(4)
    files["no END record"] = _ending_in_parameters(8)
    paths = {}
    for what, content in files.items():
        path = tmp_path / (what.replace(" ", "_") + ".vell")
        path.write_bytes(content)
        paths[what] = str(path)
    return paths


def test_check_tells_damage_from_health(tmp_path):
    paths = _damaged(tmp_path)
    status, out, err = run("check", "--json", *paths.values())
    assert status == 1 and err == ""
    doc = _strict_json(out)
    by_path = {f["path"]: f for f in doc["files"]}
    assert by_path[paths["END ending at the end of the file"]]["status"] == "ok", out
    for what in ("cut in its data", "a block past the end", "no END record"):
        entry = by_path[paths[what]]
        assert entry["status"] == "damaged" and entry["problems"], (what, entry)
        # each problem says where: a byte offset
        assert all(re.search(r"\d", p) for p in entry["problems"]), entry["problems"]
    assert doc["summary"] == {"files": 4, "ok": 1, "failed": 3}


def test_check_text_lists_problems_and_sums_up(tmp_path):
    paths = _damaged(tmp_path)
    notes = tmp_path / "notes.txt"
    notes.write_text("not a VELL file\n")
    status, out, err = run("check", *paths.values(), notes)
    assert status == 1 and "Traceback" not in out + err
    assert "DAMAGED " + paths["cut in its data"] in out
    assert "OK      " + paths["END ending at the end of the file"] in out
    assert "FAILED  %s\n        - not a VELL file" % notes in out
    assert "check: 5 files, 1 OK, 4 failed" in out
    status, out, _ = run("check", "-q", *paths.values())
    assert "OK      " not in out and out.count("DAMAGED ") == 3


def test_a_file_that_shrinks_while_it_is_checked_is_that_files_error(tmp_path):
    shrinking = tmp_path / "shrinking.vell"
    arrays.write_image_map(shrinking, np.ones((8, 8, 256), np.float32))
    after = tmp_path / "after.vell"
    arrays.write_spectrum(after, BAND, X)
    # The file is cut after it was described and before its data is read.
    code = ("import os, sys, vellkit\n"
            "read = vellkit.getVellData\n"
            "def shrink(path, block):\n"
            "    if path.endswith('shrinking.vell'):\n"
            "        os.truncate(path, os.path.getsize(path) // 3)\n"
            "    return read(path, block)\n"
            "vellkit.getVellData = shrink\n"
            "from vellkit_tools.cli import main\n"
            "sys.exit(main(sys.argv[1:]))\n")
    status, out, err = run("check", shrinking, after, code=code)
    assert status == 1, out + err  # not a signal
    assert "DAMAGED %s" % shrinking in out and "changed while it was checked" in out
    assert "OK      %s" % after in out
    assert "check: 2 files, 1 OK, 1 failed" in out


def test_list_and_show_of_damaged_and_foreign_files_go_on(tmp_path):
    paths = _damaged(tmp_path)
    notes = tmp_path / "notes.txt"
    notes.write_text("not a VELL file\n")
    folder = tmp_path / "folder"
    folder.mkdir()
    args = [paths["cut in its data"], notes, folder, paths["END ending at the end of the file"]]
    for command in ("list", "show"):
        status, out, err = run(command, *args)
        assert status == 1 and "Traceback" not in out + err
        assert "%s: 4 files, 1 OK, 3 failed" % command in err
        assert "%s: not a VELL file" % notes in err and "%s: is a folder" % folder in err
        status, out, err = run(command, "--json", *args)
        by_path = {f["path"]: f for f in _strict_json(out)["files"]}
        assert [by_path[str(p)]["status"] for p in args] == ["failed", "failed", "failed", "ok"]
        assert "not a VELL file" in by_path[str(notes)]["error"]
        assert by_path[paths["cut in its data"]]["problems"]


# ----------------------------------------------------------------------------
# Text from files and file names
# ----------------------------------------------------------------------------

HOSTILE = "film\r\x1b[31mred\x1b[0m\x07 \u202egnp.exe $\\frac{a}{b}$ " + "{" * 300 + "$"


def test_text_from_a_file_is_escaped_on_the_terminal(tmp_path):
    path = tmp_path / "odd.vell"
    arrays.write_traces(path, np.ones((2, 40), np.float32), [HOSTILE[:40], "b\x1b]0;title\x07"], x=X,
                        params={"SNM": HOSTILE})
    status, out, err = run("show", path)
    assert status == 0, err
    assert not re.search("[\x00-\x08\x0b-\x1f\x7f\u202e]", out + err)
    assert "film\\r\\x1b[31mred\\x1b[0m\\x07 \\u202egnp.exe" in out
    assert "'b\\x1b]0;title\\x07'" in out
    status, out, err = run("show", path, "--json")
    assert _strict_json(out)["files"][0]["blocks"][0]["parameters"][-1]["value"] == HOSTILE


def test_non_utf8_file_names(tmp_path):
    if sys.platform in ("win32", "darwin"):
        pytest.skip("file names on this system are always text")
    name = os.fsencode(str(tmp_path)) + b"/caf\xe9.vell"
    with open(name, "wb") as f:
        f.write(writer.make_spectrum_file(BAND).to_bytes())
    for command in ("list", "show", "check"):
        status, out, err = run(command, name)
        assert status == 0 and "caf\\xe9.vell" in out, (command, out, err)
    status, out, err = run("list", "--json", name)
    assert os.fsencode(_strict_json(out)["files"][0]["path"]) == name
    pytest.importorskip("matplotlib")
    status, out, err = run("preview", name, cwd=tmp_path)
    assert (status, err) == (0, ""), err
    assert os.path.exists(os.path.join(os.fsencode(str(tmp_path)), b"caf\xe9_AB_2D_NONE.png"))


def test_preview_never_reads_file_text_as_math(tmp_path):
    pytest.importorskip("matplotlib")
    traces = tmp_path / "traces.vell"
    arrays.write_traces(traces, np.ones((2, 40), np.float32), ["$" + "{" * 60 + "x$", "$\\bad{$"], x=X)
    series = tmp_path / "series.vell"
    arrays.write_time_series(series, np.ones((3, 40), np.float32), X, np.arange(3.0),
                             params={"ZTX": "$\\undefined{s$ $" + "{" * 60 + "$"})
    for path in (traces, series):
        status, out, err = run("preview", path, "--out", tmp_path / "p.svg", "--force")
        assert (status, err) == (0, ""), err


# ----------------------------------------------------------------------------
# preview: formats and options
# ----------------------------------------------------------------------------

@pytest.mark.parametrize("suffix, magic", [
    (".png", b"\x89PNG"), (".PDF", b"%PDF"), (".svg", b"<?xml"), (".jpg", b"\xff\xd8"), (".jpeg", b"\xff\xd8"),
])
def test_preview_writes_the_format_its_name_asks_for(every_kind, tmp_path, suffix, magic):
    pytest.importorskip("matplotlib")
    out = tmp_path / ("picture" + suffix)
    status, _, err = run("preview", every_kind["spectrum"][0], "--out", out)
    assert (status, err) == (0, ""), err
    data = out.read_bytes()
    assert data.startswith(magic)
    if suffix == ".svg":
        assert b"<svg" in data[:1000]
    assert [p.name for p in tmp_path.iterdir()] == [out.name]  # no temporary file left


@pytest.mark.parametrize("name, options, wrong, applies", [
    ("spectrum", ["--at", "1650"], "--at", "image map, multi-region map"),
    ("series", ["--band", "1:2"], "--band", "image map, multi-region map"),
    ("map", ["--trace", "1"], "--trace", "image trace map, time-resolved traces, multi-region traces"),
    ("map_traces", ["--at", "3"], "--at", "image map, multi-region map"),
])
def test_preview_options_that_do_not_apply_are_usage_errors(every_kind, tmp_path, name, options, wrong,
                                                            applies):
    pytest.importorskip("matplotlib")
    status, out, err = run("preview", every_kind[name][0], "--out", tmp_path / "p.png", *options)
    assert status == 2 and out == ""
    assert "usage: vellkit preview" in err
    assert "%s does not apply to block %s" % (wrong, every_kind[name][1]) in err
    assert "it applies to: " + applies in err
    assert not (tmp_path / "p.png").exists()


def test_preview_unknown_suffix_is_a_usage_error(every_kind, tmp_path):
    status, out, err = run("preview", every_kind["spectrum"][0], "--out", tmp_path / "p.gif")
    assert status == 2 and "usage: vellkit preview" in err and "'.gif'" in err
    assert list(tmp_path.iterdir()) == []


# ----------------------------------------------------------------------------
# One JSON document per run
# ----------------------------------------------------------------------------

@pytest.mark.parametrize("command", ["list", "show", "check"])
def test_json_is_one_document_for_the_run(every_kind, tmp_path, command):
    notes = tmp_path / "notes.txt"
    notes.write_text("text\n")
    paths = [every_kind["spectrum"][0], str(notes), every_kind["regions"][0]]
    status, out, err = run(command, "--json", *paths)
    assert status == 1
    doc = _strict_json(out)
    assert doc["command"] == command and [f["path"] for f in doc["files"]] == paths
    assert doc["summary"] == {"files": 3, "ok": 2, "failed": 1}
    assert doc["files"][1]["status"] == "failed" and "not a VELL file" in doc["files"][1]["error"]
    assert doc["files"][0]["size"] == os.path.getsize(paths[0])


def test_show_lists_visible_images(tmp_path):
    path = tmp_path / "images.vell"
    head = b"BM" + bytes(12)
    arrays.write_spectrum(path, BAND, X, images=[writer.Image(head + bytes(50), "Photo"),
                                                 writer.Image(head + bytes(30), "Cut", image_type=258)])
    status, out, err = run("show", path)
    assert status == 0, err
    assert "visible images: 2" in out
    assert "image 0: 'Photo', type 1, 64 bytes" in out and "image 1: 'Cut', type 258, 44 bytes" in out
    status, out, err = run("check", path)  # the 14 bytes a Type-258 image drops are not missing
    assert status == 0 and "2 visible images" in out, out
    status, out, _ = run("list", "--json", path)
    images = _strict_json(out)["files"][0]["images"]
    assert [(i["title"], i["type"], i["bytes"], i["bytes_stored"]) for i in images] == [
        ("Photo", 1, 64, 64), ("Cut", 258, 44, 44)]


def test_show_lists_annotation_tables(tmp_path):
    table = writer.AnnotationTable([("N", 4), ("V", 5), ("Note\x1b[31m", 1004)], [[1, 0.5, "a"], [2, 1.5, "b"]])
    bad = writer.AnnotationTable([("N", 4), ("Odd", 7)], [[1, 2]])
    for name, tables, line in (
            ("generic", [table], "  annotation 0: 2 rows; columns N (int32), V (float32), Note\\x1b[31m (text)"),
            ("damaged", [bad], "  annotation 0: cannot be read: ")):
        path = str(tmp_path / (name + ".vell"))
        writer.make_3d_file([np.ones(4, np.float32)] * 2, 4, writer.image_map_params(4, 1.0, 2.0, npx=2, npy=1),
                            annotation=tables).write(path)
        status, out, err = run("show", path)
        assert status == 0 and "annotation tables: 1\n" + line in out, (out, err)
    status, out, err = run("show", "--json", str(tmp_path / "generic.vell"))
    (entry,) = _strict_json(out)["files"][0]["annotations"]
    assert entry["rows"] == 2 and [c["type"] for c in entry["columns"]] == ["int32", "float32", "text"]


def test_show_takes_several_files_and_a_trailing_block(every_kind, tmp_path):
    spectrum, series = every_kind["spectrum"][0], every_kind["series"][0]
    status, out, err = run("show", spectrum, series)
    assert (status, err) == (0, "show: 2 files, 2 OK, 0 failed\n"), err
    assert out.count("\nblock ") == 2 and "time series (TimeResolvedDataReturn)" in out
    status, out, err = run("show", spectrum, series, "AB/3D")  # AB/3D is no file: the block
    assert status == 1 and "%s: no block AB/3D" % spectrum in err and "time: 5 steps" in out
    missing = tmp_path / "missing.vell"
    status, out, err = run("show", spectrum, missing)  # a name with a dot stays a file
    assert status == 1 and "%s: No such file" % missing in err


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs on this system")
def test_folders_are_walked_with_r_and_refused_without(every_kind, tmp_path):
    folder = os.path.dirname(every_kind["spectrum"][0])
    fifo = tmp_path / "fifo.vell"
    os.mkfifo(fifo)
    status, out, err = run("check", "-r", folder, fifo)
    assert status == 1, out + err
    assert out.count("OK      ") == len(every_kind)
    assert "FAILED  %s\n        - " % fifo in out
    status, out, err = run("list", folder)
    assert status == 1 and "%s: is a folder" % folder in err
    status, out, err = run("show", "-r", "--json", folder)
    assert status == 0 and len(_strict_json(out)["files"]) == len(every_kind)


def test_a_block_whose_parameters_are_cut_is_damage_not_an_empty_listing(tmp_path):
    path = tmp_path / "cut.vell"
    path.write_bytes(_ending_in_parameters(8))  # the own parameter block has no END record
    status, out, err = run("list", path)
    assert status == 1 and "('AB', '2D', 'NONE')  cannot be read: " in out and "no data" not in out
    status, out, err = run("show", path)
    assert status == 1 and "block ('AB', '2D', 'NONE'): cannot be read" in out
    status, out, err = run("check", path)
    assert status == 1 and "DAMAGED" in out and "listed from a parameter block alone" not in out


# ----------------------------------------------------------------------------
# Files too short for a magic number, and files named .vell that are not VELL files
# ----------------------------------------------------------------------------

def _short_files(tmp_path):
    paths = []
    for size in range(4):
        path = tmp_path / ("short%d.vell" % size)
        path.write_bytes(b"\x0a\x0a\xfe"[:size])  # the magic number's first bytes
        paths.append(path)
    return paths


@pytest.mark.parametrize("command", ["list", "show", "check", "preview"])
def test_a_file_of_0_to_3_bytes_is_one_line_and_the_run_goes_on(tmp_path, command):
    short = _short_files(tmp_path)
    good = arrays.write_spectrum(tmp_path / "good.vell", BAND, X)
    if command == "preview":
        for path in short:
            status, out, err = run("preview", path, "--out", tmp_path / "p.png")
            assert status == 1 and "Traceback" not in err, err
            assert err == "vellkit: %s: not a VELL file (it holds %d byte%s, fewer than its magic " \
                          "number)\n" % (path, short.index(path), "" if path == short[1] else "s")
        return
    status, out, err = run(command, *short, good)
    text = out + err
    assert status == 1 and "Traceback" not in text, text
    assert "%s: 5 files, 1 OK, 4 failed" % command in text
    for path in short:
        assert "%s: not a VELL file (it holds" % path in text or "FAILED  %s\n" % path in text


def test_check_r_reports_files_named_vell_that_are_not_vell_files(tmp_path):
    (tmp_path / "empty.vell").write_bytes(b"")
    (tmp_path / "zeroed.vell").write_bytes(bytes(24))  # a header of zeros
    (tmp_path / "notes.txt").write_text("not a VELL file\n")  # passed over: neither name nor magic
    arrays.write_spectrum(tmp_path / "good.vell", BAND, X)
    status, out, err = run("check", "-r", tmp_path)
    assert status == 1, out + err
    assert "FAILED  %s\n        - not a VELL file (it holds 0 bytes" % (tmp_path / "empty.vell") in out
    assert "FAILED  %s\n        - not a VELL file (its first bytes" % (tmp_path / "zeroed.vell") in out
    assert "notes.txt" not in out and "check: 3 files, 1 OK, 2 failed" in out


def test_open_mfdataset_names_a_file_too_short(tmp_path):
    pytest.importorskip("xarray")
    from vellkit_tools import open_mfdataset
    good = arrays.write_spectrum(tmp_path / "good.vell", BAND, X)
    for short in _short_files(tmp_path):
        with pytest.raises(ValueError, match=re.escape(str(short))):
            open_mfdataset([good, str(short)])


def test_an_svg_preview_of_control_characters_is_xml(tmp_path):
    pytest.importorskip("matplotlib")
    import xml.etree.ElementTree as ElementTree
    path = arrays.write_traces(tmp_path / "t.vell", np.ones((2, 40), np.float32),
                               ["bell\x07", "esc\x1b[31m"], x=X, params={"DXU": "WN\x1b"})
    status, out, err = run("preview", path, "--out", tmp_path / "t.svg")
    assert status == 0, err
    ElementTree.parse(str(tmp_path / "t.svg"))  # well-formed
    drawn = (tmp_path / "t.svg").read_bytes()  # (the text, drawn as paths, named in comments)
    assert b"esc\\x1b[31m" in drawn and b"\x1b" not in drawn and b"\x07" not in drawn
