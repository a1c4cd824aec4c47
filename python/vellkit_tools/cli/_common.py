"""Shared pieces of the ``vellkit`` command: report capture, reads that name
the file, block summaries, per-file outcomes, text safe for a terminal and
the closing summary."""

import contextlib
import contextvars
import io
import json
import math
import os
import signal
import sys
import _thread
import threading
import time
from collections import Counter, OrderedDict
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, cast

import numpy as np

import vellkit

from .. import remote
from .._text import escape
from ..kinds import block_name, block_text as _block_text, default_block, kind, match_block
from ._batch import EXIT_FAILED, EXIT_OK, Progress, gather_inputs, not_a_file

Triple = Tuple[str, str, str]

#: What a read of a damaged or hostile file may raise besides the system's
#: errors: each is that file's failure, never the run's.
READ_ERRORS = (ValueError, KeyError, IndexError, TypeError, MemoryError, OSError)


class CommandError(Exception):
    """An error the command reports in one line (the message names the file)."""


# ----------------------------------------------------------------------------
# Failed-read reports of the vellkit field readers
# ----------------------------------------------------------------------------

class Reports(object):
    """Failed-read reports and console lines gathered while ``vellkit`` reads a file.

    Only counts are kept, by reader and message (at most :attr:`KINDS`
    distinct ones, the rest counted together), never the reports' tracebacks:
    a file that makes the reader report a hundred thousand failed reads costs
    a few counters.
    """

    KINDS = 16
    LINES = 32

    def __init__(self) -> None:
        self.reads: Counter = Counter()  # (reader, message) -> count
        self.other = 0
        self.printed: List[str] = []

    def __len__(self) -> int:
        return sum(self.reads.values()) + self.other

    def add(self, unraisable: Any) -> None:
        """``sys.unraisablehook`` while captured (runs no Python function besides this)."""
        reader = unraisable.object
        key = ("?" if reader is None else str(reader), str(unraisable.exc_value))
        if key in self.reads or len(self.reads) < self.KINDS:
            self.reads[key] += 1
        else:
            self.other += 1

    def summary(self) -> str:
        """One line such as ``12 failed reads (vellkit.readInt x12: unpack requires ...)``."""
        parts = ["%s x%d: %s" % (reader, n, msg) for (reader, msg), n in self.reads.items()]
        if self.other:
            parts.append("%d of other kinds" % self.other)
        return "%d failed read%s (%s)" % (len(self), "" if len(self) == 1 else "s", "; ".join(parts))


def _ignore_report(*args: Any) -> None:
    """``sys.excepthook`` while captured: the reader prints each report through it."""


class _Lines(io.TextIOBase):
    """A stream that keeps the first ``limit`` lines written to it and drops the rest."""

    def __init__(self, limit: int) -> None:
        super().__init__()
        self.limit, self.lines, self._tail = limit, [], ""

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        if len(self.lines) < self.limit:
            parts = (self._tail + text).split("\n")
            self._tail = parts.pop()[:4096]
            self.lines.extend(line for line in parts[:self.limit - len(self.lines)] if line.strip())
        return len(text)

    def take(self) -> List[str]:
        if self._tail.strip() and len(self.lines) < self.limit:
            self.lines.append(self._tail)
        return self.lines


def _in_hook(frame: Any) -> bool:
    for _ in range(6):
        if frame is None:
            return False
        if frame.f_code in _HOOK_CODES:
            return True
        frame = frame.f_back
    return False


def _raise_soon(signum: int) -> None:
    time.sleep(0.002)
    signal.raise_signal(signum)


def _deferring(handler: Any) -> Any:
    """``handler`` (a Python signal handler), held back while a report hook runs.

    An exception raised inside a report hook would be taken by the reader's
    report machinery and lost (the run would move on after Ctrl-C). A signal
    that arrives inside a hook is raised again a moment later from another
    thread instead (raised at once, it would fire inside the hook again), so
    it reaches the reader outside the hooks (it checks for signals between
    reports) and the caller gets the original handler's exception.
    """
    def deferred(signum: int, frame: Any) -> Any:
        if _in_hook(frame):
            _thread.start_new_thread(_raise_soon, (signum,))  # no Python code runs here
            return None
        return handler(signum, frame)
    return deferred


#: Signals whose Python handlers are held back while a report hook runs.
_DEFERRED = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGALRM", "SIGHUP")
                  if hasattr(signal, name))


class captured(object):
    """Count the field readers' reports instead of letting them reach the terminal.

    The readers print each failed read with its traceback through
    ``sys.excepthook`` to ``sys.stderr`` and pass it to
    ``sys.unraisablehook``: inside ``with captured(reports):`` the first
    prints nothing, stderr is dropped and the second counts into
    ``reports``. ``vellkit`` also prints one informational line to
    ``sys.stdout`` for derivative maps; the first lines are kept in
    ``reports.printed``. Every hook and stream is restored on the way out, and
    a signal that arrives while a report is emitted still raises its
    exception (Ctrl-C ends the read with KeyboardInterrupt).
    """

    def __init__(self, reports: Reports) -> None:
        self.reports = reports
        self._saved: Any = None
        self._handlers: List[Tuple[int, Any]] = []
        self._out = _Lines(Reports.LINES)

    def __enter__(self) -> Reports:
        if threading.current_thread() is threading.main_thread():  # only it runs handlers
            for signum in _DEFERRED:
                handler = signal.getsignal(signum)
                if callable(handler):
                    self._handlers.append((signum, handler))
                    signal.signal(signum, _deferring(handler))
        self._saved = sys.unraisablehook, sys.excepthook, sys.stderr, sys.stdout
        sys.unraisablehook, sys.excepthook = self.reports.add, _ignore_report
        sys.stderr, sys.stdout = _Lines(0), self._out
        return self.reports

    def __exit__(self, *exc_info: Any) -> None:
        # Signals stay held back in here until the hooks are back (see _HOOK_CODES).
        sys.unraisablehook, sys.excepthook, sys.stderr, sys.stdout = self._saved
        self.reports.printed.extend(self._out.take())
        handlers, self._handlers = self._handlers, []
        for signum, handler in handlers:
            signal.signal(signum, handler)


#: The code that runs while a report is emitted or the capture ends: a signal
#: arriving in it is raised again once the reader is back in C.
_HOOK_CODES = frozenset(f.__code__ for f in (Reports.add, _ignore_report, _Lines.write,
                                             _Lines.take, captured.__exit__,
                                             _deferring(print)))


# ----------------------------------------------------------------------------
# Block requests
# ----------------------------------------------------------------------------

def triple_name(triple: Sequence[str]) -> str:
    """File-name form of a block, e.g. ``AB_3D_NONE``."""
    return block_name(triple)


# ----------------------------------------------------------------------------
# Reading with reports captured
# ----------------------------------------------------------------------------

def describe_error(exc: BaseException) -> str:
    if isinstance(exc, KeyError):
        return "KeyError: missing %s" % exc
    text = str(exc)
    return "%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__


def list_blocks(path: str, reports: Reports) -> List[Triple]:
    """``vellkit.listContents`` with reports captured (after :func:`describe_file`,
    which tells a file that is not a VELL file)."""
    try:
        with captured(reports):
            return [tuple(b) for b in vellkit.listContents(path)]
    except OSError as exc:
        raise CommandError("%s: %s" % (shown(path), exc.strerror or exc))
    except Exception as exc:  # a file damaged past what the description saw
        raise CommandError("%s: %s" % (shown(path), escape(describe_error(exc))))


def read_block(path: str, triple: Triple, reports: Reports) -> Any:
    """``vellkit.getVellData`` with reports captured; errors name the file and block."""
    try:
        with captured(reports):
            return vellkit.getVellData(path, tuple(triple))
    except Exception as exc:
        raise CommandError("%s: block %s: %s" % (path, _block_text(triple), describe_error(exc)))


def read_images(path: str, reports: Reports) -> List[Dict[str, Any]]:
    try:
        with captured(reports):
            return vellkit.getVisImages(path)
    except Exception as exc:
        raise CommandError("%s: visible images: %s" % (path, describe_error(exc)))


# ----------------------------------------------------------------------------
# Parameters
# ----------------------------------------------------------------------------

#: Labels of the map parameters, which ``vellkit.paramDict`` does not name.
MAP_LABELS = {"AOX": "Map Origin X", "AOY": "Map Origin Y", "DDX": "Map Step X",
              "DDY": "Map Step Y", "NPX": "Map Columns", "NPY": "Map Rows"}


def param_label(name: str) -> str:
    """Readable label of a parameter name (``vellkit.paramDict`` first), or ""."""
    return str(vellkit.paramDict.get(name, MAP_LABELS.get(name, "")))


def plain(value: Any) -> Any:
    """A parameter value as JSON can hold it."""
    if isinstance(value, (bool, int, str)) or value is None:
        return value
    if isinstance(value, float):
        return value if np.isfinite(value) else str(value)
    if isinstance(value, bytes):
        return value.decode("latin1")
    if isinstance(value, np.generic):
        return plain(value.item())
    return str(value)


# ----------------------------------------------------------------------------
# Many files: progress, outcomes, summary
# ----------------------------------------------------------------------------

class Outcome(object):
    """How one file went: ``problems`` empty means OK."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.problems: List[str] = []
        self.notes: List[str] = []
        #: Outputs left as they were: there already, and --skip-existing
        #: (``skipped``) or no option that allows replacing them (``exist``).
        self.skipped: List[str] = []
        self.exist: List[str] = []

    @property
    def ok(self) -> bool:
        return not self.problems

    def reason(self) -> str:
        first = escape(self.problems[0]) if self.problems else ""
        prefix = shown(self.path) + ": "
        first = first[len(prefix):] if first.startswith(prefix) else first
        more = len(self.problems) - 1
        return first + (" (and %d more)" % more if more > 0 else "")


def error(message: str) -> None:
    """Print an error line (file names and texts in it :func:`escape`d)."""
    print("vellkit: " + escape(message), file=sys.stderr)


def finish(outcomes: Sequence[Outcome], command: str, stream: Any = None) -> int:
    """Print the summary of a run over several files (to stderr by default); the exit status.

    A file of which nothing was written because its outputs exist is counted
    apart from those that failed, ``skipped`` with --skip-existing, ``not
    written`` without it (and then the run fails: one line before the
    summary says which option to use).
    """
    out = stream or sys.stderr
    failed = [o for o in outcomes if not o.ok]
    unwritten = [o for o in outcomes if o.ok and o.exist]
    skipped = [o for o in outcomes if o.ok and not o.exist and o.skipped]
    exist = [p for o in outcomes for p in o.exist]
    if exist:
        print("vellkit: %d output%s exist%s already (%s%s): use --force to overwrite or "
              "--skip-existing to keep them" % (
                  len(exist), "" if len(exist) == 1 else "s", "s" if len(exist) == 1 else "",
                  shown(exist[0]), ", ..." if len(exist) > 1 else ""), file=out)
    if len(outcomes) > 1 or failed:
        ok = len(outcomes) - len(failed) - len(unwritten) - len(skipped)
        lines = ["%s: %d file%s, %d OK, %s%d failed%s" % (
            command, len(outcomes), "" if len(outcomes) == 1 else "s", ok,
            "%d skipped (outputs exist), " % len(skipped) if skipped else "", len(failed),
            ", %d not written (outputs exist)" % len(unwritten) if unwritten else "")]
        lines += ["  %s: %s" % (shown(o.path), o.reason()) for o in failed]
        print("\n".join(lines), file=out)
    return EXIT_FAILED if failed or exist else EXIT_OK


def refused_outcomes(refused: Sequence[Tuple[str, str]]) -> List[Outcome]:
    """The outcomes of inputs refused before reading (see :func:`gather_inputs`)."""
    outcomes = []
    for path, why in refused:
        outcome = Outcome(path)
        outcome.problems.append("%s: %s" % (path, why))
        outcomes.append(outcome)
    return outcomes


#: The file names taken while walking a folder whatever their contents: a
#: file named so that is no VELL file is reported, not passed over.
VELL_SUFFIX = ".vell"


def looks_like_vell(path: str) -> bool:
    """Whether a file met while walking a folder is to be taken: named
    ``.vell``, or a VELL file by its first bytes."""
    if os.path.normcase(path).lower().endswith(VELL_SUFFIX):
        return True
    try:
        with captured(Reports()):
            return bool(vellkit.isVellFile(path))
    except Exception:  # shorter than the magic number, unreadable: not one
        return False


# ----------------------------------------------------------------------------
# URLs: read through byte sources
# ----------------------------------------------------------------------------

class _RunStores(object):
    """The run's --storage-option values, and the byte sources of the URLs
    it read last (a few: each keeps read-ahead blocks)."""

    KEPT_SOURCES = 4

    def __init__(self, options: Dict[str, Any]) -> None:
        self.options = dict(options)
        self.sources: "OrderedDict[str, Any]" = OrderedDict()


#: The stores of the run in progress: set by ``main`` for the run, and gone
#: with it (a run in the same process starts with its own).
_RUN_STORES: "contextvars.ContextVar[Optional[_RunStores]]" = contextvars.ContextVar(
    "vellkit_run_stores", default=None)


def use_storage_options(options: Dict[str, Any]) -> "contextvars.Token[Optional[_RunStores]]":
    """The store options of the URLs of this run (``--storage-option``); the
    token that ends them (``end_storage_options``)."""
    return _RUN_STORES.set(_RunStores(options))


def end_storage_options(token: "contextvars.Token[Optional[_RunStores]]") -> None:
    _RUN_STORES.reset(token)


def _run_stores() -> _RunStores:
    stores = _RUN_STORES.get()
    if stores is None:  # outside a run (a function of the command called directly)
        stores = _RunStores({})
        _RUN_STORES.set(stores)
    return stores


def storage_options() -> Dict[str, Any]:
    return dict(_run_stores().options)


def is_url(path: Any) -> bool:
    """Whether an input is read from a store (``file://`` URLs are made local paths when gathered)."""
    return remote.is_url(path)


def _named(path: str, exc: BaseException) -> str:
    text = describe_error(exc) if not isinstance(exc, OSError) else str(exc)
    return text if path in text else "%s: %s" % (path, text)


def readable(path: str) -> Any:
    """What the reader reads for an input: a local file by its path, a URL
    through its byte source (opened once, asked for ranges). CommandError
    naming the URL when the store refuses it."""
    if not is_url(path):
        return path
    stores = _run_stores()
    source = stores.sources.get(path)
    if source is not None:
        stores.sources.move_to_end(path)
        return source
    try:
        source = remote.open_source(path, stores.options)
    except ImportError as exc:
        raise CommandError("%s: %s" % (path, exc))
    except Exception as exc:  # the store's own errors vary: each is this input's failure
        raise CommandError(escape(_named(path, exc)))
    stores.sources[path] = source
    while len(stores.sources) > stores.KEPT_SOURCES:
        stores.sources.popitem(last=False)
    return source


def _expand(path: str) -> Optional[List[str]]:
    """The objects an input URL names (a pattern's matches), or None for a local path."""
    if not is_url(path):
        return None
    try:
        return remote.expand_urls(path, _run_stores().options)
    except Exception as exc:  # the store's own errors vary; ImportError: no fsspec
        # Said as why the input is refused: the URL is put before it there.
        text = _named(path, exc)
        raise OSError(text[len(path) + 2:] if text.startswith(path + ": ") else text)


def _local(paths: Sequence[str]) -> List[str]:
    """The inputs, ``file://`` URLs as their local paths."""
    return [remote.local_path(p) or p if isinstance(p, str) else p for p in paths]


def url_name(path: str) -> str:
    """The last component of a URL's path (what a local copy and its outputs are named)."""
    from urllib.parse import unquote

    # (After the scheme: a URL of one component has it where a host would be.)
    rest = path.split("://", 1)[-1].split("?", 1)[0].split("#", 1)[0]
    return os.path.basename(unquote(rest).rstrip("/")) or "object"


def inputs(args: Any) -> Tuple[List[str], List[Outcome]]:
    """(files, outcomes of refused inputs) of the FILE arguments (see :func:`add_inputs`;
    URLs where the subcommand takes them)."""
    urls = hasattr(args, "storage_options")
    files, refused = gather_inputs(_local(args.files) if urls else args.files, getattr(args, "recursive", False),
                                   looks_like_vell, _expand if urls else None)
    return files, refused_outcomes(refused)


def run_per_file(paths: Sequence[str], work: Callable[[str, Outcome], None], what: str,
                 report: bool = True, recursive: bool = False,
                 bar: Optional[Progress] = None) -> List[Outcome]:
    """Run ``work`` on every file, going on past failures.

    The same file named twice is done once, FIFOs and other non-regular files
    are refused (never opened), folders are walked with ``recursive``. With
    ``report`` each file's problems go to stderr as soon as it is done.
    Ctrl-C ends the run (KeyboardInterrupt goes on).
    """
    files, refused = gather_inputs(_local(paths), recursive, looks_like_vell, _expand)
    outcomes = refused_outcomes(refused)
    bar = bar or Progress(len(files), what)
    for outcome in outcomes:
        if report:
            bar.print("vellkit: " + escape(outcome.problems[0]), sys.stderr)
    bar.start()
    try:
        for path in files:
            outcome = Outcome(path)
            try:
                work(path, outcome)
            except CommandError as exc:
                outcome.problems.append(str(exc))
            bar.advance()
            if report:
                for problem in outcome.problems:
                    bar.print("vellkit: " + escape(problem), sys.stderr)
            outcomes.append(outcome)
    finally:
        bar.close()
    return outcomes


# ----------------------------------------------------------------------------
# Describing files from their headers alone (list, show, check, preview)
# ----------------------------------------------------------------------------

def shown(path: Any) -> str:
    """A file name as the command prints it (:func:`escape`d)."""
    return escape(os.fspath(path) if not isinstance(path, bytes) else os.fsdecode(path))


def describe_file(path: str) -> Dict[str, Any]:
    """The header-only description of a file (``_native.describe_file``);
    CommandError naming the file for a folder, a FIFO or other non-regular
    file, a non-VELL file or an error of the system."""
    from .. import _native

    name = shown(path)
    why = None if is_url(path) else not_a_file(path)  # before anything opens it: a FIFO would block
    if why:
        raise CommandError("%s: %s" % (name, why))
    try:
        return cast(Dict[str, Any], _native.describe_file(readable(path)))
    except OSError as exc:
        if is_url(path):  # the store's error, which names the URL
            raise CommandError(escape(_named(path, exc)))
        raise CommandError("%s: %s" % (name, exc.strerror or exc))
    except READ_ERRORS as exc:  # the message names the file
        if str(exc).endswith(_NOT_VELL):
            raise CommandError("%s: not a VELL file (%s)" % (name, _not_vell_why(path)))
        text = escape(describe_error(exc))
        raise CommandError(text if os.fspath(path) in str(exc) else "%s: %s" % (name, text))


#: The end of the reading core's message for a file without the magic number.
_NOT_VELL = "is not a VELL data file"


def _not_vell_why(path: str) -> str:
    try:
        size = readable(path).size if is_url(path) else os.stat(path).st_size
    except (OSError, CommandError):
        size = -1
    if 0 <= size < 4:
        return "it holds %d byte%s, fewer than its magic number" % (size, "" if size == 1 else "s")
    return "its first bytes are not 0A 0A FE FE"


#: The derivative words of the reading core's names of directory entries.
_ENTRY_DERIVATIVES = {"NONE": "", "1DER": " 1DER", "2DER": " 2DER", "3DER": " 3DER", "NDER": " 3DER"}


def block_damage(description: Dict[str, Any], block: Dict[str, Any]) -> List[str]:
    """What ``check`` says is wrong with a described block from the headers:
    its own problem, and those of the directory entries of its data and
    parameters (a data block cut by the end of the file)."""
    found = [str(block["problem"])] if block.get("problem") else []
    listed = [str(w) for w in block["listed"]]
    owner = "%s %s%s " % (listed[0], listed[1], _ENTRY_DERIVATIVES.get(listed[2], " " + listed[2]))
    found += [str(e["problem"]) for e in description.get("entries", ())
              if e.get("problem") and str(e.get("what", "")).startswith(owner)]
    return found


def block_words(block: Dict[str, Any]) -> str:
    """A described block as the tools write it, e.g. ``AB/3D/3DER``."""
    return _block_text(block["request"])


def block_dims(block: Dict[str, Any]) -> "OrderedDict[str, int]":
    """The sizes of a described block's dimensions by name (kinds table),
    e.g. ``{"y": 3, "x": 4, "spectral": 40}``; empty without data."""
    if not block.get("kind") or block.get("shape") is None:
        return OrderedDict()
    return OrderedDict(zip(kind(block["kind"]).dims, (int(n) for n in block["shape"])))


#: What a block of each kind holds, in words, from its dimensions.
_SHAPE_TEXTS = {
    "spectrum": "{spectral} points",
    "image_map": "{x} x {y} positions, {spectral} points",
    "image_traces": "{trace} traces on {x} x {y} positions",
    "series": "{time} spectra, {spectral} points",
    "series_traces": "{trace} traces, {spectral} points",
    "multi_region": "{position} positions, {spectral} points",
    "multi_region_traces": "{trace} traces, {position} positions",
}


def block_text(block: Dict[str, Any]) -> str:
    """What a described block holds, e.g. ``image map: 4 x 3 positions, 40 points``."""
    if not block.get("kind"):
        if block.get("problem"):
            return "cannot be read: %s" % escape(block["problem"])
        return "no data (listed from a parameter block alone)"
    row = kind(block["kind"])
    dims = block_dims(block)
    if not dims:
        return row.words
    return "%s: %s" % (row.words, _SHAPE_TEXTS[row.name].format(**dims))


def first_data_block(description: Dict[str, Any]) -> Optional[Dict[str, Any]]:
    """The default block of preview and export: the original (NONE) block of
    the first data type with data (kinds.default_block)."""
    triple = default_block([b["request"] for b in description["blocks"] if b.get("kind")])
    return None if triple is None else next(b for b in description["blocks"] if tuple(b["request"]) == triple)


def find_block(path: str, description: Dict[str, Any], request: str) -> Dict[str, Any]:
    """The described block a request names (``AB/3D/NONE``, ``AB``, ``3DER`` or ``NDER``)."""
    try:
        triple = match_block(request, [b["request"] for b in description["blocks"]], shown(path))
    except ValueError as exc:
        raise CommandError(escape(exc))
    return next(b for b in description["blocks"] if tuple(b["request"]) == triple)


def merged_parameters(parameters: Sequence[Tuple[str, Any]]) -> "OrderedDict[str, Any]":
    """Parameters in file order, a repeated name keeping its first place and last value."""
    merged: "OrderedDict[str, Any]" = OrderedDict()
    for name, value in parameters:
        merged[str(name)] = value
    return merged


def same_file(path: str, identity: Sequence[int]) -> Optional[str]:
    """None while the file at ``path`` is the one described (device, inode,
    size, modification time; for a URL, what its store says: size and ETag
    or modification time); else what changed."""
    if is_url(path):
        try:
            now = readable(path).identity()
        except (OSError, CommandError) as exc:
            return "it is gone (%s)" % exc
        return None if tuple(now) == tuple(identity) else "the object was replaced or modified"
    try:
        st = os.stat(path)
    except OSError as exc:
        return "it is gone (%s)" % (exc.strerror or exc)
    now = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
    if tuple(now) == tuple(identity):
        return None
    if now[:2] != tuple(identity[:2]):
        return "it was replaced by another file"
    if now[2] != identity[2]:
        return "its size went from %d to %d bytes" % (identity[2], now[2])
    return "it was modified"


@contextlib.contextmanager
def local_copy(path: str) -> Iterator[str]:
    """A local file holding the object at URL ``path``, removed after (the
    ``vellkit`` functions read local files only); a local path as it is.
    The copy is made in pieces through the URL's byte source, so memory
    stays bounded whatever its size; CommandError naming the URL when the
    store fails or the object changes while it is copied."""
    if not is_url(path):
        yield path
        return
    import tempfile

    source = readable(path)
    opened = source.identity()
    folder = tempfile.mkdtemp(prefix="vellkit-")
    try:
        local = os.path.join(folder, url_name(path))
        piece = bytearray(_COPY_PIECE)
        try:
            with open(local, "wb") as out:
                at = 0
                while at < source.size:
                    view = memoryview(piece)[:min(_COPY_PIECE, source.size - at)]
                    got = source.read_into(at, view)
                    if got <= 0:
                        raise OSError("%s: the object ends at byte %d, before the %d its store said"
                                      % (path, at, source.size))
                    out.write(view[:got])
                    at += got
            if tuple(source.identity()) != tuple(opened):
                raise OSError("%s has changed while it was copied" % path)
        except OSError as exc:
            raise CommandError(escape(_named(path, exc)))
        yield local
    finally:
        import shutil

        shutil.rmtree(folder, ignore_errors=True)


#: What a local copy of a URL is fetched in: a few requests for a large file,
#: a bounded buffer.
_COPY_PIECE = 8 << 20


def json_document(command: str, files: Sequence[Dict[str, Any]], outcomes: Sequence[Outcome]
                  ) -> Dict[str, Any]:
    """One JSON document for a whole run: every file, then the summary."""
    failed = sum(1 for o in outcomes if not o.ok)
    return OrderedDict([("command", command), ("files", list(files)),
                        ("summary", OrderedDict([("files", len(outcomes)), ("ok", len(outcomes) - failed),
                                                 ("failed", failed)]))])


def _strict(value: Any) -> Any:
    """``value`` with NaN and infinities as null: strict JSON."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return OrderedDict((k, _strict(v)) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return [_strict(v) for v in value]
    return value


def json_status(outcomes: Sequence[Outcome]) -> int:
    """The exit status of a run whose summary is in its JSON document."""
    return EXIT_FAILED if any(not o.ok for o in outcomes) else EXIT_OK


def file_entry(documents: Dict[str, Dict[str, Any]], outcome: Outcome) -> Dict[str, Any]:
    """The JSON entry of one file of a run: what was found, its status and,
    for a file that could not be described, the error."""
    doc = documents.get(outcome.path) or OrderedDict([("path", outcome.path)])
    doc["status"] = "ok" if outcome.ok else "failed"
    if "size" not in doc:
        doc["error"] = outcome.reason()
    return doc


def finish_described(command: str, outcomes: Sequence[Outcome], documents: Dict[str, Dict[str, Any]],
                     as_json: bool) -> int:
    """The end of a run that describes files: its JSON document (an entry per
    file, from ``documents``) or its summary; the exit status."""
    if as_json:
        print_json(json_document(command, [file_entry(documents, o) for o in outcomes], outcomes))
        return json_status(outcomes)
    return finish(outcomes, command)


def print_json(doc: Any) -> None:
    """``doc`` as strict JSON, ASCII-only (a file name that is not text keeps
    its bytes as \\udcXX escapes, which read back to the same name)."""
    print(json.dumps(_strict(doc), indent=2, allow_nan=False, default=plain))


def safe_output() -> None:
    """Let standard output print what a terminal cannot encode escaped
    rather than fail (a file name that is not UTF-8 on a UTF-8 system)."""
    for stream in (sys.stdout, sys.stderr):
        try:
            getattr(stream, "reconfigure")(errors="backslashreplace")
        except (AttributeError, ValueError):  # replaced or closed streams
            pass
