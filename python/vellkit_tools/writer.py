"""Write VELL data files, record by record.

Two levels of writers, one naming:

* whole arrays (:mod:`vellkit_tools.arrays`, offered here as well):
  ``write_<kind>(path, arrays, ...)`` writes one measurement laid out as
  ``vellkit.getVellData`` returns it: :func:`write_spectrum`,
  :func:`write_image_map`, :func:`write_time_series`,
  :func:`write_multi_region`, :func:`write_traces` (and
  :func:`visible_image` for their ``images``);
* records (this module): :class:`VellFile` collects blocks, records, store
  tables, annotation tables and image lists one by one, for damaged and
  unusual files; ``make_<layout>_file(...)`` builds a whole measurement as a
  :class:`VellFile` (:func:`make_spectrum_file`, :func:`make_3d_file`) and
  ``write_<layout>_file(path, ...)`` writes it (:func:`write_spectrum_file`,
  :func:`write_3d_file`).

The bytes themselves are encoded by :mod:`vellkit_tools.encode` (its names
are offered here too), which also describes the format.  Every file is
written atomically: into a temporary file in the target's folder that
replaces the target only once complete, so a failed write leaves whatever
was at the path as it was.

Typical use::

    from vellkit_tools import writer
    writer.write_spectrum_file("ab.vell", [0.1, 0.2, 0.3], fxv=4000.0, lxv=400.0)

    vf = writer.VellFile()
    vf.add_3d_block([writer.Record([1, 2], time=0.5)], npt=2, data_type="AB")
    vf.add_parameters(writer.time_resolved_params(2, 10.0, 20.0),
                      data_type="AB", extend_type=writer.EXTEND_3D)
    vf.write("tr.vell")
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any, Dict, Iterable, List, Optional, Tuple, TypeVar, Union

from .arrays import (visible_image, write_image_map, write_multi_region, write_spectrum,
                     write_time_series, write_traces)
from .encode import (DATA_TYPES, DEFAULT_INFO_SIZE, DERIV, EXTEND_2D, EXTEND_3D, EXTEND_64,
                     EXTEND_ANNOTATION, EXTEND_IMAGE, HEADER_SIZE, MAGIC, MULTI_REGION_COLUMNS,
                     PARAM_ACQUISITION, PARAM_DATA, PARAM_FT, PARAM_INSTRUMENT, PARAM_OWN,
                     PARAM_SAMPLE, TEXT_COLUMN_TYPES, AnnotationTable, Image, Param, Params, Record,
                     atomic_write, block_type, decode_block_type, encode_3d_block,
                     encode_annotation_block, encode_entries, encode_extension, encode_header,
                     encode_image_block, encode_parameters, flatten, float32_bytes, gap,
                     image_suffix, merge_params, multi_region_table, pad4, runs, split_fields,
                     type_code, words)

__all__ = [
    # the format's names, from vellkit_tools.encode
    "MAGIC", "DEFAULT_INFO_SIZE", "DATA_TYPES", "DERIV", "TEXT_COLUMN_TYPES",
    "PARAM_DATA", "PARAM_OWN", "PARAM_INSTRUMENT", "PARAM_ACQUISITION", "PARAM_FT",
    "PARAM_SAMPLE", "EXTEND_2D", "EXTEND_3D", "EXTEND_ANNOTATION", "EXTEND_IMAGE",
    "EXTEND_64", "MULTI_REGION_COLUMNS",
    "block_type", "decode_block_type", "Param", "encode_parameters", "Record",
    "gap", "runs", "encode_3d_block", "AnnotationTable", "encode_annotation_block",
    "multi_region_table", "Image", "image_suffix", "encode_image_block",
    # records
    "VellFile", "spectral_params", "image_map_params", "time_resolved_params",
    "multi_region_params", "make_spectrum_file", "write_spectrum_file",
    "make_3d_file", "write_3d_file",
    # whole arrays, from vellkit_tools.arrays
    "write_spectrum", "write_image_map", "write_time_series", "write_multi_region",
    "write_traces", "visible_image",
]

#: One parameter block of ``extra_param_blocks``: (param_type or block-type
#: fields, parameters).
ExtraBlock = Tuple[Union[int, "Mapping[str, Any]"], Params]
#: Parameter sets as built by :func:`spectral_params` and its relatives.
ParamList = List[Tuple[str, Any]]
_PathT = TypeVar("_PathT", bound="Union[str, bytes, os.PathLike[Any]]")


# ----------------------------------------------------------------------------
# File assembly
# ----------------------------------------------------------------------------

class VellFile(object):
    """Collects blocks and directory entries and writes a VELL data file.

    Blocks are placed one after another from offset 24 (or after a
    directory reserved at the start), each padded to a multiple of ``align``
    bytes.  ``directory`` is ``"end"`` (default: directory after all blocks)
    or ``"start"`` (space for ``max_dir_size`` entries, default 32, is
    reserved right after the header).  Blocks added with
    ``in_extension=True`` are listed in a 64-bit directory extension written
    after the blocks; a 32-bit entry with extendType 64 then points to it
    (appended as the last 32-bit entry).  ``max_dir_size`` (default: the
    number of entries), ``offset_to_directory`` and ``dir_size`` override
    the header fields (``dir_size`` and ``offset_to_directory`` may lie).
    :meth:`write` writes the file atomically.  (A file past 2 GiB is built
    in memory here; :mod:`vellkit_tools.arrays` streams one and lays out its
    directory and 64-bit extension by itself.)
    """

    def __init__(self, *, version: float = 1.0, magic: bytes = MAGIC, directory: str = "end",
                 max_dir_size: Optional[int] = None, offset_to_directory: Optional[int] = None,
                 dir_size: Optional[int] = None, align: int = 4) -> None:
        if directory not in ("end", "start"):
            raise ValueError("directory must be 'end' or 'start'")
        self.version = version
        self.magic = bytes(magic)
        self.directory = directory
        self.max_dir_size = max_dir_size
        self.offset_to_directory = offset_to_directory
        self.dir_size = dir_size
        self.align = int(align)
        self.entries: List[Tuple[int, int, int]] = []
        self.extension_entries: List[Tuple[int, int, int]] = []
        self._chunks: List[Tuple[int, bytes]] = []
        reserved = 12 * (32 if max_dir_size is None else int(max_dir_size)) if directory == "start" else 0
        self._pos = HEADER_SIZE + reserved

    @property
    def next_offset(self) -> int:
        """Offset at which the next block will be placed."""
        return self._pos

    def add_bytes(self, data: Union[bytes, bytearray, memoryview]) -> int:
        """Place ``data`` without a directory entry (junk, unlisted blocks); returns its offset."""
        data = bytes(data)
        offset = self._pos
        self._chunks.append((offset, data))
        self._pos += len(data) + (-len(data) % self.align if self.align > 1 else 0)
        return offset

    def add_entry(self, block_type: int, size_in_words: int, byte_offset: int, *,
                  in_extension: bool = False) -> None:
        """Add a raw directory entry (no payload); values are written as given."""
        target = self.extension_entries if in_extension else self.entries
        target.append((int(block_type), int(size_in_words), int(byte_offset)))

    def add_block(self, payload: Union[bytes, bytearray, memoryview], block_type: int, *,
                  size_in_words: Optional[int] = None, in_extension: bool = False) -> int:
        """Place ``payload`` and list it; ``size_in_words`` defaults to ceil(len / 4). Returns the offset."""
        payload = bytes(payload)
        offset = self.add_bytes(payload)
        if size_in_words is None:
            size_in_words = (len(payload) + 3) // 4
        self.add_entry(block_type, size_in_words, offset, in_extension=in_extension)
        return offset

    def add_parameters(self, params: Optional[Params], *, end: bool = True, in_extension: bool = False,
                       **fields: Any) -> int:
        """Add a parameter block; ``fields`` are :func:`block_type` arguments (default param_type 1)."""
        code = type_code({"param_type": PARAM_OWN}, fields)
        return self.add_block(encode_parameters(params, end), code, in_extension=in_extension)

    def add_spectrum(self, values: Any, *, in_extension: bool = False, **fields: Any) -> int:
        """Add a 2D data block of float32 ``values`` (param_type 0, extendType 0 unless given)."""
        code = type_code({"param_type": PARAM_DATA, "extend_type": EXTEND_2D}, fields)
        return self.add_block(float32_bytes(values), code, in_extension=in_extension)

    def add_3d_block(self, records: Any, npt: int, *, in_extension: bool = False, **kwargs: Any) -> int:
        """Add a 3D data block (extendType 10).

        Block-type fields (``data_type``, ``deriv_type``, ...) go to
        :func:`block_type`; other keywords to :func:`encode_3d_block`.
        """
        fields, options = split_fields(kwargs)
        code = type_code({"param_type": PARAM_DATA, "extend_type": EXTEND_3D}, fields)
        return self.add_block(encode_3d_block(records, npt, **options), code, in_extension=in_extension)

    def add_annotation_block(self, tables: Iterable[AnnotationTable], *, lead: bytes = b"",
                             in_extension: bool = False, **fields: Any) -> int:
        """Add an annotation block (extendType 11) holding ``tables``."""
        code = type_code({"extend_type": EXTEND_ANNOTATION}, fields)
        return self.add_block(encode_annotation_block(tables, lead), code, in_extension=in_extension)

    def add_image_block(self, images: Iterable[Union[Image, bytes]], *, in_extension: bool = False,
                        **kwargs: Any) -> int:
        """Add an image block (extendType 20); other keywords go to :func:`encode_image_block`."""
        fields, options = split_fields(kwargs)
        code = type_code({"extend_type": EXTEND_IMAGE}, fields)
        return self.add_block(encode_image_block(images, **options), code, in_extension=in_extension)

    def to_bytes(self) -> bytes:
        """The whole file as bytes.

        A directory entry, directory offset or count past the format's int32
        fields is a ValueError: list such blocks with ``in_extension=True``
        (the extension itself and the directory must lie within 2 GiB).
        """
        buf = bytearray(self._pos)
        for offset, data in self._chunks:
            buf[offset:offset + len(data)] = data
        entries = list(self.entries)
        if self.extension_entries:
            ext = encode_extension(self.extension_entries)
            entries.append((block_type(extend_type=EXTEND_64), words(len(ext)), len(buf)))
            buf += pad4(ext)
        table = encode_entries(entries)
        if self.directory == "start":
            capacity = 32 if self.max_dir_size is None else int(self.max_dir_size)
            if len(entries) > capacity:
                raise ValueError("%d entries exceed the reserved directory (%d)" % (len(entries), capacity))
            dir_offset = HEADER_SIZE
            buf[dir_offset:dir_offset + len(table)] = table
        else:
            capacity = len(entries) if self.max_dir_size is None else int(self.max_dir_size)
            dir_offset = len(buf)
            buf += table
        buf[:HEADER_SIZE] = encode_header(
            dir_offset if self.offset_to_directory is None else self.offset_to_directory,
            capacity, len(entries) if self.dir_size is None else self.dir_size,
            version=self.version, magic=self.magic)
        return bytes(buf)

    def write(self, path: _PathT) -> _PathT:
        """Write the file to ``path`` atomically; returns ``path``.

        On any failure (a value the format cannot hold, a full disk) the file
        that was at ``path`` stays as it was.
        """
        data = self.to_bytes()
        with atomic_write(path) as out:
            out.write(data)
        return path


# ----------------------------------------------------------------------------
# Parameter sets and whole measurements
# ----------------------------------------------------------------------------

def spectral_params(npt: int, fxv: float, lxv: float, y: Any = None, mny: Optional[float] = None,
                    mxy: Optional[float] = None) -> ParamList:
    """``NPT``, ``FXV``, ``LXV``, ``MNY``, ``MXY``; MNY/MXY default to min/max of ``y`` (else 0.0)."""
    flat = flatten(y)
    mny = (min(flat) if flat else 0.0) if mny is None else mny
    mxy = (max(flat) if flat else 0.0) if mxy is None else mxy
    return [("NPT", int(npt)), ("FXV", float(fxv)), ("LXV", float(lxv)),
            ("MNY", float(mny)), ("MXY", float(mxy))]


def image_map_params(npt: int, fxv: float, lxv: float, npx: int, npy: int, *, aox: float = 0.0,
                     aoy: float = 0.0, ddx: float = 1.0, ddy: float = 1.0, y: Any = None,
                     mny: Optional[float] = None, mxy: Optional[float] = None) -> ParamList:
    """Parameters of an image map: the spectral set plus AOX, AOY, DDX, DDY, NPX, NPY."""
    return spectral_params(npt, fxv, lxv, y, mny, mxy) + [
        ("AOX", float(aox)), ("AOY", float(aoy)), ("DDX", float(ddx)), ("DDY", float(ddy)),
        ("NPX", int(npx)), ("NPY", int(npy))]


def time_resolved_params(npt: int, fxv: float, lxv: float, *, ztx: Optional[str] = "Seconds", y: Any = None,
                         mny: Optional[float] = None, mxy: Optional[float] = None) -> ParamList:
    """Parameters of a time-resolved series: the spectral set plus ``ZTX`` (time unit text, None omits it)."""
    params = spectral_params(npt, fxv, lxv, y, mny, mxy)
    return params + ([("ZTX", ztx)] if ztx is not None else [])


def multi_region_params(npt: int, fxv: float, lxv: float, y: Any = None, mny: Optional[float] = None,
                        mxy: Optional[float] = None) -> ParamList:
    """Parameters of a multi-region map: the spectral set only (no mapping set; regions come from the annotation block)."""
    return spectral_params(npt, fxv, lxv, y, mny, mxy)


_NAMED_BLOCKS = (("acquisition", PARAM_ACQUISITION), ("instrument", PARAM_INSTRUMENT),
                 ("sample", PARAM_SAMPLE), ("ft", PARAM_FT))


def _add_measurement_extras(vf: VellFile, named: Dict[str, Optional[Params]],
                            extra_param_blocks: Optional[Iterable[ExtraBlock]],
                            annotation: Optional[Iterable[AnnotationTable]],
                            images: Optional[Iterable[Union[Image, bytes]]]) -> None:
    blocks: List[Tuple[Any, Any]] = [(ptype, named[key]) for key, ptype in _NAMED_BLOCKS if named.get(key) is not None]
    for fields, params in blocks + list(extra_param_blocks or []):
        fields = dict(fields) if isinstance(fields, Mapping) else {"param_type": int(fields)}
        vf.add_parameters(params, **fields)
    if annotation is not None:
        vf.add_annotation_block(annotation)
    if images is not None:
        vf.add_image_block(images)


def make_spectrum_file(y: Any, data_type: Union[int, str] = "AB", deriv: Union[int, str] = "NONE",
                       fxv: float = 4000.0, lxv: float = 400.0, *, params: Optional[Params] = None,
                       acquisition: Optional[Params] = None, instrument: Optional[Params] = None,
                       sample: Optional[Params] = None, ft: Optional[Params] = None,
                       extra_param_blocks: Optional[Iterable[ExtraBlock]] = None,
                       sample_type: Optional[int] = None, images: Optional[Iterable[Union[Image, bytes]]] = None,
                       into: Optional[VellFile] = None) -> VellFile:
    """Build a single-spectrum measurement and return its :class:`VellFile`.

    Adds a 2D data block of ``y`` and its own parameter block (NPT, FXV,
    LXV, MNY, MXY computed from ``y``; ``params`` replace or extend them),
    then the optional acquisition/instrument/sample/FT parameter blocks
    (data type 0), ``extra_param_blocks`` (pairs of a param_type or a dict
    of block-type fields, and the parameters), and an image block of
    ``images``.  ``into`` adds to an existing :class:`VellFile`.
    """
    vf = VellFile() if into is None else into
    values = flatten(y)
    fields: Dict[str, Any] = {"data_type": data_type, "deriv_type": deriv, "sample_type": sample_type}
    vf.add_spectrum(y if hasattr(y, "dtype") else values, **fields)
    own = merge_params(spectral_params(len(values), fxv, lxv, values), params)
    vf.add_parameters(own, param_type=PARAM_OWN, **fields)
    named = {"acquisition": acquisition, "instrument": instrument, "sample": sample, "ft": ft}
    _add_measurement_extras(vf, named, extra_param_blocks, None, images)
    return vf


def write_spectrum_file(path: Union[str, bytes, os.PathLike[Any]], y: Any, data_type: Union[int, str] = "AB",
                        deriv: Union[int, str] = "NONE", fxv: float = 4000.0, lxv: float = 400.0,
                        **kwargs: Any) -> VellFile:
    """Write :func:`make_spectrum_file`'s file to ``path`` and return the :class:`VellFile`."""
    vf = make_spectrum_file(y, data_type, deriv, fxv, lxv, **kwargs)
    vf.write(path)
    return vf


def make_3d_file(records: Any, npt: int, params: Params, data_type: Union[int, str] = "AB",
                 deriv: Union[int, str] = "NONE", *, annotation: Optional[Iterable[AnnotationTable]] = None,
                 original_params: Optional[Params] = None, acquisition: Optional[Params] = None,
                 instrument: Optional[Params] = None, sample: Optional[Params] = None,
                 ft: Optional[Params] = None, extra_param_blocks: Optional[Iterable[ExtraBlock]] = None,
                 sample_type: Optional[int] = None, images: Optional[Iterable[Union[Image, bytes]]] = None,
                 into: Optional[VellFile] = None, **block_options: Any) -> VellFile:
    """Build a 3D measurement and return its :class:`VellFile`.

    Adds the 3D data block (``block_options`` go to :func:`encode_3d_block`)
    and its parameter block ``params`` (use :func:`image_map_params`,
    :func:`time_resolved_params` or :func:`multi_region_params`), then, for
    a derivative, ``original_params`` as the parameter block of the same
    data without derivative, the further parameter blocks as in
    :func:`make_spectrum_file`, the annotation block of the tables in
    ``annotation`` (multi-region maps) and an image block of ``images``.
    """
    vf = VellFile() if into is None else into
    fields: Dict[str, Any] = {"data_type": data_type, "deriv_type": deriv, "sample_type": sample_type}
    vf.add_3d_block(records, npt, **dict(fields, **block_options))
    vf.add_parameters(params, param_type=PARAM_OWN, extend_type=EXTEND_3D, **fields)
    if original_params is not None:
        vf.add_parameters(original_params, param_type=PARAM_OWN, extend_type=EXTEND_3D,
                          **dict(fields, deriv_type=0))
    named = {"acquisition": acquisition, "instrument": instrument, "sample": sample, "ft": ft}
    _add_measurement_extras(vf, named, extra_param_blocks, annotation, images)
    return vf


def write_3d_file(path: Union[str, bytes, os.PathLike[Any]], records: Any, npt: int, params: Params,
                  **kwargs: Any) -> VellFile:
    """Write :func:`make_3d_file`'s file to ``path`` and return the :class:`VellFile`."""
    vf = make_3d_file(records, npt, params, **kwargs)
    vf.write(path)
    return vf


