"""Annotation tables of VELL files as tables: ``read_annotations(path)``.

An annotation block holds one or more small tables of named columns (32-bit
integers, 32-bit floats and texts), one row per measured position; the
multi-region maps form their regions from it, and other measurements may
carry one for their own use. The block is read by the reading core
(``vellkit_tools._native.read_annotations``), the columns as ``vellkit``'s
reader forms them: by name, in the order names are first seen, a later
table's column of a name replacing an earlier one's.
"""

from typing import Any, List, Tuple

import numpy as np

from vellkit_tools import _native
from vellkit_tools.remote import source_name

__all__ = ["annotation_offsets", "annotation_columns", "read_annotations", "column_type"]

#: The numpy type of each column type the reading core names.
_DTYPES = {"int32": np.dtype("<i4"), "float32": np.dtype("<f4")}


def annotation_offsets(path: Any) -> List[int]:
    """Where the file's annotation blocks start, in directory order (most files have none or one)."""
    return [int(e["offset"]) for e in _native.describe_file(path)["entries"] if e["what"] == "annotation table"]


def annotation_columns(path: Any, index: int = 0) -> List[Tuple[str, np.ndarray]]:
    """The columns of the file's annotation block number ``index``: (name,
    values) pairs, values int32, float32 or (texts) object arrays. ValueError
    naming the file when it has no such block or the block is damaged."""
    shown = source_name(path)
    description = _native.describe_file(path)
    offsets = [int(e["offset"]) for e in description["entries"] if e["what"] == "annotation table"]
    if not -len(offsets) <= index < len(offsets):
        raise ValueError("%s: the file has %s" % (shown, "no annotation table" if not offsets else
                                                  "%d annotation tables, not %d" % (len(offsets), index + 1)))
    columns = []
    for name, kind, values in _native.read_annotations(path, offsets[index], description["identity"]):
        if kind in _DTYPES and isinstance(values, bytes):
            array = np.frombuffer(values, dtype=_DTYPES[kind]).astype(_DTYPES[kind].newbyteorder("="))
        else:
            array = np.array(values, dtype=object)
        columns.append((name, array))
    return columns


def column_type(values: np.ndarray) -> str:
    """The type word of a column of :func:`annotation_columns`: int32, float32 or text."""
    return str(values.dtype) if values.dtype.kind in "if" else "text"


def read_annotations(path: Any, index: int = 0) -> Any:
    """The file's annotation block number ``index`` (default the first) as a
    :class:`pandas.DataFrame`: one column per named column of the file, int32,
    float32 or text (object) as the file declares them, in the order names
    are first seen. Columns from tables of different lengths are padded with
    missing values (integers then become floats)."""
    try:
        import pandas as pd
    except ImportError as error:  # pragma: no cover - exercised without pandas
        raise ImportError("read_annotations needs pandas: install it with pip install pandas") from error
    columns = annotation_columns(path, index)
    lengths = {len(values) for _, values in columns}
    if len(lengths) <= 1:
        return pd.DataFrame({name: values for name, values in columns}, columns=[n for n, _ in columns])
    return pd.concat([pd.Series(values, name=name) for name, values in columns], axis=1)
