"""Byte sources for VELL files that are not local paths.

The native reader reads a local path itself. Anything else (an fsspec URL, an
object in an obstore store, an open binary file object, bytes in memory) is
wrapped here in a *byte source*, which the native reader asks for ranges:

``name``
    what messages call it (the URL)
``size``
    its length in bytes
``memory``
    a buffer holding all of it, or None
``read_into(offset, buffer) -> int``
    fills ``buffer`` from ``offset``; fewer bytes only at the end
``identity()``
    what tells this object from another or from itself rewritten (size and
    ETag, or size and modification time), asked afresh; compared with ``==``
    before every lazy read

Remote sources keep a few read-ahead blocks, so the many small reads of a
file's header, directory, parameter blocks and store table become a handful
of range requests; whatever part of one read is not kept is one request
(reads larger than a block go to the store as they are). They count what
they fetch (``requests``, ``bytes_fetched``). HTTP and S3 requests time out
when the server stops answering (``CONNECT_TIMEOUT``, ``READ_TIMEOUT``, unless
``storage_options`` set their own); an object replaced after it was opened
raises OSError "... has changed since it was opened" on the next read.
"""

from __future__ import annotations

import asyncio
import io
import os
import threading
from collections import OrderedDict
from typing import Any, Dict, List, Mapping, NoReturn, Optional, Tuple, Union, cast

__all__ = [
    "ByteSource",
    "FileObjectSource",
    "FsspecSource",
    "MemorySource",
    "ObstoreSource",
    "is_url",
    "local_path",
    "expand_urls",
    "open_source",
    "source_name",
]

# A read-ahead block: big enough that opening a map (header, directory,
# parameter blocks, store table) takes a few requests, small enough that one
# spectrum of a remote map does not fetch much besides.
READ_AHEAD = 1 << 20
# Read-ahead blocks kept per source.
KEPT_BLOCKS = 8
# Reads that go on near where the last one ended (the slices of a read of many
# records) fetch ahead of themselves, the window doubling up to this: a whole
# map then takes a few large requests rather than one per slice, each of which
# a store may answer at a cost of its own.
SEQUENTIAL_READ_AHEAD = 64 << 20
# Seconds to wait for a connection and for the next bytes of an answer,
# unless storage_options say otherwise: a server that stops answering is an
# error, not a read that never ends. Not a limit on a whole request, which
# may be a large range on a slow link.
CONNECT_TIMEOUT = 10.0
READ_TIMEOUT = 60.0
# A client that retries a stalled request (S3's retries nest: some fifty
# attempts) is stopped after a few timeouts' worth of waiting plus the time
# to fetch the range at this many bytes a second.
SLOWEST_RATE = 1 << 20


def _deadline(nbytes: int) -> float:
    """Seconds one range request may take, the client's retries included."""
    return CONNECT_TIMEOUT + 3 * READ_TIMEOUT + nbytes / SLOWEST_RATE

PathOrSource = Union[str, "os.PathLike[str]", "ByteSource"]


def is_url(target: Any) -> bool:
    """Whether ``target`` is a URL with a scheme (``s3://``, ``https://``...)."""
    return isinstance(target, str) and "://" in target and not target.startswith("file://")


def local_path(target: Any) -> Optional[str]:
    """The local path a ``file://`` URL names, or None for anything else."""
    if isinstance(target, str) and target.startswith("file://"):
        from urllib.parse import unquote, urlparse

        parsed = urlparse(target)
        if parsed.netloc not in ("", "localhost"):
            return None
        return unquote(parsed.path)
    return None


def _named(name: str, error: BaseException) -> BaseException:
    """``error`` as an exception of the same kind whose text names ``name``."""
    if isinstance(error, (KeyboardInterrupt, SystemExit, MemoryError)):
        return error
    # A client's own exception (aiohttp's, botocore's) becomes an OSError
    # even when its text names the object already.
    if isinstance(error, OSError) and name in str(error):
        return error
    if isinstance(error, FileNotFoundError):
        return FileNotFoundError(f"{name}: no such object ({error})")
    if isinstance(error, PermissionError):
        return PermissionError(f"{name}: access refused ({error})")
    text = str(error) or type(error).__name__
    if isinstance(error, OSError):
        # Keep the built-in kind (TimeoutError, ConnectionResetError...).
        kind = next(c for c in type(error).__mro__ if c.__module__ == "builtins" and issubclass(c, OSError))
        return kind(f"{name}: {text}")
    return OSError(f"{name}: {type(error).__name__}: {error}")


def _with_timeouts(protocol: str, options: Mapping[str, Any]) -> Dict[str, Any]:
    """``options`` with connect and read timeouts for the HTTP and S3 file
    systems, where the caller set none."""
    options = dict(options)
    if protocol in ("http", "https"):
        client_kwargs = dict(options.get("client_kwargs") or {})
        if "timeout" not in client_kwargs:
            import aiohttp

            client_kwargs["timeout"] = aiohttp.ClientTimeout(
                total=None, sock_connect=CONNECT_TIMEOUT, sock_read=READ_TIMEOUT)
        options["client_kwargs"] = client_kwargs
    elif protocol in ("s3", "s3a"):
        config_kwargs = dict(options.get("config_kwargs") or {})
        config_kwargs.setdefault("connect_timeout", CONNECT_TIMEOUT)
        config_kwargs.setdefault("read_timeout", READ_TIMEOUT)
        options["config_kwargs"] = config_kwargs
    return options


def _reraise_named(name: str, error: BaseException) -> NoReturn:
    named = _named(name, error)
    if named is error:
        raise error
    raise named from error


class ByteSource:
    """What the native reader reads through; see the module's docstring."""

    name: str = ""
    size: int = 0
    memory: Any = None

    def __init__(self) -> None:
        self.requests = 0
        self.bytes_fetched = 0

    def read_into(self, offset: int, buffer: memoryview) -> int:
        raise NotImplementedError

    def identity(self) -> Tuple[Any, ...]:
        raise NotImplementedError

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.name!r} ({self.size} bytes)>"

    def __dask_tokenize__(self) -> Tuple[Any, ...]:
        # Task names from the object and the version of it that was opened:
        # a rewritten object gets new names, never another's cached results.
        opened = getattr(self, "_identity", None)
        return (type(self).__name__, self.name, opened or self.identity())


class _RangedSource(ByteSource):
    """A source whose bytes come by range from a store: read-ahead blocks,
    counted requests, errors that name the object."""

    def __init__(self, name: str, size: int, read_ahead: int = READ_AHEAD) -> None:
        super().__init__()
        self.name = name
        self.size = size
        self._read_ahead = read_ahead
        self._blocks: "OrderedDict[int, bytes]" = OrderedDict()
        self._lock = threading.Lock()
        self._identity: Tuple[Any, ...] = ()
        self._changed = False
        self._next = -1  # where the last read ended
        self._window = read_ahead

    def _fresh_identity(self) -> Tuple[Any, ...]:
        raise NotImplementedError

    def identity(self) -> Tuple[Any, ...]:
        try:
            fresh = self._fresh_identity()
        except BaseException as error:  # noqa: B902 - re-raised, named
            _reraise_named(self.name, error)
        if fresh != self._identity:
            # The size and the kept blocks are the old object's: no read of
            # this source may mix them with the new one's bytes.
            with self._lock:
                self._changed = True
                self._blocks.clear()
        return fresh

    def _changed_error(self) -> OSError:
        return OSError(f"{self.name} has changed since it was opened")

    def _fetch(self, start: int, end: int) -> bytes:
        """Bytes ``start`` to ``end`` (exclusive) of the object, one request."""
        raise NotImplementedError

    def _fetch_counted(self, start: int, end: int) -> bytes:
        if self._changed:
            raise self._changed_error()
        try:
            data = self._fetch(start, end)
        except BaseException as error:  # noqa: B902 - re-raised, named
            _reraise_named(self.name, error)
        with self._lock:
            self.requests += 1
            self.bytes_fetched += len(data)
        if len(data) > end - start:
            raise OSError(f"{self.name}: the store returned {len(data)} bytes for a range of {end - start}")
        if len(data) < end - start and start + len(data) < min(end, self.size):
            raise OSError(
                f"{self.name}: the store returned {len(data)} bytes for a range of {end - start} "
                f"inside the object (a short read)"
            )
        return data

    def read_into(self, offset: int, buffer: memoryview) -> int:
        n = min(len(buffer), max(0, self.size - offset))
        with self._lock:
            # Going on from the last read, past a small gap at most (the
            # bytes between two slices of records).
            sequential = self._next >= 0 and 0 <= offset - self._next <= self._read_ahead
            self._window = min(SEQUENTIAL_READ_AHEAD, 2 * max(self._window, n)) if sequential else self._read_ahead
            window = self._window
            self._next = offset + n
        done = 0
        while done < n:
            at = offset + done
            kept = self._kept_block(at)
            if kept is None:
                rest = n - done
                if rest >= window:
                    # Large reads go to the store as they are, not kept.
                    data = self._fetch_counted(at, at + rest)
                    buffer[done : done + len(data)] = data
                    return done + len(data)
                # A block from where the read starts (not from a block
                # edge): whatever is not yet kept of one read is one request.
                block_start, block = at, self._fetch_counted(at, min(self.size, at + window))
                self._keep(at, block)
            else:
                block_start, block = kept
            inside = at - block_start
            take = min(n - done, len(block) - inside)
            if take <= 0:
                break
            buffer[done : done + take] = block[inside : inside + take]
            done += take
            if len(block) > self._read_ahead and inside + take == len(block):
                # A sequential window read to its end is not read again:
                # its memory goes now, not when the source does.
                with self._lock:
                    self._blocks.pop(block_start, None)
        return done

    def _keep(self, start: int, block: bytes) -> None:
        with self._lock:
            self._blocks[start] = block
            # At most KEPT_BLOCKS blocks, and one sequential window besides
            # the small ones.
            while len(self._blocks) > 1 and (
                    len(self._blocks) > KEPT_BLOCKS
                    or sum(map(len, self._blocks.values())) > SEQUENTIAL_READ_AHEAD + KEPT_BLOCKS * self._read_ahead):
                self._blocks.popitem(last=False)

    def _kept_block(self, at: int) -> Optional[Tuple[int, bytes]]:
        """The kept block holding byte ``at``, if any."""
        with self._lock:
            for start, block in self._blocks.items():
                if start <= at < start + len(block):
                    self._blocks.move_to_end(start)
                    return start, block
        return None


class FsspecSource(_RangedSource):
    """An object behind an fsspec URL (``s3://``, ``http(s)://``, ``memory://``...).

    ``storage_options`` go to the file system as fsspec's own functions take
    them; credentials and endpoints also come from each store's usual
    environment variables (for S3: ``AWS_ACCESS_KEY_ID``,
    ``AWS_SECRET_ACCESS_KEY``, ``AWS_ENDPOINT_URL``, ``AWS_DEFAULT_REGION``).
    """

    def __init__(self, url: str, storage_options: Optional[Mapping[str, Any]] = None,
                 read_ahead: int = READ_AHEAD) -> None:
        try:
            import fsspec  # type: ignore[import-untyped]
        except ImportError as error:  # pragma: no cover - the 'remote' extra
            raise ImportError(f"{url}: reading URLs needs fsspec (pip install 'vellkit[remote]')") from error
        self.url = url
        # Kept as given (and pickled so): the timeouts are added at each open.
        self.storage_options: Dict[str, Any] = dict(storage_options or {})
        protocol = fsspec.core.split_protocol(url)[0] or "file"
        try:
            self._fs, self._path = fsspec.core.url_to_fs(url, **_with_timeouts(protocol, self.storage_options))
            info = self._info()
        except BaseException as error:  # noqa: B902 - re-raised, named
            _reraise_named(url, error)
        super().__init__(url, int(info["size"]), read_ahead)
        self._identity = self._identity_of(info)
        # An HTTP server is asked for the ranges of the object opened only
        # (If-Match on its ETag): one replaced in the midst of a read
        # answers 412 rather than with another object's bytes.
        # (A weak ETag never matches If-Match: the identity checks remain.)
        tag = info.get("ETag")
        strong = bool(tag) and not str(tag).startswith("W/")
        self._range_options: Dict[str, Any] = (
            {"headers": {"If-Match": str(tag)}} if protocol in ("http", "https") and strong else {})

    def _info(self) -> Dict[str, Any]:
        self._fs.invalidate_cache(self._path)
        info = self._fs.info(self._path)
        if info.get("type") == "directory":
            raise IsADirectoryError(f"{self.url}: a directory, not a file")
        if info.get("size") is None:
            raise OSError(f"{self.url}: the server does not say how large the object is")
        return dict(info)

    @staticmethod
    def _identity_of(info: Mapping[str, Any]) -> Tuple[Any, ...]:
        tag = info.get("ETag") or info.get("etag") or info.get("e_tag")
        modified = (info.get("LastModified") or info.get("Last-Modified") or info.get("mtime")
                    or info.get("last_modified") or info.get("created"))
        return (int(info["size"]), str(tag) if tag is not None else None,
                str(modified) if modified is not None else None)

    def _fresh_identity(self) -> Tuple[Any, ...]:
        return self._identity_of(self._info())

    def _fetch(self, start: int, end: int) -> bytes:
        try:
            # (A file system that wraps another, as dir:// does, is as
            # asynchronous as the one it wraps.)
            wrapped = getattr(self._fs, "fs", self._fs)
            if (getattr(self._fs, "async_impl", False) and getattr(wrapped, "async_impl", False)
                    and getattr(self._fs, "loop", None) is not None):
                import fsspec.asyn  # type: ignore[import-untyped]

                # The coroutine is cancelled at the deadline.
                deadline = _deadline(end - start)
                try:
                    data = fsspec.asyn.sync(self._fs.loop, self._fs._cat_file, self._path, start=start, end=end,
                                            timeout=deadline, **self._range_options)
                except fsspec.asyn.FSTimeoutError as error:
                    # The client's own timeout (aiohttp's is a TimeoutError
                    # too) comes wrapped: raised as it is.
                    cause = error.__cause__
                    if cause is not None and type(cause) not in (TimeoutError, asyncio.TimeoutError):
                        raise cause from None
                    raise TimeoutError(f"{self.name}: no answer within {deadline:.1f} s "
                                       f"(the client's retries included)") from error
            else:
                data = self._fs.cat_file(self._path, start=start, end=end, **self._range_options)
            return bytes(data)
        except Exception as error:
            if getattr(error, "status", None) == 412:
                self._changed = True
                raise self._changed_error() from error
            raise

    def __reduce__(self) -> Any:
        # Another process opens the object afresh; the reads then check
        # that it is still the one a plan was made of.
        return (type(self), (self.url, self.storage_options, self._read_ahead))


class ObstoreSource(_RangedSource):
    """An object in an obstore store (``obstore.store.S3Store`` and the like).

    Every range is read on the condition that the object is the one opened
    (its ETag), where the store gives one.
    """

    def __init__(self, store: Any, path: str, name: Optional[str] = None, read_ahead: int = READ_AHEAD) -> None:
        import obstore

        self._obstore = obstore
        self.store = store
        self.path = path
        shown = name or path
        try:
            meta = self._head()
        except BaseException as error:  # noqa: B902 - re-raised, named
            _reraise_named(shown, error)
        super().__init__(shown, int(meta["size"]), read_ahead)
        self._etag = meta.get("e_tag")
        self._identity = self._identity_of(meta)

    @staticmethod
    def _identity_of(meta: Mapping[str, Any]) -> Tuple[Any, ...]:
        return (int(meta["size"]), meta.get("e_tag"), str(meta.get("last_modified")))

    def _fresh_identity(self) -> Tuple[Any, ...]:
        return self._identity_of(self._head())

    def _head(self) -> Any:
        try:
            return self._obstore.head(self.store, self.path)
        except Exception as error:
            raise self._as_os_error(error) from error

    @staticmethod
    def _as_os_error(error: Exception) -> Exception:
        """obstore's errors as the OSError kinds a local file would raise,
        without the dump of its internal state that follows its message."""
        kind = type(error).__name__
        text = str(error).split("\n\nDebug source:", 1)[0].rstrip(": \n")
        if kind == "NotFoundError" or isinstance(error, FileNotFoundError):
            return FileNotFoundError(text)
        if kind in ("PermissionDeniedError", "UnauthenticatedError") or isinstance(error, PermissionError):
            return PermissionError(text)
        return error

    def _fetch(self, start: int, end: int) -> bytes:
        if start >= end:
            return b""
        options: Dict[str, Any] = {"range": (start, end)}
        if self._etag:
            options["if_match"] = self._etag
        try:
            result = self._obstore.get(self.store, self.path, options=cast(Any, options))
            return bytes(result.bytes())
        except Exception as error:
            if type(error).__name__ == "PreconditionError":
                # The ETag no longer matches: the object was replaced.
                self._changed = True
                raise self._changed_error() from error
            raise self._as_os_error(error) from error


class FileObjectSource(ByteSource):
    """An open binary file object (seekable), read under a lock."""

    def __init__(self, fileobj: Any, name: Optional[str] = None) -> None:
        super().__init__()
        if not (hasattr(fileobj, "seek") and (hasattr(fileobj, "readinto") or hasattr(fileobj, "read"))):
            raise TypeError(f"expected a path, a URL or a binary file object, not {type(fileobj).__name__}")
        if isinstance(fileobj, io.TextIOBase):
            raise TypeError("a file object opened in text mode: open the file with 'rb'")
        self._file = fileobj
        self._lock = threading.Lock()
        shown = name if name is not None else getattr(fileobj, "name", None)
        self.name = os.fsdecode(shown) if isinstance(shown, (str, bytes, os.PathLike)) else repr(fileobj)
        with self._lock:
            self.size = int(fileobj.seek(0, io.SEEK_END))

    def identity(self) -> Tuple[Any, ...]:
        with self._lock:
            size = int(self._file.seek(0, io.SEEK_END))
        modified = None
        try:
            modified = os.fstat(self._file.fileno()).st_mtime_ns
        except (AttributeError, OSError, io.UnsupportedOperation, ValueError):
            pass
        return (size, modified)

    def read_into(self, offset: int, buffer: memoryview) -> int:
        with self._lock:
            self._file.seek(offset)
            done = 0
            while done < len(buffer):
                if hasattr(self._file, "readinto"):
                    got = self._file.readinto(buffer[done:])
                else:
                    chunk = self._file.read(len(buffer) - done)
                    got = len(chunk) if chunk else 0
                    buffer[done : done + got] = chunk
                if not got:
                    break
                done += got
        self.requests += 1
        self.bytes_fetched += done
        return done


class MemorySource(ByteSource):
    """Bytes in memory (bytes, bytearray, memoryview, a numpy buffer), read in place."""

    def __init__(self, data: Any, name: str = "<memory>") -> None:
        super().__init__()
        self.memory = memoryview(data).cast("B")
        self.name = name
        self.size = self.memory.nbytes

    def identity(self) -> Tuple[Any, ...]:
        return (self.size,)

    def read_into(self, offset: int, buffer: memoryview) -> int:
        piece = self.memory[offset : offset + len(buffer)]
        buffer[: len(piece)] = piece
        return len(piece)


def source_name(target: Any) -> str:
    """What messages call ``target``: a source's name (its URL), or the path."""
    if isinstance(target, ByteSource):
        return target.name
    if isinstance(target, (str, bytes, os.PathLike)):
        return os.fsdecode(os.fspath(target))
    return getattr(target, "name", None) or repr(target)


#: Characters that make a URL a pattern for fsspec's glob.
_GLOB = ("*", "?", "[")


def expand_urls(url: str, storage_options: Optional[Mapping[str, Any]] = None) -> List[str]:
    """The URLs a pattern URL matches (sorted; FileNotFoundError naming it
    when none), or ``[url]`` for a URL that is no pattern."""
    if not any(c in url for c in _GLOB):
        return [url]
    import fsspec

    try:
        fs, _, paths = fsspec.core.get_fs_token_paths(url, storage_options=dict(storage_options or {}),
                                                      expand=True)
    except BaseException as error:  # noqa: B902 - re-raised, named
        named = _named(url, error)
        if named is error:
            raise
        raise named from error
    if not paths:
        raise FileNotFoundError(f"{url}: no objects match")
    return sorted(fs.unstrip_protocol(p) for p in paths)


def open_source(target: Any, storage_options: Optional[Mapping[str, Any]] = None) -> Any:
    """What the native reader is given for ``target``.

    A local path (str or path-like, or a ``file://`` URL) stays a path: the
    reader opens it itself. A URL becomes an :class:`FsspecSource`; an open
    binary file object a :class:`FileObjectSource`; a bytearray or
    memoryview a :class:`MemorySource`; a byte source is used as it is.
    """
    if isinstance(target, ByteSource):
        return target
    path = local_path(target)
    if path is not None:
        return path
    if is_url(target):
        return FsspecSource(target, storage_options)
    if storage_options:
        raise ValueError(f"storage_options apply to URLs only, not to {target!r}")
    if isinstance(target, (str, bytes, os.PathLike)):
        return target
    if isinstance(target, (bytearray, memoryview)):
        return MemorySource(target)
    return FileObjectSource(target)
