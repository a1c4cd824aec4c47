"""The one table of the kinds of VELL data blocks, and how blocks are named.

Every surface of ``vellkit_tools`` (the xarray engine, the command, the
exports, the previews) dispatches through :data:`KINDS`; a kind missing from
it is an error, never another kind's branch. The kind of a block is decided
by the reading core (``vellkit_tools._native``), never here: this table only
says how each kind appears.

Block requests have one spelling everywhere: a ``(name, dimensions,
derivative)`` triple, a string such as ``"AB/3D/NONE"``, ``"AB,3D"`` or
``"TRC"``, or a prefix of a triple, matched against the blocks a file holds.
The third-derivative word is ``"NDER"`` when a block is requested (as
``vellkit.getVellData`` takes it) and ``"3DER"`` where ``vellkit.listContents``
lists it; both are accepted in every request. Every output of the tools
(node names, file names, JSON, attributes, messages) spells it ``"3DER"``,
as :func:`block_text` writes blocks; ``"NDER"`` is only handed to
``getVellData``.

A request that names less than a whole triple, and no request at all, picks
the original block (derivative NONE) before its derivatives: see
:func:`match_block` and :func:`default_block`.
"""

from typing import Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple, Union

__all__ = ["Kind", "KINDS", "kind", "kind_of_result", "Block", "BlockRequest", "DERIVATIVES",
           "LISTING_DERIVATIVES", "parse_block", "request_word", "listing_word", "match_block",
           "default_block", "block_text", "block_name", "output_block"]

Block = Tuple[str, str, str]
BlockRequest = Union[str, Sequence[str]]


class Kind(NamedTuple):
    """How one kind of data block appears on every surface."""

    #: The core's name of the kind, e.g. ``"image_map"``.
    name: str
    #: The ``vellkit`` result class that ``getVellData`` returns for it.
    result_class: str
    #: The words the command prints for it, e.g. ``"image map"``.
    words: str
    #: The xarray data variable and its dimensions.
    variable: str
    dims: Tuple[str, ...]
    #: Whether its values are traces (one series per trace label).
    traces: bool
    #: Table layout of an export: ``"columns"`` (x beside one column per
    #: spectrum or trace), ``"map"`` (map_x, map_y, values), ``"series"``
    #: (time, values) or ``"regions"`` (group, map_x, map_y, start_time, values).
    export_layout: str
    #: What ``vellkit preview`` draws.
    preview: str


KINDS: Dict[str, Kind] = {k.name: k for k in (
    Kind("spectrum", "SingleDataReturn", "spectrum", "spectrum", ("spectral",), False,
         "columns", "the spectrum over its x axis"),
    Kind("image_map", "ImageDataReturn", "image map", "spectra", ("y", "x", "spectral"), False,
         "map", "a chemical image beside the mean spectrum"),
    Kind("image_traces", "ImageTRCDataReturn", "image trace map", "traces", ("trace", "y", "x"), True,
         "map", "the map of one trace"),
    Kind("series", "TimeResolvedDataReturn", "time series", "spectra", ("time", "spectral"), False,
         "series", "a heat map of the spectra over time"),
    Kind("series_traces", "TimeResolvedTRCDataReturn", "time-resolved traces", "traces",
         ("trace", "spectral"), True, "columns", "the traces as curves"),
    Kind("multi_region", "MultiRegionDataReturn", "multi-region map", "spectra",
         ("position", "spectral"), False, "regions", "the positions on the map plane"),
    Kind("multi_region_traces", "MultiRegionTRCDataReturn", "multi-region traces", "traces",
         ("trace", "position"), True, "regions", "the positions on the map plane, by trace"),
)}

_BY_RESULT_CLASS = {k.result_class: k for k in KINDS.values()}


def kind(name: str) -> Kind:
    """The row of the kind the core calls ``name``; ValueError for any other name."""
    try:
        return KINDS[name]
    except KeyError:
        raise ValueError("unknown kind of data block %r (known: %s)"
                         % (name, ", ".join(KINDS))) from None


def kind_of_result(result: object) -> Kind:
    """The row of a ``vellkit.getVellData`` result; ValueError for any other object."""
    name = type(result).__name__
    try:
        return _BY_RESULT_CLASS[name]
    except KeyError:
        raise ValueError("not a vellkit data block result: %s" % name) from None


#: Derivative words as a block is requested (``getVellData``), by code.
DERIVATIVES = ("NONE", "1DER", "2DER", "NDER")
#: Derivative words as ``listContents`` lists them, by code.
LISTING_DERIVATIVES = ("NONE", "1DER", "2DER", "3DER")
_DERIVATIVE_CODES = {w: code for words in (DERIVATIVES, LISTING_DERIVATIVES) for code, w in enumerate(words)}
DIMENSIONS = ("2D", "3D")


#: What each derivative code is, in words (code 0: the values themselves).
DERIVATIVE_NAMES = ("", "first derivative", "second derivative", "third derivative")


def derivative_name(deriv: str) -> str:
    """The words of a derivative word (``"NDER"`` -> ``"third derivative"``; NONE: empty)."""
    return DERIVATIVE_NAMES[_derivative_code(deriv)]


def request_word(deriv: str) -> str:
    """The request word of a derivative word (``"3DER"`` -> ``"NDER"``)."""
    return DERIVATIVES[_derivative_code(deriv)]


def listing_word(deriv: str) -> str:
    """The listing word of a derivative word (``"NDER"`` -> ``"3DER"``)."""
    return LISTING_DERIVATIVES[_derivative_code(deriv)]


def _derivative_code(deriv: str) -> int:
    try:
        return _DERIVATIVE_CODES[str(deriv).upper()]
    except KeyError:
        raise ValueError("not a derivative word: %r (one of %s)"
                         % (deriv, ", ".join(DERIVATIVES + ("3DER",)))) from None


def parse_block(request: BlockRequest) -> Tuple[str, ...]:
    """The upper-case words of a block request: one to three of name,
    dimensions and derivative, the derivative in its request spelling.

    ``"AB/3D/NONE"``, ``"AB,3D,NONE"``, ``"AB 3D NONE"``, ``"(AB, 3D)"``,
    ``"TRC"`` and ``("ab", "3d", "3der")`` are all requests.
    """
    if isinstance(request, str):
        cleaned = request.strip().strip("()[]")
        for sep in "/,:":
            cleaned = cleaned.replace(sep, " ")
        words = [w.strip("'\"") for w in cleaned.split()]
    elif isinstance(request, bytes):
        raise ValueError("a block request is text, not bytes: %r" % (request,))
    else:
        try:
            words = [str(w) for w in request]
        except TypeError:
            raise ValueError("not a block request: %r (write it as ('AB', '3D', 'NONE') or "
                             "'AB/3D/NONE')" % (request,)) from None
    words = [w.upper() for w in words if w]
    if not 1 <= len(words) <= 3:
        raise ValueError("not a block request: %r (write it as ('AB', '3D', 'NONE') or "
                         "'AB/3D/NONE')" % (request,))
    if len(words) >= 2 and words[1] not in DIMENSIONS:
        raise ValueError("not a block request: %r (dimensions are 2D or 3D, not %r)" % (request, words[1]))
    if len(words) == 3:
        words[2] = request_word(words[2])
    return tuple(words)


def _preferred(available: Sequence[Block]) -> List[Block]:
    """``available`` (request spelling, listing order) with each data type's
    blocks brought together after its first appearance, and within one data
    type and dimension the original before its derivatives (``listContents``
    lists in reverse file order: derivatives often come first)."""
    names: List[str] = []
    groups: List[Tuple[str, str]] = []
    for triple in available:
        if triple[0] not in names:
            names.append(triple[0])
        if triple[:2] not in groups:
            groups.append(triple[:2])
    return sorted(available, key=lambda t: (names.index(t[0]), groups.index(t[:2]), _derivative_code(t[2])))


def _triples(blocks: Iterable[Sequence[str]]) -> List[Block]:
    available: List[Block] = []
    for block in blocks:
        triple = (str(block[0]).upper(), str(block[1]).upper(), request_word(block[2]))
        if triple not in available:
            available.append(triple)
    return available


def match_block(request: BlockRequest, blocks: Iterable[Sequence[str]], path: str = "") -> Block:
    """The block of ``blocks`` (triples, listing or request spelling, in
    listing order) that ``request`` names, in request spelling: for a prefix,
    the first data type's original block (NONE) before its derivatives;
    ValueError naming the file and what it holds when none matches."""
    wanted = parse_block(request)
    available = _triples(blocks)
    for triple in _preferred(available):
        if triple[:len(wanted)] == wanted:
            return triple
    raise ValueError("%sno block %s (the file has %s)" % (
        "%s: " % path if path else "", block_text(wanted),
        ", ".join(block_text(b) for b in available) or "no data blocks"))


def default_block(blocks: Iterable[Sequence[str]]) -> Optional[Block]:
    """The block a file opens with when none is named (request spelling):
    the original (NONE) block of the first data type listed, or its lowest
    derivative when it has no original; None for no blocks."""
    preferred = _preferred(_triples(blocks))
    return preferred[0] if preferred else None


def output_block(block: Sequence[str]) -> Tuple[str, ...]:
    """A block's words as every output of the tools spells them (``3DER``)."""
    words = tuple(str(w).upper() for w in block)
    return words[:2] + (listing_word(words[2]),) if len(words) == 3 else words


def block_text(block: Sequence[str]) -> str:
    """The display form of a block, e.g. ``AB/3D/NONE``, ``AB/3D/3DER``."""
    return "/".join(output_block(block))


def block_name(block: Sequence[str]) -> str:
    """The name form of a block (node and file names), e.g. ``AB_3D_3DER``."""
    return "_".join(output_block(block))


def full_request(request: BlockRequest) -> Optional[Block]:
    """The triple of a complete request, or None when it is a prefix."""
    words = parse_block(request)
    return words if len(words) == 3 else None  # type: ignore[return-value]
