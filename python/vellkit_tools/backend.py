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

Coordinates: ``spectral`` (the block's x axis, with ``units`` and
``long_name`` from its ``DXU`` parameter), ``x`` and ``y`` (map axes),
``time`` (the series times), ``trace`` (trace labels) and, along
``position``, ``region``, ``group``, ``map_x``, ``map_y`` and ``start_time``.
Every parameter of the block is a Dataset attribute, and ``vellkit_block``
holds the request triple joined by spaces.

The data of image maps, trace maps and time-resolved blocks are lazily
indexed: opening reads the directory, the parameters and the store table
(plus times or labels, which are coordinates), and a selection reads only the
records and points it needs, through ``vellkit_tools._native`` (the same C++
core as ``vellkit``, reading without the GIL). 2D spectra and multi-region
blocks are small and are read whole with ``vellkit.getVellData``.
"""

import os
import re
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

import numpy as np

try:
    import xarray as xr
    from xarray.backends import BackendArray, BackendEntrypoint
    from xarray.core import indexing
except ImportError as error:  # pragma: no cover - exercised without xarray
    raise ImportError(
        "vellkit_tools.backend needs xarray: install it with pip install \"vellkit[xarray]\"") from error

import vellkit

from vellkit_tools import _native
from vellkit_tools.units import x_unit_label, x_unit_long_name

__all__ = ["VellBackendEntrypoint", "RecordArray", "open_block", "default_block", "open_dataset",
           "open_mfdataset", "require_dask"]

_MAGIC = b"\x0a\x0a\xfe\xfe"
_MAPPING_NAMES = ("AOX", "AOY", "DDX", "DDY", "NPX", "NPY")
_REGION_TITLE = re.compile(r"^Region (-?\d+) \(")

Block = Tuple[str, str, str]


def _shown(path: Any) -> str:
    return os.fsdecode(os.fspath(path))


def _naming_the_file(path: str, call: Any, *args: Any) -> Any:
    """``call(path, *args)`` of the ``vellkit`` module, its errors naming the file."""
    try:
        return call(path, *args)
    except (ValueError, KeyError, IndexError, TypeError, ZeroDivisionError) as error:
        text = error.args[0] if isinstance(error, KeyError) and error.args else error
        raise ValueError("%s: %s" % (path, text)) from error


def default_block(path: Any) -> Block:
    """The block a file opens with when none is named: the first that
    ``vellkit.listContents`` lists (its primary blocks come first)."""
    contents = _naming_the_file(_shown(path), vellkit.listContents)
    if not contents:
        raise ValueError("%s: the file holds no named data block" % _shown(path))
    name, dims, deriv = contents[0]
    # listContents names derivative code 3 "3DER"; getVellData asks for "NDER".
    return (name, dims, "NDER" if deriv == "3DER" else deriv)


def _request(block: Any) -> Block:
    try:
        name, dims, deriv = (str(word).upper() for word in block)
    except (TypeError, ValueError):
        raise ValueError("block must be a (data block type, dimensions, derivative) triple, "
                         "such as ('AB', '3D', 'NONE'); got %r" % (block,)) from None
    return name, dims, deriv


class RecordArray(BackendArray):
    """A lazily indexed array over the records of a 3D data block.

    The leading ``len(record_grid)`` axes pick a record (numbered row-major
    over ``record_grid``, in store-table order; numbers without a record
    read as 0.0), the others a point of that record (row-major over
    ``point_grid``). An indexing reads only the records selected and, in
    each, the span of points selected. Picklable: it holds the path and the
    record offsets, and opens the file for each read. ``identity`` (device,
    inode, size, modification time) is checked at each read: a file replaced
    or rewritten since it was opened raises OSError.
    """

    def __init__(self, path: str, offsets: np.ndarray, npt: int,
                 record_grid: Tuple[int, ...], point_grid: Tuple[int, ...],
                 identity: Optional[Tuple[int, int, int, int]] = None):
        self.path = path
        self.identity = identity
        self.offsets = np.ascontiguousarray(offsets, dtype=np.int64)
        self.npt = int(npt)
        self.record_grid = tuple(int(n) for n in record_grid)
        self.point_grid = tuple(int(n) for n in point_grid)
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


def _merged_parameters(blocks: Iterable[List[Tuple[str, Any]]]) -> Dict[str, Any]:
    parameters: Dict[str, Any] = {}
    for records in blocks:
        parameters.update(records)
    return parameters


def _need(parameters: Dict[str, Any], name: str, path: str) -> Any:
    try:
        return parameters[name]
    except KeyError:
        raise ValueError("%s: the block has no parameter %s" % (path, name)) from None


def _count(parameters: Dict[str, Any], name: str, path: str) -> int:
    value = _need(parameters, name, path)
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError("%s: parameter %s is %r, not a count" % (path, name, value))
    return value


def _spectral_axis(parameters: Dict[str, Any], path: str) -> xr.Variable:
    npt = _count(parameters, "NPT", path)
    axis = np.linspace(_need(parameters, "FXV", path), _need(parameters, "LXV", path), npt)
    return _axis_variable("spectral", axis, parameters.get("DXU"))


def _axis_variable(dim: str, values: np.ndarray, unit_code: Any) -> xr.Variable:
    attrs = {}
    label = x_unit_label(unit_code) if unit_code is not None else ""
    if label:
        attrs["units"] = label
    attrs["long_name"] = (x_unit_long_name(unit_code) if unit_code is not None else "") or "x axis"
    return xr.Variable((dim,), values, attrs)


def _attributes(parameters: Dict[str, Any], block: Block) -> Dict[str, Any]:
    attrs = {name: value for name, value in parameters.items()
             if name and isinstance(value, (str, int, float)) and not isinstance(value, bool)}
    attrs["vellkit_block"] = " ".join(block)
    return attrs


def _lazy(array: RecordArray) -> Any:
    return indexing.LazilyIndexedArray(array)


def open_block(path: Any, block: Optional[Any] = None) -> xr.Dataset:
    """The Dataset of one data block (``block`` a request triple; default
    :func:`default_block`), lazily indexed where the block kind allows."""
    shown = _shown(path)
    block = default_block(path) if block is None else _request(block)
    name, dims, deriv = block
    if dims == "2D":
        return _spectrum_dataset(shown, block)
    status = os.stat(shown)
    identity = (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)
    plan = _native.describe(shown, name, dims, deriv)
    plan["identity"] = identity
    parameters = _merged_parameters(plan["parameter_blocks"])
    _check_axes_fit(parameters, plan, shown)
    offsets = np.frombuffer(plan["record_offsets"], dtype=np.int64)
    trace = name == "TRC"
    if all(n in parameters for n in _MAPPING_NAMES):
        return _image_map_dataset(shown, block, plan, parameters, offsets, trace)
    if plan["annotation_offset"] != -1:
        return _multi_region_dataset(shown, block)
    return _time_resolved_dataset(shown, block, plan, parameters, offsets, trace)


def _check_axes_fit(parameters: Dict[str, Any], plan: Dict[str, Any], path: str) -> None:
    """Refuses axes that would take more memory than a read of the file may
    (a damaged NPT, NPX or NPY), before anything is allocated."""
    sizes = [parameters.get(n) for n in ("NPT", "NPX", "NPY")]
    if plan["original_parameters"]:
        original = dict(plan["original_parameters"])
        sizes += [original.get("NPX"), original.get("NPY")]
    values = sum(n for n in sizes if isinstance(n, int) and not isinstance(n, bool) and n > 0)
    needed = 8 * (values + len(plan["record_offsets"]) // 8)
    if needed > plan["memory_limit"]:
        raise ValueError("%s: the axes of the block (NPT, NPX, NPY) would take %d bytes, more than the "
                         "%d a read of this file may use" % (path, needed, plan["memory_limit"]))


def _spectrum_dataset(path: str, block: Block) -> xr.Dataset:
    result = _naming_the_file(path, vellkit.getVellData, block)
    parameters = dict(result.parameters)
    spectral = _axis_variable("spectral", result.x, parameters.get("DXU"))
    y = np.asarray(result.y)
    if len(y) != len(result.x):
        raise ValueError("%s: the 2D block holds %d values, not NPT = %d" % (path, len(y), len(result.x)))
    return xr.Dataset({"spectrum": (("spectral",), y)}, coords={"spectral": spectral},
                      attrs=_attributes(parameters, block))


def _mapping(parameters: Dict[str, Any], plan: Dict[str, Any], block: Block, path: str) -> Dict[str, Any]:
    values = {n: parameters[n] for n in _MAPPING_NAMES}
    if block[2] != "NONE" and (values["NPX"] == 0 or values["NPY"] == 0):
        # A derivative map may carry an empty grid; the grid of the same data
        # without derivative is the one that holds.
        if plan["original_parameters"] is None:
            raise ValueError("%s: the derivative map has an empty grid and no original mapping "
                             "parameters" % path)
        original = dict(plan["original_parameters"])
        values = {n: _need(original, n, path) for n in _MAPPING_NAMES}
        parameters.update(values)
    for n in ("NPX", "NPY"):
        _count(values, n, path)
    return values


def _image_map_dataset(path: str, block: Block, plan: Dict[str, Any], parameters: Dict[str, Any],
                       offsets: np.ndarray, trace: bool) -> xr.Dataset:
    grid = _mapping(parameters, plan, block, path)
    npx, npy = grid["NPX"], grid["NPY"]
    npt = _count(parameters, "NPT", path)
    spectral = _spectral_axis(parameters, path)
    x = np.linspace(grid["AOX"], grid["AOX"] + grid["DDX"] * (npx - 1), npx)
    y = np.linspace(grid["AOY"], grid["AOY"] + grid["DDY"] * (npy - 1), npy)
    coords: Dict[str, Any] = {"spectral": spectral, "x": ("x", x), "y": ("y", y)}
    if trace:
        if npt != npx * npy:
            raise ValueError("%s: a trace map record holds NPT = %d values, not NPX x NPY = %d x %d"
                             % (path, npt, npx, npy))
        labels = _native.read_labels(path, offsets, npt, plan["info_size"], plan["identity"])
        coords["trace"] = ("trace", np.array(labels, dtype=object))
        array = RecordArray(path, offsets, npt, (len(offsets),), (npy, npx), plan["identity"])
        data = {"traces": (("trace", "y", "x"), _lazy(array))}
    else:
        if len(offsets) > npx * npy:
            raise ValueError("%s: the store table names %d records, more than the %d x %d map holds"
                             % (path, len(offsets), npx, npy))
        array = RecordArray(path, offsets, npt, (npy, npx), (npt,), plan["identity"])
        data = {"spectra": (("y", "x", "spectral"), _lazy(array))}
    return xr.Dataset(data, coords=coords, attrs=_attributes(parameters, block))


def _time_resolved_dataset(path: str, block: Block, plan: Dict[str, Any], parameters: Dict[str, Any],
                           offsets: np.ndarray, trace: bool) -> xr.Dataset:
    npt = _count(parameters, "NPT", path)
    coords: Dict[str, Any] = {"spectral": _spectral_axis(parameters, path)}
    array = RecordArray(path, offsets, npt, (len(offsets),), (npt,), plan["identity"])
    if trace:
        labels = _native.read_labels(path, offsets, npt, plan["info_size"], plan["identity"])
        coords["trace"] = ("trace", np.array(labels, dtype=object))
        data = {"traces": (("trace", "spectral"), _lazy(array))}
    else:
        times = _native.read_times(path, offsets, npt, plan["identity"])
        time_attrs = {"long_name": "time"}
        if isinstance(parameters.get("ZTX"), str) and parameters["ZTX"]:
            time_attrs["units"] = parameters["ZTX"]  # as the file names them, e.g. "Seconds"
        coords["time"] = xr.Variable(("time",), times, time_attrs)
        data = {"spectra": (("time", "spectral"), _lazy(array))}
    return xr.Dataset(data, coords=coords, attrs=_attributes(parameters, block))


def _multi_region_dataset(path: str, block: Block) -> xr.Dataset:
    # Positions come from the annotation table, which only getVellData reads
    # today; multi-region blocks are small, so the block is read whole.
    result = _naming_the_file(path, vellkit.getVellData, block)
    parameters = dict(result.parameters)
    regions = list(result.regions)
    counts = [len(r.mapX) for r in regions]
    titles = np.array([r.title for r, n in zip(regions, counts) for _ in range(n)], dtype=object)
    groups = np.array([_region_group(r.title) for r, n in zip(regions, counts) for _ in range(n)],
                      dtype=np.int64)
    map_x = np.concatenate([r.mapX for r in regions]) if regions else np.zeros(0)
    map_y = np.concatenate([r.mapY for r in regions]) if regions else np.zeros(0)
    times = np.concatenate([r.start_time if r.start_time is not None else np.full(n, np.nan)
                            for r, n in zip(regions, counts)]) if regions else np.zeros(0)
    coords: Dict[str, Any] = {
        "spectral": _axis_variable("spectral", result.x, parameters.get("DXU")),
        "region": ("position", titles), "group": ("position", groups),
        "map_x": ("position", map_x), "map_y": ("position", map_y),
        "start_time": ("position", times),
    }
    if block[0] == "TRC":
        labels = list(result.labels)
        values = np.concatenate([r.spectra for r in regions]) if regions else \
            np.zeros((0, len(labels)), np.float32)
        coords["trace"] = ("trace", np.array(labels, dtype=object))
        data = {"traces": (("trace", "position"), values.T)}
    else:
        values = np.concatenate([r.spectra for r in regions]) if regions else \
            np.zeros((0, len(result.x)), np.float32)
        data = {"spectra": (("position", "spectral"), values)}
    return xr.Dataset(data, coords=coords, attrs=_attributes(parameters, block))


def _region_group(title: str) -> int:
    match = _REGION_TITLE.match(title)
    return int(match.group(1)) if match else -1


def _is_vell_file(filename_or_obj: Any) -> bool:
    try:
        with open(os.fspath(filename_or_obj), "rb") as f:
            return f.read(4) == _MAGIC
    except (TypeError, OSError, ValueError):
        return False


def _nothing_to_close() -> None:
    pass


class VellBackendEntrypoint(BackendEntrypoint):
    """``xarray.open_dataset(path, engine="vell", block=None)``: VELL data files.

    ``block`` is a request triple as ``vellkit.getVellData`` takes it; by
    default the first block ``vellkit.listContents`` lists. Files are
    recognised by their magic number, whatever their name.
    """

    description = "VELL spectrometer data files, read with vellkit"
    url = "https://pypi.org/project/vellkit/"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "block")

    def open_dataset(self, filename_or_obj: Any, *, drop_variables: Optional[Iterable[str]] = None,
                     block: Optional[Any] = None) -> xr.Dataset:
        if not isinstance(filename_or_obj, (str, bytes, os.PathLike)):
            raise TypeError("the vell engine opens files by path, not %s" % type(filename_or_obj).__name__)
        dataset = open_block(filename_or_obj, block)
        if drop_variables:
            dataset = dataset.drop_vars(list(drop_variables), errors="ignore")
        # Nothing stays open between reads; xarray still expects a closer.
        dataset.set_close(_nothing_to_close)
        return dataset

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        if not isinstance(filename_or_obj, (str, bytes, os.PathLike)):
            return False
        return _is_vell_file(filename_or_obj)


def open_dataset(path: Any, block: Optional[Any] = None, chunks: Optional[Any] = None,
                 **kwargs: Any) -> xr.Dataset:
    """Open one data block of a VELL file as an :class:`xarray.Dataset`.

    ``block`` is a request triple such as ``("AB", "3D", "NONE")``; by
    default the first block ``vellkit.listContents`` lists (primary data
    types first, in the order the file lists them). ``chunks`` as for
    :func:`xarray.open_dataset`: ``None`` gives lazily indexed numpy-backed
    variables, ``{}`` or ``{"y": 16}`` Dask arrays (needs the ``dask``
    extra). Other keywords go to :func:`xarray.open_dataset`.

    To compute on part of a big map, select first and chunk after:
    ``open_dataset(path).spectra.sel(spectral=slice(1700, 1600)).chunk({"y": 16})``
    reads only the band, chunk by chunk; chunking first may make Dask read
    whole chunks before it selects.
    """
    if chunks is not None:
        require_dask()
    return xr.open_dataset(path, engine=VellBackendEntrypoint, block=block, chunks=chunks, **kwargs)


def open_mfdataset(paths: Any, block: Optional[Any] = None, parallel: bool = True,
                   chunks: Optional[Dict[str, int]] = None) -> xr.Dataset:
    """Open the same data block of many VELL files, stacked along a new ``file`` dimension.

    ``paths`` is a glob pattern (its matches sorted) or a sequence of paths
    (kept in the given order). ``block`` defaults to the default block of the
    first file (see :func:`default_block`). The first file gives the
    coordinates and the attributes; every other file must have the same
    coordinates (axes, map grid, times, labels), else reading it raises
    ValueError naming it. A ``file`` coordinate names each file.

    With ``parallel=True`` (needs the ``dask`` extra) the data variable is a
    Dask array with one chunk per batch of files (``chunks={"file": n}``
    sets the batch size): nothing but the first file is read until it is
    computed, on the active ``dask.distributed`` client if there is one, else
    on Dask's default (threaded) scheduler. With ``parallel=False`` the
    files are read at once, one after the other, into one numpy array.

    ``xarray.open_mfdataset(paths, engine="vell", combine="nested",
    concat_dim="file")`` gives the same stack through xarray's general
    machinery (one Dataset per file), which costs some milliseconds per file.
    """
    if isinstance(paths, (str, os.PathLike)):
        import glob
        pattern = os.fspath(paths)
        paths = sorted(glob.glob(pattern))
        if not paths:
            raise OSError("no files match %s" % pattern)
    paths = [_shown(p) for p in paths]
    if not paths:
        raise ValueError("open_mfdataset needs at least one path")
    block = default_block(paths[0]) if block is None else _request(block)
    template = open_block(paths[0], block)
    (name, variable), = template.data_vars.items()
    shape, dims = variable.shape, ("file",) + variable.dims
    if parallel:
        require_dask()
        import dask
        import dask.array as da
        per_file = max(1, int(np.prod(shape, dtype=np.int64)) * 4)
        batch = int((chunks or {}).get("file") or max(1, min(256, (32 << 20) // per_file)))
        pieces = []
        for start in range(0, len(paths), batch):
            part = paths[start:start + batch]
            task = dask.delayed(_read_stack, pure=True)(part, block, paths[0])
            pieces.append(da.from_delayed(task, (len(part),) + shape, dtype=np.float32))
        data = da.concatenate(pieces, axis=0)
    else:
        data = _read_stack(paths, block, paths[0], template)
    stacked = xr.Dataset({name: (dims, data, variable.attrs)}, coords=template.coords, attrs=template.attrs)
    return stacked.assign_coords(file=("file", np.array(paths, dtype=object)))


def _same(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal shapes and values (NaN equal to NaN: the bytes are compared)."""
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if a.dtype.kind == "O":
        return a.tolist() == b.tolist()
    return a.tobytes() == b.tobytes()


def _read_stack(paths: Sequence[str], block: Block, first: str,
                template: Optional[xr.Dataset] = None) -> np.ndarray:
    """The data of ``paths`` stacked, each checked against the first file's coordinates."""
    if template is None:
        template = open_block(first, block)
    (name, variable), = template.data_vars.items()
    expected_axes = {c: template[c].values for c in template.coords}
    out = np.empty((len(paths),) + variable.shape, dtype=np.float32)
    for k, path in enumerate(paths):
        if path == first:
            out[k] = variable.values
            continue
        if block[1] == "2D":
            # The common case of many small spectra, without a Dataset each.
            result = _naming_the_file(path, vellkit.getVellData, block)
            axes = {"spectral": result.x}
            values = result.y
        else:
            ds = open_block(path, block)
            axes = {c: ds[c].values for c in ds.coords}
            values = ds[name].values
        for coord, axis in axes.items():
            if not _same(axis, expected_axes[coord]):
                raise ValueError("%s: coordinate %s differs from the first file's (%s)" % (path, coord, first))
        if values.shape != variable.shape:
            raise ValueError("%s: %s has shape %s, the first file's %s"
                             % (path, name, values.shape, variable.shape))
        out[k] = values
    return out


def require_dask() -> None:
    """Raise ImportError naming the extra to install when Dask is missing."""
    try:
        import dask.array  # noqa: F401
    except ImportError as error:
        raise ImportError("this needs Dask: install it with pip install \"vellkit[dask]\"") from error
