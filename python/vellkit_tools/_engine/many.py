"""The same data block of many files, stacked along a new ``file`` dimension."""

import os
import struct
from typing import Any, Callable, Dict, Hashable, List, Mapping, Optional, Sequence, Tuple

import numpy as np
import vellkit
import xarray as xr

from vellkit_tools import _native, kinds, remote
from vellkit_tools._engine.blocks import Block, _missing_block, _request, _shown, open_target, require_dask
from vellkit_tools._engine.dataset import (_BUILDERS, _attributes, _cf_globals, _what, dataset_from_plan)

_COMBINE_ATTRS = ("override", "drop", "drop_conflicts", "no_conflicts", "identical")


def _paths(paths: Any, storage_options: Optional[Mapping[str, Any]] = None) -> List[Any]:
    """What each file is read through: a local path (its name), or a byte
    source (a URL, a file object); a pattern's matches sorted."""
    if isinstance(paths, (str, os.PathLike)):
        pattern = os.fspath(paths)
        if remote.is_url(pattern):
            return [open_target(url, storage_options) for url in remote.expand_urls(pattern, storage_options)]
        import glob
        pattern = remote.local_path(pattern) or pattern
        found = sorted(glob.glob(pattern))
        if not found:
            raise OSError("no files match %s" % pattern)
        return found
    targets = [open_target(p, storage_options) for p in paths]
    if not targets:
        raise ValueError("open_mfdataset needs at least one path")
    return [t if isinstance(t, remote.ByteSource) else _shown(t) for t in targets]


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
                raise ValueError("%s: the 2D block holds %d values, not NPT = %d" % (_shown(path), len(values), npt))
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
            missing = _missing_block(path, request, _shown(paths[0]))
            if missing:
                raise ValueError(missing) from error
            raise
        if k and _fixed_axes(plan) != fixed:
            difference = _axes_difference(plan, first)
            raise ValueError("%s: %s from the first file's (%s)" % (_shown(path), difference, _shown(paths[0]))
                             if difference.startswith("coordinate") else
                             "%s: %s (%s)" % (_shown(path), difference, _shown(paths[0])))
        identities.append(plan["identity"])
        if spectrum:
            sources.append((path, plan["values_offset"], plan["npt"], plan["identity"]))
        else:
            built = build(path, plan, dict(plan["parameters"]), False)
            for coord, values in _read_coords(built.coords).items():
                if not _same(values, expected[coord]):
                    raise ValueError("%s: coordinate %s differs from the first file's (%s)"
                                     % (_shown(path), coord, _shown(paths[0])))
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
    from vellkit_tools.backend import VellBackendEntrypoint  # the entry point imports this module

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
                   file_coords: Optional[Any] = None,
                   storage_options: Optional[Mapping[str, Any]] = None) -> xr.Dataset:
    """Open the same data block of many VELL files, stacked along a new ``file`` dimension.

    ``paths`` is a glob pattern (its matches sorted) or a sequence of paths
    (kept in the given order). A pattern may be a URL (``s3://bucket/run/*.vell``,
    expanded by fsspec), and the sequence may hold URLs and open binary file
    objects; ``storage_options`` go to fsspec for the URLs. ``block`` (any request spelling) defaults to
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
    paths = _paths(paths, storage_options)
    names = [_shown(p) for p in paths]
    request = _request(paths[0], block)
    if preprocess is not None:
        if not callable(preprocess):
            raise TypeError("preprocess must be a function of a Dataset, not %s" % type(preprocess).__name__)
        stacked = _open_preprocessed(paths, request, parallel, chunks, combine_attrs, preprocess)
        if file_coords is not None:
            coords = _file_coords(_each_file_attrs(paths, request), file_coords, names)
            stacked = stacked.assign_coords(coords)
            stacked.attrs = {k: v for k, v in stacked.attrs.items() if k not in coords}
        return stacked.assign_coords(file=("file", np.array(names, dtype=object)))
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
    # (vellkit reads local files only: other files' spectra are planned like the other kinds.)
    if first["kind"] == "spectrum" and len(paths) * 4 * int(first["npt"]) <= _SPECTRA_READ_AT_OPEN and \
            not any(isinstance(p, remote.ByteSource) for p in paths):
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
            # batches (or of another block) share no key. The names (paths, URLs) and
            # identities stand for the sources: tokenizing thousands of
            # sources would cost more than reading them.
            token = tokenize("vell-mfdataset", names, identities, request, batch, shape)
            pieces = []
            for start in range(0, len(paths), batch):
                part = _Batch(sources[start:start + batch], shape)
                task = dask.delayed(_read_batch)(part, dask_key_name="vell-mfdataset-%s-%d" % (token, start))
                pieces.append(da.from_delayed(task, (len(part.sources),) + shape, dtype=np.float32))
            data = da.concatenate(pieces, axis=0)
        else:
            data = _read_sources(sources, shape)
    attrs = _merge_attrs(all_attrs, combine_attrs, names) if gather_attrs else \
        ({} if combine_attrs == "drop" else template.attrs)
    if combine_attrs != "drop":
        attrs.update(_cf_globals(_what(variable.attrs, kinds.kind(first["kind"]), request),
                                 os.path.basename(names[0]), len(paths)))
    coords: Dict[Hashable, Any] = dict(template.coords)
    if file_coords is not None:
        lifted = _file_coords(all_attrs, file_coords, names)
        coords.update(lifted)
        attrs = {k: v for k, v in attrs.items() if k not in lifted}
    stacked = xr.Dataset({name: (dims, data, variable.attrs)}, coords=coords, attrs=attrs)
    return stacked.assign_coords(file=("file", np.array(names, dtype=object)))
