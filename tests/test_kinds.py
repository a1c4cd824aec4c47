"""The one table of kinds: every kind reaches every surface, an unknown kind
is an error on each, and block requests are spelled one way everywhere."""

import pytest

from vellkit_tools import kinds, plots
from vellkit_tools.cli import _common, _formats

LAYOUTS = {"columns", "map", "series", "regions"}


def test_every_kind_is_handled_by_every_surface():
    assert set(plots.OPTIONS) == set(plots._PICTURES) == set(_common._SHAPE_TEXTS) == set(kinds.KINDS)
    for row in kinds.KINDS.values():
        _common._SHAPE_TEXTS[row.name].format(**{d: 1 for d in row.dims})  # names only its dims
        assert row.export_layout in LAYOUTS
        assert row.variable in ("spectrum", "spectra", "traces") and row.dims
        assert ("trace" in row.dims) == row.traces
        assert kinds.kind(row.name) is row
    xr = pytest.importorskip("xarray")  # noqa: F841
    from vellkit_tools import backend
    assert set(backend._BUILDERS) == set(kinds.KINDS)


class Hologram(object):
    """A result of a kind no table knows."""


@pytest.mark.parametrize("call", [
    lambda: kinds.kind("hologram"),
    lambda: kinds.kind_of_result(Hologram()),
    lambda: _formats.table("h.vell", ("AB", "3D", "NONE"), Hologram()),
    lambda: plots.plot_result(Hologram()),
], ids=["kind", "result", "export", "preview"])
def test_an_unknown_kind_is_an_error_never_another_kinds_branch(call):
    with pytest.raises(ValueError, match="hologram|Hologram"):
        call()


@pytest.mark.parametrize("request_, words", [
    ("AB/3D/NONE", ("AB", "3D", "NONE")),
    ("ab,3d,3der", ("AB", "3D", "NDER")),
    ("(AB, 2D)", ("AB", "2D")),
    ("TRC", ("TRC",)),
    (("trc", "3D", "NDER"), ("TRC", "3D", "NDER")),
])
def test_block_requests_have_one_spelling(request_, words):
    assert kinds.parse_block(request_) == words


@pytest.mark.parametrize("bad", ["", "AB/4D", "AB/3D/5DER", b"AB", 5, ("A", "B", "C", "D")])
def test_a_malformed_request_says_how_to_write_one(bad):
    with pytest.raises(ValueError):
        kinds.parse_block(bad)


def test_a_request_matches_the_first_listed_block_in_either_derivative_word():
    listed = [("AB", "3D", "NONE"), ("AB", "3D", "3DER"), ("TRC", "3D", "NONE")]
    assert kinds.match_block("TRC", listed) == ("TRC", "3D", "NONE")
    assert kinds.match_block("AB/3D/NDER", listed) == ("AB", "3D", "NDER")
    assert kinds.match_block("AB/3D/3DER", listed) == ("AB", "3D", "NDER")
    with pytest.raises(ValueError, match="f.vell: no block SSC .*AB/3D/NONE, AB/3D/3DER, TRC/3D/NONE"):
        kinds.match_block("SSC", listed, "f.vell")
    assert kinds.listing_word("NDER") == "3DER" and kinds.request_word("3DER") == "NDER"
    # Outputs spell code 3 one way, whichever word came in.
    assert kinds.block_text(("ab", "3d", "nder")) == "AB/3D/3DER" == kinds.block_text(("AB", "3D", "3DER"))
    assert kinds.block_name(("AB", "2D", "NDER")) == "AB_2D_3DER"
