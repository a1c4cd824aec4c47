"""Pictures of ``vellkit`` results: spectra, chemical images, heat maps, region maps.

Needs matplotlib (``pip install "vellkit[plot]"``).  Figures are drawn with
the Agg renderer on their own canvas, so nothing here touches pyplot's
global state or the backend a program has chosen.

Typical use::

    import vellkit
    from vellkit_tools import plots

    cube = vellkit.getVellData("map.vell", ("AB", "3D", "NONE"))
    plots.save(plots.plot_result(cube, band=(1600, 1700)), "map.png")
"""

import io
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from ._atomic import atomic_output
from ._text import escape
from .bands import band_area
from .kinds import KINDS, BlockRequest, block_text, default_block, derivative_name, kind_of_result, match_block
from .units import data_type_name, x_unit_label, x_unit_long_name

__all__ = ["require_matplotlib", "plot_result", "save", "preview", "band_values",
           "image_extent", "OPTIONS", "FORMATS", "format_of", "check_options", "kinds_taking", "over_images"]

#: A band (a, b), or (a, b, "baseline") for its area above the line between its ends.
Band = Union[Tuple[float, float], Tuple[float, float, str]]
INSTALL_HINT = 'pip install "vellkit[plot]"'

#: Text drawn from a file's contents (labels, titles, units, file names) is
#: shown as it is: never parsed as math markup or handed to TeX, whatever
#: the user's matplotlib settings (a deeply nested or malformed "$...$" in a
#: label would otherwise fail the whole picture).
PLAIN = {"parse_math": False, "usetex": False}

#: The options of :func:`plot_result` that apply to each kind of block.
OPTIONS: Dict[str, Tuple[str, ...]] = {
    "spectrum": (),
    "image_map": ("at", "band"),
    "image_traces": ("trace",),
    "series": (),
    "series_traces": ("trace",),
    "multi_region": ("at", "band"),
    "multi_region_traces": ("trace",),
}

#: Picture formats by file-name suffix (matplotlib's format names).
FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf", ".jpg": "jpg", ".jpeg": "jpg"}


def format_of(path: Any) -> str:
    """The picture format a file name asks for; ValueError for another suffix."""
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    if isinstance(suffix, bytes):
        suffix = suffix.decode("ascii", "replace")
    try:
        return FORMATS[suffix]
    except KeyError:
        raise ValueError("cannot tell the picture format from %r: name it %s"
                         % (suffix or "a name without a suffix",
                            ", ".join("*" + s for s in FORMATS))) from None


def check_options(kind_name: str, **given: Any) -> None:
    """ValueError when an option given (not None) does not apply to the kind
    of block, naming the kinds it applies to."""
    applies = OPTIONS[kind_name]
    for option, value in given.items():
        if value is None or option in applies:
            continue
        raise ValueError("%s does not apply to a block of kind %s; it applies to: %s" % (
            option, KINDS[kind_name].words, ", ".join(kinds_taking(option))))


def kinds_taking(option: str) -> List[str]:
    """The kinds of block (in words) that an option of :func:`plot_result` applies to."""
    return [KINDS[k].words for k, options in OPTIONS.items() if option in options]


def require_matplotlib():
    """The ``matplotlib.figure`` module; ImportError with the install command if missing."""
    try:
        import matplotlib
        from matplotlib import figure
        from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: F401
    except ImportError as exc:
        raise ImportError("pictures need matplotlib: %s (%s)" % (INSTALL_HINT, exc)) from exc
    del matplotlib
    return figure


def _figure(size=(9.0, 4.0)):
    figure = require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    fig = figure.Figure(figsize=size, dpi=100, layout="constrained")
    FigureCanvasAgg(fig)
    return fig


def save(fig, out, format: Optional[str] = None) -> None:
    """Write ``fig`` to a path or a binary file object.

    A path's suffix gives the format (.png, .svg, .pdf, .jpg; ValueError for
    another) unless ``format`` does; a file object gets PNG by default. A
    path is written whole or not at all (see :class:`vellkit_tools._atomic.Replacement`:
    a link stays a link, an existing picture keeps its permission bits).
    """
    if hasattr(out, "write"):
        fig.savefig(out, format=format or "png")
        return
    format = format or format_of(out)
    with atomic_output(out) as temporary, open(temporary, "wb") as f:
        fig.savefig(f, format=format)


# ----------------------------------------------------------------------------
# Axes and selections
# ----------------------------------------------------------------------------

def _value_name(result) -> str:
    """What a result's values are: its data type, and its derivative when it is one."""
    name = data_type_name(result.dataType)
    try:
        derivative = derivative_name(str(getattr(result, "derivative", "NONE")))
    except ValueError:
        derivative = ""
    return "%s, %s" % (name, derivative) if derivative else name


def _x_label(result) -> str:
    code = result.parameters.get("DXU") if isinstance(result.parameters, dict) else None
    name, unit = x_unit_long_name(code), x_unit_label(code)
    if not name:
        return "x"
    return "%s (%s)" % (name, unit) if unit and unit != name else name


def _unit(result) -> str:
    code = result.parameters.get("DXU") if isinstance(result.parameters, dict) else None
    return x_unit_label(code)


def _orient_x(ax, x: np.ndarray) -> None:
    # Keep the axis running the way the file stores it (wavenumbers usually descend).
    if x.size > 1 and x[0] > x[-1]:
        ax.set_xlim(x[0], x[-1])


def band_values(x: np.ndarray, values: np.ndarray, at: Optional[float] = None,
                band: Optional[Band] = None) -> Tuple[np.ndarray, str]:
    """Values along the last axis at one x position or integrated over a band.

    ``at`` picks the point nearest to it; ``band=(a, b)`` gives the band's
    area (:func:`vellkit_tools.bands.band_area`, as ``ds.vell.band_area``),
    ``band=(a, b, "baseline")`` its area above the line between its ends.  Without either,
    the position of the largest mean value is used.  Returns the reduced
    array and a text saying what was taken.
    """
    x = np.asarray(x, dtype=np.float64)
    values = np.asarray(values, dtype=np.float64)
    if x.size == 0:
        raise ValueError("the block has no points on its x axis")
    if band is not None:
        lo, hi = sorted((float(band[0]), float(band[1])))
        baseline = tuple(band[2:]) == ("baseline",)
        if len(band) > 2 and not baseline:
            raise ValueError("a band is (a, b) or (a, b, \"baseline\"), not %r" % (band,))
        return band_area(x, values, lo, hi, baseline=baseline), "integrated %g to %g%s" % (
            lo, hi, " above its baseline" if baseline else "")
    if at is None:
        flat = values.reshape(-1, x.size)
        mean = np.nanmean(flat, axis=0) if flat.shape[0] else np.zeros(x.size)
        index = int(np.nanargmax(mean)) if np.isfinite(mean).any() else 0
    else:
        if not min(x[0], x[-1]) - abs(x[-1] - x[0]) * 1e-9 <= at <= max(x[0], x[-1]) + abs(
                x[-1] - x[0]) * 1e-9:
            raise ValueError("--at %g lies outside the x axis (%g to %g)" % (at, x[0], x[-1]))
        index = int(np.argmin(np.abs(x - float(at))))
    return values[..., index], "at %g" % x[index]


def image_extent(axis: np.ndarray) -> Tuple[float, float]:
    """Edges of the pixels centred on the positions of an evenly spaced map axis."""
    axis = np.asarray(axis, dtype=np.float64)
    if axis.size == 0:
        return -0.5, 0.5
    step = float(axis[1] - axis[0]) if axis.size > 1 else 1.0
    return float(axis[0] - step / 2), float(axis[-1] + step / 2)


def _trace_index(labels: Sequence[str], trace: Union[None, int, str]) -> int:
    if trace is None:
        return 0
    if isinstance(trace, str) and not trace.lstrip("-").isdigit():
        if trace in labels:
            return list(labels).index(trace)
        raise ValueError("no trace named %r (traces: %s)" % (trace, ", ".join(labels)))
    index = int(trace)
    if not 0 <= index < len(labels):
        raise ValueError("trace %d does not exist (%d traces)" % (index, len(labels)))
    return index


def _title(result, what: str, source: Optional[str]) -> str:
    head = " ".join(str(w) for w in (result.dataType, result.dimension, result.derivative))
    return "%s%s - %s" % ((source + "  ") if source else "", head, what)


# ----------------------------------------------------------------------------
# One picture per kind of block
# ----------------------------------------------------------------------------

def _spectrum(fig, result, source, at, band, trace, images):
    ax = fig.add_subplot()
    x = np.asarray(result.x)
    ax.plot(x, np.asarray(result.y), lw=1.0, color="C0")
    ax.set_xlabel(_x_label(result))
    ax.set_ylabel(_value_name(result))
    _orient_x(ax, x)
    ax.set_title(_title(result, "spectrum, %d points" % x.size, source))
    ax.grid(alpha=0.3)


def _mean_panel(ax, result, spectra: np.ndarray, at, band) -> None:
    x = np.asarray(result.x)
    flat = np.asarray(spectra, dtype=np.float64).reshape(-1, x.size)
    ax.plot(x, flat.mean(axis=0) if flat.shape[0] else np.zeros(x.size), color="C0", lw=1.0)
    if band is not None:
        ax.axvspan(min(band[:2]), max(band[:2]), color="C1", alpha=0.3)
    else:
        ax.axvline(at, color="C1", lw=1.5)
    ax.set_xlabel(_x_label(result))
    ax.set_ylabel("mean " + _value_name(result).lower())
    _orient_x(ax, x)
    ax.grid(alpha=0.3)


def _map_image(fig, ax, values: np.ndarray, map_x, map_y, label: str, cmap="viridis"):
    left, right = image_extent(map_x)
    bottom, top = image_extent(map_y)
    im = ax.imshow(values, origin="lower", extent=(left, right, bottom, top),
                   cmap=cmap, interpolation="nearest", aspect="equal")
    ax.set_xlabel("map X")
    ax.set_ylabel("map Y")
    fig.colorbar(im, ax=ax, label=label, shrink=0.9)


def _image_map(fig, result, source, at, band, trace, images):
    x = np.asarray(result.x)
    values, what = band_values(x, result.spectra, at, band)
    ax_map, ax_spec = fig.subplots(1, 2, width_ratios=[1.0, 1.2])
    _map_image(fig, ax_map, values, result.mapX, result.mapY,
               "%s %s %s" % (_value_name(result), what, _unit(result)))
    ax_map.set_title(_title(result, "%d x %d map" % (values.shape[1], values.shape[0]), source),
                     fontsize="medium")
    chosen = band if band is not None else None
    at_x = float(what.split()[1]) if band is None else None
    _mean_panel(ax_spec, result, result.spectra, at_x, chosen)
    ax_spec.set_title("mean spectrum; chemical image %s %s" % (what, _unit(result)),
                      fontsize="medium")


def _image_traces(fig, result, source, at, band, trace, images):
    labels = [str(s) for s in result.labels]
    k = _trace_index(labels, trace)
    ax = fig.add_subplot()
    _map_image(fig, ax, np.asarray(result.traces)[:, :, k], result.mapX, result.mapY,
               labels[k] or "trace %d" % k, cmap="magma")
    ax.set_title(_title(result, "trace %r (%d of %d)" % (labels[k], k + 1, len(labels)), source))


def _time_series(fig, result, source, at, band, trace, images):
    x = np.asarray(result.x)
    z = np.asarray(result.z, dtype=np.float64)
    spectra = np.asarray(result.spectra, dtype=np.float64)
    order = np.argsort(z, kind="stable")
    z, spectra = z[order], spectra[order]
    ax, ax_lines = fig.subplots(2, 1, sharex=True, height_ratios=[2.2, 1.0])
    left, right = image_extent(x)
    if z.size > 1 and np.all(np.diff(z) > 0):
        y_edges = np.concatenate([[z[0] - (z[1] - z[0]) / 2], (z[1:] + z[:-1]) / 2,
                                  [z[-1] + (z[-1] - z[-2]) / 2]])
        x_edges = np.linspace(left, right, x.size + 1)
        mesh = ax.pcolormesh(x_edges, y_edges, spectra, cmap="viridis", shading="flat")
    else:  # repeated or single times: one row per spectrum
        mesh = ax.imshow(spectra, origin="lower", aspect="auto", cmap="viridis",
                         extent=(left, right, -0.5, z.size - 0.5), interpolation="nearest")
    unit = result.parameters.get("ZTX", "")
    ax.set_ylabel("time (%s)" % unit if unit else "time")
    fig.colorbar(mesh, ax=ax, label=_value_name(result))
    ax.set_title(_title(result, "%d spectra over time" % z.size, source))
    # Below the map: the first, middle and last spectra as curves.
    for k in sorted({0, z.size // 2, z.size - 1}):
        ax_lines.plot(x, spectra[k], lw=1.0, label="t = %.4g %s" % (z[k], unit))
    ax_lines.set_xlabel(_x_label(result))
    ax_lines.set_ylabel(_value_name(result))
    ax_lines.legend(fontsize="small")
    ax_lines.grid(alpha=0.3)
    _orient_x(ax_lines, x)


def _time_traces(fig, result, source, at, band, trace, images):
    ax = fig.add_subplot()
    x = np.asarray(result.x)
    traces = np.asarray(result.traces)
    labels = [str(s) for s in result.labels]
    chosen = range(len(labels)) if trace is None else [_trace_index(labels, trace)]
    for k in chosen:
        ax.plot(x, traces[k], lw=1.0, label=labels[k] or "trace %d" % k)
    ax.set_xlabel(_x_label(result))
    ax.set_ylabel("trace value")
    _orient_x(ax, x)
    if len(labels):
        ax.legend(fontsize="small")
    ax.grid(alpha=0.3)
    what = "%d traces" % len(labels) if trace is None else "trace %r (%d of %d)" % (
        labels[chosen[0]], chosen[0] + 1, len(labels))
    ax.set_title(_title(result, what, source))


def _visible_backdrop(ax, images: Optional[List[Dict[str, Any]]]) -> bool:
    """Draw the first visible image that has a position and size on the map plane."""
    for image in images or []:
        keys = ("Pos. X", "Pos. Y", "Size X", "Size Y")
        if "image" not in image or not all(isinstance(image.get(k), (int, float)) for k in keys):
            continue
        try:
            from PIL import Image as PILImage
            picture = np.asarray(PILImage.open(io.BytesIO(image["image"])).convert("RGB"))
        except Exception:  # not a picture Pillow can read: draw without it
            continue
        cx, cy, w, h = (float(image[k]) for k in keys)
        ax.imshow(picture, extent=(cx - w / 2, cx + w / 2, cy - h / 2, cy + h / 2),
                  origin="upper", zorder=0)
        return True
    return False


def _regions(fig, result, source, at, band, trace, images):
    traces = hasattr(result, "labels")
    ax = fig.add_subplot()
    backdrop = _visible_backdrop(ax, images)
    all_values, points = [], []
    if traces:
        labels = [str(s) for s in result.labels]
        k = _trace_index(labels, trace)
        what = "trace %r" % labels[k]
        for region in result.regions:
            all_values.append(np.asarray(region.spectra)[:, k])
    else:
        x = np.asarray(result.x)
        stacked = [np.asarray(r.spectra) for r in result.regions]
        joined = np.concatenate(stacked, axis=0) if stacked else np.zeros((0, x.size))
        values, what = band_values(x, joined, at, band)
        what = "%s %s %s" % (_value_name(result), what, _unit(result))
        start = 0
        for s in stacked:
            all_values.append(values[start:start + s.shape[0]])
            start += s.shape[0]
    for region in result.regions:
        points.append((np.asarray(region.mapX), np.asarray(region.mapY)))
    colours = np.concatenate(all_values) if all_values else np.zeros(0)
    xs = np.concatenate([p[0] for p in points]) if points else np.zeros(0)
    ys = np.concatenate([p[1] for p in points]) if points else np.zeros(0)
    sc = ax.scatter(xs, ys, c=colours, cmap="viridis", s=40, edgecolors="white",
                    linewidths=0.6, zorder=2)
    for region, (px, py) in zip(result.regions, points):
        if px.size:
            ax.annotate(str(region.title), (px.min(), py.max()), textcoords="offset points",
                        xytext=(0, 8), fontsize="small", zorder=3,
                        bbox={"boxstyle": "round", "fc": "white", "alpha": 0.7, "lw": 0})
    if colours.size:
        fig.colorbar(sc, ax=ax, label=what)
    ax.set_xlabel("map X")
    ax.set_ylabel("map Y")
    ax.set_aspect("equal", adjustable="datalim")
    kind = "traces" if traces else "map"
    ax.set_title(_title(result, "%d regions (%s)%s" % (
        len(result.regions), kind, ", over the visible image" if backdrop else ""), source))


#: How each kind of block is drawn: the figure size, the function, and
#: whether it is drawn over the file's visible images.
_PICTURES = {
    "spectrum": ((8.0, 4.0), _spectrum, False),
    "image_map": ((11.0, 4.5), _image_map, False),
    "image_traces": ((6.5, 5.0), _image_traces, False),
    "series": ((8.0, 6.5), _time_series, False),
    "series_traces": ((8.0, 4.0), _time_traces, False),
    "multi_region": ((7.5, 6.0), _regions, True),
    "multi_region_traces": ((7.5, 6.0), _regions, True),
}


def over_images(kind_name: str) -> bool:
    """Whether a block of this kind is drawn over the file's visible images."""
    return _PICTURES[kind_name][2]


def _plain_texts(fig) -> None:
    """Every text of the figure drawn as it is (see :data:`PLAIN`)."""
    from matplotlib.text import Text
    for text in fig.findobj(Text):
        text.set_parse_math(False)
        text.set_usetex(False)
        # Control characters (ESC, BEL) escaped: no picture format holds them
        # (an SVG with them is not XML) and no reader should see them raw.
        drawn = text.get_text()
        text.set_text("\n".join(escape(line) for line in drawn.split("\n")))


def plot_result(result: Any, *, at: Optional[float] = None, band: Optional[Band] = None,
                trace: Union[None, int, str] = None, images: Optional[List[Dict]] = None,
                source: Optional[str] = None):
    """A matplotlib Figure showing a ``vellkit.getVellData`` result.

    * a spectrum: the curve over its x axis, in its units;
    * an image map: the chemical image at ``at`` or integrated over
      ``band=(a, b)`` (default: where the mean spectrum peaks), beside the
      mean spectrum with the choice marked;
    * an image trace map: the map of trace ``trace`` (index or label);
    * a time series: a heat map of the spectra over time;
    * time-resolved traces: the traces as curves (only ``trace`` when given);
    * a multi-region map or its traces: the positions on the map plane,
      coloured like a chemical image (at ``at``, over ``band``) or by trace
      ``trace``, over the first of ``images`` (``vellkit.getVisImages``
      dictionaries) that has "Pos. X", "Pos. Y", "Size X" and "Size Y"
      attributes.

    ``source`` (e.g. the file name) is put in the title. Every text is drawn
    as it is, never as math markup. ValueError for an option that does not
    apply to the kind of block (:data:`OPTIONS`) and for an object that is
    not a ``vellkit`` result.
    """
    row = kind_of_result(result)
    check_options(row.name, at=at, band=band, trace=trace)
    size, draw, _ = _PICTURES[row.name]
    fig = _figure(size)
    draw(fig, result, source, at, band, trace, images)
    _plain_texts(fig)
    return fig


def preview(path: Any, block: Optional[BlockRequest] = None, out=None, **options) -> Any:
    """Read ``block`` of ``path`` (default: the original (NONE) block of its first data type with data), draw
    it and write it to ``out`` when given (the format its suffix names).

    ``block`` is a request as :func:`vellkit_tools.kinds.parse_block` takes
    it (``"AB/3D/NONE"``, ``"TRC"``, ``("AB", "2D", "NDER")``). Returns the
    Figure; ``options`` go to :func:`plot_result`.
    """
    import vellkit

    from . import _native

    description = _native.describe_file(path)
    blocks = description["blocks"]
    if block is None:
        triple = default_block([b["request"] for b in blocks if b["kind"]])
        if triple is None:
            raise ValueError("%s has no block with data" % (path,))
        chosen = next(b for b in blocks if tuple(b["request"]) == triple)
    else:
        triple = match_block(block, [b["request"] for b in blocks], os.fsdecode(path))
        chosen = next(b for b in blocks if tuple(b["request"]) == triple)
        if not chosen["kind"]:
            raise ValueError("%s: block %s holds no data (it is listed from a parameter block alone)"
                             % (os.fsdecode(path), block_text(triple)))
    kind_name = str(chosen["kind"])
    check_options(kind_name, **{k: options.get(k) for k in ("at", "band", "trace")})
    result = vellkit.getVellData(path, tuple(chosen["request"]))
    if "images" not in options and over_images(kind_name):
        options["images"] = vellkit.getVisImages(path)
    options.setdefault("source", os.path.basename(os.fsdecode(path)))
    fig = plot_result(result, **options)
    if out is not None:
        save(fig, out)
    return fig
