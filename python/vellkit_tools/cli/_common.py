"""Shared pieces of the ``vellkit`` command: report capture, block requests,
block summaries, progress, per-file outcomes and the closing summary."""

import io
import os
import signal
import sys
import _thread
import threading
import time
from collections import Counter, OrderedDict
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple

import numpy as np

import vellkit

from ..units import x_unit_label, x_unit_long_name
from ._batch import Progress, gather_inputs, not_a_file

Triple = Tuple[str, str, str]

#: Exit statuses: all files fine, some file failed, the command line was wrong.
EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


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

def format_triple(triple: Sequence[str]) -> str:
    return "(%s)" % ", ".join(repr(str(w)) for w in triple)


def triple_name(triple: Sequence[str]) -> str:
    """File-name form of a block, e.g. ``AB_3D_NONE``."""
    return "_".join(str(w) for w in triple)


def parse_block(text: str) -> Tuple[str, ...]:
    """A block as typed on the command line: ``AB/3D/NONE``, ``AB,3D,NONE``, ``AB 3D NONE``
    or a prefix of it (``AB``, ``AB/3D``), matched against the file's blocks."""
    cleaned = text.strip().strip("()[]")
    for sep in "/,: ":
        cleaned = cleaned.replace(sep, " ")
    words = tuple(w.strip("'\"").upper() for w in cleaned.split())
    if not 1 <= len(words) <= 3:
        raise CommandError("not a block: %r (write it as AB/3D/NONE)" % text)
    return words


def select_blocks(path: str, blocks: Sequence[Triple], wanted: Optional[Sequence[Tuple[str, ...]]]
                  ) -> List[Triple]:
    """The file's blocks that match any of ``wanted`` (all of them when it is empty)."""
    if not wanted:
        return list(OrderedDict.fromkeys(blocks))
    chosen = [b for b in OrderedDict.fromkeys(blocks)
              if any(tuple(b[:len(w)]) == w for w in wanted)]
    if not chosen:
        raise CommandError("%s: no block %s (the file has %s)" % (
            path, " or ".join("/".join(w) for w in wanted),
            ", ".join("/".join(b) for b in blocks) or "no data blocks"))
    return chosen


# ----------------------------------------------------------------------------
# Reading with reports captured
# ----------------------------------------------------------------------------

def describe_error(exc: BaseException) -> str:
    if isinstance(exc, KeyError):
        return "KeyError: missing %s" % exc
    text = str(exc)
    return "%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__


def list_blocks(path: str, reports: Reports) -> List[Triple]:
    """``vellkit.listContents`` with reports captured; a non-VELL file is a CommandError."""
    why = not_a_file(path)
    if why:
        raise CommandError("%s: %s" % (path, why))
    try:
        with captured(reports):
            if not vellkit.isVellFile(path):
                raise CommandError("%s: not a VELL file (its first bytes are not 0A 0A FE FE)" % path)
            return [tuple(b) for b in vellkit.listContents(path)]
    except CommandError:
        raise
    except OSError as exc:
        raise CommandError("%s: %s" % (path, exc.strerror or exc))
    except Exception as exc:  # e.g. the struct error of a file shorter than 4 bytes
        raise CommandError("%s: not a VELL file (%s)" % (path, describe_error(exc)))


def read_block(path: str, triple: Triple, reports: Reports) -> Any:
    """``vellkit.getVellData`` with reports captured; errors name the file and block."""
    try:
        with captured(reports):
            return vellkit.getVellData(path, tuple(triple))
    except Exception as exc:
        raise CommandError("%s: block %s: %s" % (path, "/".join(triple), describe_error(exc)))


def read_images(path: str, reports: Reports) -> List[Dict[str, Any]]:
    try:
        with captured(reports):
            return vellkit.getVisImages(path)
    except Exception as exc:
        raise CommandError("%s: visible images: %s" % (path, describe_error(exc)))


# ----------------------------------------------------------------------------
# What a result holds
# ----------------------------------------------------------------------------

KINDS = {
    "SingleDataReturn": "spectrum",
    "ImageDataReturn": "image map",
    "ImageTRCDataReturn": "image trace map",
    "TimeResolvedDataReturn": "time series",
    "TimeResolvedTRCDataReturn": "time-resolved traces",
    "MultiRegionDataReturn": "multi-region map",
    "MultiRegionTRCDataReturn": "multi-region traces",
}


def kind_of(result: Any) -> str:
    return KINDS.get(type(result).__name__, type(result).__name__)


def _num(value: Any) -> Any:
    """A JSON-friendly plain number (NaN and infinities as None)."""
    value = float(value)
    return value if np.isfinite(value) else None


def _extent(values: np.ndarray) -> Optional[List[Any]]:
    values = np.asarray(values, dtype=np.float64)
    return [_num(values.min()), _num(values.max())] if values.size else None


def _data_range(arrays: Iterable[np.ndarray]) -> Optional[List[Any]]:
    lo, hi = np.inf, -np.inf
    for a in arrays:
        a = np.asarray(a)
        if a.size:
            finite = a[np.isfinite(a)]
            if finite.size:
                lo, hi = min(lo, float(finite.min())), max(hi, float(finite.max()))
    return None if lo > hi else [lo, hi]


def x_axis(result: Any) -> Dict[str, Any]:
    x = np.asarray(result.x)
    code = result.parameters.get("DXU") if isinstance(result.parameters, dict) else None
    return {"points": int(x.size), "first": _num(x[0]) if x.size else None,
            "last": _num(x[-1]) if x.size else None, "code": code,
            "unit": x_unit_label(code), "name": x_unit_long_name(code)}


def map_axis(values: np.ndarray) -> Dict[str, Any]:
    values = np.asarray(values, dtype=np.float64)
    step = float(values[1] - values[0]) if values.size > 1 else None
    return {"count": int(values.size), "first": _num(values[0]) if values.size else None,
            "last": _num(values[-1]) if values.size else None, "step": step}


def data_arrays(result: Any) -> List[np.ndarray]:
    """The value arrays of a result (spectra, traces, region arrays)."""
    for name in ("y", "spectra", "traces"):
        if hasattr(result, name) and not hasattr(result, "regions"):
            return [np.asarray(getattr(result, name))]
    return [np.asarray(r.spectra) for r in getattr(result, "regions", [])]


def summarize(result: Any) -> Dict[str, Any]:
    """What a result holds, as plain JSON-friendly values (no parameters)."""
    out: Dict[str, Any] = OrderedDict()
    out["kind"] = kind_of(result)
    out["class"] = type(result).__name__
    out["x"] = x_axis(result)
    out["values"] = _data_range(data_arrays(result))
    if hasattr(result, "mapX") and not hasattr(result, "regions"):
        out["map_x"], out["map_y"] = map_axis(result.mapX), map_axis(result.mapY)
    if hasattr(result, "z"):
        unit = result.parameters.get("ZTX", "")
        out["time"] = {"steps": int(np.size(result.z)), "extent": _extent(result.z), "unit": unit}
    if hasattr(result, "labels"):
        out["labels"] = [str(s) for s in result.labels]
    if hasattr(result, "regions"):
        out["regions"] = [OrderedDict([
            ("title", str(r.title)), ("positions", int(np.shape(r.spectra)[0])),
            ("map_x", _extent(r.mapX)), ("map_y", _extent(r.mapY))]) for r in result.regions]
    return out


def shape_text(info: Dict[str, Any]) -> str:
    """Short text of what a block returns: ``image map: 4 x 3 positions, 50 points``."""
    kind, points = info["kind"], info["x"]["points"]
    if kind == "spectrum":
        return "spectrum: %d points" % points
    if kind == "image map":
        return "image map: %d x %d positions, %d points" % (
            info["map_x"]["count"], info["map_y"]["count"], points)
    if kind == "image trace map":
        return "image trace map: %d traces on %d x %d positions" % (
            len(info["labels"]), info["map_x"]["count"], info["map_y"]["count"])
    if kind == "time series":
        return "time series: %d spectra, %d points" % (info["time"]["steps"], points)
    if kind == "time-resolved traces":
        return "time-resolved traces: %d traces, %d points" % (len(info["labels"]), points)
    positions = sum(r["positions"] for r in info.get("regions", []))
    if kind == "multi-region map":
        return "multi-region map: %d regions, %d positions, %d points" % (
            len(info["regions"]), positions, points)
    if kind == "multi-region traces":
        return "multi-region traces: %d traces, %d regions, %d positions" % (
            len(info["labels"]), len(info["regions"]), positions)
    return kind


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

def progress(items: Sequence[Any], what: str) -> Iterable[Any]:
    """``items`` with a progress bar on stderr when it is a terminal (see :class:`Progress`)."""
    bar = Progress(len(items), what)
    bar.start()
    try:
        for item in items:
            yield item
            bar.advance()
    finally:
        bar.close()


class Outcome(object):
    """How one file went: ``problems`` empty means OK."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.problems: List[str] = []
        self.notes: List[str] = []

    @property
    def ok(self) -> bool:
        return not self.problems

    def reason(self) -> str:
        first = self.problems[0] if self.problems else ""
        prefix = self.path + ": "
        first = first[len(prefix):] if first.startswith(prefix) else first
        more = len(self.problems) - 1
        return first + (" (and %d more)" % more if more > 0 else "")


def error(message: str) -> None:
    print("vellkit: " + message, file=sys.stderr)


def finish(outcomes: Sequence[Outcome], command: str, stream: Any = None) -> int:
    """Print the summary of a run over several files (to stderr by default); the exit status."""
    failed = [o for o in outcomes if not o.ok]
    if len(outcomes) > 1 or failed:
        lines = ["%s: %d file%s, %d OK, %d failed" % (
            command, len(outcomes), "" if len(outcomes) == 1 else "s",
            len(outcomes) - len(failed), len(failed))]
        lines += ["  %s: %s" % (o.path, o.reason()) for o in failed]
        print("\n".join(lines), file=stream or sys.stderr)
    return EXIT_FAILED if failed else EXIT_OK


def refused_outcomes(refused: Sequence[Tuple[str, str]]) -> List[Outcome]:
    """The outcomes of inputs refused before reading (see :func:`gather_inputs`)."""
    outcomes = []
    for path, why in refused:
        outcome = Outcome(path)
        outcome.problems.append("%s: %s" % (path, why))
        outcomes.append(outcome)
    return outcomes


def looks_like_vell(path: str) -> bool:
    """Whether a file met while walking a folder is a VELL file (by its first bytes)."""
    try:
        with captured(Reports()):
            return bool(vellkit.isVellFile(path))
    except Exception:
        return False


def inputs(args: Any) -> Tuple[List[str], List[Outcome]]:
    """(files, outcomes of refused inputs) of the FILE arguments (see :func:`add_inputs`)."""
    files, refused = gather_inputs(args.files, getattr(args, "recursive", False), looks_like_vell)
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
    files, refused = gather_inputs(list(paths), recursive, looks_like_vell)
    outcomes = refused_outcomes(refused)
    bar = bar or Progress(len(files), what)
    for outcome in outcomes:
        if report:
            bar.print("vellkit: " + outcome.problems[0], sys.stderr)
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
                    bar.print("vellkit: " + problem, sys.stderr)
            outcomes.append(outcome)
    finally:
        bar.close()
    return outcomes
