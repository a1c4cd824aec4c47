"""An xarray backend for VELL data files: ``xarray.open_dataset(path, engine="vell")``.

Every kind of data block opens as a Dataset with fixed names, so code written
against one file works on every file:

================================  =============  ==========================
block kind                        data variable  dims
================================  =============  ==========================
2D spectrum                       ``spectrum``   (``spectral``,)
image map                         ``spectra``    (``y``, ``x``, ``spectral``)
trace image map                   ``traces``     (``trace``, ``y``, ``x``)
time-resolved series              ``spectra``    (``time``, ``spectral``)
time-resolved traces              ``traces``     (``trace``, ``spectral``)
multi-region map                  ``spectra``    (``position``, ``spectral``)
multi-region traces               ``traces``     (``trace``, ``position``)
================================  =============  ==========================

(The names and dimensions come from ``vellkit_tools.kinds``.) Coordinates:
``spectral`` (the block's x axis, where the kind has one), ``x`` and ``y``
(map axes), ``time`` (the series times), ``trace`` (trace labels) and, along
``position``, ``region``, ``group``, ``map_x``, ``map_y`` and (maps, not
traces) ``start_time``. Every parameter of the block is a Dataset attribute,
``vellkit_block`` holds the request triple joined by spaces, and the
metadata follow the CF conventions (``Conventions = "CF-1.8"``): the data
variable's ``long_name`` (its data type and derivative) and ``units``, and
udunits units on the axes (``"cm-1"``, ``"s"``; a series' ``ZTX`` text is
kept beside them).

Every kind is lazily indexed, from the block's plan (``_native.plan_block``:
its kind, axes, record layout and regions, read from the headers without
the values): opening reads the headers and the times or labels that are
coordinates, and a selection reads only the records and points it needs
(one spectrum out of any map reads one record), without the GIL. Each read
checks that the file is still the one opened (device, inode, size and
modification time): a replaced file raises OSError naming it.

``ds.vell.band_area(a, b)`` (:mod:`vellkit_tools.accessor`, registered on
import) gives the area of a band; :func:`open_datatree` every block and
visible image of a file; :func:`open_mfdataset` the same block of many files.
"""

import os
import struct
from typing import Any, Callable, Dict, Hashable, Iterable, List, Mapping, Optional, Sequence, Tuple, cast

import numpy as np

try:
    import xarray as xr
    from xarray.backends import BackendArray, BackendEntrypoint
    from xarray.core import indexing
except ImportError as error:  # pragma: no cover - exercised without xarray
    raise ImportError(
        "vellkit_tools.backend needs xarray: install it with pip install \"vellkit[xarray]\"") from error

import vellkit

from vellkit_tools import _native, kinds
from vellkit_tools import accessor  # noqa: F401  (registers ds.vell)
from vellkit_tools.units import VALUE_UNITS, data_type_name, time_unit_cf, x_unit_cf, x_unit_long_name

__all__ = ["VellBackendEntrypoint", "RecordArray", "open_block", "default_block", "open_dataset",
           "open_mfdataset", "open_datatree", "require_dask"]

Block = Tuple[str, str, str]
Identity = Tuple[int, int, int, int]


def _shown(path: Any) -> str:
    return os.fsdecode(os.fspath(path))


def default_block(path: Any) -> Block:
    """The block a file opens with when none is named, as a request triple:
    the original (NONE) block of the first data type the file lists with
    data (``kinds.default_block``), never one of its derivatives."""
    description = _native.describe_file(path)
    chosen = kinds.default_block([b["request"] for b in description["blocks"] if _has_data(b)])
    if chosen is None:
        damage = "; ".join(description["problems"])
        raise ValueError("%s: the file holds no data block%s" % (
            _shown(path), " (it is damaged: %s)" % damage if damage else ""))
    return chosen


def _missing_block(path: str, request: Block, first: str) -> Optional[str]:
    """Why the file at ``path`` has no block ``request``, which the first
    file of a stack holds: its damage and the blocks it has; None when it
    lists the block (the read failed for another reason)."""
    try:
        description = _native.describe_file(path)
    except (ValueError, OSError) as error:
        return str(error) if _shown(path) in str(error) else "%s: %s" % (path, error)
    blocks = [b for b in description["blocks"] if _has_data(b)]
    if any(tuple(b["request"]) == tuple(request) for b in blocks):
        return None
    text = "%s: no block %s, which the first file (%s) holds" % (path, kinds.block_text(request), first)
    if description["problems"]:
        text += "; the file is damaged: %s" % "; ".join(description["problems"])
    held = ["%s (%s)" % (kinds.block_text(b["request"]), kinds.kind(b["kind"]).words if b["kind"]
                         else "damaged: %s" % b["problem"]) for b in blocks]
    return text + ("; it holds %s" % ", ".join(held) if held else "; it lists no data block")


def _has_data(described: Mapping[str, Any]) -> bool:
    """Whether a described block holds data (a damaged one too: opening it
    says what is wrong), not only a parameter block that lists it."""
    return described["kind"] is not None or described["problem"] is not None


def _request(path: Any, block: Optional[Any]) -> Block:
    """The request triple of ``block`` (any spelling of kinds.parse_block, a
    prefix matched against the blocks with data) for the file at ``path``."""
    if block is None:
        return default_block(path)
    words = kinds.parse_block(block)
    if len(words) == 3:
        return words  # type: ignore[return-value]
    described = [b["request"] for b in _native.describe_file(path)["blocks"] if _has_data(b)]
    return kinds.match_block(words, described, _shown(path))


class RecordArray(BackendArray):
    """A lazily indexed array over the records of a 3D data block.

    The leading ``len(record_grid)`` axes pick a record (numbered row-major
    over ``record_grid``, in store-table order; numbers without a record
    read as 0.0), the others a point of that record (row-major over
    ``point_grid``; ``point_map`` maps those numbers to the record's points
    when it is given). An indexing reads only the records selected and, in
    each, the span of points selected. Picklable: it holds the path, the
    file's identity and the record offsets, and opens the file for each read,
    which fails with OSError when the file is no longer the one planned.
    """

    def __init__(self, path: str, offsets: np.ndarray, npt: int, record_grid: Tuple[int, ...],
                 point_grid: Tuple[int, ...], identity: Optional[Identity] = None,
                 point_map: Optional[np.ndarray] = None):
        self.path = path
        self.offsets = np.ascontiguousarray(offsets, dtype=np.int64)
        self.npt = int(npt)
        self.record_grid = tuple(int(n) for n in record_grid)
        self.point_grid = tuple(int(n) for n in point_grid)
        self.identity = identity
        self.point_map = None if point_map is None else np.ascontiguousarray(point_map, dtype=np.int64)
        self.shape = self.record_grid + self.point_grid
        self.dtype = np.dtype(np.float32)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.OUTER, self._read)

    def _read(self, key: Tuple[Any, ...]) -> np.ndarray:
        picks = []  # one 1D index array per axis
        dropped = []
        for axis, (k, n) in enumerate(zip(key, self.shape)):
            if isinstance(k, (int, np.integer)):
                picks.append(np.array([int(k) % n if n else int(k)], dtype=np.int64))
                dropped.append(axis)
            else:
                picks.append(np.arange(n, dtype=np.int64)[k])
        split = len(self.record_grid)
        records = _flat_numbers(picks[:split], self.record_grid)
        points = _flat_numbers(picks[split:], self.point_grid)
        if self.point_map is not None:
            points = self.point_map[points]
        values = self._read_flat(records, points)
        shape = tuple(len(p) for p in picks)
        return values.reshape(shape).squeeze(axis=tuple(dropped)) if dropped else values.reshape(shape)

    def _read_flat(self, records: np.ndarray, points: np.ndarray) -> np.ndarray:
        if not len(records) or not len(points):
            return np.zeros((len(records), len(points)), dtype=np.float32)
        first = int(points.min())
        span = int(points.max()) - first + 1
        contiguous = span == len(points) and _ascending(points)
        columns = slice(None) if contiguous else points - first
        # The common selection: ascending records that all exist, in file order.
        if int(records[-1]) < len(self.offsets) and _ascending(records):
            offsets = self.offsets[records]
            if _ascending(offsets):
                return self._read_rows(offsets, first, span)[:, columns]
        present = records < len(self.offsets)
        offsets = self.offsets[records[present]]
        order = np.argsort(offsets, kind="stable")
        # Every record selected is read (in file order), so that the read is
        # charged for all it returns, records named twice included.
        read = self._read_rows(offsets[order], first, span)
        rows = np.empty_like(read)
        rows[order] = read
        del read
        out = np.zeros((len(records), len(points)), dtype=np.float32)
        out[present] = rows[:, columns]
        return out

    def _read_rows(self, offsets: np.ndarray, first: int, span: int) -> np.ndarray:
        """Points [first, first + span) of the records at ``offsets`` (in file order)."""
        return _native.read_points(self.path, offsets, self.npt, first, span, self.identity)


class ValuesArray(BackendArray):
    """The values of a 2D data block, read when they are first indexed (the
    whole block: it is one contiguous span). Picklable, bound to the file's
    identity as :class:`RecordArray` is."""

    def __init__(self, path: str, offset: int, npt: int, identity: Optional[Identity] = None):
        self.path = path
        self.offset = int(offset)
        self.npt = int(npt)
        self.identity = identity
        self.shape = (self.npt,)
        self.dtype = np.dtype(np.float32)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.BASIC, self._read)

    def _read(self, key: Tuple[Any, ...]) -> np.ndarray:
        return self.read()[key]

    def read(self) -> np.ndarray:
        values = _native.read_values(self.path, self.offset, self.npt, self.identity)
        if len(values) != self.npt:
            raise ValueError("%s: the 2D block holds %d values, not NPT = %d" % (self.path, len(values), self.npt))
        return values


def _flat_numbers(picks: Sequence[np.ndarray], grid: Tuple[int, ...]) -> np.ndarray:
    """Row-major numbers of every combination of the picked indices."""
    if not picks:
        return np.zeros(1, dtype=np.int64)
    numbers = picks[0]
    for pick, size in zip(picks[1:], grid[1:]):
        numbers = (numbers[:, None] * size + pick[None, :]).reshape(-1)
    return numbers


def _ascending(values: np.ndarray) -> bool:
    return len(values) < 2 or bool((values[1:] > values[:-1]).all())


def _int64(data: Any) -> np.ndarray:
    return np.frombuffer(data, dtype=np.int64) if isinstance(data, (bytes, bytearray, memoryview)) else \
        np.asarray(data, dtype=np.int64)


def _float64(data: Any) -> np.ndarray:
    return np.frombuffer(data, dtype=np.float64) if isinstance(data, (bytes, bytearray, memoryview)) else \
        np.asarray(data, dtype=np.float64)


# ----------------------------------------------------------------------------
# Datasets from plans: one builder per kind of kinds.KINDS
# ----------------------------------------------------------------------------

#: A series' times: CF's standard_name "time" needs units "<unit> since <date>".
_TIME_ATTRS = {
    "long_name": "time since the start of the measurement",
    "comment": "No standard_name: these are durations from the start of the measurement, and the file "
               "records no date to count them from, which CF's standard name time needs."}


#: Nanoseconds in each time unit that units.time_unit_cf gives.
_NANOSECONDS = {"us": 1e3, "ms": 1e6, "s": 1e9, "min": 60e9, "h": 3600e9}


class _Built:
    """What a kind's builder gives: the data variable's array, its
    coordinates, and how many leading dimensions pick records."""

    def __init__(self, data: Any, coords: Dict[Hashable, Any], record_dims: int):
        self.data = data
        self.coords = coords
        self.record_dims = record_dims


def _spectral(plan: Mapping[str, Any], parameters: Mapping[str, Any]) -> xr.Variable:
    fxv, lxv, npt = plan["x"]
    return _axis_variable("spectral", np.linspace(fxv, lxv, int(npt)), parameters.get("DXU"))


def _axis_variable(dim: str, values: np.ndarray, unit_code: Any) -> xr.Variable:
    attrs: Dict[str, Any] = {"long_name": x_unit_long_name(unit_code) or "x axis"}
    units = x_unit_cf(unit_code)
    if units:
        attrs["units"] = units
    return xr.Variable((dim,), values, attrs)


def _records(plan: Mapping[str, Any]) -> Tuple[np.ndarray, int]:
    records = plan["records"]
    return _int64(records["offsets"]), int(records["info_size"])


def _labels(path: str, plan: Mapping[str, Any], offsets: np.ndarray, info_size: int) -> xr.Variable:
    labels = _native.read_labels(path, offsets, plan["npt"], info_size, plan["identity"])
    return xr.Variable(("trace",), np.array(labels, dtype=object), {"long_name": "trace label"})


def _build_spectrum(path: str, plan: Mapping[str, Any], parameters: Mapping[str, Any],
                    decode_timedelta: bool) -> _Built:
    array = ValuesArray(path, plan["values_offset"], plan["npt"], plan["identity"])
    return _Built(indexing.LazilyIndexedArray(array), {}, 0)


def _map_axes(grid: Mapping[str, Any]) -> Dict[Hashable, Any]:
    npx, npy = int(grid["npx"]), int(grid["npy"])
    x = np.linspace(grid["aox"], grid["aox"] + grid["ddx"] * (npx - 1), npx)
    y = np.linspace(grid["aoy"], grid["aoy"] + grid["ddy"] * (npy - 1), npy)
    return {"x": xr.Variable(("x",), x, {"long_name": "map x position"}),
            "y": xr.Variable(("y",), y, {"long_name": "map y position"})}


def _build_image_map(path: str, plan: Mapping[str, Any], parameters: Mapping[str, Any],
                     decode_timedelta: bool) -> _Built:
    grid = plan["grid"]
    npx, npy, npt = int(grid["npx"]), int(grid["npy"]), int(plan["npt"])
    offsets, _ = _records(plan)
    if len(offsets) > npx * npy:
        raise ValueError("%s: the store table names %d records, more than the %d x %d map holds"
                         % (path, len(offsets), npx, npy))
    array = RecordArray(path, offsets, npt, (npy, npx), (npt,), plan["identity"])
    return _Built(indexing.LazilyIndexedArray(array), _map_axes(grid), 2)


def _build_image_traces(path: str, plan: Mapping[str, Any], parameters: Mapping[str, Any],
                        decode_timedelta: bool) -> _Built:
    grid = plan["grid"]
    npx, npy, npt = int(grid["npx"]), int(grid["npy"]), int(plan["npt"])
    if npt != npx * npy:
        raise ValueError("%s: a trace map record holds NPT = %d values, not NPX x NPY = %d x %d"
                         % (path, npt, npx, npy))
    offsets, info_size = _records(plan)
    coords = _map_axes(grid)
    coords["trace"] = _labels(path, plan, offsets, info_size)
    array = RecordArray(path, offsets, npt, (len(offsets),), (npy, npx), plan["identity"])
    return _Built(indexing.LazilyIndexedArray(array), coords, 1)


def _build_series(path: str, plan: Mapping[str, Any], parameters: Mapping[str, Any],
                  decode_timedelta: bool) -> _Built:
    offsets, _ = _records(plan)
    npt = int(plan["npt"])
    times = _native.read_times(path, offsets, npt, plan["identity"])
    attrs: Dict[str, Any] = dict(_TIME_ATTRS)
    text = parameters.get("ZTX")
    units = time_unit_cf(text)
    if isinstance(text, str) and text:
        attrs["ZTX"] = text  # the file's own words for the unit
    if units and decode_timedelta:
        times = (np.asarray(times) * (_NANOSECONDS[units])).astype("timedelta64[ns]")
    elif units:
        attrs["units"] = units
    array = RecordArray(path, offsets, npt, (len(offsets),), (npt,), plan["identity"])
    return _Built(indexing.LazilyIndexedArray(array), {"time": xr.Variable(("time",), times, attrs)}, 1)


def _build_series_traces(path: str, plan: Mapping[str, Any], parameters: Mapping[str, Any],
                         decode_timedelta: bool) -> _Built:
    offsets, info_size = _records(plan)
    npt = int(plan["npt"])
    array = RecordArray(path, offsets, npt, (len(offsets),), (npt,), plan["identity"])
    return _Built(indexing.LazilyIndexedArray(array), {"trace": _labels(path, plan, offsets, info_size)}, 1)


def _position_coords(regions: Sequence[Mapping[str, Any]]) -> Dict[Hashable, Any]:
    counts = [len(_float64(r["map_x"])) for r in regions]
    return {
        "region": ("position", np.array([r["title"] for r, n in zip(regions, counts) for _ in range(n)],
                                        dtype=object), {"long_name": "region title"}),
        "group": ("position", np.array([r["group"] for r, n in zip(regions, counts) for _ in range(n)],
                                       dtype=np.int32), {"long_name": "region group number"}),
        "map_x": ("position", np.concatenate([_float64(r["map_x"]) for r in regions] or [np.zeros(0)]),
                  {"long_name": "map x position"}),
        "map_y": ("position", np.concatenate([_float64(r["map_y"]) for r in regions] or [np.zeros(0)]),
                  {"long_name": "map y position"}),
    }


def _region_records(regions: Sequence[Mapping[str, Any]]) -> np.ndarray:
    """The record (map) or trace column (traces) of every position."""
    return np.concatenate([_int64(r["records"]) for r in regions] or [np.zeros(0, np.int64)])


def _build_multi_region(path: str, plan: Mapping[str, Any], parameters: Mapping[str, Any],
                        decode_timedelta: bool) -> _Built:
    regions = plan["regions"]
    npt = int(plan["npt"])
    coords = _position_coords(regions)
    offsets = _records(plan)[0][_region_records(regions)]
    # The start time of a position is its record's info-record time, unless
    # the plan gives the region's times.
    read = _native.read_times(path, offsets, npt, plan["identity"]) \
        if any(r["start_time"] is None for r in regions) else np.zeros(len(offsets))
    times, at = [], 0
    for region in regions:
        n = len(_float64(region["map_x"]))
        times.append(read[at:at + n] if region["start_time"] is None else _float64(region["start_time"]))
        at += n
    coords["start_time"] = ("position", np.concatenate(times or [np.zeros(0)]),
                            {"long_name": "acquisition start time"})
    array = RecordArray(path, offsets, npt, (len(offsets),), (npt,), plan["identity"])
    return _Built(indexing.LazilyIndexedArray(array), coords, 1)


def _build_multi_region_traces(path: str, plan: Mapping[str, Any], parameters: Mapping[str, Any],
                               decode_timedelta: bool) -> _Built:
    regions = plan["regions"]
    offsets, info_size = _records(plan)
    coords = _position_coords(regions)  # trace regions carry no times
    coords["trace"] = _labels(path, plan, offsets, info_size)
    columns = _region_records(regions)
    array = RecordArray(path, offsets, int(plan["npt"]), (len(offsets),), (len(columns),), plan["identity"],
                        point_map=columns)
    return _Built(indexing.LazilyIndexedArray(array), coords, 1)


_Builder = Callable[[str, Mapping[str, Any], Mapping[str, Any], bool], _Built]
_BUILDERS: Dict[str, _Builder] = {
    "spectrum": _build_spectrum, "image_map": _build_image_map, "image_traces": _build_image_traces,
    "series": _build_series, "series_traces": _build_series_traces, "multi_region": _build_multi_region,
    "multi_region_traces": _build_multi_region_traces,
}


def _value_attrs(request: Sequence[str]) -> Dict[str, Any]:
    name = data_type_name(request[0]) or str(request[0])
    derivative = kinds.derivative_name(request[2])
    return {"long_name": "%s, %s" % (name, derivative) if derivative else name, "units": VALUE_UNITS}


def _attributes(parameters: Mapping[str, Any], request: Sequence[str]) -> Dict[str, Any]:
    attrs = {name: value for name, value in parameters.items()
             if name and isinstance(value, (str, int, float)) and not isinstance(value, bool)}
    attrs["vellkit_block"] = " ".join(kinds.output_block(request))
    attrs["Conventions"] = "CF-1.8"
    return attrs


def _what(value_attrs: Mapping[str, Any], kind: kinds.Kind, request: Sequence[str]) -> str:
    """What a block holds, for titles: e.g. ``Absorbance, image map AB/3D/NONE``."""
    return "%s, %s %s" % (value_attrs["long_name"], kind.words, kinds.block_text(request))


def _cf_globals(what: str, source: str, files: int = 1) -> Dict[str, str]:
    """CF's global attributes of a Dataset of ``what`` read from ``source``
    (a file's name, or a pattern's when ``files`` > 1). No date in
    ``history``: the same file gives the same Dataset."""
    if files == 1:
        return {"title": "%s of %s" % (what, source), "source": "VELL data file %s" % source,
                "history": "read from %s by vellkit_tools" % source}
    return {"title": "%s of %d files" % (what, files), "source": "%d VELL data files, the first %s" % (files, source),
            "history": "%d files read and stacked along file by vellkit_tools" % files}


def _preferred_chunks(dims: Sequence[Hashable], record_dims: int) -> Dict[Hashable, int]:
    """The format's unit of storage: one record (one index of the first
    record dimension; a whole row of a map). Chunks of whole records are
    aligned with it whatever their size, and a span of a record's points
    reads as well as the whole record, so no other dimension has a
    preference."""
    return {dims[0]: 1} if record_dims else {}


def dataset_from_plan(path: Any, plan: Mapping[str, Any], decode_timedelta: bool = False) -> xr.Dataset:
    """The Dataset of a block plan (``_native.plan_block``): lazily indexed."""
    shown = _shown(path)
    kind = kinds.kind(plan["kind"])
    try:
        build = _BUILDERS[kind.name]
    except KeyError:
        raise ValueError("%s: the xarray engine cannot open a block of kind %s" % (shown, kind.name)) from None
    parameters = dict(plan["parameters"])
    built = build(shown, plan, parameters, decode_timedelta)
    coords: Dict[Hashable, Any] = {}
    if "spectral" in kind.dims:
        coords["spectral"] = _spectral(plan, parameters)
    coords.update(built.coords)
    variable = xr.Variable(kind.dims, built.data, _value_attrs(plan["request"]))
    variable.encoding["preferred_chunks"] = _preferred_chunks(kind.dims, built.record_dims)
    attrs = _attributes(parameters, plan["request"])
    attrs.update(_cf_globals(_what(variable.attrs, kind, plan["request"]), os.path.basename(shown)))
    dataset = xr.Dataset({kind.variable: variable}, coords=coords, attrs=attrs)
    for coord in dataset.coords.values():
        if coord.dtype.kind in "fc":
            # Axes have no missing values: no fill value when they are written (CF).
            coord.encoding["_FillValue"] = None
    return dataset


def open_block(path: Any, block: Optional[Any] = None, decode_timedelta: bool = False) -> xr.Dataset:
    """The Dataset of one data block (``block`` a request in any spelling
    that ``kinds.parse_block`` takes; default :func:`default_block`),
    lazily indexed."""
    return dataset_from_plan(path, _native.plan_block(path, _request(path, block)), decode_timedelta)


# ----------------------------------------------------------------------------
# The engine
# ----------------------------------------------------------------------------

def _is_path(filename_or_obj: Any) -> bool:
    return isinstance(filename_or_obj, (str, bytes, os.PathLike))


def _nothing_to_close() -> None:
    pass


def _drop(dataset: xr.Dataset, drop_variables: Optional[Any]) -> xr.Dataset:
    if not drop_variables:
        return dataset
    names = [drop_variables] if isinstance(drop_variables, str) else list(drop_variables)
    return dataset.drop_vars(names, errors="ignore")


#: Modes whose pixels are kept as Pillow decodes them; others become RGB.
_KEPT_MODES = {"L": 1, "RGB": 3, "RGBA": 4}


def _decode_image(data: bytes) -> np.ndarray:
    """The pixels of an image's bytes (``L``, ``RGB`` or ``RGBA``; other modes as RGB)."""
    import io
    from PIL import Image
    with Image.open(io.BytesIO(data)) as picture:
        return np.asarray(picture if picture.mode in _KEPT_MODES else picture.convert("RGB"))


class PixelsArray(BackendArray):
    """The pixels of a visible image, decoded from its bytes (held: they are
    no larger than the file) each time they are indexed, never at open."""

    def __init__(self, data: bytes, shape: Tuple[int, ...], where: str):
        self.data = bytes(data)
        self.shape = shape
        self.dtype = np.dtype(np.uint8)
        self.where = where

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC, self._read)

    def _read(self, key: Tuple[Any, ...]) -> np.ndarray:
        try:
            pixels = _decode_image(self.data)
        except (OSError, ValueError, SyntaxError) as error:
            raise ValueError("%s: the pixels cannot be decoded: %s" % (self.where, error)) from error
        if pixels.shape != self.shape or pixels.dtype != self.dtype:
            raise ValueError("%s: the pixels decode as %s %s, not the %s its header says"
                             % (self.where, pixels.dtype, pixels.shape, self.shape))
        return pixels[key]


def _image_node(image: Mapping[str, Any], where: str, memory_limit: int) -> xr.Dataset:
    """A visible image (a ``vellkit.getVisImages`` entry) as a Dataset: its
    attributes, and, where Pillow is installed and reads its header, a lazy
    ``pixels`` variable (decoded when its values are asked for). An image
    whose header Pillow refuses, or whose pixels would take more than the
    file's memory limit, has ``pixels_error`` instead."""
    attrs = {str(k): v for k, v in image.items()
             if isinstance(v, (str, int, float)) and not isinstance(v, bool)}
    data = image.get("image")
    variables: Dict[Hashable, Any] = {}
    if isinstance(data, (bytes, bytearray)) and data:
        try:
            import io
            import warnings
            from PIL import Image
            with warnings.catch_warnings():
                # Pillow's warning of a large image: the memory limit below decides.
                warnings.simplefilter("ignore", Image.DecompressionBombWarning)
                with Image.open(io.BytesIO(data)) as picture:
                    width, height = picture.size
                    mode, bands = picture.mode, len(picture.getbands())
        except ImportError:
            return xr.Dataset(attrs=attrs)
        except Exception as error:  # noqa: BLE001  (any failure of the bytes: Pillow's own errors vary)
            attrs["pixels_error"] = "%s: %s" % (type(error).__name__, error)
            return xr.Dataset(attrs=attrs)
        channels = _KEPT_MODES.get(mode, 3)
        # Pillow holds up to four bytes a pixel while it decodes, then the array.
        needed = int(width) * int(height) * (max(4, bands) + channels)
        if memory_limit and needed > memory_limit:
            attrs["pixels_error"] = ("its %d x %d pixels would take %d bytes to decode, more than the "
                                     "memory limit of %d bytes (VELLKIT_MEMORY_LIMIT)"
                                     % (width, height, needed, memory_limit))
            return xr.Dataset(attrs=attrs)
        shape: Tuple[int, ...] = (int(height), int(width)) if channels == 1 else (int(height), int(width), channels)
        dims = ("row", "column") if channels == 1 else ("row", "column", "channel")
        array = indexing.LazilyIndexedArray(PixelsArray(data, shape, where))
        variables["pixels"] = xr.Variable(dims, array, {"long_name": "pixels of the image"})
    return xr.Dataset(variables, attrs=attrs)


def _annotation_node(path: Any, index: int) -> xr.Dataset:
    """An annotation block as a Dataset: one variable per column along
    ``row`` (its own ``<name>_row`` where tables differ in length); an empty
    node whose ``vellkit_problem`` says why when it cannot be read."""
    from vellkit_tools.annotations import annotation_columns
    try:
        columns = annotation_columns(path, index)
    except (ValueError, MemoryError, OSError) as error:
        return xr.Dataset(attrs={"vellkit_problem": str(error)})
    even = len({len(values) for _, values in columns}) <= 1
    # (A "/" cannot be in a tree's variable name; the attribute keeps the file's.)
    variables = {name.replace("/", "_"): ("row" if even else "%s_row" % name.replace("/", "_"), values,
                                          {"long_name": "annotation column %s" % name})
                 for name, values in columns}
    return xr.Dataset(variables, attrs={"long_name": "annotation table"})


def open_datatree(path: Any, decode_timedelta: bool = False, drop_variables: Optional[Any] = None) -> Any:
    """Every block of a VELL file as a node of an :class:`xarray.DataTree`.

    Data blocks are nodes named by their listing words (``AB_3D_NONE``,
    ``AB_3D_1DER``, ``TRC_3D_NONE``, a third derivative ``AB_3D_3DER``),
    each the Dataset :func:`open_dataset` gives for it (lazy); a block that
    cannot be read is an empty node whose ``vellkit_problem`` says why.
    Visible images are nodes ``image_0``, ``image_1``, ... with their
    attributes and, where Pillow is installed and reads them, a lazy
    ``pixels`` variable (row, column[, channel]), decoded when its values
    are asked for. An image whose bytes Pillow refuses, or whose pixels
    would take more than the file's memory limit (``VELLKIT_MEMORY_LIMIT``),
    has the attribute ``pixels_error`` saying why and no pixels; the other
    nodes open as ever. Annotation blocks are nodes ``annotation_0``, ...
    with one variable per column along ``row``
    (:func:`vellkit_tools.annotations.read_annotations` gives the same as a
    DataFrame).
    """
    if not hasattr(xr, "DataTree"):
        raise NotImplementedError("open_datatree needs an xarray with DataTree (2024.10 or later); this is %s"
                                  % xr.__version__)
    shown = _shown(path)
    nodes: Dict[str, xr.Dataset] = {"/": xr.Dataset(attrs={"Conventions": "CF-1.8"})}
    description = _native.describe_file(path)
    for described in description["blocks"]:
        if not _has_data(described):
            continue  # listed from a parameter block alone
        request = cast(Block, tuple(described["request"]))
        try:
            node = dataset_from_plan(shown, _native.plan_block(path, request), decode_timedelta)
            node = _drop(node, drop_variables)
        except (ValueError, MemoryError, OSError) as error:
            node = xr.Dataset(attrs={"vellkit_block": " ".join(kinds.output_block(request)),
                                     "vellkit_problem": str(error)})
        nodes["/" + kinds.block_name(described["listed"])] = node
    offsets = [int(e["offset"]) for e in description["entries"] if e["what"] == "annotation table"]
    for k in range(len(offsets)):
        nodes["/annotation_%d" % k] = _annotation_node(path, k)
    try:
        images = vellkit.getVisImages(shown)
    except (ValueError, KeyError, IndexError, TypeError) as error:
        raise ValueError("%s: %s" % (shown, error)) from error
    for k, image in enumerate(images):
        nodes["/image_%d" % k] = _image_node(image, "%s: image %d" % (shown, k), int(description["memory_limit"]))
    return xr.DataTree.from_dict(nodes)


class VellBackendEntrypoint(BackendEntrypoint):
    """``xarray.open_dataset(path, engine="vell", block=None)``: VELL data files.

    ``block`` is a block request in any spelling the command takes
    (``("AB", "3D", "NONE")``, ``"AB/3D/NONE"``, ``"TRC"``, ``("ab", "3d",
    "3der")``); by default the original (NONE) block of the first data
    type with data (:func:`default_block`). Files
    are recognised by ``vellkit.isVellFile``, whatever their name.

    The keywords every engine takes are accepted: ``decode_timedelta=True``
    makes a series' ``time`` a timedelta64 coordinate (when ``ZTX`` names a
    time unit); ``decode_times``, ``mask_and_scale``, ``use_cftime``,
    ``decode_coords`` and ``concat_characters`` have nothing to act on (no
    dates, fill values, scale factors, cell bounds or character arrays in
    the format) and change nothing.
    """

    description = "VELL spectrometer data files, read with vellkit"
    url = "https://pypi.org/project/vellkit/"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "block", "decode_times", "decode_timedelta",
                               "mask_and_scale", "use_cftime", "decode_coords", "concat_characters")
    supports_groups = True

    def open_dataset(self, filename_or_obj: Any, *, drop_variables: Optional[Iterable[str]] = None,
                     block: Optional[Any] = None, decode_times: Any = None, decode_timedelta: Any = None,
                     mask_and_scale: Any = None, use_cftime: Any = None, decode_coords: Any = None,
                     concat_characters: Any = None) -> xr.Dataset:
        if not _is_path(filename_or_obj):
            raise TypeError("the vell engine opens files by path, not %s" % type(filename_or_obj).__name__)
        dataset = _drop(open_block(filename_or_obj, block, bool(decode_timedelta)), drop_variables)
        # Nothing stays open between reads; xarray still expects a closer.
        dataset.set_close(_nothing_to_close)
        return dataset

    def open_datatree(self, filename_or_obj: Any, *, drop_variables: Optional[Iterable[str]] = None,
                      decode_times: Any = None, decode_timedelta: Any = None, mask_and_scale: Any = None,
                      use_cftime: Any = None, decode_coords: Any = None, concat_characters: Any = None) -> Any:
        if not _is_path(filename_or_obj):
            raise TypeError("the vell engine opens files by path, not %s" % type(filename_or_obj).__name__)
        return open_datatree(filename_or_obj, bool(decode_timedelta), drop_variables)

    def open_groups_as_dict(self, filename_or_obj: Any, **kwargs: Any) -> Dict[str, xr.Dataset]:
        tree = self.open_datatree(filename_or_obj, **kwargs)
        return {node.path: node.to_dataset() for node in tree.subtree}

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        if not _is_path(filename_or_obj):
            return False
        try:
            return bool(vellkit.isVellFile(_shown(filename_or_obj)))
        except (OSError, ValueError, TypeError):
            return False


def open_dataset(path: Any, block: Optional[Any] = None, chunks: Optional[Any] = None,
                 **kwargs: Any) -> xr.Dataset:
    """Open one data block of a VELL file as an :class:`xarray.Dataset`.

    ``block`` is a block request in any spelling (``("AB", "3D", "NONE")``,
    ``"AB/3D/NONE"``, ``"TRC"``); by default the original (NONE) block of
    the first data type with data (:func:`default_block`). ``chunks`` as
    for :func:`xarray.open_dataset`: ``None`` gives lazily indexed
    numpy-backed variables, ``{}`` Dask arrays in chunks of
    whole records (the ``preferred_chunks`` of each variable's encoding),
    ``{"y": 16}`` chunks of your choosing (needs the ``dask`` extra). Other
    keywords go to :func:`xarray.open_dataset` (see
    :class:`VellBackendEntrypoint` for the decoding keywords).

    To compute on part of a big map, select first and chunk after:
    ``open_dataset(path).spectra.sel(spectral=slice(1700, 1600)).chunk({"y": 16})``
    reads only the band, chunk by chunk; chunking first may make Dask read
    whole chunks before it selects.
    """
    if chunks is not None:
        require_dask()
    return xr.open_dataset(path, engine=VellBackendEntrypoint, block=block, chunks=chunks, **kwargs)


# ----------------------------------------------------------------------------
# Many files
# ----------------------------------------------------------------------------

_COMBINE_ATTRS = ("override", "drop", "drop_conflicts", "no_conflicts", "identical")


def _paths(paths: Any) -> List[str]:
    if isinstance(paths, (str, os.PathLike)):
        import glob
        pattern = os.fspath(paths)
        found = sorted(glob.glob(pattern))
        if not found:
            raise OSError("no files match %s" % pattern)
        return found
    shown = [_shown(p) for p in paths]
    if not shown:
        raise ValueError("open_mfdataset needs at least one path")
    return shown


def _fixed_axes(plan: Mapping[str, Any]) -> Tuple[Any, ...]:
    """What a plan says of a block's shape and axes without reading: kind,
    spectral axis, map grid (not where it came from) and record count."""
    grid = plan.get("grid")
    records = plan.get("records")
    return (plan["kind"], tuple(plan["x"]),
            None if grid is None else tuple(grid[k] for k in ("aox", "ddx", "npx", "aoy", "ddy", "npy")),
            None if records is None else len(records["offsets"]))


def _a(words: str) -> str:
    return ("an " if words[:1] in "aeiou" else "a ") + words


def _axes_difference(plan: Mapping[str, Any], first: Mapping[str, Any]) -> str:
    mine, theirs = _fixed_axes(plan), _fixed_axes(first)
    if mine[0] != theirs[0]:
        return "its block is %s, the first file's %s" % (_a(kinds.kind(mine[0]).words), _a(kinds.kind(theirs[0]).words))
    if mine[1] != theirs[1]:
        return "coordinate spectral differs"
    if mine[2] != theirs[2]:
        return "coordinates x and y (the map grid) differ"
    return "it holds %s records, the first file %s" % (mine[3], theirs[3])


def _same(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal shapes and values (NaN equal to NaN: the bytes are compared)."""
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if a.dtype.kind == "O":
        return a.tolist() == b.tolist()
    return a.tobytes() == b.tobytes()


def _read_coords(coords: Mapping[Hashable, Any]) -> Dict[Hashable, np.ndarray]:
    return {name: np.asarray(value[1] if isinstance(value, tuple) else value.values)
            for name, value in coords.items()}


def _merge_attrs(all_attrs: Sequence[Dict[str, Any]], how: str, paths: Sequence[str]) -> Dict[str, Any]:
    """The attributes of the files combined as xarray's ``combine_attrs`` does."""
    if how == "override":
        return dict(all_attrs[0])
    if how == "drop":
        return {}
    merged = dict(all_attrs[0])
    dropped = set()
    for attrs, path in zip(all_attrs[1:], paths[1:]):
        if how == "identical" and attrs != all_attrs[0]:
            raise ValueError("%s: its attributes differ from the first file's (%s), and combine_attrs is "
                             "'identical'" % (path, paths[0]))
        for key, value in attrs.items():
            if key in dropped:
                continue
            if key not in merged:
                merged[key] = value
            elif merged[key] != value:
                if how == "no_conflicts":
                    raise ValueError("%s: attribute %s is %r, %r in an earlier file, and combine_attrs is "
                                     "'no_conflicts'" % (path, key, value, merged[key]))
                del merged[key]
                dropped.add(key)
    return merged


def _read_sources(sources: Sequence[Any], shape: Tuple[int, ...]) -> np.ndarray:
    """The whole data of each file, stacked: a source is a lazily indexed
    array, or (path, offset, npt, identity) for the values of a 2D block
    (many small spectra: no array object each)."""
    out = np.empty((len(sources),) + tuple(shape), dtype=np.float32)
    read_values = _native.read_values
    for k, source in enumerate(sources):
        if type(source) is tuple:
            path, offset, npt, identity = source
            values = read_values(path, offset, npt, identity)
            if len(values) != npt:
                raise ValueError("%s: the 2D block holds %d values, not NPT = %d" % (path, len(values), npt))
            out[k] = values
        else:
            out[k] = np.asarray(source)
    return out


class _Batch:
    """The sources of a batch of files, as one opaque task argument (Dask
    would otherwise walk every tuple looking for collections)."""

    __slots__ = ("sources", "shape")

    def __init__(self, sources: Sequence[Any], shape: Tuple[int, ...]):
        self.sources = sources
        self.shape = shape

    def __getstate__(self) -> Tuple[Any, ...]:
        return self.sources, self.shape

    def __setstate__(self, state: Tuple[Any, ...]) -> None:
        self.sources, self.shape = state


def _read_batch(batch: _Batch) -> np.ndarray:
    return _read_sources(batch.sources, batch.shape)


#: Stacks of 2D blocks up to this size are read at open: a spectrum's plan
#: costs as much as its read, so the check and the read are one call.
_SPECTRA_READ_AT_OPEN = 64 << 20


def _spectra_at_open(paths: Sequence[str], request: Block, axis: np.ndarray,
                     gather_attrs: bool) -> Tuple[np.ndarray, List[Dict[str, Any]]]:
    """The values of the 2D block of every file, each checked against the
    first file's spectral axis, and the files' attributes when wanted."""
    out = np.empty((len(paths), len(axis)), dtype=np.float32)
    all_attrs = []
    get = vellkit.getVellData
    for k, path in enumerate(paths):
        try:
            result = get(path, request)
        except (ValueError, KeyError, IndexError, TypeError, struct.error) as error:
            # (struct.error: the reader's magic-number test of a file shorter than 4 bytes)
            missing = _missing_block(path, request, paths[0]) if k else None
            if missing:
                raise ValueError(missing) from error
            raise ValueError("%s: %s" % (path, error.args[0] if isinstance(error, KeyError) and error.args
                                         else error)) from error
        if not _same(result.x, axis):
            raise ValueError("%s: coordinate spectral differs from the first file's (%s)" % (path, paths[0]))
        if len(result.y) != len(axis):
            raise ValueError("%s: the 2D block holds %d values, not NPT = %d" % (path, len(result.y), len(axis)))
        out[k] = result.y
        if gather_attrs:
            all_attrs.append(_attributes(result.parameters, request))
    return out, all_attrs


def _plan_files(paths: Sequence[str], request: Block, first: Mapping[str, Any],
                gather_attrs: bool) -> Tuple[List[Any], List[Any], List[Dict[str, Any]]]:
    """The plan of every file's block, checked against the first file's:
    a read source each, their identities and (when wanted) attributes."""
    spectrum = first["kind"] == "spectrum"
    if not spectrum:
        build = _BUILDERS[first["kind"]]
        expected = _read_coords(build(paths[0], first, dict(first["parameters"]), False).coords)
    sources: List[Any] = []
    identities: List[Any] = []
    all_attrs: List[Dict[str, Any]] = []
    fixed = _fixed_axes(first)
    for k, path in enumerate(paths):
        try:
            plan = first if k == 0 else _native.plan_block(path, request)
        except ValueError as error:
            missing = _missing_block(path, request, paths[0])
            if missing:
                raise ValueError(missing) from error
            raise
        if k and _fixed_axes(plan) != fixed:
            difference = _axes_difference(plan, first)
            raise ValueError("%s: %s from the first file's (%s)" % (path, difference, paths[0])
                             if difference.startswith("coordinate") else
                             "%s: %s (%s)" % (path, difference, paths[0]))
        identities.append(plan["identity"])
        if spectrum:
            sources.append((path, plan["values_offset"], plan["npt"], plan["identity"]))
        else:
            built = build(path, plan, dict(plan["parameters"]), False)
            for coord, values in _read_coords(built.coords).items():
                if not _same(values, expected[coord]):
                    raise ValueError("%s: coordinate %s differs from the first file's (%s)" % (path, coord, paths[0]))
            sources.append(built.data)
        if gather_attrs:
            all_attrs.append(_attributes(dict(plan["parameters"]), request))
    return sources, identities, all_attrs


def _file_coords(all_attrs: Sequence[Dict[str, Any]], wanted: Any, paths: Sequence[str]) -> Dict[Hashable, Any]:
    """The scalar parameters that become coordinates along ``file``: those
    named in ``wanted`` (each file must have it), or with ``"all"`` every
    parameter that every file has and whose value differs between them."""
    fixed = ("vellkit_block", "Conventions")
    if isinstance(wanted, str) and wanted == "all":
        names = [n for n in all_attrs[0] if n not in fixed and all(n in a for a in all_attrs)
                 and any(a[n] != all_attrs[0][n] for a in all_attrs[1:])]
    else:
        names = [wanted] if isinstance(wanted, str) else [str(n) for n in wanted]
        for name in names:
            if name in fixed or name == "file":
                raise ValueError("file_coords: %s is not a parameter of the files" % name)
            for attrs, path in zip(all_attrs, paths):
                if name not in attrs:
                    raise ValueError("%s: file_coords names parameter %s, which this file does not have"
                                     % (path, name))
    coords: Dict[Hashable, Any] = {}
    for name in names:
        values = [a[name] for a in all_attrs]
        if all(isinstance(v, str) for v in values):
            array = np.array(values, dtype=object)
        elif all(isinstance(v, int) for v in values):
            array = np.array(values, dtype=np.int64)
        elif all(isinstance(v, (int, float)) for v in values):
            array = np.array(values, dtype=np.float64)
        else:
            array = np.array(values, dtype=object)
        coords[name] = ("file", array, {"long_name": "parameter %s of each file" % name})
    return coords


def _each_file_attrs(paths: Sequence[str], request: Block) -> List[Dict[str, Any]]:
    return [_attributes(dict(_native.plan_block(path, request)["parameters"]), request) for path in paths]


def _open_preprocessed(paths: Sequence[str], request: Block, parallel: bool, chunks: Optional[Dict[str, int]],
                       combine_attrs: str, preprocess: Callable[[xr.Dataset], xr.Dataset]) -> xr.Dataset:
    """Each file opened, passed through ``preprocess`` and stacked, by
    xarray's own machinery (preprocess may change anything)."""
    per_file = {k: v for k, v in (chunks or {}).items() if k != "file"}
    if parallel:
        require_dask()
    stacked = xr.open_mfdataset(list(paths), engine=VellBackendEntrypoint, block=request, combine="nested",
                                concat_dim="file", preprocess=preprocess, parallel=parallel,
                                chunks=per_file if parallel else None, combine_attrs=combine_attrs)
    if parallel and chunks and "file" in chunks:
        stacked = stacked.chunk({"file": chunks["file"]})
    return stacked


def open_mfdataset(paths: Any, block: Optional[Any] = None, parallel: bool = True,
                   chunks: Optional[Dict[str, int]] = None, combine_attrs: str = "override",
                   preprocess: Optional[Callable[[xr.Dataset], xr.Dataset]] = None,
                   file_coords: Optional[Any] = None) -> xr.Dataset:
    """Open the same data block of many VELL files, stacked along a new ``file`` dimension.

    ``paths`` is a glob pattern (its matches sorted) or a sequence of paths
    (kept in the given order). ``block`` (any request spelling) defaults to
    the default block of the first file (see :func:`default_block`).

    Every file is planned at open (its headers, and the times or labels that
    are coordinates): a file whose block is of another kind, or whose axes
    (spectral axis, map grid, times, labels, positions) differ from the
    first file's, raises ValueError naming it, before anything is computed.
    A ``file`` coordinate names each file. ``combine_attrs`` combines the
    files' attributes as in :func:`xarray.open_mfdataset`: ``"override"``
    (the default there and here: the first file's), ``"drop_conflicts"``
    (every attribute, less those whose values differ between files),
    ``"no_conflicts"``, ``"identical"`` (ValueError naming the file that
    differs) or ``"drop"``.

    With ``parallel=True`` (needs the ``dask`` extra) the data variable is a
    Dask array with one chunk per batch of files (``chunks={"file": n}`` sets
    the batch size), read when it is computed, on the active
    ``dask.distributed`` client if there is one, else on Dask's default
    (threaded) scheduler; each read checks that its file is still the one
    planned (OSError naming it otherwise). With ``parallel=False`` the files
    are read at open, one after the other, into one numpy array.

    Spectra (2D blocks) are read at open either way while the stack takes at
    most 64 MiB: planning a small spectrum costs as much as reading it, so
    each file is checked and read in one call, and the stack is a numpy
    array (a Dask array in batches of files when ``chunks`` is given).

    The files' own parameters (sample names, times of measurement) are
    kept with ``file_coords``: a parameter name or a list of them, or
    ``"all"`` for every parameter that differs between files, each a
    coordinate along ``file`` (and no longer an attribute).

    ``preprocess`` is called on each file's Dataset before they are
    stacked, as :func:`xarray.open_mfdataset` calls it; the stack is then
    made by xarray's general machinery (one Dataset per file), which costs
    some milliseconds per file. ``xarray.open_mfdataset(paths, engine="vell",
    combine="nested", concat_dim="file")`` gives the same stack that way.
    """
    if combine_attrs not in _COMBINE_ATTRS:
        raise ValueError("combine_attrs must be one of %s, not %r" % (", ".join(_COMBINE_ATTRS), combine_attrs))
    paths = _paths(paths)
    request = _request(paths[0], block)
    if preprocess is not None:
        if not callable(preprocess):
            raise TypeError("preprocess must be a function of a Dataset, not %s" % type(preprocess).__name__)
        stacked = _open_preprocessed(paths, request, parallel, chunks, combine_attrs, preprocess)
        if file_coords is not None:
            coords = _file_coords(_each_file_attrs(paths, request), file_coords, paths)
            stacked = stacked.assign_coords(coords)
            stacked.attrs = {k: v for k, v in stacked.attrs.items() if k not in coords}
        return stacked.assign_coords(file=("file", np.array(paths, dtype=object)))
    first = _native.plan_block(paths[0], request)
    template = dataset_from_plan(paths[0], first)
    (name, variable), = template.data_vars.items()
    shape, dims = variable.shape, ("file",) + variable.dims
    gather_attrs = combine_attrs not in ("override", "drop") or file_coords is not None
    batch = 0
    if parallel:
        require_dask()
        per_file = max(1, int(np.prod(shape, dtype=np.int64)) * 4)
        batch = int((chunks or {}).get("file") or max(1, min(256, (32 << 20) // per_file)))
    if first["kind"] == "spectrum" and len(paths) * 4 * int(first["npt"]) <= _SPECTRA_READ_AT_OPEN:
        data, all_attrs = _spectra_at_open(paths, request, template.spectral.values, gather_attrs)
        if parallel and chunks:
            import dask.array as da
            data = da.from_array(data, chunks=(batch,) + shape, name=False)
    else:
        sources, identities, all_attrs = _plan_files(paths, request, first, gather_attrs)
        if parallel:
            import dask
            import dask.array as da
            from dask.base import tokenize
            # Task names from everything that decides the values, as xarray's
            # backends name theirs: two stacks of the same files in other
            # batches (or of another block) share no key. The paths and
            # identities stand for the sources: tokenizing thousands of
            # sources would cost more than reading them.
            token = tokenize("vell-mfdataset", paths, identities, request, batch, shape)
            pieces = []
            for start in range(0, len(paths), batch):
                part = _Batch(sources[start:start + batch], shape)
                task = dask.delayed(_read_batch)(part, dask_key_name="vell-mfdataset-%s-%d" % (token, start))
                pieces.append(da.from_delayed(task, (len(part.sources),) + shape, dtype=np.float32))
            data = da.concatenate(pieces, axis=0)
        else:
            data = _read_sources(sources, shape)
    attrs = _merge_attrs(all_attrs, combine_attrs, paths) if gather_attrs else \
        ({} if combine_attrs == "drop" else template.attrs)
    if combine_attrs != "drop":
        attrs.update(_cf_globals(_what(variable.attrs, kinds.kind(first["kind"]), request),
                                 os.path.basename(paths[0]), len(paths)))
    coords: Dict[Hashable, Any] = dict(template.coords)
    if file_coords is not None:
        lifted = _file_coords(all_attrs, file_coords, paths)
        coords.update(lifted)
        attrs = {k: v for k, v in attrs.items() if k not in lifted}
    stacked = xr.Dataset({name: (dims, data, variable.attrs)}, coords=coords, attrs=attrs)
    return stacked.assign_coords(file=("file", np.array(paths, dtype=object)))


def require_dask() -> None:
    """Raise ImportError naming the extra to install when Dask is missing."""
    try:
        import dask.array  # noqa: F401
    except ImportError as error:
        raise ImportError("this needs Dask: install it with pip install \"vellkit[dask]\"") from error
