"""Lazily indexed arrays over the records and values of a data block."""

from typing import Any, Optional, Sequence, Tuple

import numpy as np
from xarray.backends import BackendArray
from xarray.core import indexing

from vellkit_tools import _native
from vellkit_tools._engine.blocks import Identity, _shown

class RecordArray(BackendArray):
    """A lazily indexed array over the records of a 3D data block.

    The leading ``len(record_grid)`` axes pick a record (numbered row-major
    over ``record_grid``, in store-table order; numbers without a record
    read as 0.0), the others a point of that record (row-major over
    ``point_grid``; ``point_map`` maps those numbers to the record's points
    when it is given). An indexing reads only the records selected and, in
    each, the span of points selected. Picklable: it holds the path (or the
    byte source: a URL's pickles as the URL), the file's identity and the
    record offsets, and opens the file for each read, which fails with
    OSError when the file is no longer the one planned.
    """

    def __init__(self, path: Any, offsets: np.ndarray, npt: int, record_grid: Tuple[int, ...],
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

    def __init__(self, path: Any, offset: int, npt: int, identity: Optional[Identity] = None):
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
            raise ValueError("%s: the 2D block holds %d values, not NPT = %d" % (_shown(self.path), len(values),
                                                                                 self.npt))
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
