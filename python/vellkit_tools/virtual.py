"""Virtual Zarr stores of VELL files: chunk references into the files themselves.

:class:`VellParser` is a parser for VirtualiZarr (``parser(url, registry) ->
ManifestStore``)::

    from obspec_utils.registry import ObjectStoreRegistry
    from obstore.store import LocalStore
    from virtualizarr import open_virtual_dataset
    from vellkit_tools.virtual import VellParser

    registry = ObjectStoreRegistry({"file:///": LocalStore()})
    url = "file:///data/map.vell"
    vds = open_virtual_dataset(url, registry=registry, parser=VellParser())
    vds = open_virtual_dataset(url, registry=registry, parser=VellParser(),
                               loadable_variables=in_memory_variables(vds))
    refs = kerchunk_references(vds)

(``VellParser().virtual_dataset(url, registry)`` gives the second Dataset in
one step, as ``vellkit virtualize`` does.)

The parser reads only the file's headers, store tables, times and labels
(through the registry's store, each range on the condition that the object
is the one it first saw), and maps them to the same names, dimensions and
CF metadata as the xarray engine (``xr.open_dataset(path, engine="vell")``):

* the root group holds the file's default block (or ``VellParser(block=...)``),
  so ``open_virtual_dataset`` gives what ``open_dataset`` gives;
* one sub-group per data block, named as ``open_datatree`` names its nodes
  (``AB_3D_NONE``, ``AB_3D_1DER``, ...), for ``open_virtual_datatree``
  (visible images and annotation tables are not data blocks: not included).

The values of each record are one chunk: a reference to ``npt``
little-endian float32 values at the record's offset (chunk shape ``(1, ...,
npt)``; a trace map's record is one ``(1, y, x)`` chunk, a 2D spectrum one
chunk of all its values). Positions of a map that no record reaches are
missing chunks and read as the fill value, 0.0, as the engine reads them.

Everything that is not record values (the axes, times, trace labels,
region positions and titles) is computed or read at parse time and served
from memory (an in-memory store registered beside the caller's), as are the
values of multi-region traces whose positions are not the records' points in
order (they cannot be expressed as whole-record references: the group's
``vellkit_virtual`` attribute says which variables were loaded). Pass the
names in :func:`in_memory_variables` as ``loadable_variables`` (the
``virtualize`` command does) before writing references to Kerchunk or
Icechunk, so that they are inlined, not referenced.

A record cut short by the end of the file reads as zeros past the end in the
engine; references cannot say that, so such a file is refused (ValueError
naming it). Open the written stores with ``decode_timedelta=False`` to keep
a series' times as the numbers the engine gives.

Kerchunk references are Zarr version 2, where xarray takes an array's fill
value for a missing-value marker: the 0.0 of the values would turn every
measured zero into NaN. :func:`kerchunk_references` gives the references
with no fill value on the values (missing chunks still read as 0.0); write
them with ``json.dump`` or ``kerchunk.df.refs_to_dataframe``. (Zarr version 3
stores, Icechunk's, keep 0.0: xarray does not mask with it.)
"""

import contextlib
import json
import os
import uuid
import warnings
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple
from urllib.parse import unquote, urlparse

import numpy as np

from vellkit_tools import _native, kinds
# The names, dimensions and CF metadata are the xarray engine's own.
from vellkit_tools._engine.dataset import (_attributes, _axis_variable, _cf_globals, _labels, _map_axes,
                                           _position_coords, _records, _region_records, _series_times,
                                           _start_times, _value_attrs, _what)
from vellkit_tools.remote import ObstoreSource

__all__ = ["VellParser", "in_memory_variables", "kerchunk_references", "VIRTUAL_ATTR"]

Block = Tuple[str, str, str]

#: The group attribute that says what is referenced and what was loaded.
VIRTUAL_ATTR = "vellkit_virtual"

#: Bytes of one value of a record.
_VALUE_SIZE = np.dtype("<f4").itemsize


def _import_virtualizarr() -> Any:
    try:
        import virtualizarr  # noqa: F401
        from virtualizarr.manifests import ChunkManifest, ManifestArray, ManifestGroup, ManifestStore
        from virtualizarr.manifests.utils import create_v3_array_metadata
    except ImportError as error:  # pragma: no cover - exercised without the extra
        raise ImportError("vellkit_tools.virtual needs VirtualiZarr: install it with "
                          "pip install \"vellkit[virtual]\"") from error
    return ChunkManifest, ManifestArray, ManifestGroup, ManifestStore, create_v3_array_metadata


def _name_of(url: str) -> str:
    return os.path.basename(unquote(urlparse(url).path)) or url


class _Memory:
    """Small arrays encoded by zarr itself and kept in one in-memory object
    store, registered under a URL of its own for the ManifestStore to read."""

    def __init__(self) -> None:
        from obstore.store import MemoryStore

        self.store = MemoryStore()
        self.prefix = "memory://vellkit-%s/" % uuid.uuid4().hex
        self.count = 0

    def array(self, dims: Sequence[str], values: np.ndarray, attrs: Mapping[str, Any]) -> Any:
        import zarr

        chunk_manifest, manifest_array = _import_virtualizarr()[:2]
        text = values.dtype.kind in "OUT"
        held: Dict[str, Any] = {}
        kept = zarr.storage.MemoryStore(store_dict=held)
        fill = "" if text else 0
        encoded = zarr.create_array(kept, shape=values.shape, dtype=str if text else values.dtype,
                                    chunks=values.shape or (1,), compressors=None, filters=None, fill_value=fill,
                                    dimension_names=tuple(dims), attributes=dict(attrs),
                                    config={"write_empty_chunks": True})
        encoded[...] = values
        key = "a%d" % self.count
        self.count += 1
        grid = tuple(1 if n else 0 for n in values.shape)
        chunk = held.get("c" + "/0" * values.ndim)  # one chunk holds it all
        if chunk is None:  # an empty array: no chunk at all
            empty = np.zeros(grid, dtype=np.uint64)
            manifest = chunk_manifest.from_arrays(paths=np.full(grid, "", dtype=np.dtypes.StringDType()),
                                                  offsets=empty, lengths=empty, validate_paths=False)
        else:
            data = chunk.to_bytes()
            self.store.put(key, data)
            manifest = chunk_manifest(entries={".".join("0" * values.ndim): {
                "path": self.prefix + key, "offset": 0, "length": len(data)}})
        return manifest_array(metadata=encoded.metadata, chunkmanifest=manifest)


def _group_attrs(parameters: Mapping[str, Any], request: Sequence[str], kind: kinds.Kind,
                 value_attrs: Mapping[str, Any], source: str) -> Dict[str, Any]:
    attrs = _attributes(parameters, request)
    attrs.update(_cf_globals(_what(value_attrs, kind, request), source))
    return attrs


class _Block:
    """The variables of one data block as zarr arrays: references to the
    file's records for the values, in-memory arrays for the rest.

    Its reads name no identity to check: every range of the one source
    they share is fetched on the condition that the object is the one it
    opened (its ETag), so a second request to ask again would check nothing more.
    """

    def __init__(self, url: str, source: ObstoreSource, plan: Mapping[str, Any]) -> None:
        self.url = url
        self.source = source
        self.plan = plan
        self.unchecked = dict(plan, identity=None)  # for the engine's reads: see above
        self.kind = kinds.kind(plan["kind"])
        self.parameters = dict(plan["parameters"])
        self.npt = int(plan["npt"])
        self.arrays: Dict[str, Any] = {}  # referenced: name -> ManifestArray
        self.plain: Dict[str, Tuple[Sequence[str], np.ndarray, Mapping[str, Any]]] = {}  # in memory
        self.coords: List[str] = []
        self.loaded: List[str] = []

    # -- small arrays ---------------------------------------------------------------

    def coord(self, name: str, dims: Sequence[str], values: Any, attrs: Mapping[str, Any]) -> None:
        values = np.asarray(values)
        if values.dtype.kind == "O":  # text: as zarr gives it back
            values = values.astype(np.dtypes.StringDType())
        self.plain[name] = (tuple(dims), values, dict(attrs))
        self.coords.append(name)

    def coords_of(self, coords: Mapping[Any, Any]) -> None:
        """The engine's coordinates (Variables or (dims, values, attrs)) as in-memory arrays."""
        for name, coord in coords.items():
            if isinstance(coord, tuple):
                self.coord(str(name), (coord[0],) if isinstance(coord[0], str) else coord[0], coord[1], coord[2])
            else:
                self.coord(str(name), coord.dims, coord.values, coord.attrs)

    def spectral(self) -> None:
        fxv, lxv, npt = self.plan["x"]
        self.coords_of({"spectral": _axis_variable("spectral", np.linspace(fxv, lxv, int(npt)),
                                                   self.parameters.get("DXU"))})

    def map_axes(self) -> None:
        self.coords_of(_map_axes(self.plan["grid"]))

    def labels(self, offsets: np.ndarray, info_size: int) -> None:
        self.coords_of({"trace": _labels(self.source, self.unchecked, offsets, info_size)})

    def positions(self, regions: Sequence[Mapping[str, Any]]) -> None:
        self.coords_of(_position_coords(regions))

    # -- the values -----------------------------------------------------------------

    def check_within(self, offsets: np.ndarray, length: int) -> None:
        """Refuse records that end past the end of the file: the reader gives
        zeros there, a reference would give a short read."""
        size = int(self.plan["file_size"])
        if len(offsets) and (int(offsets.min()) < 0 or int(offsets.max()) > size - length):
            cut = int(np.argmax((offsets < 0) | (offsets > size - length)))
            raise ValueError("%s: record %d (at byte %d, %d bytes) is cut short by the end of the file "
                             "(%d bytes); its values cannot be referenced"
                             % (self.url, cut, int(offsets[cut]), length, size))

    def references(self, shape: Tuple[int, ...], chunk: Tuple[int, ...], offsets: np.ndarray) -> None:
        """The data variable: one chunk per record, ``offsets`` in chunk-grid
        row-major order (fewer than the grid holds: the rest are missing)."""
        chunk_manifest, manifest_array, _, _, metadata_of = _import_virtualizarr()
        length = int(np.prod(chunk)) * _VALUE_SIZE
        self.check_within(offsets, length)
        grid = tuple(s // c for s, c in zip(shape, chunk))
        count = int(np.prod(grid, dtype=np.int64))
        # A reference takes more memory than a record's values may (a path,
        # an offset and a length per position): bound it as the reader's reads are.
        needed = count * (32 + len(self.url))
        limit = int(self.plan["memory_limit"])
        if limit and needed > limit:
            raise MemoryError("%s: the references of its %d chunks need %d bytes of memory, past the limit of "
                              "%d bytes; set VELLKIT_MEMORY_LIMIT to a larger size to virtualize it"
                              % (self.url, count, needed, limit))
        paths = np.full(count, "", dtype=np.dtypes.StringDType())
        at = np.zeros(count, dtype=np.uint64)
        lengths = np.zeros(count, dtype=np.uint64)
        paths[:len(offsets)] = self.url
        at[:len(offsets)] = offsets
        lengths[:len(offsets)] = length
        manifest = chunk_manifest.from_arrays(paths=paths.reshape(grid), offsets=at.reshape(grid),
                                              lengths=lengths.reshape(grid), validate_paths=False)
        metadata = metadata_of(shape=shape, data_type=np.dtype("float32"), chunk_shape=chunk, fill_value=0.0,
                               codecs=[{"name": "bytes", "configuration": {"endian": "little"}}],
                               attributes=_value_attrs(self.plan["request"]),
                               dimension_names=self.kind.dims)
        self.arrays[self.kind.variable] = manifest_array(metadata=metadata, chunkmanifest=manifest)

    def build(self) -> None:
        plan, npt, name = self.plan, self.npt, self.kind.name
        if "spectral" in self.kind.dims:
            self.spectral()
        if name == "spectrum":
            self.references((npt,), (npt,), np.array([plan["values_offset"]], dtype=np.int64))
        elif name == "image_map":
            self.map_axes()
            grid = plan["grid"]
            npx, npy = int(grid["npx"]), int(grid["npy"])
            offsets, _ = _records(plan)
            if len(offsets) > npx * npy:
                raise ValueError("%s: the store table names %d records, more than the %d x %d map holds"
                                 % (self.url, len(offsets), npx, npy))
            self.references((npy, npx, npt), (1, 1, npt), offsets)
        elif name == "image_traces":
            grid = plan["grid"]
            npx, npy = int(grid["npx"]), int(grid["npy"])
            if npt != npx * npy:
                raise ValueError("%s: a trace map record holds NPT = %d values, not NPX x NPY = %d x %d"
                                 % (self.url, npt, npx, npy))
            self.map_axes()
            offsets, info_size = _records(plan)
            self.labels(offsets, info_size)
            self.references((len(offsets), npy, npx), (1, npy, npx), offsets)
        elif name == "series":
            offsets, _ = _records(plan)
            self.coords_of({"time": _series_times(self.source, self.unchecked, self.parameters, offsets, False)})
            self.references((len(offsets), npt), (1, npt), offsets)
        elif name == "series_traces":
            offsets, info_size = _records(plan)
            self.labels(offsets, info_size)
            self.references((len(offsets), npt), (1, npt), offsets)
        elif name == "multi_region":
            regions = plan["regions"]
            self.positions(regions)
            offsets = _records(plan)[0][_region_records(regions)]
            self.coords_of({"start_time": _start_times(self.source, self.unchecked, regions, offsets)})
            self.references((len(offsets), npt), (1, npt), offsets)
        elif name == "multi_region_traces":
            regions = plan["regions"]
            self.positions(regions)
            offsets, info_size = _records(plan)
            self.labels(offsets, info_size)
            columns = _region_records(regions)
            if np.array_equal(columns, np.arange(npt)):
                self.references((len(offsets), npt), (1, npt), offsets)
            else:
                self.load_traces(offsets, columns)
        else:  # pragma: no cover - every kind of kinds.KINDS has a branch
            raise ValueError("%s: no virtual layout for a block of kind %s" % (self.url, name))

    def load_traces(self, offsets: np.ndarray, columns: np.ndarray) -> None:
        """Positions that pick points out of each trace record in another
        order: no whole-record reference expresses them, so the values are
        read now (as the engine reads them) and served from memory."""
        if len(offsets) and len(columns):
            first, span = int(columns.min()), int(columns.max()) - int(columns.min()) + 1
            order = np.argsort(offsets, kind="stable")
            read = _native.read_points(self.source, offsets[order], self.npt, first, span, None)
            rows = np.empty_like(read)
            rows[order] = read
            values = rows[:, columns - first]
        else:
            values = np.zeros((len(offsets), len(columns)), dtype=np.float32)
        variable = self.kind.variable
        self.plain[variable] = (self.kind.dims, values.astype(np.float32), _value_attrs(self.plan["request"]))
        self.loaded.append(variable)

    def attrs(self) -> Dict[str, Any]:
        attrs = _group_attrs(self.parameters, self.plan["request"], self.kind,
                             _value_attrs(self.plan["request"]), _name_of(self.url))
        attrs[VIRTUAL_ATTR] = ("values loaded at parse time and held in memory: %s" % ", ".join(self.loaded)
                               if self.loaded else "values referenced, one chunk per record")
        return attrs

    def group(self, memory: _Memory) -> Any:
        """The block as a zarr group, the in-memory arrays served by ``memory``."""
        manifest_group = _import_virtualizarr()[2]
        arrays = dict(self.arrays)
        for name, (dims, values, attrs) in self.plain.items():
            arrays[name] = memory.array(dims, values, attrs)
        attrs = self.attrs()
        attrs["coordinates"] = " ".join(self.coords)
        # The data variable first, as the engine orders them.
        ordered = {self.kind.variable: arrays[self.kind.variable]}
        ordered.update((k, v) for k, v in arrays.items() if k != self.kind.variable)
        return manifest_group(arrays=ordered, attributes=attrs)

    def dataset(self) -> Any:
        """The block as a virtual Dataset: the values referenced (a
        ManifestArray), everything else in memory (numpy)."""
        import xarray as xr

        name = self.kind.variable
        if name in self.arrays:
            data = self.arrays[name].to_virtual_variable()
        else:
            data = xr.Variable(*self.plain[name])
        coords = {n: xr.Variable(*self.plain[n]) for n in self.coords}
        return xr.Dataset({name: data}, coords=coords, attrs=self.attrs())


class _ParseSource(ObstoreSource):
    """The object a parse reads, asked for its identity without a request
    where the store gives an ETag (every range is then fetched on the
    condition of the ETag seen at open); HEAD requests counted."""

    heads = 0

    def identity(self) -> Tuple[Any, ...]:
        if self._etag:
            return self._identity
        self.heads += 1
        return super().identity()


def _has_data(described: Mapping[str, Any]) -> bool:
    return described["kind"] is not None


class VellParser:
    """VirtualiZarr's parser for VELL files (see the module's docstring).

    ``block``: the block the root group holds, in any request spelling
    (``"AB/3D/NONE"``, ``"TRC"``); by default the first data type's original
    block, as the xarray engine opens. ``blocks``: whether the store also has
    one sub-group per data block (a block that cannot be referenced is then a
    group whose ``vellkit_problem`` says why).

    ``requests`` and ``bytes_fetched`` count what the calls so far asked of
    the stores (a HEAD at open, then ranges of read-ahead blocks).
    """

    def __init__(self, block: Optional[Any] = None, blocks: bool = True) -> None:
        self.block = block
        self.blocks = blocks
        self.requests = 0
        self.bytes_fetched = 0

    def __call__(self, url: str, registry: Any) -> Any:
        _, _, manifest_group, manifest_store, _ = _import_virtualizarr()
        from obspec_utils.registry import ObjectStoreRegistry

        memory = _Memory()

        def parse(source: ObstoreSource, description: Mapping[str, Any], request: Block) -> Any:
            root = _plan(url, source, request).group(memory)
            groups: Dict[str, Any] = {}
            for described in description["blocks"] if self.blocks else ():
                if not _has_data(described):
                    continue
                listed = tuple(described["request"])
                try:
                    groups[kinds.block_name(described["listed"])] = (
                        root if listed == request else _plan(url, source, listed).group(memory))
                except (ValueError, MemoryError) as error:
                    groups[kinds.block_name(described["listed"])] = manifest_group(attributes={
                        "vellkit_block": " ".join(kinds.output_block(listed)), "vellkit_problem": str(error)})
            return manifest_group(arrays=root.arrays, groups=groups, attributes=dict(root.metadata.attributes))

        group = self._read(url, registry, parse)
        # The caller's stores, and the one that serves the small arrays.
        combined: Any = ObjectStoreRegistry()
        combined.map = dict(registry.map)
        combined.register(memory.prefix, memory.store)
        return manifest_store(group, registry=combined)

    def virtual_dataset(self, url: str, registry: Any) -> Any:
        """The virtual Dataset of the block at ``url``, as
        ``open_virtual_dataset(url, registry, parser=self,
        loadable_variables=in_memory_variables(...))`` gives it, without
        the round trip through a Zarr store (what ``vellkit virtualize`` stacks)."""
        _import_virtualizarr()
        return self._read(url, registry, lambda source, _, request: _plan(url, source, request).dataset())

    def _read(self, url: str, registry: Any, parse: Callable[[ObstoreSource, Mapping[str, Any], Block], Any]) -> Any:
        store, path = registry.resolve(url)
        if store is None:
            raise ValueError("%s: no store in the registry for this URL" % url)
        source = _ParseSource(store, str(path), name=url)
        try:
            description = _native.describe_file(source)
            return parse(source, description, self._request(url, description))
        finally:
            self.requests += 1 + source.heads + source.requests
            self.bytes_fetched += source.bytes_fetched

    def _request(self, url: str, description: Mapping[str, Any]) -> Block:
        listed = [tuple(b["request"]) for b in description["blocks"] if _has_data(b)]
        if self.block is None:
            chosen = kinds.default_block(listed)
            if chosen is None:
                damage = "; ".join(description["problems"])
                raise ValueError("%s: the file holds no data block%s" % (
                    url, " (it is damaged: %s)" % damage if damage else ""))
            return tuple(chosen)  # type: ignore[return-value]
        words = kinds.parse_block(self.block)
        if len(words) == 3:
            return tuple(words)  # type: ignore[return-value]
        return tuple(kinds.match_block(words, listed, url))  # type: ignore[return-value]


def _plan(url: str, source: ObstoreSource, request: Block) -> _Block:
    """The block ``request`` of the file, planned and mapped."""
    try:
        plan = _native.plan_block(source, request)
    except KeyError as error:
        raise ValueError("%s: %s" % (url, error.args[0] if error.args else error)) from error
    block = _Block(url, source, plan)
    block.build()
    return block


def in_memory_variables(vds: Any) -> List[str]:
    """The variables of a virtual Dataset of :class:`VellParser` that are
    served from memory, not referenced in the file (its coordinates, and
    values the group's ``vellkit_virtual`` attribute names as loaded): give
    them as ``loadable_variables`` before writing references."""
    names = [str(n) for n in vds.coords]
    text = str(vds.attrs.get(VIRTUAL_ATTR, ""))
    if text.startswith("values loaded"):
        names += [n.strip() for n in text.split(":", 1)[1].split(",")]
    return names


def kerchunk_references(vds: Any) -> Dict[str, Any]:
    """The Kerchunk references of a virtual Dataset of :class:`VellParser`
    (``vds.vz.to_kerchunk(format="dict")``), its data variables without a
    fill value, so that xarray reads zeros as zeros (see the module's docstring)."""
    with quiet_when_loaded():
        refs: Dict[str, Any] = vds.vz.to_kerchunk(format="dict")
    table = refs["refs"]
    for name in vds.data_vars:
        key = "%s/.zarray" % name
        if key in table:
            meta = json.loads(table[key]) if isinstance(table[key], str) else dict(table[key])
            meta["fill_value"] = None
            table[key] = json.dumps(meta)
    return refs


@contextlib.contextmanager
def quiet_when_loaded() -> Iterator[None]:
    """Without VirtualiZarr's warning that a Dataset has no references: a
    block whose values had to be loaded (see the module's docstring) is
    written whole on purpose."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Attempting to write an entirely non-virtual Dataset")
        yield
