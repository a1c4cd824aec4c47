"""Write VELL files from whole arrays.

Each function here writes one complete measurement from numpy arrays, laid
out exactly as ``vellkit.getVellData`` returns it:

* :func:`write_spectrum` -- one spectrum ``y`` over ``x``;
* :func:`write_image_map` -- a cube ``(rows, columns, points)`` over a
  rectangular map grid;
* :func:`write_time_series` -- spectra ``(times, points)`` with their times;
* :func:`write_multi_region` -- several regions (grids or point lists), each
  with its spectra;
* :func:`write_traces` -- trace (TRC) results for an image map, a
  time-resolved series or a multi-region map.

Parameters are given as a dict (``params={"DXU": "WN", "SNM": "film"}``)
and override the computed ones (``NPT``, ``FXV``, ``LXV``, ``MNY``, ``MXY``
and the map set).  ``x`` is the spectral axis: a sequence of evenly spaced
values (only its ends and length are stored) or a ``(first, last)`` pair;
by default 4000 to 400 wavenumbers.  Visible images are optional
(:func:`visible_image` builds one with its position on the map).

The data are written record by record straight to the file, so a cube may be
a ``numpy.memmap`` or an iterator of chunks (see :func:`write_image_map`)
larger than memory: only one chunk is converted at a time.  The layout is
the plain one the record-level :mod:`vellkit_tools.writer` produces; use that
module for damaged and unusual files.
"""

import itertools
import os
import struct
from collections.abc import Iterator as _IteratorABC, Mapping
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import writer as _w

__all__ = [
    "DEFAULT_X", "visible_image", "write_spectrum", "write_image_map",
    "write_time_series", "write_multi_region", "write_traces",
]

#: Spectral axis used when none is given: 4000 to 400 wavenumbers.
DEFAULT_X = (4000.0, 400.0)
_INFO = _w.DEFAULT_INFO_SIZE  # time at byte 136, label field of 64 bytes at 152
_LABEL_BYTES = _INFO - 152
_ALIGN = 4

ArrayLike = Any
Params = Optional[Mapping]


# ----------------------------------------------------------------------------
# Axes and parameters
# ----------------------------------------------------------------------------

def _axis_ends(x: ArrayLike, npt: int, what: str = "x") -> Tuple[float, float]:
    """(first, last) of an evenly spaced axis of ``npt`` values, checking that it is one."""
    if x is None:
        return DEFAULT_X
    values = np.asarray(x, dtype=np.float64).ravel()
    if values.size == 2 and npt != 2:
        return float(values[0]), float(values[1])
    if values.size != npt:
        raise ValueError("%s has %d values but the data have %d points" % (what, values.size, npt))
    if npt > 2:
        expected = np.linspace(values[0], values[-1], npt)
        scale = max(abs(values[0]), abs(values[-1]), abs(values[-1] - values[0]), 1e-300)
        if not np.allclose(values, expected, rtol=0.0, atol=1e-6 * scale):
            raise ValueError("%s must be evenly spaced: a VELL file stores only its first "
                             "and last value" % what)
    return float(values[0]), (float(values[-1]) if npt else float(values[0]))


def _grid(axis: ArrayLike, count: int, what: str) -> Tuple[float, float]:
    """(origin, step) of a map axis of ``count`` evenly spaced positions (default 0, 1, 2, ...)."""
    if axis is None:
        return 0.0, 1.0
    values = np.asarray(axis, dtype=np.float64).ravel()
    if values.size != count:
        raise ValueError("%s has %d values but the map has %d" % (what, values.size, count))
    if count < 2:
        return (float(values[0]) if count else 0.0), 1.0
    first, last = _axis_ends(values, count, what)
    return first, (last - first) / (count - 1)


def _own_params(npt: int, x_ends: Tuple[float, float], lo: float, hi: float,
                dxu: Optional[str], extra: List[Tuple[str, Any]], params: Params):
    pairs = [("NPT", int(npt)), ("FXV", x_ends[0]), ("LXV", x_ends[1]),
             ("MNY", float(lo)), ("MXY", float(hi))]
    if dxu is not None:
        pairs.append(("DXU", dxu))
    merged = dict(pairs + extra)
    merged.update(dict(params or {}))
    return merged


class _Range(object):
    """Running minimum and maximum of the values written (0.0 for no values)."""

    def __init__(self):
        self.lo = np.inf
        self.hi = -np.inf

    def add(self, values: np.ndarray) -> None:
        if values.size:
            self.lo = min(self.lo, float(np.nanmin(values)))
            self.hi = max(self.hi, float(np.nanmax(values)))

    def bounds(self) -> Tuple[float, float]:
        return (0.0, 0.0) if self.lo > self.hi else (self.lo, self.hi)


# ----------------------------------------------------------------------------
# Visible images
# ----------------------------------------------------------------------------

def visible_image(data: bytes, title: str = "Visible image", *, pos_x: Optional[float] = None,
                  pos_y: Optional[float] = None, size_x: Optional[float] = None,
                  size_y: Optional[float] = None, labels: Sequence[Tuple[str, Any]] = (),
                  image_type: int = 1) -> "_w.Image":
    """A visible image entry for the ``images`` argument of the writers.

    ``data`` are the bytes of a picture file (BMP, JPEG, PNG).  ``pos_x``,
    ``pos_y`` are the map coordinates of the picture's centre and ``size_x``,
    ``size_y`` its width and height in map units; they are stored as the
    attributes "Pos. X", "Pos. Y", "Size X" and "Size Y", which the preview
    of a multi-region map uses to draw the regions over the picture.
    """
    attrs = list(labels)
    for name, value in (("Pos. X:", pos_x), ("Pos. Y:", pos_y),
                        ("Size X:", size_x), ("Size Y:", size_y)):
        if value is not None:
            attrs.append((name, float(value)))
    return _w.Image(bytes(data), title, attrs, image_type=image_type)


def _image_entries(images: Optional[Iterable]) -> Optional[list]:
    if images is None:
        return None
    out = []
    for im in images:
        out.append(im if isinstance(im, _w.Image) else _w.Image(bytes(im)))
    return out or None


# ----------------------------------------------------------------------------
# The file sink: blocks written one after another, directory at the end
# ----------------------------------------------------------------------------

class _Sink(object):
    """Writes blocks to ``path`` in order and finishes with the directory and header."""

    def __init__(self, path):
        self.path = os.fspath(path)
        self.f = open(self.path, "wb")
        self.f.write(bytes(_w.HEADER_SIZE))
        self.pos = _w.HEADER_SIZE
        self.entries = []  # (code, size in words, offset)

    def _pad(self):
        pad = -self.pos % _ALIGN
        if pad:
            self.f.write(bytes(pad))
            self.pos += pad

    def block(self, payload: bytes, code: int) -> int:
        offset = self.pos
        self.f.write(payload)
        self.pos += len(payload)
        self.entries.append((code, (len(payload) + 3) // 4, offset))
        self._pad()
        return offset

    def begin_stream(self) -> int:
        return self.pos

    def write(self, data) -> None:
        mv = memoryview(data).cast("B")
        self.f.write(mv)
        self.pos += len(mv)

    def end_stream(self, start: int, code: int) -> None:
        self.entries.append((code, (self.pos - start + 3) // 4, start))
        self._pad()

    def finish(self) -> None:
        dir_offset = self.pos
        self.f.write(b"".join(struct.pack("<iii", *e) for e in self.entries))
        self.f.seek(0)
        self.f.write(_w.MAGIC + struct.pack("<d3i", 1.0, dir_offset, len(self.entries),
                                            len(self.entries)))
        self.f.close()

    def abort(self) -> None:
        self.f.close()
        try:
            os.remove(self.path)
        except OSError:
            pass


def _record_dtype(npt: int) -> np.dtype:
    return np.dtype({"names": ["y", "time", "label"],
                     "formats": [("<f4", (npt,)) if npt else "V0", "<f8", "S%d" % _LABEL_BYTES],
                     "offsets": [0, 4 * npt + 136, 4 * npt + 152],
                     "itemsize": 4 * npt + _INFO})


class _Records(object):
    """Streams the records of a 3D data block: one run of indices from ``first_index``."""

    def __init__(self, sink: _Sink, count: int, npt: int, first_index: int = 0):
        self.sink, self.count, self.npt = sink, int(count), int(npt)
        self.dtype = _record_dtype(self.npt)
        self.range = _Range()
        self.written = 0
        self.start = sink.begin_stream()
        rows = [(first_index, first_index + self.count - 1)] if self.count else []
        head = struct.pack("<6i", 0, self.count, 24 + 8 * len(rows), 4 * self.npt, _INFO, len(rows))
        sink.write(head + b"".join(struct.pack("<ii", a, b) for a, b in rows))

    def add(self, values: ArrayLike, times: ArrayLike = None, labels: Sequence = None) -> None:
        values = np.asarray(values)
        if values.ndim == 1 and self.npt != 1:
            values = values.reshape(1, -1)
        values = values.reshape(-1, self.npt) if self.npt else values.reshape(-1, 0)
        k = values.shape[0]
        if self.written + k > self.count:
            raise ValueError("more records given than the %d expected" % self.count)
        out = np.zeros(k, dtype=self.dtype)
        if self.npt:
            out["y"] = values
            self.range.add(out["y"])
        if times is not None:
            out["time"] = np.asarray(times, dtype=np.float64).reshape(k)
        if labels is not None:
            out["label"] = [(s.encode("utf-8") if isinstance(s, str) else bytes(s))[:_LABEL_BYTES]
                            for s in labels]
        self.sink.write(out.tobytes())
        self.written += k

    def close(self, code: int) -> None:
        if self.written != self.count:
            raise ValueError("%d records expected, %d given" % (self.count, self.written))
        self.sink.end_stream(self.start, code)


def _extras(sink: _Sink, acquisition: Params, instrument: Params, sample: Params, ft: Params,
            annotation=None, images=None) -> None:
    for block, ptype in ((acquisition, _w.PARAM_ACQUISITION), (instrument, _w.PARAM_INSTRUMENT),
                         (sample, _w.PARAM_SAMPLE), (ft, _w.PARAM_FT)):
        if block is not None:
            sink.block(_w.encode_parameters(dict(block)), _w.block_type(param_type=ptype))
    if annotation is not None:
        sink.block(_w.encode_annotation_block([annotation]),
                   _w.block_type(extend_type=_w.EXTEND_ANNOTATION))
    entries = _image_entries(images)
    if entries:
        sink.block(_w.encode_image_block(entries), _w.block_type(extend_type=_w.EXTEND_IMAGE))


def _write(path, body) -> str:
    """Run ``body(sink)`` and finish the file; on any error the partial file is removed."""
    sink = _Sink(path)
    try:
        body(sink)
        sink.finish()
    except BaseException:
        sink.abort()
        raise
    return sink.path


def _codes(data_type: str, deriv: str) -> Tuple[int, int]:
    """(data block code, own parameter block code) of a 3D block."""
    data = _w.block_type(data_type, deriv_type=deriv, extend_type=_w.EXTEND_3D)
    own = _w.block_type(data_type, deriv_type=deriv, extend_type=_w.EXTEND_3D,
                        param_type=_w.PARAM_OWN)
    return data, own


# ----------------------------------------------------------------------------
# Chunked input
# ----------------------------------------------------------------------------

_CHUNK_BYTES = 8 << 20


def _as_array_or_chunks(data: Any, shape: Optional[tuple], message: str) -> Any:
    """``data`` as an array, unless it is an iterator of chunks (kept as it is)."""
    if isinstance(data, np.ndarray) or isinstance(data, _IteratorABC):
        if shape is None and isinstance(data, _IteratorABC):
            raise TypeError(message)
        return data
    return np.asarray(data)


def _points(first: Any, all_spectra: list) -> int:
    """Points per spectrum of the first region's spectra; peeks into an iterator."""
    if isinstance(first, np.ndarray):
        return int(first.shape[-1])
    head = np.asarray(next(first))
    all_spectra[0] = itertools.chain([head], first)
    return int(head.shape[-1])


def _chunks(data: Any, shape_tail: Tuple[int, ...]) -> Iterator[np.ndarray]:
    """Pieces of ``data`` along its first axis, a few MB each.

    ``data`` is an array (also a ``numpy.memmap``: its pages are read piece by
    piece), or an iterable of arrays whose trailing shape is ``shape_tail``
    (a piece may also hold one item without the leading axis).
    """
    if isinstance(data, np.ndarray):
        per_item = max(1, int(np.prod(data.shape[1:], dtype=np.int64)) * 4)
        step = max(1, _CHUNK_BYTES // per_item)
        for start in range(0, data.shape[0], step):
            yield np.asarray(data[start:start + step])
        return
    for piece in data:
        piece = np.asarray(piece)
        if piece.shape == shape_tail:
            piece = piece[np.newaxis]
        yield piece


# ----------------------------------------------------------------------------
# Public writers
# ----------------------------------------------------------------------------

def write_spectrum(path, y: ArrayLike, x: ArrayLike = None, *, data_type: str = "AB",
                   deriv: str = "NONE", dxu: Optional[str] = "WN", params: Params = None,
                   acquisition: Params = None, instrument: Params = None,
                   sample: Params = None, ft: Params = None, images=None) -> str:
    """Write one spectrum ``y`` (read back as ``("AB", "2D", "NONE")`` by default).

    ``x``: evenly spaced axis values or a ``(first, last)`` pair (default
    4000 to 400).  ``dxu`` is the x-unit code stored as ``DXU`` (None omits
    it).  ``params`` add to or replace the computed parameters.  Returns the
    path written.
    """
    y = np.asarray(y, dtype="<f4").ravel()
    x_ends = _axis_ends(x, y.size)
    rng = _Range()
    rng.add(y)

    def body(sink):
        code = _w.block_type(data_type, deriv_type=deriv)
        sink.block(y.tobytes(), code)
        own = _own_params(y.size, x_ends, *rng.bounds(), dxu, [], params)
        sink.block(_w.encode_parameters(own), code | _w.block_type(param_type=_w.PARAM_OWN))
        _extras(sink, acquisition, instrument, sample, ft, images=images)

    return _write(path, body)


def write_image_map(path, cube: Any, x: ArrayLike = None, map_x: ArrayLike = None,
                    map_y: ArrayLike = None, *, shape: Optional[Tuple[int, int, int]] = None,
                    data_type: str = "AB", deriv: str = "NONE", dxu: Optional[str] = "WN",
                    params: Params = None, acquisition: Params = None,
                    instrument: Params = None, sample: Params = None, ft: Params = None,
                    images=None) -> str:
    """Write a hyperspectral image map (read back as an ``ImageDataReturn``).

    ``cube`` has the shape ``(rows, columns, points)`` of ``spectra`` in the
    result: ``cube[row][column]`` is the spectrum at (``map_x[column]``,
    ``map_y[row]``).  It may be a ``numpy.memmap`` (written a few MB at a
    time), or, for maps larger than memory, an iterable of chunks in
    row-major order: each chunk an array of whole spectra, shaped
    ``(k, points)``, ``(k, columns, points)`` or ``(points,)``; then
    ``shape=(rows, columns, points)`` must be given.

    ``map_x``, ``map_y``: evenly spaced map coordinates of the columns and
    rows (default 0, 1, 2, ...), stored as ``AOX``/``DDX`` and ``AOY``/``DDY``.
    """
    cube = _as_array_or_chunks(cube, shape, "a cube given as chunks needs "
                               "shape=(rows, columns, points)")
    if shape is None:
        shape = tuple(cube.shape)
    if len(shape) != 3:
        raise ValueError("an image map cube has 3 dimensions (rows, columns, points), got %r"
                         % (shape,))
    npy, npx, npt = (int(n) for n in shape)
    x_ends = _axis_ends(x, npt)
    aox, ddx = _grid(map_x, npx, "map_x")
    aoy, ddy = _grid(map_y, npy, "map_y")
    if isinstance(cube, np.ndarray):
        cube = cube.reshape(npy * npx, npt)  # a view: a memmap stays on disk
    grid = [("AOX", aox), ("AOY", aoy), ("DDX", ddx), ("DDY", ddy), ("NPX", npx), ("NPY", npy)]

    def body(sink):
        data_code, own_code = _codes(data_type, deriv)
        records = _Records(sink, npx * npy, npt)
        for piece in _chunks(cube, (npt,)):
            records.add(piece)
        records.close(data_code)
        own = _own_params(npt, x_ends, *records.range.bounds(), dxu, grid, params)
        sink.block(_w.encode_parameters(own), own_code)
        _extras(sink, acquisition, instrument, sample, ft, images=images)

    return _write(path, body)


def write_time_series(path, spectra: Any, x: ArrayLike = None, times: ArrayLike = None, *,
                      shape: Optional[Tuple[int, int]] = None, time_unit: Optional[str] = "Seconds",
                      data_type: str = "AB", deriv: str = "NONE", dxu: Optional[str] = "WN",
                      params: Params = None, acquisition: Params = None,
                      instrument: Params = None, sample: Params = None, ft: Params = None,
                      images=None) -> str:
    """Write a time-resolved series (read back as a ``TimeResolvedDataReturn``).

    ``spectra`` has the shape ``(steps, points)``; ``times`` one value per
    step (default 0, 1, 2, ...; any order), read back as ``z``.  ``time_unit``
    is stored as ``ZTX``.  Like :func:`write_image_map`, ``spectra`` may be a
    ``numpy.memmap`` or an iterable of chunks with ``shape=(steps, points)``.
    """
    spectra = _as_array_or_chunks(spectra, shape, "spectra given as chunks need "
                                  "shape=(steps, points)")
    if shape is None:
        shape = tuple(spectra.shape)
    if len(shape) != 2:
        raise ValueError("a time series has 2 dimensions (steps, points), got %r" % (shape,))
    steps, npt = (int(n) for n in shape)
    if steps < 1:
        raise ValueError("a time series needs at least one spectrum")
    x_ends = _axis_ends(x, npt)
    z = np.arange(steps, dtype=np.float64) if times is None else np.asarray(times, np.float64).ravel()
    if z.size != steps:
        raise ValueError("times has %d values but there are %d spectra" % (z.size, steps))
    extra = [("ZTX", time_unit)] if time_unit is not None else []

    def body(sink):
        data_code, own_code = _codes(data_type, deriv)
        records = _Records(sink, steps, npt)
        for piece in _chunks(spectra, (npt,)):
            piece = piece.reshape(-1, npt)
            records.add(piece, times=z[records.written:records.written + piece.shape[0]])
        records.close(data_code)
        own = _own_params(npt, x_ends, *records.range.bounds(), dxu, extra, params)
        sink.block(_w.encode_parameters(own), own_code)
        _extras(sink, acquisition, instrument, sample, ft, images=images)

    return _write(path, body)


def _region_geometry(regions: Sequence[Mapping]) -> List[Dict[str, Any]]:
    """Writer-level region descriptions (grid or point list) for :func:`writer.multi_region_table`."""
    out = []
    for number, region in enumerate(regions, 1):
        if not isinstance(region, Mapping):
            raise TypeError("region %d must be a mapping, got %s" % (number, type(region).__name__))
        geo = {k: region[k] for k in ("nx", "ny", "x0", "y0", "dx", "dy", "points", "group")
               if k in region}
        if "points" not in geo and ("nx" not in geo or "ny" not in geo):
            raise ValueError("region %d needs 'points' or 'nx' and 'ny'" % number)
        out.append(geo)
    return out


def _region_size(geo: Mapping) -> int:
    return len(geo["points"]) if "points" in geo else int(geo["nx"]) * int(geo["ny"])


def write_multi_region(path, regions: Sequence[Mapping], x: ArrayLike = None, *,
                       data_type: str = "AB", deriv: str = "NONE", dxu: Optional[str] = "WN",
                       params: Params = None, acquisition: Params = None,
                       instrument: Params = None, sample: Params = None, ft: Params = None,
                       images=None) -> str:
    """Write a multi-region point map (read back as a ``MultiRegionDataReturn``).

    Each region is a dict with its positions, either a grid (``nx``, ``ny``
    and optionally ``x0``, ``y0``, ``dx``, ``dy``; positions row by row) or a
    list ``points=[(x, y), ...]``, and ``spectra``: an array
    ``(positions, points)`` (or an iterable of such chunks).  Optional:
    ``times`` (one per position, read back as ``start_time``).  Regions are
    numbered 1, 2, ... in the order given and come back in that order.
    """
    geos = _region_geometry(regions)
    table, indices = _w.multi_region_table(geos, first_index=1)
    sizes = [_region_size(g) for g in geos]
    spectra_of = []
    for number, region in enumerate(regions, 1):
        if region.get("spectra") is None:
            raise ValueError("region %d needs 'spectra'" % number)
        spectra_of.append(_as_array_or_chunks(region["spectra"], (), ""))
    npt = _points(spectra_of[0], spectra_of) if spectra_of else 0
    x_ends = _axis_ends(x, npt)

    def body(sink):
        data_code, own_code = _codes(data_type, deriv)
        records = _Records(sink, len(indices), npt, first_index=1)
        for number, (region, size) in enumerate(zip(regions, sizes), 1):
            start = records.written
            times = region.get("times")
            times = None if times is None else np.asarray(times, np.float64).ravel()
            for piece in _chunks(spectra_of[number - 1], (npt,)):
                piece = piece.reshape(-1, npt)
                done = records.written - start
                if done + piece.shape[0] > size:
                    raise ValueError("region %d has %d positions but more spectra" % (number, size))
                records.add(piece, times=None if times is None
                            else times[done:done + piece.shape[0]])
            if records.written - start != size:
                raise ValueError("region %d has %d positions but %d spectra"
                                 % (number, size, records.written - start))
        records.close(data_code)
        own = _own_params(npt, x_ends, *records.range.bounds(), dxu, [], params)
        sink.block(_w.encode_parameters(own), own_code)
        _extras(sink, acquisition, instrument, sample, ft, annotation=table, images=images)

    return _write(path, body)


def write_traces(path, traces: ArrayLike, labels: Sequence[str], *, x: ArrayLike = None,
                 map_x: ArrayLike = None, map_y: ArrayLike = None,
                 regions: Optional[Sequence[Mapping]] = None, deriv: str = "NONE",
                 dxu: Optional[str] = "WN", params: Params = None, acquisition: Params = None,
                 instrument: Params = None, sample: Params = None, ft: Params = None,
                 images=None) -> str:
    """Write trace (TRC) results: one named value per spectrum, or per point.

    Three layouts, chosen by the arguments, each read back as
    ``getVellData(path, ("TRC", "3D", deriv))``:

    * image map (``map_x``/``map_y`` given, or ``traces`` of 3 dimensions):
      ``traces`` shaped ``(rows, columns, n)`` as ``ImageTRCDataReturn.traces``;
    * multi-region map (``regions`` given): ``regions`` as in
      :func:`write_multi_region` without spectra, and ``traces`` either
      ``(positions, n)`` over all regions' positions in order, or each region
      carries its own ``traces`` ``(positions, n)`` and ``traces`` is None;
    * time-resolved traces (otherwise): ``traces`` shaped ``(n, points)`` over
      the axis ``x``, as ``TimeResolvedTRCDataReturn.traces``.

    ``labels`` are the ``n`` trace names (at most 64 bytes of UTF-8 each).
    """
    labels = [str(s) for s in labels]
    if regions is not None:
        geos = _region_geometry(regions)
        table, _ = _w.multi_region_table(geos, first_index=1)
        if traces is None:
            per_region = [np.asarray(r["traces"], dtype=np.float32) for r in regions]
            values = np.concatenate([p.reshape(-1, len(labels)) for p in per_region], axis=0)
        else:
            values = np.asarray(traces, dtype=np.float32)
        total = sum(_region_size(g) for g in geos)
        if values.shape != (total, len(labels)):
            raise ValueError("multi-region traces must have shape (%d positions, %d labels), got %r"
                             % (total, len(labels), values.shape))
        records, npt, grid, annotation = values.T, total, [], table
        x_ends = _axis_ends(x, npt)
    else:
        values = np.asarray(traces, dtype=np.float32)
        if values.ndim == 3 or map_x is not None or map_y is not None:
            if values.ndim != 3 or values.shape[2] != len(labels):
                raise ValueError("image trace maps must have shape (rows, columns, %d labels), "
                                 "got %r" % (len(labels), values.shape))
            npy, npx = values.shape[:2]
            aox, ddx = _grid(map_x, npx, "map_x")
            aoy, ddy = _grid(map_y, npy, "map_y")
            grid = [("AOX", aox), ("AOY", aoy), ("DDX", ddx), ("DDY", ddy),
                    ("NPX", npx), ("NPY", npy)]
            records, npt = np.moveaxis(values, 2, 0).reshape(len(labels), npy * npx), npy * npx
            x_ends = _axis_ends(x, npt)
        else:
            if values.ndim != 2 or values.shape[0] != len(labels):
                raise ValueError("time-resolved traces must have shape (%d labels, points), got %r"
                                 % (len(labels), values.shape))
            records, npt, grid = values, values.shape[1], []
            x_ends = _axis_ends(x, npt)
        annotation = None

    def body(sink):
        data_code, own_code = _codes("TRC", deriv)
        out = _Records(sink, len(labels), npt)
        out.add(records, labels=labels)
        out.close(data_code)
        own = _own_params(npt, x_ends, *out.range.bounds(), dxu, grid, params)
        sink.block(_w.encode_parameters(own), own_code)
        _extras(sink, acquisition, instrument, sample, ft, annotation=annotation, images=images)

    return _write(path, body)
