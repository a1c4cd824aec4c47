"""Runs of the ``vellkit`` command over many files: the inputs, the progress
line, outputs written atomically, and one process per file for ``--jobs``.

Nothing here knows the file format; the subcommands bring the work."""

import argparse
import contextlib
import os
import signal
import stat
import sys
import threading
import time
import uuid
from collections import deque
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

#: Temporary outputs are named ``.vellkit-PID-RANDOM.part`` in the target's
#: folder, so the files of a worker that died can be found by its process id.
PART_PREFIX, PART_SUFFIX = ".vellkit-", ".part"

#: Exit status of a run stopped by Ctrl-C (128 + SIGINT), as shells report it.
EXIT_INTERRUPTED = 130


# ----------------------------------------------------------------------------
# Options shared by the subcommands (declared here once)
# ----------------------------------------------------------------------------

def add_inputs(parser: argparse.ArgumentParser, recursive: bool = True) -> None:
    """FILE arguments (and ``-r`` to walk folders for VELL files)."""
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="VELL files" + (" (folders with -r)" if recursive else ""))
    if recursive:
        parser.add_argument("-r", "--recursive", action="store_true",
                            help="walk the folders named for VELL files (other files in them "
                                 "are passed over)")


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1, not %d" % value)
    return value


def add_jobs(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--jobs", "-j", type=positive_int, default=1, metavar="N",
                        help="work on N files at a time, each in its own process (default 1)")


def add_overwrite(parser: argparse.ArgumentParser) -> None:
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--force", action="store_true", help="overwrite existing outputs")
    group.add_argument("--skip-existing", action="store_true",
                       help="leave existing outputs as they are and write only the missing ones "
                            "(to resume a run that was stopped; outputs are never half-written)")


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
                  looks_right: Optional[Callable[[str], bool]] = None
                  ) -> Tuple[List[str], List[Tuple[str, str]]]:
    """(files to work on, [(path, why it is refused)]) from the command line.

    A file named twice (``a.vell ./a.vell``, or a link to it) is taken once;
    FIFOs, devices and sockets are refused before anything opens them (they
    could block forever); folders are walked with ``recursive``, keeping the
    regular files for which ``looks_right`` holds, in name order.
    """
    files: List[str] = []
    refused: List[Tuple[str, str]] = []
    seen = set()

    def take(path: str, st: os.stat_result) -> None:
        key = (st.st_dev, st.st_ino) if st.st_ino else os.path.normcase(os.path.abspath(path))
        if key not in seen:
            seen.add(key)
            files.append(path)

    for path in paths:
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
# Outputs written atomically
# ----------------------------------------------------------------------------

def part_name(folder: str, pid: Optional[int] = None) -> str:
    return os.path.join(folder, "%s%d-%s%s" % (PART_PREFIX, os.getpid() if pid is None else pid,
                                               uuid.uuid4().hex[:12], PART_SUFFIX))


@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[str]:
    """A temporary file in ``path``'s folder to fill; it replaces ``path`` when the
    block ends without an error and is removed otherwise (Ctrl-C included).

    The temporary file is created with mode 0666 less the umask, as ``open``
    creates files, so the output has the mode any other new file would have.
    """
    folder = os.path.dirname(path) or "."
    tmp = part_name(folder)
    os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0),
                     0o666))
    try:
        yield tmp
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def remove_parts(folder: str, pid: int) -> None:
    """Remove the temporary outputs that process ``pid`` left in ``folder``."""
    prefix = "%s%d-" % (PART_PREFIX, pid)
    with contextlib.suppress(OSError):
        for name in os.listdir(folder):
            if name.startswith(prefix) and name.endswith(PART_SUFFIX):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(folder, name))


# ----------------------------------------------------------------------------
# One process per file
# ----------------------------------------------------------------------------

class HeldInterrupts(object):
    """Inside ``with HeldInterrupts():`` Ctrl-C is recorded in :attr:`fired`
    instead of raised, and raised as KeyboardInterrupt at the end of the block:
    what the block does (printing a finished file's outputs) is done whole."""

    def __init__(self) -> None:
        self.fired = False
        self._previous: Any = None

    def _record(self, signum: int, frame: Any) -> None:
        self.fired = True

    def __enter__(self) -> "HeldInterrupts":
        if threading.current_thread() is threading.main_thread():
            previous = signal.getsignal(signal.SIGINT)
            if callable(previous):  # not when Ctrl-C is ignored
                self._previous = signal.signal(signal.SIGINT, self._record)
        return self

    def __exit__(self, exc_type: Any, *rest: Any) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)
            self._previous = None
        if self.fired and exc_type is None:
            raise KeyboardInterrupt

def _stop(signum: int, frame: Any) -> None:
    # The first SIGINT or SIGTERM stops the worker's file; later ones must not
    # interrupt the cleanup that follows.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise KeyboardInterrupt


def _worker(work: Callable[..., Any], path: str, conn: Any) -> None:
    signal.signal(signal.SIGINT, _stop)
    signal.signal(signal.SIGTERM, _stop)
    try:
        result = work(path, lambda message: conn.send(("message", message)))
        conn.send(("done", result))
    except KeyboardInterrupt:
        os._exit(EXIT_INTERRUPTED)
    except BaseException as exc:  # reported as this file's failure, never a traceback
        try:
            conn.send(("failed", "%s: %s" % (type(exc).__name__, exc)))
        except BaseException:
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
    def __init__(self, path: str, process: Any, conn: Any) -> None:
        self.path, self.process, self.conn = path, process, conn
        self.done = False


def run_in_processes(paths: Sequence[str], work: Callable[..., Any], jobs: int,
                     on_message: Callable[[str, Any], None],
                     on_done: Callable[[str, Any], None],
                     on_failed: Callable[[str, str, Optional[int]], None],
                     grace: float = 1.5) -> None:
    """Run ``work(path, send)`` for every path, ``jobs`` at a time, each in its own process.

    As they arrive: ``on_message(path, message)`` for what a worker sends,
    ``on_done(path, result)`` for what ``work`` returns, and
    ``on_failed(path, reason, pid)`` for a worker that raised or died (only
    that file fails; the run goes on with a new process for the next).

    Ctrl-C stops the run (within a tenth of a second and ``grace``): the
    queued files are not started, the running workers are told to stop
    (SIGTERM) and, after ``grace`` seconds, killed; each is reported through
    ``on_failed(path, "interrupted", pid)``, so its outputs can be removed;
    then KeyboardInterrupt is raised. The callbacks are never cut short by it.
    """
    import multiprocessing
    from multiprocessing.connection import wait

    context = multiprocessing.get_context()
    queue = deque(paths)
    running: Dict[Any, _Running] = {}

    def start(path: str) -> None:
        receive, send = context.Pipe(duplex=False)
        process = context.Process(target=_worker, args=(work, path, send), daemon=True)
        process.start()
        send.close()  # the worker holds the only writing end: its exit ends the pipe
        running[receive] = _Running(path, process, receive)

    def receive_from(job: _Running) -> bool:
        """Handle one message; False when the worker has ended."""
        try:
            kind, payload = job.conn.recv()
        except (EOFError, OSError):
            return False
        if kind == "message":
            on_message(job.path, payload)
        elif kind == "done":
            job.done = True
            on_done(job.path, payload)
        else:
            job.done = True
            on_failed(job.path, payload, job.process.pid)
        return True

    def retire(job: _Running) -> None:
        job.process.join()
        job.conn.close()
        del running[job.conn]
        if not job.done:
            on_failed(job.path, _ended(job.process.exitcode), job.process.pid)

    with HeldInterrupts() as held:
        while (queue or running) and not held.fired:
            while queue and len(running) < jobs:
                start(queue.popleft())
            for conn in wait(list(running), timeout=0.1):  # Ctrl-C is seen within this
                job = running[conn]
                if not receive_from(job):
                    retire(job)
        if held.fired:  # the queued files are never started
            signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C must not cut the cleanup
            _stop_all(list(running.values()), grace, receive_from)
            for job in list(running.values()):
                job.conn.close()
                del running[job.conn]
                if not job.done:
                    on_failed(job.path, "interrupted", job.process.pid)
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
