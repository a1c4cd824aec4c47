"""The core's block plan and file description, through vellkit_tools._native:
they agree with what vellkit reads, and describe damage from headers alone."""

import json
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vellkit
from pathlib import Path
from vellkit_tools import _native, kinds, writer

from _helpers3d import last_block_file
from conftest import write

NPT = 6
DERIVS = ("NONE", "1DER", "2DER", "NDER")
EXTRAS = dict(acquisition=[("AQM", "fast"), ("MNY", -5.0)], instrument=[("INS", 3)],
              sample=[("SNM", "film")], ft=[("APF", "BX"), ("FXV", 1234.5)])


def values(k, npt=NPT):
    return (np.arange(npt) * 1.5 + 100.0 * k + 0.25).astype(np.float32)


def spectrum_vf(deriv):
    return writer.make_spectrum_file(values(0), deriv=deriv, **EXTRAS)


def image_map_vf(deriv, npx=3, npy=2, original=None):
    params = writer.image_map_params(NPT, 1000.0, 2000.0, npx, npy, aox=5.0, ddx=0.5, aoy=-1.0, ddy=2.0)
    records = [values(k) for k in range(npx * npy or 4)]
    return writer.make_3d_file(records, NPT, params, deriv=deriv, original_params=original, **EXTRAS)


def image_traces_vf(deriv):
    params = writer.image_map_params(NPT, 1.0, 2.0, 3, 2)
    records = [writer.Record(values(k), label="trace %d" % k) for k in range(3)]
    return writer.make_3d_file(records, NPT, params, data_type="TRC", deriv=deriv, **EXTRAS)


def series_vf(deriv, trace=False):
    params = writer.time_resolved_params(NPT, 10.0, 20.0)
    records = [writer.Record(values(k), time=k * 0.5, label="band %d" % k) for k in range(4)]
    return writer.make_3d_file(records, NPT, params, data_type="TRC" if trace else "AB", deriv=deriv, **EXTRAS)


def region_vf(deriv, trace=False):
    table, indices = writer.multi_region_table([{"nx": 2, "ny": 2}, {"points": [(7.0, 8.0)]}])
    if trace:
        records = {k: values(k, len(indices)) for k in range(1, 3)}
        npt = len(indices)
    else:
        records = {i: values(i) for i in indices}
        npt = NPT
    return writer.make_3d_file(records, npt, writer.multi_region_params(npt, 1.0, 5.0),
                               data_type="TRC" if trace else "AB", deriv=deriv, annotation=[table], **EXTRAS)


KINDS = {
    "spectrum": (spectrum_vf, "AB", "2D"),
    "image_map": (image_map_vf, "AB", "3D"),
    "image_traces": (image_traces_vf, "TRC", "3D"),
    "series": (series_vf, "AB", "3D"),
    "series_traces": (lambda d: series_vf(d, trace=True), "TRC", "3D"),
    "multi_region": (region_vf, "AB", "3D"),
    "multi_region_traces": (lambda d: region_vf(d, trace=True), "TRC", "3D"),
}




@pytest.mark.parametrize("deriv", DERIVS)
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_plan_agrees_with_getvelldata(tmp_path, kind, deriv):
    make, name, dims = KINDS[kind]
    path = write(tmp_path, make(deriv))
    result = vellkit.getVellData(path, (name, dims, deriv))
    plan = _native.plan_block(path, (name, dims, deriv))
    assert plan["kind"] == kinds.kind_of_result(result).name == kind
    assert plan["request"] == (name, dims, deriv)
    assert dict(plan["parameters"]) == result.parameters
    assert [n for n, _ in plan["parameters"]] == list(result.parameters)
    first, last, npt = plan["x"]
    np.testing.assert_array_equal(np.linspace(first, last, npt), result.x)
    assert plan["npt"] == npt
    assert plan["file_size"] == os.path.getsize(path)
    assert plan["identity"][2] == os.path.getsize(path)
    if kind.startswith("multi_region"):
        assert [r["title"] for r in plan["regions"]] == [r.title for r in result.regions]
        for region, expected in zip(plan["regions"], result.regions):
            np.testing.assert_array_equal(np.frombuffer(region["map_x"]), expected.mapX)
            np.testing.assert_array_equal(np.frombuffer(region["map_y"]), expected.mapY)
    else:
        assert plan["regions"] is None
    if dims == "2D":
        assert plan["records"] is None and plan["grid"] is None
        np.testing.assert_array_equal(_native.read_values(path, plan["values_offset"], npt), result.y)
        return
    assert plan["values_offset"] == -1
    offsets = np.frombuffer(plan["records"]["offsets"], np.int64)
    indices = np.frombuffer(plan["records"]["indices"], np.int64)
    assert len(offsets) == len(indices)
    # The tools' reads of the planned records give what the module gives.
    rows = _native.read_points(path, offsets, npt, 0, npt)
    if kind == "series":
        np.testing.assert_array_equal(_native.read_times(path, offsets, npt), result.z)
    if kind == "multi_region":  # the regions take the records' times by position
        times = _native.read_times(path, offsets, npt)
        assert sorted(times.tolist()) == sorted(np.concatenate([r.start_time for r in result.regions]).tolist())
    if "traces" in kind:
        labels = _native.read_labels(path, offsets, npt, plan["records"]["info_size"])
        assert labels == list(result.labels)
    if kind.startswith("image"):
        grid = plan["grid"]
        np.testing.assert_array_equal(
            np.linspace(grid["aox"], grid["aox"] + grid["ddx"] * (grid["npx"] - 1), grid["npx"]), result.mapX)
        np.testing.assert_array_equal(
            np.linspace(grid["aoy"], grid["aoy"] + grid["ddy"] * (grid["npy"] - 1), grid["npy"]), result.mapY)
        assert grid["from_original"] is False
        if kind == "image_map":
            np.testing.assert_array_equal(rows.reshape(grid["npy"], grid["npx"], npt), result.spectra)
        else:
            np.testing.assert_array_equal(rows.reshape(-1, grid["npy"], grid["npx"]).transpose(1, 2, 0),
                                          result.traces)
    else:
        assert plan["grid"] is None
    if kind == "series":
        np.testing.assert_array_equal(rows, result.spectra)
    if kind == "series_traces":
        np.testing.assert_array_equal(rows, result.traces)
    if kind == "multi_region":
        by_index = dict(zip(indices.tolist(), rows))
        spectra = np.concatenate([r.spectra for r in result.regions])
        np.testing.assert_array_equal(np.array([by_index[i] for i in range(1, 6)]), spectra)


@pytest.mark.parametrize("deriv", DERIVS[1:])
def test_original_parameters_none_and_empty_differ(tmp_path, deriv):
    plain = write(tmp_path, image_map_vf(deriv))
    assert _native.plan_block(plain, ("AB", "3D", deriv))["original_parameters"] is None
    empty = write(tmp_path, image_map_vf(deriv, original=[]))
    assert _native.plan_block(empty, ("AB", "3D", deriv))["original_parameters"] == []
    given = write(tmp_path, image_map_vf(deriv, original=[("ABC", 1), ("XYZ", "t")]))
    assert _native.plan_block(given, ("AB", "3D", deriv))["original_parameters"] == [("ABC", 1), ("XYZ", "t")]


def test_ft_block_is_merged_last(tmp_path):
    path = write(tmp_path, spectrum_vf("NONE"))
    parameters = dict(_native.plan_block(path, ("AB", "2D", "NONE"))["parameters"])
    assert parameters["FXV"] == 1234.5 and parameters["APF"] == "BX" and parameters["MNY"] == -5.0
    (block,) = _native.describe_file(path)["blocks"]
    assert dict(block["parameters"]) == parameters == vellkit.getVellData(path, ("AB", "2D", "NONE")).parameters


@pytest.mark.parametrize("npx, npy", [(0, 2), (3, 0), (0, 0), (0.0, 2)])
def test_one_empty_axis_takes_the_original_grid(tmp_path, npx, npy, capsys):
    original = writer.image_map_params(NPT, 1000.0, 2000.0, 2, 3, aox=7.0, ddx=0.25, aoy=1.0, ddy=-1.0)
    params = writer.image_map_params(NPT, 1000.0, 2000.0, 1, 1)
    params = [(n, npx if n == "NPX" else npy if n == "NPY" else v) for n, v in params]
    vf = writer.make_3d_file([values(k) for k in range(6)], NPT, params, deriv="1DER", original_params=original)
    path = write(tmp_path, vf)
    plan = _native.plan_block(path, ("AB", "3D", "1DER"))
    result = vellkit.getVellData(path, ("AB", "3D", "1DER"))
    assert "Orignal mapping coordinates used" in capsys.readouterr().out
    grid = plan["grid"]
    assert grid["from_original"] is True
    assert (grid["npx"], grid["npy"], grid["aox"], grid["ddx"]) == (2, 3, 7.0, 0.25)
    np.testing.assert_array_equal(np.linspace(grid["aoy"], grid["aoy"] + grid["ddy"] * 2, 3), result.mapY)
    assert dict(plan["parameters"]) == result.parameters
    blocks = {b["listed"]: b for b in _native.describe_file(path)["blocks"]}
    assert blocks[("AB", "3D", "1DER")]["shape"] == (3, 2, NPT) and blocks[("AB", "3D", "1DER")]["problem"] is None
    # The original block's parameters are listed, without data: not damage.
    original = blocks[("AB", "3D", "NONE")]
    assert (original["kind"], original["shape"], original["problem"]) == (None, None, None)
    assert dict(original["parameters"])["NPX"] == 2
    assert _native.describe_file(path)["problems"] == []


def test_derivative_map_without_original_block(tmp_path):
    params = writer.image_map_params(NPT, 1.0, 2.0, 0, 2)
    path = write(tmp_path, writer.make_3d_file([values(0)], NPT, params, deriv="2DER"))
    with pytest.raises(ValueError, match="no original block") as info:
        _native.plan_block(path, ("AB", "3D", "2DER"))
    assert path in str(info.value)
    (block,) = _native.describe_file(path)["blocks"]
    assert "no original block" in block["problem"]


def test_describe_lists_as_listcontents_with_both_derivative_words(tmp_path):
    vf = writer.VellFile()
    for deriv in DERIVS:
        writer.make_spectrum_file(values(1), deriv=deriv, into=vf)
    writer.make_3d_file([values(0)], NPT, writer.time_resolved_params(NPT, 1.0, 2.0), data_type="TR", into=vf)
    # Listed from a parameter block alone: no data entry.
    vf.add_parameters(writer.spectral_params(NPT, 1.0, 2.0), data_type="KM", param_type=writer.PARAM_OWN)
    path = write(tmp_path, vf)
    description = _native.describe_file(path)
    listed = [b["listed"] for b in description["blocks"]]
    assert listed == [tuple(t) for t in vellkit.listContents(path)]
    for block in description["blocks"]:
        assert block["request"] == block["listed"][:2] + (kinds.request_word(block["listed"][2]),)
        if block["listed"][0] == "KM":
            assert block["kind"] is None and block["shape"] is None and block["problem"] is None
            continue
        result = vellkit.getVellData(path, block["request"])
        assert block["kind"] == kinds.kind_of_result(result).name
        assert dict(block["parameters"]) == result.parameters
        assert block["problem"] is None
    assert description["problems"] == []
    assert [e["what"] for e in description["entries"]][:2] == ["AB 2D data", "AB 2D parameters"]


@pytest.mark.parametrize("deriv", DERIVS)
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_describe_shapes_and_axes(tmp_path, kind, deriv):
    make, name, dims = KINDS[kind]
    path = write(tmp_path, make(deriv))
    (block,) = _native.describe_file(path)["blocks"]
    result = vellkit.getVellData(path, (name, dims, deriv))
    # The axes as the description carries them are the values' axes.
    first, last, count = block["x"]
    np.testing.assert_array_equal(np.linspace(first, last, count), result.x)
    for axis, values_ in (("map_x", "mapX"), ("map_y", "mapY")):
        if "y" not in kinds.kind(kind).dims:
            assert block[axis] is None
            continue
        origin, end, n, step = block[axis]
        np.testing.assert_array_equal(np.linspace(origin, end, n), getattr(result, values_))
        assert step == dict(block["parameters"])["DD" + axis[-1].upper()]
    expected = {"spectrum": lambda: result.y.shape, "image_map": lambda: result.spectra.shape,
                "image_traces": lambda: result.traces.transpose(2, 0, 1).shape,
                "series": lambda: result.spectra.shape, "series_traces": lambda: result.traces.shape,
                "multi_region": lambda: (sum(len(r.mapX) for r in result.regions), len(result.x)),
                "multi_region_traces": lambda: (len(result.labels), sum(len(r.mapX) for r in result.regions))}
    assert block["shape"] == expected[kind]() and block["problem"] is None


def entry_offsets(path):
    return {e["what"]: e["offset"] for e in _native.describe_file(path)["entries"]}


def patched(path, pos, fmt, value):
    data = bytearray(Path(path).read_bytes())
    data[pos:pos + struct.calcsize(fmt)] = struct.pack(fmt, value)
    return bytes(data)


def test_problems_of_damaged_frames(tmp_path):
    good = write(tmp_path, series_vf("NONE"))
    data = Path(good).read_bytes()
    size = len(data)
    dir_offset = struct.unpack_from("<i", data, 12)[0]
    offsets = entry_offsets(good)
    cases = {
        "truncated at byte 20: the header needs 24 bytes": data[:20],
        "the directory offset is negative (-5)": patched(good, 12, "<i", -5),
        "lies past the end of the file": patched(good, 12, "<i", size + 100),
        "the directory claims 1000 entries at byte %d" % dir_offset: patched(good, 20, "<i", 1000),
        "negative offset or size": patched(good, dir_offset + 8, "<i", -4),
        "block past the end: it starts at byte %d" % (size + 8): patched(good, dir_offset + 8, "<i", size + 8),
        "claims bytes 24 to": patched(good, dir_offset + 4, "<i", size),
        "its store table (100000 rows) runs past the end": patched(good, offsets["AB 3D data"] + 20, "<i", 100000),
        "has an unknown value type 77": patched(good, offsets["AB 3D parameters"] + 4, "<h", 77),
        "record name at byte %d is not text (b'\\xff\\xfeN\\x00')" % offsets["AB 3D parameters"]:
            patched(good, offsets["AB 3D parameters"], "<4s", b"\xff\xfeN\0"),
        "has a negative length (-3)": patched(patched_path(tmp_path, good, offsets["AB 3D parameters"] + 4, "<h", 2),
                                              offsets["AB 3D parameters"] + 6, "<h", -3),
    }
    for expected, damaged in cases.items():
        path = write(tmp_path, damaged)
        problems = _native.describe_file(path)["problems"]
        assert any(expected in p for p in problems), (expected, problems)
    assert _native.describe_file(good)["problems"] == []


def patched_path(tmp_path, path, pos, fmt, value):
    return write(tmp_path, patched(path, pos, fmt, value))


def test_parameter_block_ending_at_the_end_of_the_file_is_terminated(tmp_path):
    params = writer.encode_parameters(writer.spectral_params(NPT, 1.0, 2.0))
    vf = writer.VellFile(directory="start")
    vf.add_spectrum(values(0), data_type="AB")
    vf.add_parameters(writer.spectral_params(NPT, 1.0, 2.0), param_type=writer.PARAM_OWN, data_type="AB")
    data = vf.to_bytes()
    assert data.endswith(params) and params.endswith(b"END\0" + bytes(4))
    path = write(tmp_path, data)
    assert _native.describe_file(path)["problems"] == []
    # The END name's last byte is the file's last: read to its END.
    at_end = write(tmp_path, data[:-4])
    problems = _native.describe_file(at_end)["problems"]
    assert len(problems) == 1 and "claims bytes" in problems[0]
    (block,) = _native.describe_file(at_end)["blocks"]
    assert block["problem"] is None and block["kind"] == "spectrum"
    vellkit.getVellData(at_end, ("AB", "2D", "NONE"))
    # A name cut to the three letters of END still ends the block, as the reader takes it.
    three_letters = write(tmp_path, data[:-5])
    vellkit.getVellData(three_letters, ("AB", "2D", "NONE"))
    problems = _native.describe_file(three_letters)["problems"]
    assert len(problems) == 1 and "claims bytes" in problems[0], problems
    cut = write(tmp_path, data[:-6])
    problems = _native.describe_file(cut)["problems"]
    assert any("runs past the end of the file at byte %d without an END record" % (len(data) - 6) in p
               for p in problems), problems
    (block,) = _native.describe_file(cut)["blocks"]
    assert "without an END record" in block["problem"]


def test_cut_records_are_a_block_problem(tmp_path):
    data = last_block_file([values(k) for k in range(4)], NPT, writer.time_resolved_params(NPT, 1.0, 2.0))
    path = write(tmp_path, data[:-300])
    description = _native.describe_file(path)
    (block,) = description["blocks"]
    assert block["kind"] == "series" and "records lie past the end of the file" in block["problem"]
    assert any("records lie past the end of the file (byte %d)" % (len(data) - 300) in p
               for p in description["problems"])


def test_many_entries_on_one_parameter_block_are_checked_once(tmp_path):
    """Entries pointing into one long parameter block: one problem each, in linear time."""
    params = [("P%03d" % i, i) for i in range(300)]
    vf = writer.VellFile()
    vf.add_spectrum(values(0))
    vf.add_parameters(writer.spectral_params(NPT, 1.0, 2.0) + params, param_type=writer.PARAM_OWN)
    data = bytearray(vf.to_bytes())
    dir_offset, count = struct.unpack_from("<i", data, 12)[0], struct.unpack_from("<i", data, 20)[0]
    own = struct.unpack_from("<3i", data, dir_offset + 12)
    # The same block and record boundaries inside it (the spectral set takes 76 bytes).
    starts = [own[2]] * 100 + [own[2] + 76 + 12 * k for k in range(100)]
    extra = b"".join(struct.pack("<3i", 48, 4, at) for at in starts)
    data = data[:dir_offset] + data[dir_offset:dir_offset + 12 * count] + extra
    data[20:24] = struct.pack("<i", count + 200)
    path = write(tmp_path, bytes(data))
    description = _native.describe_file(path)
    assert len(description["entries"]) == count + 200
    assert description["problems"] == []


def test_type_258_image_is_not_cut(tmp_path):
    body = b"BM" + bytes(range(60))
    images = [writer.Image(body, title="Visible", image_type=258), writer.Image(body[:20], title="Second")]
    vf = writer.make_spectrum_file(values(0), images=images)
    path = write(tmp_path, vf)
    described = _native.describe_file(path)["images"]
    read = vellkit.getVisImages(path)
    assert [i["title"] for i in described] == [i["Title"] for i in read]
    assert [i["type"] for i in described] == [258, 1]
    assert [i["size"] for i in described] == [len(body), 20]
    assert described[0]["stored"] == len(read[0]["image"]) + 14 == len(body)
    assert described[1]["stored"] == len(read[1]["image"]) == 20


def test_cut_image_stores_fewer_bytes(tmp_path):
    body = bytes(range(200))
    vf = writer.VellFile(directory="start")
    writer.make_spectrum_file(values(0), images=[writer.Image(body, title="Cut")], into=vf)
    data = vf.to_bytes()
    path = write(tmp_path, data[:-50])
    (image,) = _native.describe_file(path)["images"]
    assert image["size"] == 200 and image["stored"] < 200


def test_shrinking_file_is_that_files_error(tmp_path):
    vf = writer.VellFile(directory="start")
    writer.make_3d_file([values(k) for k in range(4)], NPT, writer.time_resolved_params(NPT, 1.0, 2.0), into=vf)
    path = write(tmp_path, vf)
    identity = _native.describe_file(path)["identity"]
    plan = _native.plan_block(path, ("AB", "3D", "NONE"))
    assert plan["identity"] == identity
    offsets = np.frombuffer(plan["records"]["offsets"], np.int64)
    assert _native.read_points(path, offsets, NPT, 0, NPT, identity).shape == (4, NPT)
    os.truncate(path, int(offsets[-1]) + 8)
    with pytest.raises(OSError, match="has changed") as info:
        _native.read_points(path, offsets, NPT, 0, NPT, identity)
    assert path in str(info.value)
    with pytest.raises(ValueError) as info:
        _native.read_points(path, offsets, NPT, 0, NPT)
    assert path in str(info.value)
    # Described again, the shorter file says where it ends.
    assert any("records lie past the end" in p for p in _native.describe_file(path)["problems"])


@pytest.mark.parametrize("request_", [("XX", "3D", "NONE"), ("AB", "4D", "NONE"), ("AB", "3D", "4DER")])
def test_bad_requests_and_missing_blocks_name_the_file(tmp_path, request_):
    path = write(tmp_path, series_vf("NONE"))
    with pytest.raises(ValueError) as info:
        _native.plan_block(path, request_)
    assert path in str(info.value)
    with pytest.raises(ValueError, match="no data block TR 3D NONE") as info:
        _native.plan_block(path, ("TR", "3D", "NONE"))
    assert path in str(info.value)


def test_not_a_vell_file(tmp_path):
    path = write(tmp_path, b"\0" * 64)
    for call in (lambda: _native.describe_file(path), lambda: _native.plan_block(path, ("AB", "2D", "NONE"))):
        with pytest.raises(ValueError, match="not a VELL data file"):
            call()
    with pytest.raises(FileNotFoundError):
        _native.describe_file(str(tmp_path / "missing.vell"))


def test_value_that_is_not_a_count_names_the_parameter(tmp_path):
    params = [(n, "many" if n == "NPT" else v) for n, v in writer.time_resolved_params(NPT, 1.0, 2.0)]
    path = write(tmp_path, writer.make_3d_file([values(0)], NPT, params))
    with pytest.raises(ValueError, match="parameter NPT is 'many', not a count"):
        _native.plan_block(path, ("AB", "3D", "NONE"))
    (block,) = _native.describe_file(path)["blocks"]
    assert block["kind"] == "series" and block["shape"] is None and "NPT" in block["problem"]


_LIMIT_CHILD = textwrap.dedent("""
    import sys, time
    from vellkit_tools import _native
    start = time.perf_counter()
    try:
        _native.plan_block(sys.argv[1], ("AB", "3D", "NONE"))
    except MemoryError as error:
        assert sys.argv[1] in str(error), error
        print("refused %.3f" % (time.perf_counter() - start))
""")


@pytest.mark.parametrize("params", [
    writer.time_resolved_params(130000000, 1.0, 2.0),
    writer.image_map_params(4, 1.0, 2.0, 60000000, 60000000),
], ids=["npt", "grid"])
def test_huge_axes_are_refused_at_plan_time(tmp_path, params):
    path = write(tmp_path, writer.make_3d_file([np.zeros(4, np.float32)], 4, params))
    assert os.path.getsize(path) < 1024
    env = dict(os.environ)
    env.pop("VELLKIT_MEMORY_LIMIT", None)
    child = subprocess.run([sys.executable, "-c", _LIMIT_CHILD, path], env=env, capture_output=True, text=True,
                           timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.startswith("refused")


def extension_file(tmp_path):
    """A spectrum listed in the 64-bit extension; the directory at the start."""
    vf = writer.VellFile(directory="start")
    vf.add_spectrum(values(0), data_type="AB", in_extension=True)
    vf.add_parameters(writer.spectral_params(NPT, 1.0, 2.0), data_type="AB", deriv_type="NDER", in_extension=True)
    vf.add_spectrum(values(1), data_type="AB", deriv_type="NDER", in_extension=True)
    data = vf.to_bytes()
    entry = struct.unpack_from("<3i", data, 24)  # the only 32-bit entry: the extension
    assert decode_extend(entry[0]) == writer.EXTEND_64
    return data, entry[2]


def decode_extend(code):
    return writer.decode_block_type(code)[5]


def test_extension_entries_are_described_and_checked(tmp_path):
    data, at = extension_file(tmp_path)
    path = write(tmp_path, data)
    description = _native.describe_file(path)
    assert description["problems"] == []
    extension = [e for e in description["entries"] if e["in_extension"]]
    assert [e["what"] for e in extension] == ["AB 2D data", "AB 2D 3DER parameters", "AB 2D 3DER data"]
    (block,) = description["blocks"]
    assert block["listed"] == ("AB", "2D", "3DER") == tuple(vellkit.listContents(path)[0])
    assert block["request"] == ("AB", "2D", "NDER") and block["kind"] == "spectrum"
    for word in ("NDER", "3DER"):
        plan = _native.plan_block(path, ("ab", "2d", word.lower()))
        assert plan["request"] == ("AB", "2D", "NDER")
        np.testing.assert_array_equal(_native.read_values(path, plan["values_offset"], NPT), values(1))

    claims = bytearray(data)
    struct.pack_into("<q", claims, at, 50)
    problems = _native.describe_file(write(tmp_path, bytes(claims)))["problems"]
    assert any("the 64-bit directory extension at byte %d claims 50 entries" % at in p for p in problems), problems
    past = bytearray(data)
    struct.pack_into("<i", past, 24 + 8, len(data) + 64)
    problems = _native.describe_file(write(tmp_path, bytes(past)))["problems"]
    assert problems == ["the 64-bit directory extension at byte %d lies past the end of the file (%d bytes)"
                        % (len(data) + 64, len(data))]
    negative = bytearray(data)
    struct.pack_into("<q", negative, at + 16 + 16, -8)  # the first extension entry's offset
    problems = _native.describe_file(write(tmp_path, bytes(negative)))["problems"]
    assert any(p.startswith("extension entry 0 (AB 2D data): negative offset or size") for p in problems), problems


def test_entries_name_what_they_list(tmp_path):
    path = write(tmp_path, region_vf("NONE"))
    whats = [e["what"] for e in _native.describe_file(path)["entries"]]
    assert whats == ["AB 3D data", "AB 3D parameters", "acquisition parameters", "instrument parameters",
                     "sample parameters", "FT parameters", "annotation table"]


_MUTATION_CHILD = textwrap.dedent("""
    import json, os, random, resource, sys
    # Memory past the limit fails; sanitizer runtimes reserve more address space than this.
    if "san" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    from vellkit_tools import _native
    ordinary = (ValueError, OSError, MemoryError)
    seeds, work = json.loads(sys.argv[1]), sys.argv[2]
    rng = random.Random(5)
    outcomes = {}
    for n in range(int(sys.argv[3])):
        with open(rng.choice(seeds), "rb") as f:
            data = bytearray(f.read())
        for _ in range(rng.randint(1, 6)):
            how = rng.randrange(3)
            if how == 0 and data:
                data[rng.randrange(len(data))] = rng.randrange(256)
            elif how == 1 and len(data) > 4:
                at = rng.randrange(len(data) - 3)
                data[at:at + 4] = rng.choice([b"\\xff\\xff\\xff\\x7f", b"\\0\\0\\0\\x80", b"\\xff\\xff\\xff\\xff"])
            elif data:
                del data[rng.randrange(len(data)):]
        path = os.path.join(work, "m.vell")
        with open(path, "wb") as f:
            f.write(bytes(data))
        try:
            description = _native.describe_file(path)
            blocks = [b["request"] for b in description["blocks"] if b["kind"]]
            outcomes["described"] = outcomes.get("described", 0) + 1
        except ordinary as error:
            outcomes[type(error).__name__] = outcomes.get(type(error).__name__, 0) + 1
            continue
        for block in blocks:
            try:
                _native.plan_block(path, block)
                outcomes["planned"] = outcomes.get("planned", 0) + 1
            except ordinary as error:
                outcomes[type(error).__name__] = outcomes.get(type(error).__name__, 0) + 1
    print(json.dumps(outcomes))
""")


def test_mutated_files_are_described_or_refused(tmp_path):
    """Damaged files give descriptions and plans or ordinary errors: never a
    crash, a hang or memory past the limit (in a child process)."""
    seeds = []
    for kind, (make, _, _) in sorted(KINDS.items()):
        seeds.append(write(tmp_path, make("1DER"), "seed-%s.vell" % kind))
    crashes = os.path.join(os.path.dirname(__file__), "data", "crashes")
    seeds += [os.path.join(crashes, n) for n in sorted(os.listdir(crashes)) if n.endswith(".vell")]
    work = tmp_path / "work"
    work.mkdir()
    child = subprocess.run([sys.executable, "-c", _MUTATION_CHILD, json.dumps(seeds), str(work), "300"],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr[-3000:]
    outcomes = json.loads(child.stdout)
    assert outcomes.get("described", 0) > 100 and outcomes.get("planned", 0) > 50, outcomes


def test_block_problems_say_why_a_read_fails(tmp_path):
    data = last_block_file([values(k) for k in range(4)], NPT, writer.time_resolved_params(NPT, 1.0, 2.0))
    path = write(tmp_path, data)
    (entry,) = [e for e in _native.describe_file(path)["entries"] if e["what"] == "AB 3D data"]
    table = bytearray(data)
    struct.pack_into("<i", table, entry["offset"] + 20, 100000)
    damaged = write(tmp_path, bytes(table))
    (block,) = _native.describe_file(damaged)["blocks"]
    assert "the store table at byte %d claims 100000 entries" % entry["offset"] in block["problem"]
    with pytest.raises(ValueError):
        vellkit.getVellData(damaged, ("AB", "3D", "NONE"))
    params = [(n, v) for n, v in writer.time_resolved_params(NPT, 1.0, 2.0) if n != "MXY"]
    path = write(tmp_path, writer.make_3d_file([values(0)], NPT, params))
    (block,) = _native.describe_file(path)["blocks"]
    assert block["problem"] == "the block has no parameter MXY"
    with pytest.raises(KeyError):
        vellkit.getVellData(path, ("AB", "3D", "NONE"))


@pytest.mark.parametrize("name", [b"A'B\0", b'A"B\0', b"'\"\\\0", b"\t\r\n\0", b"\x7f\x01Z\0", b"\xc2\x85Z\0",
                                  b"\xc2\xa0Z\0", b"\xc3\xa9Z\0", b"\xff'\x80\0", b"\xe2\x80\x8bZ"])
def test_record_names_in_problems_are_written_as_python_writes_them(tmp_path, name):
    good = write(tmp_path, series_vf("NONE"))
    at = entry_offsets(good)["AB 3D parameters"]
    damaged = patched_path(tmp_path, patched_path(tmp_path, good, at, "<4s", name), at + 4, "<h", 77)
    text = name.rstrip(b"\0")
    problems = _native.describe_file(damaged)["problems"]
    try:
        shown = "record %r at byte %d" % (text.decode("utf-8"), at)
    except UnicodeDecodeError:
        shown = "record name at byte %d is not text (%r)" % (at, name)
    assert any(shown in p for p in problems), (shown, problems)


def test_map_axis_end_is_the_modules_integer_arithmetic(tmp_path):
    # Integer mapping values: origin + step x (count - 1) exactly, rounded
    # once, as getVellData computes it (in doubles it would round twice).
    npx = 2 ** 31 - 3
    params = writer.spectral_params(NPT, 1.0, 2.0) + [
        ("AOX", 253), ("AOY", 0.0), ("DDX", 2 ** 31 - 1), ("DDY", 1.0), ("NPX", npx), ("NPY", 1)]
    path = write(tmp_path, writer.make_3d_file([values(0)], NPT, params))
    origin, end, count, step = _native.describe_file(path)["blocks"][0]["map_x"]
    assert (origin, count, step) == (253.0, npx, 2 ** 31 - 1)
    assert end == float(253 + (2 ** 31 - 1) * (npx - 1)) != 253.0 + float(2 ** 31 - 1) * float(npx - 1)
