"""The axes of a block agree on every surface: the x axis, the map grid, the
times and the regions' positions as ``vellkit.getVellData`` gives them, as
the xarray engine and its data tree give them, and as ``vellkit show --json``
states them. One derivative block of each kind; an image map's derivative
with an empty grid takes the original block's."""

import contextlib
import io
import json

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

from vellkit_tools import backend, writer  # noqa: E402
from vellkit_tools.cli import main  # noqa: E402
from vellkit_tools.kinds import KINDS  # noqa: E402

import vellkit  # noqa: E402

pytestmark = pytest.mark.native

NPT = 5
SPECTRA = {i: writer.Record(np.arange(NPT, dtype=np.float32) * i, time=30.0 + 2.5 * i) for i in range(1, 7)}
ROWS = [[3, 0, 0, 0, 0, 4, 0.25, 1.5], [1, 0, 2, 1, 0, 2, -4.0, 8.0], [1, 0, 0, 0, 0, 6, -3.5, 8.0],
        [3, 0, 0, 0, 0, 1, 0.75, 2.5], [3, 0, 0, 0, 0, 5, 1.25, 3.5]]
LABELS = [writer.Record(np.arange(6, dtype=np.float32) + 10 * k, label="band %d" % k) for k in range(3)]


def image(data_type, deriv):
    npt = 6 if data_type == "TRC" else NPT  # a trace record holds the whole map
    grid = writer.image_map_params(npt, 4000.0, 400.0, 3, 2, aox=-7.5, ddx=0.1, aoy=12.0, ddy=-2.0)
    empty = writer.image_map_params(npt, 4000.0, 400.0, 0, 2)
    if data_type == "TRC":
        records = [writer.Record(np.arange(6, dtype=np.float32) + k, label="map %d" % k) for k in range(2)]
        return writer.make_3d_file(records, 6, empty, data_type="TRC", deriv=deriv, original_params=grid)
    return writer.make_3d_file([writer.Record(np.full(NPT, k, np.float32)) for k in range(6)], NPT, empty,
                               deriv=deriv, original_params=grid)


FILES = {
    "spectrum": lambda: writer.make_spectrum_file(np.arange(7, dtype=np.float32), deriv="1DER", fxv=3999.5,
                                                  lxv=401.25),
    "image_map": lambda: image("AB", "2DER"),
    "image_traces": lambda: image("TRC", "1DER"),
    "series": lambda: writer.make_3d_file(SPECTRA, NPT, writer.time_resolved_params(NPT, 1.0, 0.2), deriv="NDER"),
    "series_traces": lambda: writer.make_3d_file(LABELS, 6, writer.time_resolved_params(6, 0.0, 50.0),
                                                 data_type="TRC", deriv="1DER"),
    "multi_region": lambda: writer.make_3d_file(
        SPECTRA, NPT, writer.multi_region_params(NPT, 2500.0, 2400.0), deriv="2DER",
        annotation=[writer.AnnotationTable(writer.MULTI_REGION_COLUMNS, ROWS)]),
    "multi_region_traces": lambda: writer.make_3d_file(
        LABELS, 6, writer.multi_region_params(6, 1.0, 6.0), data_type="TRC", deriv="NDER",
        annotation=[writer.AnnotationTable(writer.MULTI_REGION_COLUMNS, ROWS)]),
}


def shown(path):
    """The one block with data, as ``vellkit show --json`` describes it."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert main(["show", "--json", path]) == 0
    blocks = [b for b in json.loads(out.getvalue())["files"][0]["blocks"] if b["kind"]]
    assert len(blocks) == 1 and blocks[0]["problem"] is None
    return blocks[0]


def same(actual, expected):
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    assert actual.tobytes() == expected.tobytes()


def stated(axis, values, count="count"):
    """A JSON axis (count or points, first, last) states these values."""
    assert axis[count] == len(values)
    assert (axis["first"], axis["last"]) == ((values[0], values[-1]) if len(values) else (None, None))


@pytest.mark.parametrize("kind", sorted(FILES))
def test_axes_agree(tmp_path, kind):
    path = str(tmp_path / (kind + ".vell"))
    FILES[kind]().write(path)
    info = shown(path)
    assert info["kind"] == kind
    request = tuple(info["request"])
    result = vellkit.getVellData(path, request)
    ds = xr.open_dataset(path, engine="vell", block=request).load()
    variable = KINDS[kind].variable
    nodes = [n.to_dataset() for n in backend.open_datatree(path).subtree if variable in n.data_vars]
    assert len(nodes) == 1

    stated(info["x"], result.x, "points")
    for view in (ds, nodes[0]):
        if "spectral" in view.dims:
            same(view["spectral"], result.x)
        if "mapX" in dir(result):
            same(view["x"], result.mapX)
            same(view["y"], result.mapY)
        if kind == "series":
            same(view["time"], result.z)
        if kind.startswith("multi_region"):
            regions = result.regions
            same(view["map_x"], np.concatenate([r.mapX for r in regions]))
            same(view["map_y"], np.concatenate([r.mapY for r in regions]))
            assert list(view["region"].values) == [r.title for r in regions for _ in r.mapX]
            if kind == "multi_region":
                same(view["start_time"], np.concatenate([r.start_time for r in regions]))
    if "mapX" in dir(result):
        assert (len(result.mapX), len(result.mapY)) == (3, 2)  # the original block's grid
        stated(info["map_x"], result.mapX)
        stated(info["map_y"], result.mapY)
    if kind == "series":
        stated(info["time"], result.z, "steps")
    if kind.startswith("multi_region"):
        assert [(r["title"], r["positions"]) for r in info["regions"]] == [(r.title, len(r.mapX))
                                                                           for r in result.regions]
        for r, region in zip(info["regions"], result.regions):
            assert (r["map_x"]["min"], r["map_x"]["max"]) == (region.mapX.min(), region.mapX.max())
