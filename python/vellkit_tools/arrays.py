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

The data are written record by record, so a cube may be a ``numpy.memmap``
or an iterator of chunks (see :func:`write_image_map`) larger than memory:
only one chunk is converted at a time.  A file past 2 GiB lists its large
block in the 64-bit directory extension.  Every file is written atomically:
parameters, labels and sizes are checked before the file is touched, and a
write that fails (a chunk too many, a full disk) leaves whatever was at the
path as it was.  The layout is the plain one the record-level
:mod:`vellkit_tools.writer` produces; use that module for damaged and
unusual files.  The bytes are encoded by :mod:`vellkit_tools.encode`.
"""

from __future__ import annotations

import itertools
import os
import sys
from collections.abc import Iterator as _IteratorABC, Mapping
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import encode as _e

__all__ = [
    "DEFAULT_X", "visible_image", "write_spectrum", "write_image_map",
    "write_time_series", "write_multi_region", "write_traces",
]

#: Spectral axis used when none is given: 4000 to 400 wavenumbers.
DEFAULT_X = (4000.0, 400.0)
_INFO = _e.DEFAULT_INFO_SIZE  # time at byte 136, label field of 64 bytes at 152
_LABEL_BYTES = _INFO - _e.LABEL_AT
_CHUNK_BYTES = 8 << 20
# The last byte int32 offsets reach; lowered only by tests of the 64-bit layout.
_LIMIT = _e.INT32_MAX

ArrayLike = Any
Params = Optional["Mapping[Any, Any]"]
Path = Union[str, bytes, "os.PathLike[Any]"]
Images = Optional[Iterable[Union[_e.Image, bytes]]]
Block = Tuple[int, bytes]


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
    if npt == 0:
        return DEFAULT_X
    if npt > 2:
        expected = np.linspace(values[0], values[-1], npt)
        scale = max(abs(values[0]), abs(values[-1]), abs(values[-1] - values[0]), 1e-300)
        if not np.allclose(values, expected, rtol=0.0, atol=1e-6 * scale):
            raise ValueError("%s must be evenly spaced: a VELL file stores only its first "
                             "and last value" % what)
    return float(values[0]), float(values[-1])


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


def _map_grid(npx: int, npy: int, map_x: ArrayLike, map_y: ArrayLike) -> List[Tuple[str, Any]]:
    aox, ddx = _grid(map_x, npx, "map_x")
    aoy, ddy = _grid(map_y, npy, "map_y")
    return [("AOX", aox), ("AOY", aoy), ("DDX", ddx), ("DDY", ddy), ("NPX", npx), ("NPY", npy)]


def _own_params(npt: int, x_ends: Tuple[float, float], lo: float, hi: float,
                dxu: Optional[str], extra: List[Tuple[str, Any]], params: Params) -> Dict[Any, Any]:
    pairs: List[Tuple[str, Any]] = [("NPT", int(npt)), ("FXV", x_ends[0]), ("LXV", x_ends[1]),
                                    ("MNY", float(lo)), ("MXY", float(hi))]
    if dxu is not None:
        pairs.append(("DXU", dxu))
    merged: Dict[Any, Any] = dict(pairs + extra)
    merged.update(dict(params or {}))
    return merged


class _Range(object):
    """Running minimum and maximum of the values written, NaN ignored (0.0 for no values)."""

    def __init__(self) -> None:
        self.lo = np.inf
        self.hi = -np.inf

    def add(self, values: np.ndarray) -> None:
        if values.size:
            flat = values.ravel()
            lo, hi = float(np.fmin.reduce(flat)), float(np.fmax.reduce(flat))
            if lo == lo:  # all NaN: no range
                self.lo = min(self.lo, lo)
                self.hi = max(self.hi, hi)

    def bounds(self) -> Tuple[float, float]:
        return (0.0, 0.0) if self.lo > self.hi else (self.lo, self.hi)


# ----------------------------------------------------------------------------
# Visible images
# ----------------------------------------------------------------------------

def visible_image(data: bytes, title: str = "Visible image", *, pos_x: Optional[float] = None,
                  pos_y: Optional[float] = None, size_x: Optional[float] = None,
                  size_y: Optional[float] = None, labels: Sequence[Tuple[str, Any]] = (),
                  image_type: int = 1) -> _e.Image:
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
    return _e.Image(bytes(data), title, attrs, image_type=image_type)


def _extras(acquisition: Params, instrument: Params, sample: Params, ft: Params,
            annotation: Optional[_e.AnnotationTable] = None, images: Images = None) -> List[Block]:
    """The blocks after the own parameters, encoded (and so checked) before the file is touched."""
    blocks: List[Block] = []
    for block, ptype in ((acquisition, _e.PARAM_ACQUISITION), (instrument, _e.PARAM_INSTRUMENT),
                         (sample, _e.PARAM_SAMPLE), (ft, _e.PARAM_FT)):
        if block is not None:
            blocks.append((_e.block_type(param_type=ptype), _e.encode_parameters(dict(block))))
    if annotation is not None:
        blocks.append((_e.block_type(extend_type=_e.EXTEND_ANNOTATION),
                       _e.encode_annotation_block([annotation])))
    entries = [im if isinstance(im, _e.Image) else _e.Image(bytes(im)) for im in images or ()]
    if entries:
        blocks.append((_e.block_type(extend_type=_e.EXTEND_IMAGE), _e.encode_image_block(entries)))
    return blocks


# ----------------------------------------------------------------------------
# Inputs mapped from the target file
# ----------------------------------------------------------------------------

def _identity(path: str) -> Optional[Tuple[int, int]]:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


def _same(path: str, identity: Tuple[int, int]) -> bool:
    return _identity(path) == identity


def _mapped_from(array: np.ndarray, identity: Tuple[int, int]) -> bool:
    """True when ``array``'s memory is a mapping of the file ``identity`` names."""
    base: Any = array
    while base is not None:
        filename = getattr(base, "filename", None) if isinstance(base, np.memmap) else None
        if filename and _same(os.fspath(filename), identity):
            return True
        base = getattr(base, "base", None)
    if not sys.platform.startswith("linux") or array.size == 0:
        return False
    # Any mapping (mmap.mmap, a foreign buffer) shows in the process's map list.
    address = int(array.__array_interface__["data"][0])
    try:
        with open("/proc/self/maps") as maps:
            lines = maps.read().splitlines()
    except OSError:
        return False
    for line in lines:
        fields = line.split(None, 5)
        if len(fields) < 5:
            continue
        start, _, end = fields[0].partition("-")
        if not int(start, 16) <= address < int(end, 16):
            continue
        major, _, minor = fields[3].partition(":")
        device = os.makedev(int(major, 16), int(minor, 16))
        if (device, int(fields[4])) == identity:
            return True
        name = fields[5] if len(fields) > 5 else ""
        return name.startswith("/") and _same(name, identity)
    return False


def _refuse_own_input(target: str, inputs: Iterable[Any]) -> None:
    """Refuses an input array mapped from the file about to be replaced."""
    identity = _identity(target)
    if identity is None:
        return
    for value in inputs:
        if isinstance(value, np.ndarray) and _mapped_from(value, identity):
            raise ValueError("%s: an input array is mapped from this file, which the write would "
                             "replace; write to another path" % target)


# ----------------------------------------------------------------------------
# The file: one streamed data block, then small blocks, then the directory
# ----------------------------------------------------------------------------

class _Counted(object):
    """The data block's writer: counts what goes in, so a short or long block cannot pass."""

    def __init__(self, out: _e.AtomicFile) -> None:
        self.out = out
        self.written = 0

    def write(self, data: Any) -> None:
        self.written += self.out.write(data)


def _write_file(path: Path, data_code: int, data_size: int,
                fill: Callable[[_Counted], Tuple[float, float]],
                own: Callable[[float, float], Block], extras: List[Block]) -> str:
    """Write a measurement to ``path`` atomically.

    ``fill`` streams the data block (``data_size`` bytes) and returns the
    values' range; ``own(lo, hi)`` encodes the own parameter block (once
    before the file is touched, to check it and learn its size, then with
    the range found).  The directory goes after the blocks, or, in a file
    past 2 GiB, before them with its 64-bit extension.
    """
    target = os.fsdecode(os.fspath(path))
    blocks = [own(0.0, 0.0)] + extras
    codes = [data_code] + [code for code, _ in blocks]
    sizes = [data_size] + [len(data) for _, data in blocks]
    layout = _e.lay_out(sizes, limit=_LIMIT)
    with _e.atomic_write(target) as out:
        out.seek(layout.offsets[0])
        counted = _Counted(out)
        lo, hi = fill(counted)
        if counted.written != data_size:
            raise RuntimeError("data block of %d bytes where %d were planned" % (counted.written, data_size))
        blocks[0] = own(lo, hi)
        if len(blocks[0][1]) != sizes[1]:
            raise RuntimeError("own parameter block changed size")
        for (_, data), offset in zip(blocks, layout.offsets[1:]):
            out.seek(offset)
            out.write(data)
        for offset, data in _e.encode_layout(layout, codes, sizes):
            out.seek(offset)
            out.write(data)
        out.truncate(layout.size)
    return target


def _as_rows(values: ArrayLike, npt: int) -> np.ndarray:
    """``values`` as whole spectra ``(k, npt)``; the last axis must hold the ``npt`` points."""
    array: np.ndarray = np.asarray(values)
    if array.ndim == 1 and npt == 1:  # single values: one spectrum each
        array = array.reshape(-1, 1)
    if array.ndim == 0 or array.shape[-1] != npt:
        raise ValueError("a chunk of shape %r does not hold spectra of %d points" % (array.shape, npt))
    return array.reshape(int(np.prod(array.shape[:-1], dtype=np.int64)), npt)


class _Records(object):
    """A 3D data block of ``count`` records from ``first_index`` on, streamed chunk by chunk."""

    def __init__(self, count: int, npt: int, first_index: int = 0) -> None:
        self.count, self.npt = int(count), int(npt)
        rows = [(first_index, first_index + self.count - 1)] if self.count else []
        # Checks every int32 field before the file is touched.
        self.head = _e.encode_3d_head(rows, self.count, 4 * self.npt, _INFO)
        self.size = len(self.head) + self.count * (4 * self.npt + _INFO)
        self.range = _Range()
        self.written = 0
        self.out: Optional[_Counted] = None

    def begin(self, out: _Counted) -> None:
        self.out = out
        out.write(self.head)

    def add(self, values: ArrayLike, times: ArrayLike = None, labels: Optional[Sequence[bytes]] = None) -> None:
        rows = _as_rows(values, self.npt)
        k = rows.shape[0]
        if self.written + k > self.count:
            raise ValueError("more records given than the %d expected" % self.count)
        rows = np.asarray(rows, dtype="<f4")
        self.range.add(rows)
        assert self.out is not None
        self.out.write(_e.encode_records(rows, 4 * self.npt, _INFO, times=times, labels=labels))
        self.written += k

    def close(self) -> Tuple[float, float]:
        if self.written != self.count:
            raise ValueError("%d records expected, %d given" % (self.count, self.written))
        return self.range.bounds()


def _codes(data_type: str, deriv: str) -> Tuple[int, int]:
    """(data block code, own parameter block code) of a 3D block."""
    data = _e.block_type(data_type, deriv_type=deriv, extend_type=_e.EXTEND_3D)
    own = _e.block_type(data_type, deriv_type=deriv, extend_type=_e.EXTEND_3D,
                        param_type=_e.PARAM_OWN)
    return data, own


def _own(code: int, npt: int, x_ends: Tuple[float, float], dxu: Optional[str],
         extra: List[Tuple[str, Any]], params: Params) -> Callable[[float, float], Block]:
    def encode(lo: float, hi: float) -> Block:
        return code, _e.encode_parameters(_own_params(npt, x_ends, lo, hi, dxu, extra, params))
    return encode


# ----------------------------------------------------------------------------
# Chunked input
# ----------------------------------------------------------------------------

def _as_array_or_chunks(data: Any, shape: Optional[Tuple[int, ...]], message: str) -> Any:
    """``data`` as an array, unless it is an iterator of chunks (kept as it is)."""
    if isinstance(data, np.ndarray) or isinstance(data, _IteratorABC):
        if shape is None and isinstance(data, _IteratorABC):
            raise TypeError(message)
        return data
    return np.asarray(data)


def _points(first: Any, all_spectra: List[Any]) -> int:
    """Points per spectrum of the first region's spectra; peeks into an iterator."""
    if isinstance(first, np.ndarray):
        return int(first.shape[-1])
    head = np.asarray(next(first))
    all_spectra[0] = itertools.chain([head], first)
    return int(head.shape[-1])


def _chunks(data: Any, identity: Optional[Tuple[int, int]]) -> Iterator[np.ndarray]:
    """Pieces of ``data`` along its first axis, a few MB each.

    ``data`` is an array (also a ``numpy.memmap``: its pages are read piece by
    piece), or an iterable of arrays of whole spectra.  A piece mapped from
    the target file (``identity``) is refused.
    """
    if isinstance(data, np.ndarray):
        per_item = max(1, int(np.prod(data.shape[1:], dtype=np.int64)) * 4)
        step = max(1, _CHUNK_BYTES // per_item)
        for start in range(0, data.shape[0], step):
            yield np.asarray(data[start:start + step])
        return
    for piece in data:
        if identity is not None and isinstance(piece, np.memmap) and _mapped_from(piece, identity):
            raise ValueError("an input chunk is mapped from the file being written")
        yield np.asarray(piece)


# ----------------------------------------------------------------------------
# Public writers
# ----------------------------------------------------------------------------

def write_spectrum(path: Path, y: ArrayLike, x: ArrayLike = None, *, data_type: str = "AB",
                   deriv: str = "NONE", dxu: Optional[str] = "WN", params: Params = None,
                   acquisition: Params = None, instrument: Params = None,
                   sample: Params = None, ft: Params = None, images: Images = None) -> str:
    """Write one spectrum ``y`` (read back as ``("AB", "2D", "NONE")`` by default).

    ``x``: evenly spaced axis values or a ``(first, last)`` pair (default
    4000 to 400).  ``dxu`` is the x-unit code stored as ``DXU`` (None omits
    it).  ``params`` add to or replace the computed parameters.  Returns the
    path written.
    """
    target = os.fsdecode(os.fspath(path))
    _refuse_own_input(target, [y])
    values = np.asarray(y, dtype="<f4").ravel()
    x_ends = _axis_ends(x, values.size)
    code = _e.block_type(data_type, deriv_type=deriv)
    own_code = code | _e.block_type(param_type=_e.PARAM_OWN)

    def fill(out: _Counted) -> Tuple[float, float]:
        out.write(values)
        rng = _Range()
        rng.add(values)
        return rng.bounds()

    return _write_file(target, code, 4 * values.size, fill,
                       _own(own_code, values.size, x_ends, dxu, [], params),
                       _extras(acquisition, instrument, sample, ft, images=images))


def write_image_map(path: Path, cube: Any, x: ArrayLike = None, map_x: ArrayLike = None,
                    map_y: ArrayLike = None, *, shape: Optional[Tuple[int, int, int]] = None,
                    data_type: str = "AB", deriv: str = "NONE", dxu: Optional[str] = "WN",
                    params: Params = None, acquisition: Params = None,
                    instrument: Params = None, sample: Params = None, ft: Params = None,
                    images: Images = None) -> str:
    """Write a hyperspectral image map (read back as an ``ImageDataReturn``).

    ``cube`` has the shape ``(rows, columns, points)`` of ``spectra`` in the
    result: ``cube[row][column]`` is the spectrum at (``map_x[column]``,
    ``map_y[row]``).  It may be a ``numpy.memmap`` (written a few MB at a
    time; not one of the file being written), or, for maps larger than
    memory, an iterable of chunks in row-major order: each chunk an array
    of whole spectra, shaped ``(k, points)``, ``(k, columns, points)`` or
    ``(points,)``; then ``shape=(rows, columns, points)`` must be given.

    ``map_x``, ``map_y``: evenly spaced map coordinates of the columns and
    rows (default 0, 1, 2, ...), stored as ``AOX``/``DDX`` and ``AOY``/``DDY``.
    """
    target = os.fsdecode(os.fspath(path))
    _refuse_own_input(target, [cube])
    cube = _as_array_or_chunks(cube, shape, "a cube given as chunks needs "
                               "shape=(rows, columns, points)")
    if shape is None:
        shape = tuple(cube.shape)
    if len(shape) != 3:
        raise ValueError("an image map cube has 3 dimensions (rows, columns, points), got %r"
                         % (shape,))
    npy, npx, npt = (int(n) for n in shape)
    x_ends = _axis_ends(x, npt)
    grid = _map_grid(npx, npy, map_x, map_y)
    if isinstance(cube, np.ndarray):
        cube = cube.reshape(npy * npx, npt)  # a view: a memmap stays on disk
    data_code, own_code = _codes(data_type, deriv)
    records = _Records(npx * npy, npt)
    identity = _identity(target)

    def fill(out: _Counted) -> Tuple[float, float]:
        records.begin(out)
        for piece in _chunks(cube, identity):
            records.add(piece)
        return records.close()

    return _write_file(target, data_code, records.size, fill,
                       _own(own_code, npt, x_ends, dxu, grid, params),
                       _extras(acquisition, instrument, sample, ft, images=images))


def write_time_series(path: Path, spectra: Any, x: ArrayLike = None, times: ArrayLike = None, *,
                      shape: Optional[Tuple[int, int]] = None, time_unit: Optional[str] = "Seconds",
                      data_type: str = "AB", deriv: str = "NONE", dxu: Optional[str] = "WN",
                      params: Params = None, acquisition: Params = None,
                      instrument: Params = None, sample: Params = None, ft: Params = None,
                      images: Images = None) -> str:
    """Write a time-resolved series (read back as a ``TimeResolvedDataReturn``).

    ``spectra`` has the shape ``(steps, points)``; ``times`` one value per
    step (default 0, 1, 2, ...; any order), read back as ``z``.  ``time_unit``
    is stored as ``ZTX``.  Like :func:`write_image_map`, ``spectra`` may be a
    ``numpy.memmap`` or an iterable of chunks with ``shape=(steps, points)``.
    """
    target = os.fsdecode(os.fspath(path))
    _refuse_own_input(target, [spectra])
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
    extra: List[Tuple[str, Any]] = [("ZTX", time_unit)] if time_unit is not None else []
    data_code, own_code = _codes(data_type, deriv)
    records = _Records(steps, npt)
    identity = _identity(target)

    def fill(out: _Counted) -> Tuple[float, float]:
        records.begin(out)
        for piece in _chunks(spectra, identity):
            rows = _as_rows(piece, npt)
            records.add(rows, times=z[records.written:records.written + rows.shape[0]])
        return records.close()

    return _write_file(target, data_code, records.size, fill,
                       _own(own_code, npt, x_ends, dxu, extra, params),
                       _extras(acquisition, instrument, sample, ft, images=images))


def _region_geometry(regions: Sequence[Mapping[str, Any]]) -> List[Dict[str, Any]]:
    """Writer-level region descriptions (grid or point list) for :func:`encode.multi_region_table`."""
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


def _region_size(geo: Mapping[str, Any]) -> int:
    return len(geo["points"]) if "points" in geo else int(geo["nx"]) * int(geo["ny"])


def write_multi_region(path: Path, regions: Sequence[Mapping[str, Any]], x: ArrayLike = None, *,
                       data_type: str = "AB", deriv: str = "NONE", dxu: Optional[str] = "WN",
                       params: Params = None, acquisition: Params = None,
                       instrument: Params = None, sample: Params = None, ft: Params = None,
                       images: Images = None) -> str:
    """Write a multi-region point map (read back as a ``MultiRegionDataReturn``).

    Each region is a dict with its positions, either a grid (``nx``, ``ny``
    and optionally ``x0``, ``y0``, ``dx``, ``dy``; positions row by row) or a
    list ``points=[(x, y), ...]``, and ``spectra``: an array
    ``(positions, points)`` (or an iterable of such chunks).  Optional:
    ``times`` (one per position, read back as ``start_time``).  Regions are
    numbered 1, 2, ... in the order given and come back in that order.
    """
    target = os.fsdecode(os.fspath(path))
    geos = _region_geometry(regions)
    table, indices = _e.multi_region_table(geos, first_index=1)
    sizes = [_region_size(g) for g in geos]
    spectra_of = []
    for number, region in enumerate(regions, 1):
        if region.get("spectra") is None:
            raise ValueError("region %d needs 'spectra'" % number)
        spectra_of.append(_as_array_or_chunks(region["spectra"], (), ""))
    _refuse_own_input(target, spectra_of)
    npt = _points(spectra_of[0], spectra_of) if spectra_of else 0
    x_ends = _axis_ends(x, npt)
    data_code, own_code = _codes(data_type, deriv)
    records = _Records(len(indices), npt, first_index=1)
    identity = _identity(target)

    def fill(out: _Counted) -> Tuple[float, float]:
        records.begin(out)
        for number, (region, size) in enumerate(zip(regions, sizes), 1):
            start = records.written
            times = region.get("times")
            times = None if times is None else np.asarray(times, np.float64).ravel()
            for piece in _chunks(spectra_of[number - 1], identity):
                rows = _as_rows(piece, npt)
                done = records.written - start
                if done + rows.shape[0] > size:
                    raise ValueError("region %d has %d positions but more spectra" % (number, size))
                records.add(rows, times=None if times is None
                            else times[done:done + rows.shape[0]])
            if records.written - start != size:
                raise ValueError("region %d has %d positions but %d spectra"
                                 % (number, size, records.written - start))
        return records.close()

    return _write_file(target, data_code, records.size, fill,
                       _own(own_code, npt, x_ends, dxu, [], params),
                       _extras(acquisition, instrument, sample, ft, annotation=table, images=images))


def write_traces(path: Path, traces: ArrayLike, labels: Sequence[str], *, x: ArrayLike = None,
                 map_x: ArrayLike = None, map_y: ArrayLike = None,
                 regions: Optional[Sequence[Mapping[str, Any]]] = None, deriv: str = "NONE",
                 dxu: Optional[str] = "WN", params: Params = None, acquisition: Params = None,
                 instrument: Params = None, sample: Params = None, ft: Params = None,
                 images: Images = None) -> str:
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

    ``labels`` are the ``n`` trace names, at most 64 bytes of UTF-8 each (a
    longer one is a ValueError).
    """
    target = os.fsdecode(os.fspath(path))
    names = [str(s) for s in labels]
    encoded = [_e.fixed_text(s, _LABEL_BYTES, "label") for s in names]
    grid: List[Tuple[str, Any]] = []
    annotation = None
    if regions is not None:
        geos = _region_geometry(regions)
        annotation, _ = _e.multi_region_table(geos, first_index=1)
        if traces is None:
            _refuse_own_input(target, [r.get("traces") for r in regions])
            per_region = [np.asarray(r["traces"], dtype=np.float32) for r in regions]
            values = np.concatenate([p.reshape(-1, len(names)) for p in per_region], axis=0)
        else:
            _refuse_own_input(target, [traces])
            values = np.asarray(traces, dtype=np.float32)
        total = sum(_region_size(g) for g in geos)
        if values.shape != (total, len(names)):
            raise ValueError("multi-region traces must have shape (%d positions, %d labels), got %r"
                             % (total, len(names), values.shape))
        records, npt = values.T, total
    else:
        _refuse_own_input(target, [traces])
        values = np.asarray(traces, dtype=np.float32)
        if values.ndim == 3 or map_x is not None or map_y is not None:
            if values.ndim != 3 or values.shape[2] != len(names):
                raise ValueError("image trace maps must have shape (rows, columns, %d labels), "
                                 "got %r" % (len(names), values.shape))
            npy, npx = values.shape[:2]
            grid = _map_grid(npx, npy, map_x, map_y)
            records, npt = np.moveaxis(values, 2, 0).reshape(len(names), npy * npx), npy * npx
        else:
            if values.ndim != 2 or values.shape[0] != len(names):
                raise ValueError("time-resolved traces must have shape (%d labels, points), got %r"
                                 % (len(names), values.shape))
            records, npt = values, values.shape[1]
    x_ends = _axis_ends(x, npt)
    data_code, own_code = _codes("TRC", deriv)
    out_records = _Records(len(names), npt)

    def fill(out: _Counted) -> Tuple[float, float]:
        out_records.begin(out)
        out_records.add(records, labels=encoded)
        return out_records.close()

    return _write_file(target, data_code, out_records.size, fill,
                       _own(own_code, npt, x_ends, dxu, grid, params),
                       _extras(acquisition, instrument, sample, ft, annotation=annotation, images=images))
