"""vellkit_tools._native: the reading core's plans and record-level reads,
for the xarray engine, the command and Dask.

Every function opens the file by path, reads without the GIL (a signal
handler's exception ends it promptly, a FIFO or other non-regular file
included), closes it on every way out, and raises with the file named:
the same exception and wording as ``vellkit`` for the same failure
(MemoryError past the memory limit, OSError from the system, ValueError for a
damaged file). What a call returns is charged against the same memory limit
as a ``vellkit.getVellData`` call on that file (``VELLKIT_MEMORY_LIMIT``).

Reads that take an ``identity`` (as a plan gives it) first check that the
file at ``path`` is still the one planned: same device, inode, size and
modification time; else OSError naming the file ("... has changed since it
was opened").
"""

from typing import Any, Dict, List, Optional, Tuple, TypedDict

import numpy as np

#: (device, inode, size in bytes, modification time in ns)
Identity = Tuple[int, int, int, int]
Parameters = List[Tuple[str, Any]]  # (name, int | float | str), in file order

class Grid(TypedDict):
    aox: float
    ddx: float
    npx: int
    aoy: float
    ddy: float
    npy: int
    # True when the block's own grid was empty (NPX or NPY 0) and the
    # original block's mapping parameters give it (a derivative map).
    from_original: bool

class Records(TypedDict):
    offsets: bytes  # int64, store-table order: record k's values start here
    indices: bytes  # int64, the spectrum index of each record
    block_size: int
    info_size: int

class Region(TypedDict):
    group: int  # the file's group number
    title: str  # as vellkit's Region.title
    map_x: bytes  # float64, one per position
    map_y: bytes  # float64
    start_time: Optional[bytes]  # float64 or None when the table has no time column
    records: bytes  # int64: the record number (into Records.offsets) of each position

class BlockPlan(TypedDict):
    kind: str  # a key of vellkit_tools.kinds.KINDS
    request: Tuple[str, str, str]  # request spelling (NDER)
    identity: Identity
    file_size: int
    memory_limit: int
    # Own, acquisition, instrument, sample and FT parameter blocks merged in
    # that order (later wins), as vellkit's result.parameters.
    parameters: Parameters
    original_parameters: Optional[Parameters]  # None: no original block
    npt: int
    x: Tuple[float, float, int]  # linspace(FXV, LXV, NPT)
    values_offset: int  # 2D: where the NPT values start; 3D: -1
    grid: Optional[Grid]  # image kinds
    records: Optional[Records]  # 3D kinds
    regions: Optional[List[Region]]  # multi-region kinds, in vellkit's region order

class Entry(TypedDict):
    index: int
    in_extension: bool
    code: int
    what: str  # e.g. "AB 3D data", "acquisition parameters", "annotation table"
    offset: int
    size: int  # bytes
    problem: Optional[str]  # what is wrong with it, with byte offsets

class BlockDescription(TypedDict):
    listed: Tuple[str, str, str]  # as vellkit.listContents lists it (3DER)
    request: Tuple[str, str, str]  # as vellkit.getVellData takes it (NDER)
    kind: Optional[str]  # None: listed from a parameter block alone, no data
    shape: Optional[Tuple[int, ...]]  # of the kind's xarray variable (kinds.KINDS dims)
    parameters: Parameters
    problem: Optional[str]  # why reading it will fail, as far as headers tell

class ImageDescription(TypedDict):
    title: str
    type: Optional[int]
    size: int  # bytes the entry claims
    stored: int  # bytes the file holds of them (Type 258's 14 dropped bytes counted)

class FileDescription(TypedDict):
    file_size: int
    identity: Identity
    memory_limit: int  # what one call on this file may allocate (VELLKIT_MEMORY_LIMIT)
    problems: List[str]  # header and directory, each with its byte offsets
    entries: List[Entry]
    blocks: List[BlockDescription]  # in listContents order
    images: List[ImageDescription]

def describe_file(path: Any) -> FileDescription:
    """Header-only description of a whole file: reads the header, the
    directory, parameter blocks, 3D headers and store tables, annotation
    table headers and image list entries, never data values. Time and memory
    are linear in what it reads. ValueError when the file is not a VELL
    file."""

def plan_block(path: Any, block: Tuple[str, str, str]) -> BlockPlan:
    """What one data block is and where its values lie (a request triple;
    "3DER" and "NDER" both accepted). Charges what reading the whole block
    holds against the memory limit, as vellkit.getVellData charges it (axes,
    offsets, times or labels, values; a second copy of the axes, as xarray
    keeps each index twice): every reader of a block too large for the limit
    is refused with the same MemoryError. ValueError naming the file for a
    damaged block (a store table naming more records than the file has
    bytes, a trace column out of range)."""

def plan_regions(path: Any, block: Tuple[str, str, str]) -> List[Region]:
    """The regions of a multi-region map or trace map, as plan_block gives
    them under "regions" (for traces, records are trace columns:
    Fileindex - 1). ValueError for a table whose regions cannot be formed
    (a trace column out of range among them) or a block of another kind;
    MemoryError when its regions claim more positions than the limit
    leaves."""

def read_points(path: Any, offsets: np.ndarray, npt: int, start: int, length: int,
                identity: Optional[Identity] = None) -> np.ndarray:
    """float32 (len(offsets), length): points [start, start + length) of
    each record at ``offsets`` (int64, in any order); 0 <= start, start +
    length <= npt. Every read of this module raises OSError naming the file
    when it changed while it was read (cut short or rewritten)."""

def read_values(path: Any, offset: int, npt: int, identity: Optional[Identity] = None) -> np.ndarray:
    """float32 (npt,): the values of a 2D block (as vellkit reads them: a
    block cut by the end of the file gives fewer)."""

def read_times(path: Any, offsets: np.ndarray, npt: int, identity: Optional[Identity] = None) -> np.ndarray:
    """float64: the info-record time of each record (0.0 where the file ends
    before it, as vellkit reads it)."""

def read_labels(path: Any, offsets: np.ndarray, npt: int, info_size: int,
                identity: Optional[Identity] = None) -> List[str]:
    """The trace label of each record, decoded as vellkit decodes it."""

def read_annotations(path: Any, offset: int, identity: Optional[Identity] = None) -> List[Tuple[str, str, Any]]:
    """The columns of the annotation block at ``offset`` (an "annotation
    table" entry of describe_file): (name, type, values) in the order names
    are first seen, a later table's column of a name replacing an earlier
    one's, as vellkit.getVellData's reader forms them. type is "int32",
    "float32", "text" or "unknown" as the table declares it; values are the
    little-endian int32 or float32 bytes of a numeric column, else a list
    (texts decoded as vellkit decodes them). Charged as the module charges
    the table (eight bytes a cell); ValueError naming the file for a block
    that lacks a parameter or has rows of a column of unknown type."""

def counters() -> Tuple[int, int]:
    """(records read, value bytes read) since the last reset_counters()."""

def reset_counters() -> None: ...
