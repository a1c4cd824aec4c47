"""Datasets from block plans: one builder per kind of ``kinds.KINDS``."""

import os
from typing import Any, Callable, Dict, Hashable, Mapping, Optional, Sequence, Tuple

import numpy as np
import xarray as xr
from xarray.core import indexing

from vellkit_tools import _native, kinds
from vellkit_tools._engine.blocks import _request, _shown
from vellkit_tools._engine.lazy import RecordArray, ValuesArray, _float64, _int64
from vellkit_tools.remote import ByteSource
from vellkit_tools.units import VALUE_UNITS, data_type_name, time_unit_cf, x_unit_cf, x_unit_long_name

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


def _labels(path: Any, plan: Mapping[str, Any], offsets: np.ndarray, info_size: int) -> xr.Variable:
    labels = _native.read_labels(path, offsets, plan["npt"], info_size, plan["identity"])
    return xr.Variable(("trace",), np.array(labels, dtype=object), {"long_name": "trace label"})


def _build_spectrum(path: Any, plan: Mapping[str, Any], parameters: Mapping[str, Any],
                    decode_timedelta: bool) -> _Built:
    array = ValuesArray(path, plan["values_offset"], plan["npt"], plan["identity"])
    return _Built(indexing.LazilyIndexedArray(array), {}, 0)


def _map_axes(grid: Mapping[str, Any]) -> Dict[Hashable, Any]:
    npx, npy = int(grid["npx"]), int(grid["npy"])
    x = np.linspace(grid["aox"], grid["aox"] + grid["ddx"] * (npx - 1), npx)
    y = np.linspace(grid["aoy"], grid["aoy"] + grid["ddy"] * (npy - 1), npy)
    return {"x": xr.Variable(("x",), x, {"long_name": "map x position"}),
            "y": xr.Variable(("y",), y, {"long_name": "map y position"})}


def _build_image_map(path: Any, plan: Mapping[str, Any], parameters: Mapping[str, Any],
                     decode_timedelta: bool) -> _Built:
    grid = plan["grid"]
    npx, npy, npt = int(grid["npx"]), int(grid["npy"]), int(plan["npt"])
    offsets, _ = _records(plan)
    if len(offsets) > npx * npy:
        raise ValueError("%s: the store table names %d records, more than the %d x %d map holds"
                         % (_shown(path), len(offsets), npx, npy))
    array = RecordArray(path, offsets, npt, (npy, npx), (npt,), plan["identity"])
    return _Built(indexing.LazilyIndexedArray(array), _map_axes(grid), 2)


def _build_image_traces(path: Any, plan: Mapping[str, Any], parameters: Mapping[str, Any],
                        decode_timedelta: bool) -> _Built:
    grid = plan["grid"]
    npx, npy, npt = int(grid["npx"]), int(grid["npy"]), int(plan["npt"])
    if npt != npx * npy:
        raise ValueError("%s: a trace map record holds NPT = %d values, not NPX x NPY = %d x %d"
                         % (_shown(path), npt, npx, npy))
    offsets, info_size = _records(plan)
    coords = _map_axes(grid)
    coords["trace"] = _labels(path, plan, offsets, info_size)
    array = RecordArray(path, offsets, npt, (len(offsets),), (npy, npx), plan["identity"])
    return _Built(indexing.LazilyIndexedArray(array), coords, 1)


def _build_series(path: Any, plan: Mapping[str, Any], parameters: Mapping[str, Any],
                  decode_timedelta: bool) -> _Built:
    offsets, _ = _records(plan)
    npt = int(plan["npt"])
    array = RecordArray(path, offsets, npt, (len(offsets),), (npt,), plan["identity"])
    return _Built(indexing.LazilyIndexedArray(array),
                  {"time": _series_times(path, plan, parameters, offsets, decode_timedelta)}, 1)


def _series_times(path: Any, plan: Mapping[str, Any], parameters: Mapping[str, Any], offsets: np.ndarray,
                  decode_timedelta: bool) -> xr.Variable:
    """A series' time coordinate: each record's info-record time."""
    times = _native.read_times(path, offsets, int(plan["npt"]), plan["identity"])
    attrs: Dict[str, Any] = dict(_TIME_ATTRS)
    text = parameters.get("ZTX")
    units = time_unit_cf(text)
    if isinstance(text, str) and text:
        attrs["ZTX"] = text  # the file's own words for the unit
    if units and decode_timedelta:
        times = (np.asarray(times) * (_NANOSECONDS[units])).astype("timedelta64[ns]")
    elif units:
        attrs["units"] = units
    return xr.Variable(("time",), times, attrs)


def _build_series_traces(path: Any, plan: Mapping[str, Any], parameters: Mapping[str, Any],
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


def _start_times(path: Any, plan: Mapping[str, Any], regions: Sequence[Mapping[str, Any]],
                 offsets: np.ndarray) -> Tuple[str, np.ndarray, Dict[str, str]]:
    """The start time of each position: its record's info-record time,
    unless the plan gives the region's times."""
    read = _native.read_times(path, offsets, int(plan["npt"]), plan["identity"]) \
        if any(r["start_time"] is None for r in regions) else np.zeros(len(offsets))
    times, at = [], 0
    for region in regions:
        n = len(_float64(region["map_x"]))
        times.append(read[at:at + n] if region["start_time"] is None else _float64(region["start_time"]))
        at += n
    return ("position", np.concatenate(times or [np.zeros(0)]), {"long_name": "acquisition start time"})


def _region_records(regions: Sequence[Mapping[str, Any]]) -> np.ndarray:
    """The record (map) or trace column (traces) of every position."""
    return np.concatenate([_int64(r["records"]) for r in regions] or [np.zeros(0, np.int64)])


def _build_multi_region(path: Any, plan: Mapping[str, Any], parameters: Mapping[str, Any],
                        decode_timedelta: bool) -> _Built:
    regions = plan["regions"]
    npt = int(plan["npt"])
    coords = _position_coords(regions)
    offsets = _records(plan)[0][_region_records(regions)]
    coords["start_time"] = _start_times(path, plan, regions, offsets)
    array = RecordArray(path, offsets, npt, (len(offsets),), (npt,), plan["identity"])
    return _Built(indexing.LazilyIndexedArray(array), coords, 1)


def _build_multi_region_traces(path: Any, plan: Mapping[str, Any], parameters: Mapping[str, Any],
                               decode_timedelta: bool) -> _Built:
    regions = plan["regions"]
    offsets, info_size = _records(plan)
    coords = _position_coords(regions)  # trace regions carry no times
    coords["trace"] = _labels(path, plan, offsets, info_size)
    columns = _region_records(regions)
    array = RecordArray(path, offsets, int(plan["npt"]), (len(offsets),), (len(columns),), plan["identity"],
                        point_map=columns)
    return _Built(indexing.LazilyIndexedArray(array), coords, 1)


_Builder = Callable[[Any, Mapping[str, Any], Mapping[str, Any], bool], _Built]
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
    # A local file is read by its name; anything else through its byte source.
    built = build(path if isinstance(path, ByteSource) else shown, plan, parameters, decode_timedelta)
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


def _drop(dataset: xr.Dataset, drop_variables: Optional[Any]) -> xr.Dataset:
    if not drop_variables:
        return dataset
    names = [drop_variables] if isinstance(drop_variables, str) else list(drop_variables)
    return dataset.drop_vars(names, errors="ignore")
