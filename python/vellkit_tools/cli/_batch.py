"""Runs of the ``vellkit`` command over many files: the inputs, the progress
line, signals held back, and the worker processes of ``--jobs``.

Nothing here knows the file format; the subcommands bring the work."""

import contextlib
import os
import signal
import stat
import sys
import threading
import time
from collections import deque
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, cast

#: Exit statuses: all files fine, some file failed, the command line was
#: wrong, stopped by Ctrl-C or SIGTERM (128 + SIGINT, as shells report it).
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

#: The signals that stop a run: SIGTERM is taken as Ctrl-C is.
STOPPING = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM") if hasattr(signal, name))


# ----------------------------------------------------------------------------
# Inputs
# ----------------------------------------------------------------------------

def _file_kind(mode: int) -> str:
    for test, what in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device")):
        if test(mode):
            return what
    return "not a regular file"


def not_a_file(path: str) -> Optional[str]:
    """Why ``path`` cannot be read as a file (a folder, a FIFO, a device...), or None.

    Checked before anything opens it: opening a FIFO without a writer blocks.
    """
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return None  # the reader's own error names what is wrong
    if stat.S_ISDIR(mode):
        return "is a folder, not a file"
    if not stat.S_ISREG(mode):
        return "%s, not a file (it is not read)" % _file_kind(mode)
    return None


def gather_inputs(paths: Sequence[str], recursive: bool = False,
                  looks_right: Optional[Callable[[str], bool]] = None,
                  expand: Optional[Callable[[str], Optional[List[str]]]] = None
                  ) -> Tuple[List[str], List[Tuple[str, str]]]:
    """(files to work on, [(path, why it is refused)]) from the command line.

    A file named twice (``a.vell ./a.vell``, or a link to it) is taken once;
    FIFOs, devices and sockets are refused before anything opens them (they
    could block forever); folders are walked with ``recursive``, keeping the
    regular files for which ``looks_right`` holds, in name order. An input
    for which ``expand`` gives a list (a URL: the objects it names) is
    taken as those names, never looked at here; OSError from it refuses
    the input.
    """
    files: List[str] = []
    refused: List[Tuple[str, str]] = []
    seen: set = set()  # (device, inode), a normalised path or ("url", URL)

    def take(path: str, st: os.stat_result) -> None:
        key = (st.st_dev, st.st_ino) if st.st_ino else os.path.normcase(os.path.abspath(path))
        if key not in seen:
            seen.add(key)
            files.append(path)

    for path in paths:
        try:
            names = expand(path) if expand is not None else None
        except OSError as exc:
            refused.append((path, str(exc)))
            continue
        if names is not None:
            for name in names:
                if ("url", name) not in seen:
                    seen.add(("url", name))
                    files.append(name)
            continue
        try:
            st = os.stat(path)
        except OSError as exc:
            refused.append((path, exc.strerror or str(exc)))
            continue
        if stat.S_ISDIR(st.st_mode):
            if not recursive:
                refused.append((path, "is a folder (use -r to walk it)"))
                continue
            for folder, subfolders, names in os.walk(path):
                subfolders.sort()
                for name in sorted(names):
                    inner = os.path.join(folder, name)
                    try:
                        inner_st = os.stat(inner)
                    except OSError:
                        continue  # a dangling link: not a file of the folder
                    if stat.S_ISREG(inner_st.st_mode) and (looks_right is None or looks_right(inner)):
                        take(inner, inner_st)
        elif not stat.S_ISREG(st.st_mode):
            refused.append((path, "%s, not a file (it is not read)" % _file_kind(st.st_mode)))
        else:
            take(path, st)
    return files, refused


# ----------------------------------------------------------------------------
# Progress
# ----------------------------------------------------------------------------

class Progress(object):
    """A one-line progress bar on stderr, drawn only when stderr is a terminal.

    While the bar is up, ``sys.stdout`` and ``sys.stderr`` clear it before
    anything is written to them (it is drawn again at the next step), so no
    bar is left in the scrollback and no output sticks to it.
    """

    WIDTH = 24

    def __init__(self, total: int, what: str) -> None:
        self.stream = sys.stderr
        self.total, self.what, self.done = total, what, 0
        try:
            self.active = total > 1 and bool(self.stream.isatty())
        except (AttributeError, ValueError):  # no stream, or a closed one
            self.active = False
        self._shown = False
        self._saved: Optional[Tuple[Any, Any]] = None

    def _draw(self) -> None:
        if self.active and self.done < self.total:
            filled = self.WIDTH * self.done // self.total
            self.stream.write("\r\x1b[K%s [%s%s] %d/%d" % (
                self.what, "#" * filled, "." * (self.WIDTH - filled), self.done, self.total))
            self.stream.flush()
            self._shown = True

    def clear(self) -> None:
        if self._shown:
            self._shown = False
            self.stream.write("\r\x1b[K")
            self.stream.flush()

    def start(self) -> None:
        if self.active and self._saved is None:
            self._saved = sys.stdout, sys.stderr
            sys.stdout, sys.stderr = _AboveBar(sys.stdout, self), _AboveBar(sys.stderr, self)
        self._draw()

    def advance(self) -> None:
        self.done += 1
        self._draw()

    def print(self, text: str, stream: Any = None) -> None:
        """Print a line of the run's output (stdout by default) above the bar."""
        out = stream if stream is not None else sys.stdout
        self.clear()
        print(text, file=out)
        out.flush()

    def close(self) -> None:
        self.clear()
        if self._saved is not None:
            sys.stdout, sys.stderr = self._saved
            self._saved = None


class _AboveBar(object):
    """A text stream that clears the progress bar before each write."""

    def __init__(self, stream: Any, bar: Progress) -> None:
        self._stream, self._bar = stream, bar

    def write(self, text: str) -> int:
        self._bar.clear()
        return self._stream.write(text)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


# ----------------------------------------------------------------------------
# Worker processes
# ----------------------------------------------------------------------------

class HeldInterrupts(object):
    """Inside ``with HeldInterrupts():`` Ctrl-C and SIGTERM are recorded in
    :attr:`fired` instead of raised, and raised as KeyboardInterrupt at the
    end of the block: what the block does (outputs put in place, a finished
    file's outputs printed) is done whole."""

    def __init__(self, until_said: bool = False) -> None:
        #: With ``until_said``, a stop that came is raised by :func:`raise_held`
        #: instead, once what the block did has been reported.
        self.until_said = until_said
        self.fired = False
        self._previous: List[Tuple[int, Any]] = []

    def _record(self, signum: int, frame: Any) -> None:
        self.fired = True

    def __enter__(self) -> "HeldInterrupts":
        if threading.current_thread() is threading.main_thread():
            for signum in STOPPING:
                previous = signal.getsignal(signum)
                if callable(previous):  # not when the signal is ignored or left to the system
                    self._previous.append((signum, signal.signal(signum, self._record)))
        return self

    def __exit__(self, exc_type: Any, *rest: Any) -> None:
        previous, self._previous = self._previous, []
        if self.fired and exc_type is None and self.until_said:
            # The stop is on its way: signals after it are ignored until it is raised.
            for signum, handler in previous:
                signal.signal(signum, _ignore)
            _held.extend(previous)
            return
        for signum, handler in previous:
            signal.signal(signum, handler)
        if self.fired and exc_type is None:
            raise KeyboardInterrupt


#: The handlers of a stop held by ``HeldInterrupts(until_said=True)``, not raised yet.
_held: List[Tuple[int, Any]] = []


def raise_held() -> None:
    """Raise KeyboardInterrupt for a stop that came while outputs were put in
    place (now that they have been reported), the signal handlers restored."""
    if _held:
        previous = list(_held)
        del _held[:]
        for signum, handler in reversed(previous):
            signal.signal(signum, handler)
        raise KeyboardInterrupt


def _ignore(signum: int, frame: Any) -> None:
    # A Python handler that does nothing, not SIG_IGN: a signal already on its
    # way when the handler changes would raise "ignored due to race condition".
    pass


def _terminate(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


@contextlib.contextmanager
def sigterm_as_interrupt() -> Any:
    """SIGTERM raises KeyboardInterrupt inside the block (where the system
    would end the process at once), so that a stopped run cleans up as
    after Ctrl-C."""
    sigterm = getattr(signal, "SIGTERM", None)
    if (sigterm is None or threading.current_thread() is not threading.main_thread()
            or signal.getsignal(sigterm) != signal.SIG_DFL):
        yield
        return
    signal.signal(sigterm, _terminate)
    try:
        yield
    finally:
        signal.signal(sigterm, signal.SIG_DFL)


def _stop(signum: int, frame: Any) -> None:
    # The first SIGINT or SIGTERM stops the worker's file; later ones must not
    # interrupt the cleanup that follows.
    for stopping in STOPPING:
        signal.signal(stopping, _ignore)
    raise KeyboardInterrupt


def _stopped_in_a_callback(report: Any) -> None:
    # The stop raised inside a weakref callback or __del__ is taken by the
    # interpreter and printed, and the work would go on: end the worker here
    # (the run removes its temporaries; a commit holds the signals back).
    if report.exc_type is not None and issubclass(report.exc_type, KeyboardInterrupt):
        os._exit(EXIT_INTERRUPTED)
    sys.__unraisablehook__(report)


def _worker(work: Callable[..., Any], tasks: Any, conn: Any) -> None:
    """A long-lived worker: takes one path at a time from ``tasks`` (None: no
    more) and answers on ``conn``; what it imports stays for the next file."""
    for signum in STOPPING:
        signal.signal(signum, _stop)
    sys.unraisablehook = _stopped_in_a_callback
    try:
        while True:
            path = tasks.recv()
            if path is None:
                break
            try:
                result = work(path, lambda message: conn.send(("message", message)))
                with HeldInterrupts():  # its outputs are in place: they are reported
                    conn.send(("done", result))
                raise_held()
            except KeyboardInterrupt:
                raise
            except BaseException as exc:  # reported as this file's failure, never a traceback
                conn.send(("failed", "%s: %s" % (type(exc).__name__, exc)))
    except KeyboardInterrupt:
        os._exit(EXIT_INTERRUPTED)
    except BaseException:  # the parent went away, or a result that cannot be sent
        os._exit(1)
    finally:
        conn.close()


def _ended(exitcode: Optional[int]) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            name = signal.Signals(-exitcode).name
        except ValueError:
            name = "signal %d" % -exitcode
        return "the worker process was ended by %s" % name
    return "the worker process ended (exit status %s) before the file was done" % exitcode


class _Running(object):
    """A worker process, and the file it works on (None: idle)."""

    def __init__(self, process: Any, conn: Any, tasks: Any) -> None:
        self.process, self.conn, self.tasks = process, conn, tasks
        self.path: Optional[str] = None
        self.done = True  # nothing given yet, nothing to report when it ends

    def give(self, path: str) -> None:
        self.path, self.done = path, False
        self.tasks.send(path)


def run_in_processes(paths: Sequence[str], work: Callable[..., Any], jobs: int,
                     on_message: Callable[[str, Any], None],
                     on_done: Callable[[str, Any], None],
                     on_failed: Callable[[str, str, Optional[int]], None],
                     grace: float = 1.5) -> None:
    """Run ``work(path, send)`` for every path in ``jobs`` long-lived worker
    processes, each taking the next file when it is done with one (what a
    worker imports, it imports once).

    As they arrive: ``on_message(path, message)`` for what a worker sends,
    ``on_done(path, result)`` for what ``work`` returns, and
    ``on_failed(path, reason, pid)`` for a file whose work raised or whose
    worker died (only that file fails; a new worker takes the worker's place).

    Ctrl-C stops the run (within a tenth of a second and ``grace``): the
    queued files are not started, the workers are told to stop (SIGTERM)
    and, after ``grace`` seconds, killed; each file being worked on is
    reported through ``on_failed(path, "interrupted", pid)``, so its outputs
    can be removed; then KeyboardInterrupt is raised. The callbacks are
    never cut short by it.
    """
    import multiprocessing
    from multiprocessing.connection import wait

    context = multiprocessing.get_context()
    queue = deque(paths)
    running: Dict[Any, _Running] = {}

    def start() -> _Running:
        receive, send = context.Pipe(duplex=False)
        take, give = context.Pipe(duplex=False)
        process = context.Process(target=_worker, args=(work, take, send), daemon=True)
        process.start()
        send.close()  # the worker holds the only writing end: its exit ends the pipe
        take.close()
        job = _Running(process, receive, give)
        running[receive] = job
        return job

    def feed(job: _Running) -> None:
        """The next file to an idle worker, or the end of its work."""
        if queue:
            try:
                job.give(queue.popleft())
            except OSError:  # it died idle; its end is seen on its pipe
                pass
        else:
            with contextlib.suppress(OSError):
                job.tasks.send(None)

    def receive_from(job: _Running) -> bool:
        """Handle one message; False when the worker has ended."""
        try:
            kind, payload = job.conn.recv()
        except (EOFError, OSError):
            return False
        path = cast(str, job.path)
        if kind == "message":
            on_message(path, payload)
        elif kind == "done":
            job.done = True
            on_done(path, payload)
        else:
            job.done = True
            on_failed(path, payload, job.process.pid)
        return True

    held = HeldInterrupts()

    def retire(job: _Running) -> None:
        job.process.join()
        job.conn.close()
        job.tasks.close()
        del running[job.conn]
        if not job.done:  # a worker the same Ctrl-C ended first is stopped, not failed
            on_failed(cast(str, job.path), "interrupted" if held.fired else _ended(job.process.exitcode),
                      job.process.pid)

    with held:
        for _ in range(min(jobs, len(queue))):
            feed(start())
        while running and not held.fired:
            for conn in wait(list(running), timeout=0.1):  # Ctrl-C is seen within this
                job = running[conn]
                if not receive_from(job):
                    retire(job)
                    if queue and not held.fired:
                        feed(start())  # in the dead worker's place
                elif job.done:
                    feed(job)
        if held.fired:  # the queued files are never started
            for signum in STOPPING:  # a second Ctrl-C must not cut the cleanup
                signal.signal(signum, signal.SIG_IGN)
            _stop_all(list(running.values()), grace, receive_from)
            for job in list(running.values()):
                job.conn.close()
                job.tasks.close()
                del running[job.conn]
                if not job.done:
                    on_failed(cast(str, job.path), "interrupted", job.process.pid)
    # KeyboardInterrupt goes on from here when Ctrl-C came


def _stop_all(jobs: List[_Running], grace: float, receive_from: Callable[[_Running], bool]) -> None:
    from multiprocessing.connection import wait

    for job in jobs:
        with contextlib.suppress(OSError):
            job.process.terminate()
    deadline = time.monotonic() + grace
    live = {job.conn: job for job in jobs}
    while live and time.monotonic() < deadline:
        for conn in wait(list(live), timeout=max(0.0, deadline - time.monotonic())):
            if not receive_from(live[conn]):
                del live[conn]
    for job in jobs:
        if job.process.is_alive():
            job.process.kill()
        job.process.join()
