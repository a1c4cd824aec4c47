"""Files and folders written whole or not at all: how every output of the
package reaches the disk (the writers' VELL files, the command's exports,
their sidecars and Zarr stores, preview pictures).

An output is first written to a temporary ``.vellkit-PID-RANDOM.part`` in
the folder of the file it replaces, then flushed to the disk and put in
place with one rename, so a reader sees the old output or the complete new
one, never a part.  The process id in the name lets a later run recognise
the temporaries of a process that was killed (:func:`remove_stale_parts`).
"""

import contextlib
import errno
import os
import shutil
import stat
import uuid
from typing import Any, Iterator, Optional, Tuple, Union

__all__ = ["PART_PREFIX", "PART_SUFFIX", "Replacement", "AtomicFile", "atomic_write",
           "atomic_output", "part_name", "remove_output", "remove_parts", "remove_stale_parts"]

PART_PREFIX, PART_SUFFIX = ".vellkit-", ".part"

Path = Union[str, bytes, "os.PathLike[Any]"]


def part_name(folder: str, pid: Optional[int] = None) -> str:
    """A fresh temporary name in ``folder`` for process ``pid`` (default: this one)."""
    return os.path.join(folder, "%s%d-%s%s" % (PART_PREFIX, os.getpid() if pid is None else pid,
                                               uuid.uuid4().hex[:12], PART_SUFFIX))


def _named(err: OSError, target: str) -> OSError:
    # A failing write or flush names no file by itself; the target is the one the caller knows.
    if err.filename is None and err.errno is not None:
        return OSError(err.errno, err.strerror, target)
    return err


def _fsync_path(path: str, folder: bool) -> None:
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) * folder)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _fsync_folder(path: str) -> None:
    if os.name == "posix":  # other systems cannot open a folder to flush it
        _fsync_path(path, True)


_RENAME_EXCHANGE = 2


def _exchange(a: str, b: str) -> bool:
    """Swap the names ``a`` and ``b`` in one step (Linux renameat2); False
    when the system or the file system cannot."""
    try:
        import ctypes
        renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
    except (ImportError, OSError, AttributeError, TypeError):  # not Linux, or an old C library
        return False
    at_cwd = -100
    if renameat2(at_cwd, os.fsencode(a), at_cwd, os.fsencode(b), _RENAME_EXCHANGE) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.EINVAL, errno.ENOSYS, errno.ENOTSUP, errno.EOPNOTSUPP):
        return False
    raise OSError(code, os.strerror(code), b)


class Replacement(object):
    """A temporary file (or folder) that is to replace ``path`` whole.

    It is made in the folder of the file it replaces (a rename never
    crosses file systems): a file with mode 0666, a folder with 0777, less
    the umask, as any new file gets.  Fill :attr:`temporary`, then
    :meth:`commit` (or :meth:`prepare`, then :meth:`swap`) or
    :meth:`discard`.

    * A symbolic link stays a link: the file it names is the one replaced
      (a dangling link gets its file made).
    * What is replaced keeps its permission bits (a file of mode 0600 stays
      0600); its owner becomes the writing user, as with any new file.
    * Hard links: a file with other names is not rewritten in place (that
      could not be whole); the name written gets the new file, the other
      names keep the old contents.
    * The new file (every file and folder of a new folder) is flushed to the
      disk before the rename, and the folder holding it after, so a crash
      leaves the old output or the new one.
    """

    def __init__(self, path: Path, folder: bool = False) -> None:
        self.target = os.fsdecode(os.fspath(path))
        self.folder = folder
        target = self.target
        self.destination = os.path.realpath(target) if os.path.islink(target) else target
        if not folder and os.path.isdir(self.destination):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
        self.parent = os.path.dirname(self.destination) or os.curdir
        self.fd = -1
        self.temporary = ""
        for _ in range(100):
            candidate = part_name(self.parent)
            try:
                if folder:
                    os.mkdir(candidate, 0o777)
                else:
                    self.fd = os.open(candidate, os.O_RDWR | os.O_CREAT | os.O_EXCL
                                      | getattr(os, "O_BINARY", 0) | getattr(os, "O_CLOEXEC", 0), 0o666)
            except FileExistsError:
                continue
            except OSError as err:  # a missing or read-only folder
                raise OSError(err.errno, err.strerror, target) from err
            self.temporary = candidate
            return
        raise FileExistsError(errno.EEXIST, "no free temporary name", target)

    def close(self) -> None:
        """Close the temporary file's descriptor (to fill it by its name)."""
        if self.fd >= 0:
            fd, self.fd = self.fd, -1
            os.close(fd)

    def prepare(self) -> None:
        """Flush the temporary to the disk and give it the replaced output's
        permission bits; OSError (naming the target) when the disk fails."""
        try:
            try:
                mode: Optional[int] = stat.S_IMODE(os.stat(self.destination).st_mode)
            except FileNotFoundError:
                mode = None
            if self.folder:
                if mode is not None:
                    os.chmod(self.temporary, mode)
                for inside, _, names in os.walk(self.temporary, topdown=False):
                    for name in names:
                        _fsync_path(os.path.join(inside, name), False)
                    _fsync_folder(inside)
            elif self.fd >= 0:
                if mode is not None:
                    os.fchmod(self.fd, mode) if hasattr(os, "fchmod") else os.chmod(self.temporary, mode)
                os.fsync(self.fd)
                self.close()
            else:
                if mode is not None:
                    os.chmod(self.temporary, mode)
                _fsync_path(self.temporary, False)
        except OSError as err:
            raise _named(err, self.target) from err

    def swap(self) -> None:
        """Put the temporary in place of the output (after :meth:`prepare`)."""
        try:
            if self.folder and os.path.lexists(self.destination):
                if not _exchange(self.temporary, self.destination):
                    # No atomic exchange here: the old folder goes aside for a moment.
                    aside = part_name(self.parent)
                    os.rename(self.destination, aside)
                    try:
                        os.rename(self.temporary, self.destination)
                    except BaseException:
                        os.rename(aside, self.destination)
                        raise
                    self.temporary = aside
                remove_output(self.temporary)  # the old folder, under the temporary name
            else:
                os.replace(self.temporary, self.destination)
            self.temporary = ""
            _fsync_folder(self.parent)
        except OSError as err:
            raise _named(err, self.target) from err

    def commit(self) -> None:
        self.prepare()
        self.swap()

    def discard(self) -> None:
        """Remove the temporary; the output stays as it was."""
        with contextlib.suppress(OSError):
            self.close()
        if self.temporary:
            remove_output(self.temporary)
            self.temporary = ""


class AtomicFile(object):
    """The temporary file :func:`atomic_write` fills; failures name the target."""

    def __init__(self, fd: int, target: str) -> None:
        self.fd = fd
        self.target = target

    def _failed(self, err: OSError) -> OSError:
        return _named(err, self.target)

    def write(self, data: Any) -> int:
        """Write all of ``data`` (bytes or any buffer) at the current position."""
        view = memoryview(data).cast("B")
        done = 0
        try:
            while done < len(view):
                done += os.write(self.fd, view[done:done + (1 << 30)])
        except OSError as err:
            raise self._failed(err) from err
        return done

    def seek(self, offset: int) -> None:
        """Move to byte ``offset`` (past the end: the gap reads as zeros)."""
        os.lseek(self.fd, offset, os.SEEK_SET)

    def truncate(self, size: int) -> None:
        """Cut or extend the file to ``size`` bytes."""
        try:
            os.ftruncate(self.fd, size)
        except OSError as err:
            raise self._failed(err) from err


@contextlib.contextmanager
def _replacing(path: Path, folder: bool) -> Iterator[Replacement]:
    replacement = Replacement(path, folder)
    try:
        yield replacement
        replacement.commit()
    except BaseException:
        replacement.discard()
        raise


@contextlib.contextmanager
def atomic_write(path: Path) -> Iterator[AtomicFile]:
    """Write a file at ``path`` all at once, or not at all (see :class:`Replacement`).

    Yields an :class:`AtomicFile` to write the bytes through.  When the block
    ends normally the file is flushed and replaces ``path``; on any exception
    (Ctrl-C included) it is removed and whatever was at ``path`` stays.
    """
    with _replacing(path, False) as replacement:
        yield AtomicFile(replacement.fd, replacement.target)


@contextlib.contextmanager
def atomic_output(path: Path, folder: bool = False) -> Iterator[str]:
    """Like :func:`atomic_write` for outputs other code writes by name:
    yields the temporary's path (a file, or with ``folder`` a folder) to fill."""
    with _replacing(path, folder) as replacement:
        replacement.close()
        yield replacement.temporary


def remove_output(path: str) -> None:
    """Remove an output, a file or a folder, as far as it can be removed."""
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(OSError):
            os.unlink(path)


def _parts(folder: str) -> Iterator[Tuple[str, int]]:
    with contextlib.suppress(OSError):
        for name in os.listdir(folder):
            if name.startswith(PART_PREFIX) and name.endswith(PART_SUFFIX):
                pid = name[len(PART_PREFIX):].split("-", 1)[0]
                if pid.isdigit():
                    yield os.path.join(folder, name), int(pid)


def remove_parts(folder: str, pid: int) -> None:
    """Remove the temporaries that process ``pid`` left in ``folder``."""
    for path, owner in _parts(folder):
        if owner == pid:
            remove_output(path)


def _alive(pid: int) -> bool:
    if os.name != "posix":  # no harmless probe: count every process as alive
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # another user's process
        return True
    return True


def remove_stale_parts(folder: str) -> int:
    """Remove the temporaries in ``folder`` of processes that no longer run
    (killed while writing); the number removed."""
    removed = 0
    for path, pid in _parts(folder):
        if pid != os.getpid() and not _alive(pid):
            remove_output(path)
            removed += 1
    return removed
