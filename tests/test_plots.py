"""Pictures of every kind of result, and the band arithmetic behind chemical images."""

import io
import os

import numpy as np
import pytest

import vellkit
from vellkit_tools import arrays, bands, plots

X = np.linspace(2000.0, 1000.0, 11)  # step -100


def test_band_values_at_a_position_and_over_a_band():
    values = np.arange(22.0).reshape(2, 11)
    at, what = plots.band_values(X, values, at=1640.0)
    np.testing.assert_array_equal(at, values[:, 4])  # nearest point: 1600
    assert what == "at 1600"
    band, what = plots.band_values(X, values, band=(1750.0, 1450.0))
    # Trapezoids over 1500, 1600, 1700, from the lower to the higher x.
    np.testing.assert_allclose(band, (values[:, 3] / 2 + values[:, 4] + values[:, 5] / 2) * 100.0)
    assert what == "integrated 1450 to 1750"
    peak, _ = plots.band_values(X, np.eye(11)[[7]] * 5.0)
    assert peak.tolist() == [5.0]  # without a choice: where the mean peaks


@pytest.mark.parametrize("options, message", [
    ({"at": 5000.0}, "outside the x axis"),
    ({"band": (10.0, 20.0)}, "holds 0 point"),
    ({"band": (1590.0, 1610.0)}, "holds 1 point"),
])
def test_band_values_refuses_positions_off_the_axis(options, message):
    with pytest.raises(ValueError, match=message):
        plots.band_values(X, np.zeros((3, 11)), **options)


@pytest.mark.parametrize("x", [X, X[::-1]])
@pytest.mark.parametrize("bounds", [(1750.0, 1150.0), (1150.0, 1750.0), (2000.0, 1000.0)])
def test_band_area_is_the_trapezoid_area_from_the_lower_to_the_higher_x(x, bounds):
    values = np.random.default_rng(5).random((3, 11)) + 0.5
    lo, hi = sorted(bounds)
    keep = (x >= lo) & (x <= hi)
    order = np.argsort(x[keep])
    xs, ys = x[keep][order], values[:, keep][:, order]
    by_hand = [sum((ys[r, i] + ys[r, i + 1]) / 2 * (xs[i + 1] - xs[i]) for i in range(len(xs) - 1))
               for r in range(3)]
    area = bands.band_area(x, values, *bounds)
    np.testing.assert_allclose(area, by_hand, rtol=1e-12)
    assert (area > 0).all()
    np.testing.assert_array_equal(plots.band_values(x, values, band=bounds)[0], area)


@pytest.mark.parametrize("x", [X, X[::-1]])
@pytest.mark.parametrize("bounds", [(1750.0, 1150.0), (1150.0, 2000.0)])
def test_band_area_above_the_line_between_the_band_ends(x, bounds):
    """A sloping background under the band is not counted; the band above it is, as by hand."""
    lo, hi = sorted(bounds)
    keep = np.flatnonzero((x >= lo) & (x <= hi))
    line = 0.3 + 2e-4 * x  # exactly its own trapezoid: its area above itself is 0
    bump = np.zeros(x.size)
    bump[keep[1:-1]] = np.random.default_rng(6).random(len(keep) - 2) + 0.5
    values = np.stack([line, line + bump, line * 2 + bump])
    area = bands.band_area(x, values, *bounds, baseline=True)
    np.testing.assert_allclose(area[0], 0.0, atol=1e-12)
    from_zero = bands.band_area(x, bump, *bounds)
    np.testing.assert_allclose(area[1:], [from_zero, from_zero], rtol=1e-12)
    np.testing.assert_allclose(bands.band_area(x, values, *bounds)[1],  # without: the slope too
                               from_zero + bands.band_area(x, line, *bounds), rtol=1e-12)
    np.testing.assert_array_equal(plots.band_values(x, values, band=bounds + ("baseline",))[0], area)


def test_image_extent_puts_pixels_around_positions():
    assert plots.image_extent(np.array([0.0, 5.0, 10.0])) == (-2.5, 12.5)
    assert plots.image_extent(np.array([3.0])) == (2.5, 3.5)


def _files(tmp_path):
    rng = np.random.default_rng(0)
    regions = [{"nx": 2, "ny": 1, "spectra": rng.random((2, 11))},
               {"points": [(4.0, 4.0)], "spectra": rng.random((1, 11))}]
    return {
        "spectrum": arrays.write_spectrum(tmp_path / "s.vell", rng.random(11), X),
        "map": arrays.write_image_map(tmp_path / "m.vell", rng.random((3, 4, 11)), X),
        "series": arrays.write_time_series(tmp_path / "t.vell", rng.random((5, 11)), X),
        "series traces": arrays.write_traces(tmp_path / "tt.vell", rng.random((2, 11)),
                                             ["a", "b"], x=X),
        "map traces": arrays.write_traces(tmp_path / "mt.vell", rng.random((3, 4, 2)),
                                          ["a", "b"]),
        "regions": arrays.write_multi_region(tmp_path / "r.vell", regions, X),
        "region traces": arrays.write_traces(tmp_path / "rt.vell", rng.random((3, 2)),
                                             ["a", "b"], regions=regions),
    }


def test_every_kind_of_result_gives_a_picture(tmp_path):
    Image = pytest.importorskip("PIL.Image")
    pytest.importorskip("matplotlib")
    for kind, path in _files(tmp_path).items():
        block = vellkit.listContents(path)[0]
        trace = "b" if block[0] == "TRC" else None
        fig = plots.plot_result(vellkit.getVellData(path, block), trace=trace, source=kind)
        buf = io.BytesIO()
        plots.save(fig, buf)
        with Image.open(io.BytesIO(buf.getvalue())) as im:
            pixels = np.asarray(im.convert("RGB"))
        assert len(np.unique(pixels.reshape(-1, 3), axis=0)) > 20, kind


def test_unknown_trace_is_named(tmp_path):
    pytest.importorskip("matplotlib")
    path = _files(tmp_path)["map traces"]
    with pytest.raises(ValueError, match="no trace named 'c'"):
        plots.plot_result(vellkit.getVellData(path, ("TRC", "3D", "NONE")), trace="c")


def test_every_kind_has_a_picture_and_its_options():
    from vellkit_tools.kinds import KINDS
    assert set(plots.OPTIONS) == set(KINDS) == set(plots._PICTURES)
    for name in KINDS:
        plots.over_images(name)


@pytest.mark.parametrize("kind, options, message", [
    ("spectrum", {"at": 1.0}, "at does not apply to a block of kind spectrum; it applies to: image map, "
                              "multi-region map"),
    ("series", {"band": (1, 2)}, "band does not apply"),
    ("image_map", {"trace": "a"}, "it applies to: image trace map, time-resolved traces, multi-region traces"),
])
def test_options_that_do_not_apply_are_refused(kind, options, message):
    with pytest.raises(ValueError, match=message):
        plots.check_options(kind, **options)
    plots.check_options(kind, at=None, band=None, trace=None)


def test_format_comes_from_the_suffix():
    assert [plots.format_of(n) for n in ("a.png", "b.SVG", "c.pdf", "d.jpg", "e.jpeg")] == \
        ["png", "svg", "pdf", "jpg", "jpg"]
    for name in ("a.gif", "noext", "a.png.part"):
        with pytest.raises(ValueError, match="cannot tell the picture format"):
            plots.format_of(name)


def test_save_replaces_the_target_whole_or_not_at_all(tmp_path):
    pytest.importorskip("matplotlib")
    fig = plots.plot_result(vellkit.getVellData(_files(tmp_path)["spectrum"], ("AB", "2D", "NONE")))
    out = tmp_path / "pic.svg"
    out.write_bytes(b"old")
    plots.save(fig, out)
    assert out.read_bytes().startswith(b"<?xml")
    before = sorted(p.name for p in tmp_path.iterdir())

    class Broken(Exception):
        pass

    def fail(*args, **kwargs):
        raise Broken()

    fig.savefig = fail
    with pytest.raises(Broken):
        plots.save(fig, out)
    assert out.read_bytes().startswith(b"<?xml")  # the old picture stays
    assert sorted(p.name for p in tmp_path.iterdir()) == before  # no temporary file left
    mode = os.stat(out).st_mode & 0o777
    umask = os.umask(0)
    os.umask(umask)
    assert mode == 0o666 & ~umask


def test_text_from_the_file_is_never_math(tmp_path):
    pytest.importorskip("matplotlib")
    path = arrays.write_traces(tmp_path / "t.vell", np.ones((2, 11)), ["$" + "{" * 60 + "$", "$\\bad{$"], x=X)
    fig = plots.plot_result(vellkit.getVellData(path, ("TRC", "3D", "NONE")), source="$\\frac{$")
    for fmt in ("png", "svg"):
        plots.save(fig, io.BytesIO(), format=fmt)
