"""Output files of ``vellkit export``: one writer per format, each taking one result.

Which table a result becomes is the kind's export layout in
:mod:`vellkit_tools.kinds`; a result of any other kind is an error.

* CSV: RFC 4180 (fields with a comma, quote or line break quoted; CRLF line
  ends). The first line is the header row, every other line one data row, so
  ``pandas.read_csv(f)`` and ``numpy.loadtxt(f, delimiter=",", skiprows=1)``
  read every row. Line breaks in a column name (a trace label) are written
  as ``\\n`` / ``\\r`` so a row is always one line, and a name that
  starts like a spreadsheet formula (``=``, ``+``, ``-``, ``@``, tab, CR)
  gets a leading ``'`` so that it is shown, never run. What the table does not
  hold (file, block, kind, units, parameters, exact labels, region titles)
  goes to a sidecar ``NAME.csv.json``. Axis and map values are written with
  the digits that read back to the same float64 (Python's ``repr``), data
  values with 9 significant digits (exact for their float32 values).
* JSON: strict JSON; NaN and infinities are written as ``null``. Written as
  it goes (memory: the block's arrays and a constant); each array's shape
  is under ``shapes``, and an array without values is ``[]`` (a map of
  positions without points is not a list of empty lists per position).
* NPZ: the result's arrays, the parameters as JSON text.
* NetCDF: an attribute name NetCDF cannot hold everywhere (a ``.``, blank,
  ``/``, control character or NUL, anything but ASCII letters, digits and
  ``_``) is written as a safe name (``A_x2e_B``), and the attribute
  ``vellkit_names`` of the same variable or of the file maps each such name
  back to the file's own, as JSON (:func:`original_names`).

Regions are named by the file's group numbers everywhere (``group`` column,
``region10_spectra``, ``"group": 10``).
"""

import csv
import io
import json
import math
import os
import re
from collections import OrderedDict
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from .. import kinds
from .._text import inert_cell
from ..units import x_unit_label, x_unit_long_name

EXTENSIONS = {"csv": "csv", "npz": "npz", "netcdf": "nc", "zarr": "zarr", "json": "json"}
#: Formats written through the xarray layer, and how to install what each needs.
XARRAY_FORMATS = {"netcdf": 'pip install "vellkit[netcdf]"', "zarr": 'pip install "vellkit[zarr]"'}
IMAGE_EXTENSIONS = {"bmp": "bmp", "jpeg": "jpg", "png": "png", "gif": "gif", "tiff": "tif"}
#: The metadata file written beside a CSV file: ``NAME.csv`` + this.
SIDECAR_SUFFIX = ".json"


# ----------------------------------------------------------------------------
# Plain JSON values
# ----------------------------------------------------------------------------

def json_value(value: Any) -> Any:
    """A value as strict JSON holds it: NaN and infinities as None, bytes as Latin-1 text."""
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, (bool, int, str)) or value is None:
        return value
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("latin1")
    return str(value)


def json_array(values: Any) -> Any:
    """Nested lists of an array for strict JSON (NaN and infinities as None)."""
    values = np.asarray(values)
    if values.dtype.kind == "f" and values.size and not np.isfinite(values).all():
        holder = values.astype(object)
        holder[~np.isfinite(values)] = None
        return holder.tolist()
    if values.dtype.kind in "US":
        return [json_value(v) for v in values.ravel().tolist()] if values.ndim else json_value(values.item())
    return values.tolist()


def dumps(doc: Any, **options: Any) -> str:
    """Strict JSON text: a NaN that slipped through is an error, never a ``NaN`` token."""
    return json.dumps(doc, allow_nan=False, **options)


def display_name(path: str) -> str:
    """The file's name as text (bytes that are not UTF-8 as ``\\xff`` escapes)."""
    return os.fsencode(os.path.basename(path)).decode("utf-8", "backslashreplace")


# ----------------------------------------------------------------------------
# Regions: the file's group numbers
# ----------------------------------------------------------------------------

def region_groups(path: str, triple: Sequence[str], result: Any) -> List[int]:
    """The file's group number of each of ``result.regions``, in their order,
    from the reading core's region plan."""
    from .. import _native
    planned = _native.plan_block(path, tuple(triple))["regions"] or []
    if len(planned) != len(result.regions):
        raise ValueError("the region plan has %d regions, the block %d"
                         % (len(planned), len(result.regions)))
    return [int(r["group"]) for r in planned]


def region_keys(groups: Sequence[int]) -> List[str]:
    """Array-name prefixes of the regions: ``region10``; a group number the file
    repeats gets the region's position too (``region10_2``)."""
    keys, seen = [], set()
    for k, group in enumerate(groups):
        key = "region%d" % group
        if key in seen:
            key = "region%d_%d" % (group, k)
        seen.add(key)
        keys.append(key)
    return keys


# ----------------------------------------------------------------------------
# What a result is
# ----------------------------------------------------------------------------

def _x_info(result: Any) -> "OrderedDict[str, Any]":
    x = np.asarray(result.x, dtype=np.float64)
    params = result.parameters if isinstance(result.parameters, dict) else {}
    code = params.get("DXU")
    return OrderedDict([("points", int(x.size)),
                        ("first", json_value(x[0]) if x.size else None),
                        ("last", json_value(x[-1]) if x.size else None),
                        ("unit_code", json_value(code)), ("unit", x_unit_label(code)),
                        ("name", x_unit_long_name(code))])


def metadata(path: str, triple: Sequence[str], result: Any,
             groups: Optional[Sequence[int]] = None, damaged: Optional[str] = None
             ) -> "OrderedDict[str, Any]":
    """What an export says about its block besides the values (strict-JSON
    values); ``damaged``: what is wrong with a damaged block kept as read."""
    kind = kinds.kind_of_result(result)
    doc: "OrderedDict[str, Any]" = OrderedDict()
    doc["file"] = display_name(path)
    doc["block"] = list(kinds.output_block(triple))
    if damaged:
        doc["damaged"] = damaged
    doc["kind"] = kind.words
    doc["data_type"] = json_value(getattr(result, "dataType", None))
    doc["x"] = _x_info(result)
    if kind.traces:
        doc["labels"] = [str(s) for s in result.labels]
    if kind.export_layout == "regions":
        groups = region_groups(path, triple, result) if groups is None else groups
        doc["regions"] = [OrderedDict([("group", g), ("title", str(r.title)),
                                       ("positions", int(np.shape(r.mapX)[0]))])
                          for g, r in zip(groups, result.regions)]
    doc["parameters"] = OrderedDict((str(k), json_value(v)) for k, v in result.parameters.items())
    return doc


# ----------------------------------------------------------------------------
# Names NetCDF cannot hold
# ----------------------------------------------------------------------------

#: The attribute mapping the safe names written to NetCDF to the file's own.
NAMES_ATTRIBUTE = "vellkit_names"
_NETCDF_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_UNSAFE_NAME_CHAR = re.compile(r"[^A-Za-z0-9_]")


def _safe_name(name: str) -> str:
    def code(match: "re.Match[str]") -> str:
        point = ord(match.group(0))
        return "_x%02x_" % point if point < 0x100 else "_u%04x_" % point
    safe = _UNSAFE_NAME_CHAR.sub(code, name) or "_"
    return "_" + safe if safe[0].isdigit() else safe


def _safe_attrs(attrs: Dict[Any, Any]) -> Dict[Any, Any]:
    """``attrs`` with every name NetCDF cannot hold replaced by a safe one,
    and the map back to the file's names under :data:`NAMES_ATTRIBUTE`."""
    if all(_NETCDF_NAME.match(str(k)) and k != NAMES_ATTRIBUTE for k in attrs):
        return attrs
    out: Dict[Any, Any] = {}
    mapped: "OrderedDict[str, str]" = OrderedDict()
    taken = {str(k) for k in attrs} | {NAMES_ATTRIBUTE}
    for key, value in attrs.items():
        name = str(key)
        if _NETCDF_NAME.match(name) and name != NAMES_ATTRIBUTE:
            out[name] = value
            continue
        safe, n = _safe_name(name), 1
        while safe in taken:  # a name of the file's own, or another mapped one
            safe, n = "%s_%d" % (_safe_name(name), n), n + 1
        taken.add(safe)
        mapped[safe] = name
        out[safe] = value
    out[NAMES_ATTRIBUTE] = json.dumps(mapped)  # ASCII: \u escapes for the rest
    return out


def netcdf_safe(dataset: Any) -> Any:
    """``dataset`` with the attribute names of the file and of every
    variable that NetCDF cannot hold mapped (see the module's notes); the
    values are unchanged."""
    dataset = dataset.copy(deep=False)
    dataset.attrs = _safe_attrs(dataset.attrs)
    for variable in dataset.variables.values():
        variable.attrs = _safe_attrs(variable.attrs)
    return dataset


def original_names(attrs: Dict[str, Any]) -> Dict[str, Any]:
    """The attributes of a NetCDF export under the file's own names (the
    inverse of the mapping :func:`netcdf_safe` made)."""
    attrs = dict(attrs)
    mapped = json.loads(attrs.pop(NAMES_ATTRIBUTE, "{}"))
    return {mapped.get(k, k): v for k, v in attrs.items()}


# ----------------------------------------------------------------------------
# Tables (CSV)
# ----------------------------------------------------------------------------

class Table(NamedTuple):
    names: List[str]  # column names, coordinates first
    coordinates: List[Any]  # per coordinate column: an array (float64, or int) or a _Grid
    values: np.ndarray  # (rows, len(names) - len(coordinates))


class _Grid(object):
    """A map coordinate column, row after row of the map (x varies fastest),
    made a slice at a time: never the whole column in memory."""

    dtype = np.dtype(np.float64)

    def __init__(self, map_x: np.ndarray, map_y: np.ndarray, axis: int) -> None:
        self.map_x, self.map_y, self.axis = map_x, map_y, axis

    def __len__(self) -> int:
        return self.map_x.size * self.map_y.size

    def __getitem__(self, rows: slice) -> np.ndarray:
        k = np.arange(*rows.indices(len(self)))
        if self.axis == 0:
            return self.map_x[k % self.map_x.size] if self.map_x.size else k * 0.0
        return self.map_y[k // self.map_x.size] if self.map_x.size else k * 0.0


def _axis_names(x: np.ndarray) -> List[str]:
    return [repr(float(v)) for v in np.asarray(x, dtype=np.float64)]


def _x_column(result: Any) -> str:
    unit = x_unit_label(result.parameters.get("DXU")) if isinstance(result.parameters, dict) else ""
    return "x (%s)" % unit if unit else "x"


def table(path: str, triple: Sequence[str], result: Any,
          groups: Optional[Sequence[int]] = None) -> Table:
    """``result`` laid out as a table, by its kind's export layout.

    ``columns``: x beside one column per spectrum or trace (a block cut short
    by the end of the file has a row for each value it holds); ``map``: one
    row per map position (map_x, map_y, then one column per x point or
    trace); ``series``: one row per time step; ``regions``: one row per
    position (group, map_x, map_y, start_time when the file has times).
    """
    kind = kinds.kind_of_result(result)
    layout = kind.export_layout
    x = np.asarray(result.x, dtype=np.float64)
    if layout == "columns":
        if kind.traces:
            labels = [str(s) for s in result.labels]
            values = np.asarray(result.traces).reshape(len(labels), -1).T
        else:
            labels = [str(result.dataType)]
            values = np.asarray(result.y).reshape(-1, 1)
        rows = min(x.size, values.shape[0])
        return Table([_x_column(result)] + labels, [x[:rows]], values[:rows])
    if layout == "map":
        map_x, map_y = np.asarray(result.mapX, np.float64), np.asarray(result.mapY, np.float64)
        if kind.traces:
            names = [str(s) for s in result.labels]
            values = np.asarray(result.traces)
        else:
            names = _axis_names(x)
            values = np.asarray(result.spectra)
        values = values.reshape(map_x.size * map_y.size, len(names))
        return Table(["map_x", "map_y"] + names, [_Grid(map_x, map_y, 0), _Grid(map_x, map_y, 1)],
                     values)
    if layout == "series":
        z = np.asarray(result.z, np.float64)
        return Table(["time"] + _axis_names(x), [z], np.asarray(result.spectra).reshape(z.size, x.size))
    if layout == "regions":
        regions = list(result.regions)
        groups = region_groups(path, triple, result) if groups is None else groups
        names = [str(s) for s in result.labels] if kind.traces else _axis_names(x)
        with_times = any(r.start_time is not None for r in regions)
        columns: List[List[np.ndarray]] = [[], [], [], []]
        values = []
        for group, region in zip(groups, regions):
            map_x = np.asarray(region.mapX, np.float64)
            n = map_x.size
            columns[0].append(np.full(n, group, dtype=np.int64))
            columns[1].append(map_x)
            columns[2].append(np.asarray(region.mapY, np.float64))
            columns[3].append(np.full(n, np.nan) if region.start_time is None
                              else np.asarray(region.start_time, np.float64))
            values.append(np.asarray(region.spectra).reshape(n, len(names)))
        joined = [np.concatenate(c) if c else np.zeros(0) for c in columns]
        data = np.concatenate(values) if values else np.zeros((0, len(names)), np.float32)
        coordinate_names = ["group", "map_x", "map_y"] + (["start_time"] if with_times else [])
        return Table(coordinate_names + names, joined[:len(coordinate_names)], data)
    raise ValueError("kind %r has no export layout %r" % (kind.name, layout))


def _one_line(name: str) -> str:
    return name.replace("\r", "\\r").replace("\n", "\\n")


def header(t: Table) -> List[str]:
    """The header row: one line per name, and a name a spreadsheet would
    take for a formula made inert (the sidecar keeps the exact labels)."""
    return [inert_cell(_one_line(n)) for n in t.names]


def _number_texts(column: np.ndarray) -> List[str]:
    if column.dtype.kind in "iu":
        return [str(v) for v in column.tolist()]
    return [repr(v) for v in np.asarray(column, np.float64).tolist()]


#: Rows turned into text at a time: memory beyond the block's arrays stays a
#: constant, and Ctrl-C is seen between slices.
_CSV_ROWS = 1 << 12


def write_csv(out: str, path: str, triple: Sequence[str], result: Any,
              t: Optional[Table] = None) -> None:
    """The CSV table of ``result`` (its sidecar is written by :func:`csv_sidecar`),
    written a slice of rows at a time."""
    t = table(path, triple, result) if t is None else t
    value_format = "%.9g" if t.values.dtype.itemsize <= 4 else "%r"
    width = t.values.shape[1]
    row_format = ",".join([value_format] * width)
    with open(out, "w", newline="", encoding="utf-8") as f:
        csv.writer(f, lineterminator="\r\n").writerow(header(t))
        for start in range(0, t.values.shape[0], _CSV_ROWS):
            rows = slice(start, start + _CSV_ROWS)
            coordinates = [_number_texts(c[rows]) for c in t.coordinates]
            values = t.values[rows]
            buffer = io.StringIO()
            for k, row in enumerate(values.tolist() if value_format == "%r" else values):
                lead = ",".join(c[k] for c in coordinates)  # every layout has coordinates
                buffer.write(lead + ("," + row_format % tuple(row) if width else "") + "\r\n")
            f.write(buffer.getvalue())


def csv_sidecar(path: str, triple: Sequence[str], result: Any, t: Optional[Table] = None,
                damaged: Optional[str] = None) -> str:
    """The JSON text written beside a CSV export: its columns and what they come from."""
    doc = metadata(path, triple, result, damaged=damaged)
    t = table(path, triple, result) if t is None else t
    doc["columns"] = header(t)  # as in the header row; "labels" holds them exact
    doc["coordinate_columns"] = len(t.coordinates)
    doc["rows"] = int(t.values.shape[0])
    return dumps(doc, indent=2) + "\n"


# ----------------------------------------------------------------------------
# Arrays (NPZ, JSON)
# ----------------------------------------------------------------------------

def arrays(path: str, triple: Sequence[str], result: Any,
           groups: Optional[Sequence[int]] = None) -> "OrderedDict[str, np.ndarray]":
    """The named arrays of a result, as stored in NPZ files and under JSON's ``data``."""
    kind = kinds.kind_of_result(result)
    out: "OrderedDict[str, np.ndarray]" = OrderedDict()
    out["x"] = np.asarray(result.x)
    if kind.export_layout != "regions":
        for name, attr in (("y", "y"), ("map_x", "mapX"), ("map_y", "mapY"), ("z", "z"),
                           ("spectra", "spectra"), ("traces", "traces")):
            if hasattr(result, attr):
                out[name] = np.asarray(getattr(result, attr))
    if kind.traces:
        out["labels"] = np.array([str(s) for s in result.labels], dtype=str)
    if kind.export_layout == "regions":
        regions = list(result.regions)
        groups = region_groups(path, triple, result) if groups is None else groups
        out["region_groups"] = np.array(groups, dtype=np.int64)
        out["region_titles"] = np.array([str(r.title) for r in regions], dtype=str)
        values = "traces" if kind.traces else "spectra"
        for key, region in zip(region_keys(groups), regions):
            out[key + "_map_x"] = np.asarray(region.mapX)
            out[key + "_map_y"] = np.asarray(region.mapY)
            if region.start_time is not None:
                out[key + "_start_time"] = np.asarray(region.start_time)
            out[key + "_" + values] = np.asarray(region.spectra)
    return out


def write_npz(out: str, path: str, triple: Sequence[str], result: Any,
              damaged: Optional[str] = None) -> None:
    data = arrays(path, triple, result)
    data["block"] = np.array(list(kinds.output_block(triple)), dtype=str)
    if damaged:
        data["damaged"] = np.array(damaged)
    data["parameters_json"] = np.array(dumps(metadata(path, triple, result)["parameters"]))
    with open(out, "wb") as f:
        np.savez(f, **data)


#: Values turned into JSON text at a time: memory beyond the arrays stays a
#: constant, and Ctrl-C is seen between slices.
_JSON_SLICE = 1 << 16


def _write_json_array(f: Any, values: np.ndarray) -> None:
    """``values`` as nested JSON lists, a slice at a time; an array without
    values as ``[]`` whatever its shape (its shape is under ``shapes``)."""
    if values.ndim == 0:
        f.write(dumps(json_array(values)))
    elif values.size == 0:
        f.write("[]")
    elif values.ndim <= 2:  # slices of whole rows
        step = max(1, _JSON_SLICE // (values.size // values.shape[0]))
        f.write("[")
        for start in range(0, values.shape[0], step):
            if start:
                f.write(",")
            f.write(dumps(json_array(values[start:start + step]))[1:-1])
        f.write("]")
    else:
        f.write("[")
        for k in range(values.shape[0]):
            if k:
                f.write(",")
            _write_json_array(f, values[k])
        f.write("]")


def write_json(out: str, path: str, triple: Sequence[str], result: Any,
               damaged: Optional[str] = None) -> None:
    """One JSON document: the metadata, ``shapes`` (each array's shape) and
    ``data`` (each array as nested lists), written as it goes."""
    groups = (region_groups(path, triple, result)
              if kinds.kind_of_result(result).export_layout == "regions" else None)
    doc = metadata(path, triple, result, groups, damaged)
    data = arrays(path, triple, result, groups)
    doc["shapes"] = OrderedDict((name, list(np.shape(values))) for name, values in data.items())
    head = dumps(doc)
    with open(out, "w", encoding="utf-8") as f:
        f.write(head[:-1] + ', "data": {')
        for k, (name, values) in enumerate(data.items()):
            f.write("%s%s: " % (", " if k else "", dumps(name)))
            _write_json_array(f, np.asarray(values))
        f.write("}}")


WRITERS: Dict[str, Callable[..., None]] = {
    "csv": write_csv, "npz": write_npz, "json": write_json}


# ----------------------------------------------------------------------------
# Visible images
# ----------------------------------------------------------------------------

def image_outputs(stem: str, number: int, image: Dict[str, Any]) -> Tuple[str, str]:
    """(picture file name or "", attribute JSON file name) of a visible image."""
    base = "%s_image%02d" % (stem, number)
    picture = ""
    if "image" in image:
        picture = base + "." + IMAGE_EXTENSIONS.get(str(image.get("imgext")), "bin")
    return picture, base + ".json"


def image_attributes(image: Dict[str, Any]) -> str:
    return dumps(OrderedDict((str(k), json_value(v)) for k, v in image.items() if k != "image"),
                 indent=2)
