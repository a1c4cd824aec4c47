"""The VELL file format, encoded for writing: the one place that knows its bytes.

:mod:`vellkit_tools.writer` (record level) and :mod:`vellkit_tools.arrays`
(whole arrays) both build on this module; it needs only numpy.

File format in brief (every number little-endian except the magic number):

* Header (24 bytes): magic bytes ``0A 0A FE FE``, float64 version, int32
  offset of the directory, int32 directory capacity, int32 entry count.
* Directory: 12-byte entries (int32 block-type code, int32 size in 32-bit
  words, int32 absolute byte offset).  An entry whose extendType is 64
  points at a 64-bit directory extension: int64 count, int64 (unused), then
  32-byte entries (int64 code, size in words, byte offset, unused).  Blocks
  past the first 2 GiB of a file can be listed there only.
* Block-type code: six bit fields, complexType (bits 0-1), sampleType (2-3),
  paramType (4-9), dataType (10-16), derivType (17-18), extendType (19-25).
* Parameter block: records of 4 name bytes, int16 type, int16 size (in
  16-bit words) and a value (type 0: int32, type 1: float64, types 2/3/4:
  text of size*2 bytes), closed by a record named ``END``.
* 2D data block: float32 values.  3D data block: six int32 header fields,
  a store table of (first, second) rows, then records of ``blockSize`` data
  bytes and an ``infoSize``-byte info record (float64 time at byte 136,
  NUL-padded label from byte 152).
* Annotation block (extendType 11): 12 bytes, a table directory at +12,
  then per table a parameter block describing the columns and the rows.
* Image block (extendType 20): image list blocks (``BID``, ``NRP``,
  ``Fxx``/``Zxx``) and image entries (labels, ``SIZ``, ``T00``, ``F00`` and
  the image bytes).

Every file is written through :func:`atomic_write` (from
:mod:`vellkit_tools._atomic`): into a temporary file in the target's folder
that replaces the target only once complete.
"""

from __future__ import annotations

import numbers
import struct
import sys
from array import array
from collections.abc import Mapping
from typing import (Any, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple,
                    Union, cast)

import numpy as np

from ._atomic import AtomicFile, atomic_write  # noqa: F401  (part of this module's interface)

__all__ = [
    "MAGIC", "HEADER_SIZE", "INT32_MAX", "DEFAULT_INFO_SIZE", "TIME_AT", "LABEL_AT",
    "DATA_TYPES", "DERIV", "TEXT_COLUMN_TYPES", "MULTI_REGION_COLUMNS",
    "PARAM_DATA", "PARAM_OWN", "PARAM_INSTRUMENT", "PARAM_ACQUISITION", "PARAM_FT",
    "PARAM_SAMPLE", "EXTEND_2D", "EXTEND_3D", "EXTEND_ANNOTATION", "EXTEND_IMAGE", "EXTEND_64",
    "Params", "block_type", "decode_block_type", "type_code", "split_fields",
    "Param", "encode_parameters", "merge_params", "param_items", "fixed_text",
    "float32_bytes", "flatten", "pad4",
    "Record", "encode_records", "gap", "runs", "encode_3d_head", "encode_3d_block",
    "AnnotationTable", "encode_annotation_block", "multi_region_table",
    "Image", "image_suffix", "encode_image_block",
    "Entry", "encode_header", "encode_entries", "encode_extension", "words", "Layout", "lay_out", "encode_layout",
    "atomic_write", "AtomicFile",
]

#: Parameters: a mapping or an iterable of (name, value) pairs; names are
#: str or bytes, values int, float, str, bytes or :class:`Param`.
Params = Union["Mapping[Any, Any]", Iterable[Sequence[Any]]]

MAGIC = b"\x0a\x0a\xfe\xfe"
HEADER_SIZE = 24
#: Largest value of the format's int32 fields (offsets, sizes, counts).
INT32_MAX = 2 ** 31 - 1
DEFAULT_INFO_SIZE = 216  # time at 136, label field of 64 bytes at 152
TIME_AT = 136
LABEL_AT = 152

# ----------------------------------------------------------------------------
# Block-type codes
# ----------------------------------------------------------------------------

#: Data block names -> (dataType, sampleType).  Names valid for any sample
#: type use sample type 0.
DATA_TYPES = {
    "REFL": (12, 0), "RAM": (10, 0), "SPOW": (14, 1), "RPOW": (14, 2),
    "SPH": (3, 1), "RPH": (3, 2), "PAS": (17, 0), "LREFL": (15, 0),
    "KM": (6, 0), "SIFG": (2, 1), "RIFG": (2, 2), "TR": (5, 0),
    "EMIS": (11, 0), "ATR": (16, 0), "TRARI": (18, 0), "ABARI": (19, 0),
    "AB": (4, 0), "TRC": (7, 0), "SSC": (1, 1), "RSC": (1, 2),
}
DERIV = {"NONE": 0, "1DER": 1, "2DER": 2, "3DER": 3}
_DERIV_ALIASES = dict(DERIV, NDER=3)

PARAM_DATA = 0
PARAM_OWN = 1
PARAM_INSTRUMENT = 2
PARAM_ACQUISITION = 3
PARAM_FT = 4
PARAM_SAMPLE = 10

EXTEND_2D = 0
EXTEND_3D = 10
EXTEND_ANNOTATION = 11
EXTEND_IMAGE = 20
EXTEND_64 = 64

# (name, shift, mask) in the order of the decoded tuple.
_FIELDS = (("complex_type", 0, 3), ("sample_type", 2, 3), ("param_type", 4, 63),
           ("data_type", 10, 127), ("deriv_type", 17, 3), ("extend_type", 19, 127))
_TYPE_KEYS = frozenset(name for name, _, _ in _FIELDS)


def block_type(data_type: Union[int, str] = 0, sample_type: Optional[int] = None, param_type: int = 0,
               deriv_type: Union[int, str] = 0, extend_type: int = 0, complex_type: int = 0) -> int:
    """Compose a block-type code from its six fields.

    ``data_type`` may be an int or a data block name of :data:`DATA_TYPES`
    (then ``sample_type`` defaults to the name's sample type); ``deriv_type``
    may be an int or a word of :data:`DERIV` (``"NDER"`` is accepted for 3).
    Raises ``ValueError`` when a field does not fit its bit width.
    """
    if isinstance(data_type, str):
        data_type, named_sample = DATA_TYPES[data_type.upper()]
        if sample_type is None:
            sample_type = named_sample
    if isinstance(deriv_type, str):
        deriv_type = _DERIV_ALIASES[deriv_type.upper()]
    values = {"complex_type": complex_type, "sample_type": sample_type or 0,
              "param_type": param_type, "data_type": data_type,
              "deriv_type": deriv_type, "extend_type": extend_type}
    code = 0
    for name, shift, mask in _FIELDS:
        value = int(values[name])
        if not 0 <= value <= mask:
            raise ValueError("%s must lie in 0..%d, got %d" % (name, mask, value))
        code |= value << shift
    return code


def decode_block_type(code: int) -> Tuple[int, ...]:
    """Split a code into (complexType, sampleType, paramType, dataType, derivType, extendType)."""
    return tuple((int(code) >> shift) & mask for _, shift, mask in _FIELDS)


def type_code(defaults: Dict[str, Any], fields: Dict[str, Any]) -> int:
    """:func:`block_type` of ``fields`` over ``defaults``; unknown field names are a TypeError."""
    unknown = set(fields) - _TYPE_KEYS
    if unknown:
        raise TypeError("unknown block-type field(s): %s" % ", ".join(sorted(unknown)))
    merged = dict(defaults)
    merged.update(fields)
    return block_type(**merged)


def split_fields(kwargs: Dict[str, Any]) -> Tuple[Dict[str, Any], Dict[str, Any]]:
    """(block-type fields, other keywords) of ``kwargs``."""
    fields = {k: v for k, v in kwargs.items() if k in _TYPE_KEYS}
    options = {k: v for k, v in kwargs.items() if k not in _TYPE_KEYS}
    return fields, options


# ----------------------------------------------------------------------------
# Fixed-width fields
# ----------------------------------------------------------------------------

def fixed_text(value: Union[str, bytes, bytearray, memoryview, None], width: int, what: str) -> bytes:
    """``value`` NUL-padded to a field of ``width`` bytes.

    A str (written as UTF-8) longer than its field, or holding a NUL, is a
    ValueError: cutting it would change the text, or split a UTF-8
    character, and a reader ends the text at the NUL.  Bytes are raw
    field contents, written as given and cut to the field (a way to make
    damaged files).
    """
    if value is None:
        return bytes(width)
    if not isinstance(value, str):
        return bytes(value)[:width].ljust(width, b"\0")
    _no_nul(value, what)
    data = value.encode("utf-8")
    if len(data) > width:
        raise ValueError("%s %r takes %d bytes of UTF-8, more than its field of %d"
                         % (what, value, len(data), width))
    return data.ljust(width, b"\0")


def _int32(value: int, what: str) -> bytes:
    try:
        return struct.pack("<i", value)
    except struct.error:
        raise ValueError("%s %d does not fit the format's int32 field" % (what, value)) from None


# ----------------------------------------------------------------------------
# Parameter blocks
# ----------------------------------------------------------------------------

class Param(object):
    """A parameter value with explicit encoding, for values plain Python types cannot express.

    ``type`` is the int16 type code written (any value, e.g. 3, 4, 7 or -1).
    ``value`` is encoded according to the type: int32 for type 0, float64 for
    type 1, text for str/bytes (str gets a NUL terminator, bytes are written
    as given), and for other codes an int as int32 or a float as float64.
    ``size`` overrides the size field (in 16-bit words; it may lie about the
    value's length).  ``raw`` gives the value bytes verbatim (no padding).
    """

    __slots__ = ("type", "value", "size", "raw")

    def __init__(self, type: int, value: Any = None, size: Optional[int] = None, raw: Optional[bytes] = None) -> None:
        self.type = int(type)
        self.value = value
        self.size = size
        self.raw = raw

    def __repr__(self) -> str:
        return "Param(type=%r, value=%r, size=%r, raw=%r)" % (
            self.type, self.value, self.size, self.raw)


def _no_nul(value: str, what: str) -> None:
    if "\0" in value:
        raise ValueError("%s %r holds a NUL: a reader ends the text there (bytes are written "
                         "as given)" % (what, value))


def _text(value: Union[str, bytes, bytearray, memoryview], what: str = "text") -> bytes:
    """Text value bytes: str gets UTF-8 plus a NUL (a NUL inside it is a
    ValueError naming ``what``); both are padded to an even length."""
    if isinstance(value, str):
        _no_nul(value, what)
    data = value.encode("utf-8") + b"\0" if isinstance(value, str) else bytes(value)
    return data + b"\0" if len(data) % 2 else data


def _value_bytes(name: Any, ptype: int, value: Any) -> bytes:
    if value is None:
        return b""
    if isinstance(value, (str, bytes, bytearray, memoryview)):
        return _text(value, "parameter %r:" % (name,))
    if ptype == 1 or (ptype != 0 and not isinstance(value, numbers.Integral)):
        return struct.pack("<d", float(value))
    return _int32(int(value), "parameter %r:" % (name,))


def _encode_record(name: Union[str, bytes, bytearray], value: Any) -> bytes:
    raw_name = fixed_text(name if isinstance(name, (bytes, bytearray)) else str(name), 4, "parameter name")
    if isinstance(value, Param):
        ptype = value.type
        data = bytes(value.raw) if value.raw is not None else _value_bytes(name, ptype, value.value)
        size = value.size
    elif isinstance(value, numbers.Integral):
        ptype, data, size = 0, _value_bytes(name, 0, value), None
    elif isinstance(value, numbers.Real):
        ptype, data, size = 1, _value_bytes(name, 1, value), None
    elif isinstance(value, (str, bytes, bytearray, memoryview)):
        ptype, data, size = 2, _text(value, "parameter %r:" % (name,)), None
    else:
        raise TypeError("cannot encode parameter %r of type %s" % (name, type(value).__name__))
    if size is None:
        size = {0: 2, 1: 4}.get(ptype, (len(data) + 1) // 2)
    try:
        return struct.pack("<4shh", raw_name, ptype, size) + data
    except struct.error:
        raise ValueError("parameter %r: type %r or size %r does not fit int16" % (name, ptype, size)) from None


def param_items(params: Optional[Params]) -> List[Tuple[Any, ...]]:
    """``params`` (a mapping, pairs or None) as a list of pairs."""
    if params is None:
        return []
    return list(params.items()) if isinstance(params, Mapping) else [tuple(p) for p in params]


def encode_parameters(params: Optional[Params], end: bool = True) -> bytes:
    """Encode a parameter block.

    ``params`` is a mapping or an iterable of (name, value) pairs (the pair
    form allows duplicate names; readers keep the last value).  Names are
    str (UTF-8, at most 4 bytes: a longer one is a ValueError) or bytes (cut
    to 4), NUL-padded to 4.  Values: int -> type 0 (int32: a larger value is a
    ValueError), float -> type 1, str -> type 2 (NUL-terminated), bytes ->
    type 2 (as given), :class:`Param` -> whatever it says.  The ``END``
    record (name, type 0, size 0: 8 bytes) is appended unless ``end`` is
    false.
    """
    out = [_encode_record(name, value) for name, value in param_items(params)]
    if end:
        out.append(b"END\0" + struct.pack("<hh", 0, 0))
    return b"".join(out)


def merge_params(base: Optional[Params], extra: Optional[Params]) -> List[Tuple[Any, Any]]:
    """Pairs of ``base`` with values replaced (in place) or appended from ``extra``."""
    merged = dict(param_items(base))
    merged.update(param_items(extra))
    return list(merged.items())


# ----------------------------------------------------------------------------
# Data values
# ----------------------------------------------------------------------------

def float32_bytes(values: Any) -> bytes:
    """Little-endian float32 bytes of a sequence or (flattened, row-major) numpy array."""
    if hasattr(values, "dtype") and hasattr(values, "astype"):
        data: bytes = values.astype("<f4").tobytes(order="C")
        return data
    out = array("f", [float(v) for v in values])
    if sys.byteorder == "big":
        out.byteswap()
    return out.tobytes()


def flatten(values: Any) -> List[float]:
    """The numbers of nested sequences, :class:`Record` values or an array, as one flat list."""
    if values is None:
        return []
    if hasattr(values, "ravel"):
        return [float(v) for v in values.ravel()]
    if isinstance(values, Record):
        return flatten(values.values)
    out = []
    for v in values:
        if isinstance(v, numbers.Real):
            out.append(float(v))
        else:
            out.extend(flatten(v))
    return out


def pad4(data: bytes) -> bytes:
    """``data`` zero-padded to a multiple of 4 bytes."""
    return data + b"\0" * (-len(data) % 4)


# ----------------------------------------------------------------------------
# 3D data blocks
# ----------------------------------------------------------------------------

class Record(object):
    """One record of a 3D data block.

    ``values`` are written as float32 (cut or zero-padded to the block's
    ``blockSize``).  The info record starts from ``info`` (raw bytes, default
    all zero), then gets the float64 ``time`` at byte 136 (skipped when None)
    and the ``label`` at byte 152, NUL-padded to the end of the info record
    (see :func:`fixed_text`: a str as UTF-8, longer than its field a
    ValueError; bytes cut to the field).  A label that fills its field has
    no NUL.
    """

    __slots__ = ("values", "time", "label", "info")

    def __init__(self, values: Any, time: Optional[float] = 0.0, label: Union[str, bytes] = b"",
                 info: Optional[bytes] = None) -> None:
        self.values = values
        self.time = time
        self.label = label
        self.info = info

    def encode(self, block_size: int, info_size: int) -> bytes:
        """Bytes of this record: ``block_size`` data bytes then ``info_size`` info bytes."""
        values = np.frombuffer(float32_bytes(self.values), "<f4").reshape(1, -1)
        return encode_records(values, block_size, info_size,
                              times=None if self.time is None else [self.time],
                              labels=[self.label] if self.label else None,
                              infos=[self.info] if self.info else None).tobytes()


def encode_records(values: Any, block_size: int, info_size: int = DEFAULT_INFO_SIZE, *,
                   times: Any = None, labels: Optional[Sequence[Union[str, bytes]]] = None,
                   infos: Optional[Sequence[Optional[bytes]]] = None) -> "np.ndarray":
    """The bytes of records of a 3D data block, one row of ``block_size +
    info_size`` bytes per record (a ``uint8`` array): the first use of the
    record layout, for one :class:`Record` or a whole chunk of spectra.

    ``values`` ``(records, points)``: written as float32, cut or zero-padded
    to ``block_size`` bytes.  The info record starts from ``infos`` (raw
    bytes per record, default all zero), then gets ``times`` (float64 at
    byte 136; None leaves those bytes) and ``labels`` (at byte 152,
    NUL-padded, see :func:`fixed_text`).
    """
    rows = np.ascontiguousarray(values, dtype="<f4")
    rows = rows.reshape(rows.shape[0] if rows.ndim else 1, -1)
    count = rows.shape[0]
    width = max(int(info_size), LABEL_AT)  # the fields are placed, then the record is cut
    out = np.zeros((count, block_size + width), np.uint8)
    data = rows.view(np.uint8).reshape(count, -1)[:, :block_size]
    out[:, :data.shape[1]] = data
    info = out[:, block_size:]
    for k, raw in enumerate(infos or ()):
        base = bytes(raw or b"")[:width]
        info[k, :len(base)] = np.frombuffer(base, np.uint8)
    if times is not None:
        stamps = np.ascontiguousarray(np.asarray(times, dtype="<f8").reshape(count, 1))
        info[:, TIME_AT:TIME_AT + 8] = stamps.view(np.uint8)
    for k, label in enumerate(labels or ()):
        if label:
            info[k, LABEL_AT:] = np.frombuffer(fixed_text(label, width - LABEL_AT, "label"), np.uint8)
    return out[:, :block_size + int(info_size)]


def gap(nbytes: int) -> List[int]:
    """Store-table row for a gap of ``nbytes`` bytes between records: ``[-1, nbytes]``."""
    return [-1, int(nbytes)]


def runs(indices: Iterable[Union[int, List[int], Tuple[int, int]]]) -> List[List[int]]:
    """Store table naming ``indices`` in the given order.

    Consecutive ascending indices are merged into one run; rows given as
    lists (such as ``gap(n)``) are passed through.  Example:
    ``runs([10, 11, 12, 0, 1, gap(50), 2]) == [[10, 12], [0, 1], [-1, 50], [2, 2]]``.
    """
    table = []
    last_run = None
    for item in indices:
        if isinstance(item, (list, tuple)):
            table.append([int(item[0]), int(item[1])])
            last_run = None
        elif last_run is not None and int(item) == last_run[1] + 1:
            last_run[1] += 1
        else:
            last_run = [int(item), int(item)]
            table.append(last_run)
    return table


def encode_3d_head(rows: Sequence[Sequence[int]], stored_blocks: int, block_size: int,
                   info_size: int = DEFAULT_INFO_SIZE, block_offset: Optional[int] = None,
                   version: int = 0) -> bytes:
    """The six int32 header fields of a 3D data block and its store table.

    ``block_offset`` defaults to the end of the store table.  A value past
    the int32 fields is a ValueError.
    """
    table_end = 24 + 8 * len(rows)
    block_offset = table_end if block_offset is None else int(block_offset)
    fields = (("version", version), ("number of stored records", stored_blocks),
              ("record offset", block_offset), ("record size", block_size),
              ("info record size", info_size), ("number of store-table rows", len(rows)))
    head = b"".join(_int32(int(value), what) for what, value in fields)
    return head + b"".join(_int32(int(a), "store-table entry") + _int32(int(b), "store-table entry")
                           for a, b in rows)


def encode_3d_block(records: Any, npt: int, *, store_table: Optional[Iterable[Sequence[int]]] = None,
                    first_index: int = 0, block_offset: Optional[int] = None,
                    block_size: Optional[int] = None, info_size: int = DEFAULT_INFO_SIZE,
                    version: int = 0, stored_blocks: Optional[int] = None) -> bytes:
    """Encode a 3D data block.

    Layout: six int32 (``version``, ``stored_blocks`` [default: number of
    records written], ``block_offset`` [start of the records relative to the
    block start; default right after the store table], ``block_size``
    [default ``4 * npt``], ``info_size``, number of store-table rows), the
    store table, zero padding up to ``block_offset``, then the records in
    store-table order.  Row ``[-1, n]`` inserts ``n`` zero bytes (a gap);
    any other row ``[first, second]`` names the indices first..second.

    ``records`` is either a sequence of :class:`Record` (or plain value
    sequences), consumed in the order the store table names slots (its
    length must equal the number of slots), or a mapping index -> record
    (then repeated indices write the same record again).  The default store
    table is one run starting at ``first_index`` (for a mapping: its sorted
    keys, see :func:`runs`).
    """
    by_index = isinstance(records, Mapping)
    if not by_index:
        records = list(records)
    if store_table is None:
        if by_index:
            store_table = runs(sorted(records))
        else:
            store_table = [[first_index, first_index + len(records) - 1]] if records else []
    rows = [[int(a), int(b)] for a, b in store_table]
    slots = sum(b - a + 1 for a, b in rows if a != -1 and b >= a)
    if not by_index and len(records) != slots:
        raise ValueError("store table names %d records but %d were given" % (slots, len(records)))
    table_end = 24 + 8 * len(rows)
    block_offset = table_end if block_offset is None else int(block_offset)
    if block_offset < table_end:
        raise ValueError("block_offset %d lies inside the store table" % block_offset)
    block_size = 4 * int(npt) if block_size is None else int(block_size)
    if block_size < 0 or info_size < 0:
        raise ValueError("block_size and info_size must not be negative")
    out = bytearray(encode_3d_head(rows, slots if stored_blocks is None else stored_blocks,
                                   block_size, info_size, block_offset, version))
    out += bytes(block_offset - table_end)
    k = 0
    for a, b in rows:
        if a == -1:
            if b < 0:
                raise ValueError("a gap cannot be negative (%d bytes)" % b)
            out += bytes(b)
            continue
        for index in range(a, b + 1):
            rec = records[index] if by_index else records[k]
            k += 1
            if not isinstance(rec, Record):
                rec = Record(rec)
            out += rec.encode(block_size, info_size)
    return bytes(out)


# ----------------------------------------------------------------------------
# Annotation blocks
# ----------------------------------------------------------------------------

TEXT_COLUMN_TYPES = (1004, 1005, 1011)
#: Standard columns of a multi-region map's annotation table.
MULTI_REGION_COLUMNS = [("Group", 4), ("Type", 4), ("AryNX", 4), ("AryNY", 4),
                        ("AryType", 4), ("Fileindex", 4), ("X", 5), ("Y", 5)]


def _field_bytes(name: Any, ctype: int, value: Any, width: int) -> bytes:
    if value is None or isinstance(value, (str, bytes, bytearray, memoryview)):
        return fixed_text(value, width, "column %r: text" % (name,))
    if ctype == 5 or (ctype != 4 and not isinstance(value, numbers.Integral)):
        data = struct.pack("<f", float(value))
    else:
        data = _int32(int(value), "column %r: value" % (name,))
    # A numeric field narrower than 4 bytes is a damaged-file variant: cut.
    return data[:width].ljust(width, b"\0")


class AnnotationTable(object):
    """One table of an annotation block.

    ``columns``: sequence of ``(name, type)`` or ``(name, type, width)``;
    types are 4 (int32), 5 (float32) and 1004/1005/1011 (text); any other
    code is written as given (for damaged-file tests).  Width defaults to 4,
    or 32 for text; a str longer than its width is a ValueError, bytes are
    cut to it.
    ``rows``: sequences in column order or mappings by column name.
    ``positions`` (byte position of each column in the row) default to
    back-to-back packing; ``row_length`` defaults to the end of the last
    field.  Readers read fields one after another, so positions other than
    the packed ones only change what the file claims.  ``siz`` overrides
    the distance from the table's parameter block to its first row (default:
    rows follow the parameter block).  ``params`` are extra records appended
    to the table's parameter block (later records override earlier ones in
    readers).
    """

    def __init__(self, columns: Iterable[Sequence[Any]], rows: Iterable[Any] = (), *,
                 row_length: Optional[int] = None, positions: Optional[Iterable[int]] = None,
                 siz: Optional[int] = None, params: Optional[Params] = None) -> None:
        self.columns: List[Tuple[Any, int, int]] = []
        for col in columns:
            ctype = int(col[1])
            width = int(col[2]) if len(col) > 2 else (32 if ctype in TEXT_COLUMN_TYPES else 4)
            self.columns.append((col[0], ctype, width))
        if positions is None:
            packed, pos = [], 0
            for _, _, width in self.columns:
                packed.append(pos)
                pos += width
            positions = packed
        self.positions = [int(p) for p in positions]
        extent = max([p + c[2] for p, c in zip(self.positions, self.columns)] or [0])
        self.row_length = extent if row_length is None else int(row_length)
        self.rows = list(rows)
        self.siz = siz
        self.params = params

    def encode_params(self, siz: int) -> bytes:
        """The table's parameter block with ``SIZ`` = ``siz``."""
        pairs: List[Tuple[str, Any]] = [("SIZ", siz), ("SRC", self.row_length), ("NCO", len(self.columns)),
                                        ("NLN", len(self.rows))]
        for i, ((name, ctype, _), pos) in enumerate(zip(self.columns, self.positions)):
            n = "{0:02d}".format(i)
            pairs += [("S" + n, name), ("F" + n, pos), ("T" + n, ctype)]
        return encode_parameters(pairs + param_items(self.params))

    def encode_rows(self) -> bytes:
        """All rows, ``row_length`` bytes apart (a field reaching past its row overlaps the next)."""
        extent = max([p + c[2] for p, c in zip(self.positions, self.columns)] or [0])
        out = bytearray(self.row_length * len(self.rows) + max(0, extent - self.row_length))
        for i, row in enumerate(self.rows):
            if isinstance(row, Mapping):
                values = [row.get(name) for name, _, _ in self.columns]
            else:
                values = list(row)
            for (name, ctype, width), pos, value in zip(self.columns, self.positions, values):
                start = i * self.row_length + pos
                out[start:start + width] = _field_bytes(name, ctype, value, width)
        return bytes(out)

    def encode(self) -> bytes:
        """Parameter block, padding up to ``SIZ``, then the rows."""
        head_len = len(self.encode_params(0))
        siz = head_len if self.siz is None else int(self.siz)
        if siz < head_len:
            raise ValueError("siz %d is smaller than the parameter block (%d bytes)" % (siz, head_len))
        return self.encode_params(siz) + bytes(siz - head_len) + self.encode_rows()


def encode_annotation_block(tables: Iterable[AnnotationTable], lead: bytes = b"") -> bytes:
    """Encode an annotation block.

    Layout: 12 bytes that readers skip (``lead``, zero-padded or cut to 12),
    the table directory at +12 (``NRP`` = number of tables, ``F00``, ``F01``,
    ... = offset of each table's parameter block from the block start), then
    each table (see :class:`AnnotationTable`), 4-byte aligned.
    """
    tables = list(tables)
    directory: List[Tuple[str, int]] = [("NRP", len(tables))] + [("F{0:02d}".format(i), 0) for i in range(len(tables))]
    pos = 12 + len(pad4(encode_parameters(directory)))
    bodies, offsets = [], []
    for table in tables:
        body = pad4(table.encode())
        offsets.append(pos)
        bodies.append(body)
        pos += len(body)
    directory = [("NRP", len(tables))] + [("F{0:02d}".format(i), off) for i, off in enumerate(offsets)]
    head = bytes(lead)[:12].ljust(12, b"\0") + pad4(encode_parameters(directory))
    return head + b"".join(bodies)


def multi_region_table(regions: Iterable[Mapping[str, Any]],
                       first_index: int = 1) -> Tuple[AnnotationTable, List[int]]:
    """Annotation table of a multi-region map and the Fileindex values it uses.

    Each region is a mapping, either a grid ``{"nx": 3, "ny": 2, "x0": 0.0,
    "y0": 0.0, "dx": 1.0, "dy": 1.0}`` (positions row by row) or a point list
    ``{"points": [(x, y), ...]}``.  Optional keys: ``"group"`` (default: the
    region's number counted from 1), ``"type"`` (default 0: a region readers
    build), ``"ary_type"`` (default 0 for point lists, 1 for grids).  Point
    lists get AryNX = AryNY = 0.  Fileindex values count up from
    ``first_index`` over all positions in order; the 3D data block then
    needs records for those indices (e.g. ``first_index=1`` in
    :func:`encode_3d_block`).
    """
    rows: List[List[Any]] = []
    indices: List[int] = []
    index = int(first_index)
    for number, region in enumerate(regions):
        if "points" in region:
            nx = ny = 0
            points = [(float(x), float(y)) for x, y in region["points"]]
            ary_type = region.get("ary_type", 0)
        else:
            nx, ny = int(region["nx"]), int(region["ny"])
            x0, y0 = float(region.get("x0", 0.0)), float(region.get("y0", 0.0))
            dx, dy = float(region.get("dx", 1.0)), float(region.get("dy", 1.0))
            points = [(x0 + dx * i, y0 + dy * j) for j in range(ny) for i in range(nx)]
            ary_type = region.get("ary_type", 1)
        group, rtype = region.get("group", number + 1), region.get("type", 0)
        for x, y in points:
            rows.append([group, rtype, nx, ny, ary_type, index, x, y])
            indices.append(index)
            index += 1
    return AnnotationTable(MULTI_REGION_COLUMNS, rows), indices


# ----------------------------------------------------------------------------
# Image blocks
# ----------------------------------------------------------------------------

def _letters(m: int) -> str:
    """Bijective base-26 letter name: 0 -> A, 25 -> Z, 26 -> AA, 701 -> ZZ, 702 -> AAA."""
    d, r = divmod(m, 26)
    return (_letters(d - 1) if d else "") + chr(65 + r)


def image_suffix(n: int) -> str:
    """Suffix numbering image ``n``: 00..99, then AA..AZ (100..125), then BA.. (n - 74 in letters)."""
    if n < 0:
        return str(n)
    if n < 100:
        return "{0:02d}".format(n)
    if n < 126:
        return "A" + _letters(n - 100)
    return _letters(n - 74)


class Image(object):
    """One entry of an image block.

    The entry's parameter block holds ``H00`` = ``title``, label/value pairs
    ``H01``/``V01``, ``H02``/``V02``, ... from ``labels`` (pairs of label
    text, usually ending in ":", and value), then ``SIZ`` (offset of the
    data area from the entry start), ``T00`` (default 9 when ``data`` is
    given, else 0) and ``F00`` = ``data_offset`` (offset of the image bytes
    in the data area), then the extra ``params``.  When ``data`` is given and
    ``auto_labels`` is true, the labels "Bytes:" (``len(data)``) and "Type:"
    (``image_type``; 258 makes readers drop the first 14 bytes) are put
    first unless ``labels`` already has them.  The entry is zero-padded to a
    multiple of 4 bytes.
    """

    def __init__(self, data: Optional[bytes] = None, title: Union[str, bytes] = "Image",
                 labels: Iterable[Sequence[Any]] = (), *, image_type: int = 1, t00: Optional[int] = None,
                 data_offset: int = 0, params: Optional[Params] = None, auto_labels: bool = True) -> None:
        self.data = None if data is None else bytes(data)
        self.title = title
        self.labels = [tuple(pair) for pair in labels]
        self.image_type = image_type
        self.t00 = (9 if data is not None else 0) if t00 is None else t00
        self.data_offset = int(data_offset)
        self.params = params
        self.auto_labels = auto_labels

    def _params(self, siz: int) -> bytes:
        labels = list(self.labels)
        if self.data is not None and self.auto_labels:
            have = {str(text).rstrip(":") for text, _ in labels}
            auto = [("Bytes:", len(self.data))] if "Bytes" not in have else []
            auto += [("Type:", self.image_type)] if "Type" not in have else []
            labels = auto + labels
        pairs: List[Tuple[str, Any]] = [("H00", self.title)]
        for k, (text, value) in enumerate(labels, 1):
            pairs += [("H" + image_suffix(k), text), ("V" + image_suffix(k), value)]
        pairs += [("SIZ", siz), ("T00", self.t00), ("F00", self.data_offset)]
        return encode_parameters(pairs + param_items(self.params))

    def encode(self) -> bytes:
        """Bytes of the entry: parameter block, then the data area."""
        siz = len(self._params(0))
        area = bytes(self.data_offset) + (self.data or b"")
        return pad4(self._params(siz) + area)


def encode_image_block(images: Iterable[Union[Image, bytes]], *, per_list: Union[None, int, Sequence[int]] = None,
                       cumulative: bool = True, lead: int = 0, bid: Optional[int] = None,
                       list_params: Optional[Params] = None) -> bytes:
    """Encode an image block.

    ``images``: :class:`Image` objects (or raw image bytes).  They are split
    into groups of ``per_list`` (an int, or a sequence of group sizes;
    default one group), each group preceded by an image list block:
    ``BID`` (``bid``, default a code with extendType 20), ``NRP`` (number of
    images listed so far), ``Fxx``/``Zxx`` (offset from the block start and
    length of each entry; all images so far when ``cumulative``, else only
    the group's), then ``list_params``.  Each list block starts ``lead``
    bytes after the previous entry (or the block start): readers find it
    only if ``BID`` lies within the next 16 bytes.  The last entry is padded
    (and its ``Z`` value counts the padding) so that the block length is a
    multiple of 4 and ends exactly where the last entry ends.
    """
    entries = [(im if isinstance(im, Image) else Image(im)).encode() for im in images]
    n = len(entries)
    if per_list is None:
        groups = [n]
    elif isinstance(per_list, numbers.Integral):
        groups = [min(int(per_list), n - k) for k in range(0, n, int(per_list))] or [0]
    else:
        groups = [int(g) for g in cast(Sequence[int], per_list)]
    if sum(groups) != n or (n and min(groups) < 1):
        raise ValueError("per_list must split %d images into non-empty groups" % n)
    bid = block_type(extend_type=EXTEND_IMAGE) if bid is None else bid

    def list_block(start: int, stop: int, offsets: List[int]) -> bytes:
        pairs: List[Tuple[str, Any]] = [("BID", bid), ("NRP", stop)]
        for k in range(0 if cumulative else start, stop):
            pairs += [("F" + image_suffix(k), offsets[k]), ("Z" + image_suffix(k), len(entries[k]))]
        return pad4(encode_parameters(pairs + param_items(list_params)))

    offsets, pos, start = [0] * n, 0, 0
    for size in groups:  # list block sizes do not depend on the values of F and Z
        pos += lead + len(list_block(start, start + size, offsets))
        for k in range(start, start + size):
            offsets[k] = pos
            pos += len(entries[k])
        start += size
    if n:  # the block must end where the last entry ends, so readers stop there
        entries[-1] += bytes(-pos % 4)
    out, start = bytearray(), 0
    for size in groups:
        out += bytes(lead) + list_block(start, start + size, offsets)
        for k in range(start, start + size):
            out += entries[k]
        start += size
    return bytes(out) + bytes(-len(out) % 4)


# ----------------------------------------------------------------------------
# Header and directory
# ----------------------------------------------------------------------------

#: A directory entry: (block-type code, size in 32-bit words, byte offset).
Entry = Tuple[int, int, int]


def encode_header(dir_offset: int, capacity: int, count: int, *, version: float = 1.0,
                  magic: bytes = MAGIC) -> bytes:
    """The 24-byte header (``magic`` is zero-padded or cut to 4 bytes: it may be damaged)."""
    return (bytes(magic)[:4].ljust(4, b"\0") + struct.pack("<d", version)
            + _int32(int(dir_offset), "directory offset") + _int32(int(capacity), "directory capacity")
            + _int32(int(count), "directory entry count"))


def encode_entries(entries: Iterable[Entry]) -> bytes:
    """12-byte directory entries; a value past int32 is a ValueError (list the block in the extension)."""
    return b"".join(_int32(int(code), "block-type code") + _int32(int(words), "block size in words")
                    + _int32(int(offset), "block offset") for code, words, offset in entries)


def encode_extension(entries: Sequence[Entry]) -> bytes:
    """A 64-bit directory extension: int64 count, int64 0, then 32-byte entries."""
    return struct.pack("<qq", len(entries), 0) + b"".join(
        struct.pack("<qqqq", code, words, offset, 0) for code, words, offset in entries)


def words(nbytes: int) -> int:
    """Size field of a block of ``nbytes`` bytes: 32-bit words, rounded up."""
    return (nbytes + 3) // 4


class Layout(NamedTuple):
    """Where the blocks of a file go (from :func:`lay_out`)."""

    #: Byte offset of each block, in the order the blocks were given.
    offsets: List[int]
    #: Blocks (by index) listed in the 32-bit directory, then in the extension.
    main: List[int]
    extension: List[int]
    directory_at: int
    capacity: int
    extension_at: int
    #: Size of the whole file.
    size: int


def lay_out(sizes: Sequence[int], *, limit: int = INT32_MAX) -> Layout:
    """Place blocks of ``sizes`` bytes (4-byte aligned) and the directory.

    A file whose every byte lies within ``limit`` keeps the plain layout:
    blocks from offset 24 in the given order, then the directory.  A larger
    file needs its directory and 64-bit extension where int32 offsets reach
    them: both are reserved right after the header, the blocks follow,
    smallest first, and a block that does not end within ``limit`` is
    listed in the extension.  (``limit`` is lowered only to test this.)
    """
    n = len(sizes)
    pos, offsets = HEADER_SIZE, []
    for size in sizes:
        offsets.append(pos)
        pos += size + (-size % 4)
    if pos + 12 * n <= limit:
        return Layout(offsets, list(range(n)), [], pos, n, 0, pos + 12 * n)
    capacity = n + 1  # room for every block and the pointer to the extension
    extension_at = HEADER_SIZE + 12 * capacity
    pos = extension_at + len(encode_extension([(0, 0, 0)] * n))
    offsets = [0] * n
    for index in sorted(range(n), key=lambda k: sizes[k]):
        offsets[index] = pos
        pos += sizes[index] + (-sizes[index] % 4)
    main = [k for k in range(n) if offsets[k] + sizes[k] <= limit and words(sizes[k]) <= INT32_MAX]
    extension = [k for k in range(n) if k not in main]
    if extension_at > limit:
        raise ValueError("%d blocks do not leave room for the directory" % n)
    return Layout(offsets, main, extension, HEADER_SIZE, capacity,
                  extension_at if extension else 0, pos)


def encode_layout(layout: Layout, codes: Sequence[int], sizes: Sequence[int], *,
                  version: float = 1.0) -> List[Tuple[int, bytes]]:
    """(offset, bytes) of the header, the directory and the extension of ``layout``."""
    entries = [(codes[k], words(sizes[k]), layout.offsets[k]) for k in layout.main]
    pieces = []
    if layout.extension:
        ext = [(codes[k], words(sizes[k]), layout.offsets[k]) for k in layout.extension]
        data = encode_extension(ext)
        pieces.append((layout.extension_at, data))
        entries.append((block_type(extend_type=EXTEND_64), words(len(data)), layout.extension_at))
    pieces.append((layout.directory_at, encode_entries(entries)))
    pieces.append((0, encode_header(layout.directory_at, layout.capacity, len(entries),
                                    version=version)))
    return pieces
