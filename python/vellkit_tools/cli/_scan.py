"""A structural check of a VELL file: header, directory, block bounds and
parameter blocks, with the byte offsets of whatever is wrong.

This looks only at the frame of the file (where blocks are claimed to lie and
whether their parameter records can be parsed); reading the data is left to
``vellkit`` itself.
"""

import mmap
import os
import struct
from typing import List, NamedTuple, Optional

from ..writer import DATA_TYPES, decode_block_type

MAGIC = b"\x0a\x0a\xfe\xfe"
HEADER = struct.Struct("<4sd3i")
ENTRY32 = struct.Struct("<3i")
ENTRY64 = struct.Struct("<4q")
EXTEND_3D, EXTEND_ANNOTATION, EXTEND_IMAGE, EXTEND_64 = 10, 11, 20, 64
#: Directory entries beyond this many are not examined one by one.
MAX_ENTRIES = 100000


_NAMES = {codes: name for name, codes in DATA_TYPES.items()}
_PARAM_KINDS = {0: "data", 1: "parameters", 2: "instrument parameters",
                3: "acquisition parameters", 4: "FT parameters", 10: "sample parameters"}


class Entry(NamedTuple):
    index: int
    code: int
    size_in_words: int
    offset: int
    in_extension: bool

    @property
    def param_type(self) -> int:
        return (self.code >> 4) & 63

    @property
    def extend_type(self) -> int:
        return (self.code >> 19) & 127

    def kind(self) -> str:
        """What the entry lists, e.g. ``AB 3D data`` or ``acquisition parameters``."""
        extend = self.extend_type
        if extend == EXTEND_ANNOTATION:
            return "annotation table"
        if extend == EXTEND_IMAGE:
            return "visible images"
        fields = decode_block_type(self.code)
        name = _NAMES.get((fields[3], fields[1])) or _NAMES.get((fields[3], 0))
        deriv = ("", " 1DER", " 2DER", " 3DER")[fields[4]]
        dims = " 3D" if extend == EXTEND_3D else " 2D" if extend == 0 else ""
        owner = "%s%s%s " % (name, dims, deriv) if name else ""
        what = _PARAM_KINDS.get(self.param_type, "parameter type %d" % self.param_type)
        return (owner + what) if (owner or what != "data") else "block type %d" % self.code

    def describe(self) -> str:
        where = "extension entry" if self.in_extension else "directory entry"
        return "%s %d (%s)" % (where, self.index, self.kind())


class Scan(NamedTuple):
    size: int
    entries: List[Entry]
    problems: List[str]


def _parameter_problem(data: bytes, start: int, size: int) -> Optional[str]:
    """Why the parameter block at ``start`` cannot be read to its END record, or None."""
    pos = start
    while True:
        if pos + 4 > size:
            return "runs past the end of the file at byte %d without an END record" % size
        name = data[pos:pos + 4]
        try:
            text = name.decode("utf-8").strip("\0")
        except UnicodeDecodeError:
            return "record name at byte %d is not text (%r)" % (pos, name)
        if text == "END":
            return None
        if pos + 8 > size:
            return "record %r at byte %d is cut by the end of the file" % (text, pos)
        ptype, words = struct.unpack_from("<hh", data, pos + 4)
        if ptype == 0:
            length = 4
        elif ptype == 1:
            length = 8
        elif ptype in (2, 3, 4):
            if words < 0:
                return "record %r at byte %d has a negative length (%d)" % (text, pos, words)
            length = 2 * words
        else:
            return "record %r at byte %d has an unknown value type %d" % (text, pos, ptype)
        if pos + 8 + length > size:
            return "record %r at byte %d is cut by the end of the file (byte %d)" % (
                text, pos, size)
        pos += 8 + length


def _records_problem(data, start: int, size: int) -> Optional[str]:
    """Why the records of the 3D data block at ``start`` do not all lie in the file, or None."""
    if start + 24 > size:
        return "the 3D block header is cut by the end of the file (byte %d)" % size
    _, _, block_offset, block_size, info_size, rows = struct.unpack_from("<6i", data, start)
    if rows < 0 or start + 24 + 8 * rows > size:
        return "its store table (%d rows) runs past the end of the file (byte %d)" % (rows, size)
    position = start + block_offset
    record = block_size + info_size
    count = past = 0
    first_past = None
    for k in range(min(rows, MAX_ENTRIES)):
        first, second = struct.unpack_from("<ii", data, start + 24 + 8 * k)
        if first == -1:
            position += second
            continue
        n = max(0, second - first + 1)
        # Records (data and info record) that end within the file: the first ``fits``.
        fits = n if record <= 0 else max(0, min(n, (size - position) // record))
        if fits < n:
            past += n - fits
            if first_past is None:
                first_past = position + fits * record
        count += n
        position += n * record
    if past:
        return ("%d of its %d records lie past the end of the file (byte %d), the first at "
                "byte %d" % (past, count, size, first_past))
    return None


def scan(path: str) -> Scan:
    """Check the frame of the file at ``path`` (assumed to start with the magic number)."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        if size < HEADER.size:
            return _scan(f.read(), size)
        # Mapped, not read: a map file may be far larger than memory.
        with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
            return _scan(data, size)


def _scan(data, size: int) -> Scan:
    problems: List[str] = []
    entries: List[Entry] = []
    if size < HEADER.size:
        problems.append("truncated at byte %d: the header needs %d bytes" % (size, HEADER.size))
        return Scan(size, entries, problems)
    _, _, dir_offset, _, dir_size = HEADER.unpack_from(data, 0)
    if dir_size > 0:
        end = dir_offset + ENTRY32.size * dir_size
        if dir_offset < 0:
            problems.append("the directory offset is negative (%d)" % dir_offset)
            return Scan(size, entries, problems)
        if dir_offset >= size:
            problems.append("truncated at byte %d: the directory (%d entries at byte %d) lies "
                            "past the end of the file" % (size, dir_size, dir_offset))
        elif end > size:
            problems.append("truncated at byte %d: the directory claims %d entries at byte %d, "
                            "up to byte %d" % (size, dir_size, dir_offset, end))
        count = max(0, min(dir_size, (size - dir_offset) // ENTRY32.size, MAX_ENTRIES))
        for i in range(count):
            code, words, offset = ENTRY32.unpack_from(data, dir_offset + ENTRY32.size * i)
            entries.append(Entry(i, code, words, offset, False))
    ext = [e for e in entries if e.extend_type == EXTEND_64]
    if ext and ext[-1].offset:
        at = ext[-1].offset
        if at < 0 or at + 16 > size:
            problems.append("the 64-bit directory extension at byte %d lies past the end of the "
                            "file (%d bytes)" % (at, size))
        else:
            claimed = struct.unpack_from("<q", data, at)[0]
            end = at + 16 + ENTRY64.size * max(claimed, 0)
            if end > size:
                problems.append("truncated at byte %d: the 64-bit directory extension at byte %d "
                                "claims %d entries, up to byte %d" % (size, at, claimed, end))
            count = max(0, min(claimed, (size - at - 16) // ENTRY64.size, MAX_ENTRIES))
            for i in range(count):
                code, words, offset, _ = ENTRY64.unpack_from(data, at + 16 + ENTRY64.size * i)
                entries.append(Entry(i, code, words, offset, True))
    for e in entries:
        if e.code == 0 and e.size_in_words == 0 and e.offset == 0:
            continue
        if e.extend_type == EXTEND_64:
            continue
        end = e.offset + 4 * e.size_in_words
        if e.offset < 0 or e.size_in_words < 0:
            problems.append("%s: negative offset or size (%d bytes at byte %d)" % (
                e.describe(), 4 * e.size_in_words, e.offset))
        elif e.offset >= size and e.size_in_words > 0:
            problems.append("%s: block past the end: it starts at byte %d, the file ends at "
                            "byte %d" % (e.describe(), e.offset, size))
        elif end > size:
            problems.append("truncated at byte %d: %s claims bytes %d to %d" % (
                size, e.describe(), e.offset, end))
        if e.param_type == 0 and e.extend_type == EXTEND_3D and 0 <= e.offset < size:
            why = _records_problem(data, e.offset, size)
            if why:
                problems.append("%s at byte %d: %s" % (e.describe(), e.offset, why))
        if e.param_type != 0 and e.extend_type not in (EXTEND_ANNOTATION, EXTEND_IMAGE) \
                and 0 <= e.offset < size:
            why = _parameter_problem(data, e.offset, size)
            if why:
                problems.append("unreadable parameter block at byte %d (%s): %s" % (
                    e.offset, e.describe(), why))
    return Scan(size, entries, problems)
