"""Which block a file opens with, and the request triple of a block named in any spelling."""

import os
from typing import Any, Mapping, Optional, Tuple

from vellkit_tools import _native, kinds, remote

Block = Tuple[str, str, str]
Identity = Tuple[int, int, int, int]


def _shown(path: Any) -> str:
    return remote.source_name(path)


def open_target(target: Any, storage_options: Optional[Mapping[str, Any]] = None) -> Any:
    """What the reader reads for ``target``: a local path (a ``file://``
    URL's too) stays a path; a URL (with ``storage_options``), an open
    binary file object or a buffer becomes a byte source."""
    if not isinstance(target, (str, bytes, os.PathLike, remote.ByteSource, bytearray, memoryview)) and \
            not (hasattr(target, "seek") and hasattr(target, "read")):
        raise TypeError("the vell engine opens paths, URLs and binary file objects, not %s"
                        % type(target).__name__)
    return remote.open_source(target, storage_options)


def default_block(path: Any) -> Block:
    """The block a file opens with when none is named, as a request triple:
    the original (NONE) block of the first data type the file lists with
    data (``kinds.default_block``), never one of its derivatives."""
    description = _native.describe_file(path)
    chosen = kinds.default_block([b["request"] for b in description["blocks"] if _has_data(b)])
    if chosen is None:
        damage = "; ".join(description["problems"])
        raise ValueError("%s: the file holds no data block%s" % (
            _shown(path), " (it is damaged: %s)" % damage if damage else ""))
    return chosen


def _missing_block(path: Any, request: Block, first: str) -> Optional[str]:
    """Why the file at ``path`` has no block ``request``, which the first
    file of a stack holds: its damage and the blocks it has; None when it
    lists the block (the read failed for another reason)."""
    try:
        description = _native.describe_file(path)
    except (ValueError, OSError) as error:
        return str(error) if _shown(path) in str(error) else "%s: %s" % (_shown(path), error)
    blocks = [b for b in description["blocks"] if _has_data(b)]
    if any(tuple(b["request"]) == tuple(request) for b in blocks):
        return None
    text = "%s: no block %s, which the first file (%s) holds" % (_shown(path), kinds.block_text(request), first)
    if description["problems"]:
        text += "; the file is damaged: %s" % "; ".join(description["problems"])
    held = ["%s (%s)" % (kinds.block_text(b["request"]), kinds.kind(b["kind"]).words if b["kind"]
                         else "damaged: %s" % b["problem"]) for b in blocks]
    return text + ("; it holds %s" % ", ".join(held) if held else "; it lists no data block")


def _has_data(described: Mapping[str, Any]) -> bool:
    """Whether a described block holds data (a damaged one too: opening it
    says what is wrong), not only a parameter block that lists it."""
    return described["kind"] is not None or described["problem"] is not None


def _request(path: Any, block: Optional[Any]) -> Block:
    """The request triple of ``block`` (any spelling of kinds.parse_block, a
    prefix matched against the blocks with data) for the file at ``path``."""
    if block is None:
        return default_block(path)
    words = kinds.parse_block(block)
    if len(words) == 3:
        return words  # type: ignore[return-value]
    described = [b["request"] for b in _native.describe_file(path)["blocks"] if _has_data(b)]
    return kinds.match_block(words, described, _shown(path))


def require_dask() -> None:
    """Raise ImportError naming the extra to install when Dask is missing."""
    try:
        import dask.array  # noqa: F401
    except ImportError as error:
        raise ImportError("this needs Dask: install it with pip install \"vellkit[dask]\"") from error
