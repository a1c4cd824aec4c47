"""Files that try to hang, exhaust or fool the reader: FIFOs with and without
a writer, files whose size the file system misreports, and small files that
claim enormous results or endless work."""

import ctypes
import io
import os
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from vellkit_tools import writer

import vellkit

from _helpers3d import DATA_OFFSET, patch_header, put_i32, save

posix_only = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc")

SPECTRUM = ("AB", "2D", "NONE")


def spectrum_bytes(npt=8):
    return writer.make_spectrum_file(np.arange(npt, dtype=np.float32), fxv=10.0, lxv=20.0).to_bytes()


def run_child(code, *args, timeout=60, env=None):
    """Runs ``code`` in a fresh interpreter that sees this vellkit; returns (status, stdout, stderr)."""
    paths = [os.path.dirname(vellkit.__file__), os.path.dirname(os.path.dirname(writer.__file__)),
             os.path.dirname(__file__)]
    child_env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), **(env or {}))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)] + [str(a) for a in args], env=child_env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


# ----------------------------------------------------------------------------
# FIFOs
# ----------------------------------------------------------------------------

@posix_only
def test_waiting_for_a_fifo_writer_lets_other_threads_run(tmp_path):
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    answers = []
    reader = threading.Thread(target=lambda: answers.append(vellkit.isVellFile(fifo)))
    reader.start()
    # The reader waits in open() for a writer; this thread must keep running.
    ticks = 0
    deadline = time.monotonic() + 0.3
    while time.monotonic() < deadline:
        ticks += 1
    assert ticks > 1000 and reader.is_alive()
    with open(fifo, "wb") as pipe:
        pipe.write(spectrum_bytes())
    reader.join(10)
    assert answers == [True]


@posix_only
@pytest.mark.parametrize("call", ["isVellFile(path)", "listContents(path)", "getVisImages(path)",
                                  "getVellData(path, ('AB', '2D', 'NONE'))"])
def test_a_signal_handler_ends_a_wait_for_a_fifo_writer(tmp_path, call):
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    code = """
        import signal, sys, time, vellkit
        path = sys.argv[1]
        def timeout(signum, frame):
            raise TimeoutError("no writer")
        signal.signal(signal.SIGALRM, timeout)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            vellkit.%s
        except TimeoutError as e:
            print("TimeoutError", e)
        """ % call
    status, out, err = run_child(code, fifo, timeout=30)
    assert (status, out, err) == (0, "TimeoutError no writer\n", "")


@posix_only
def test_ctrl_c_ends_a_wait_for_a_fifo_writer(tmp_path):
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    code = """
        import signal, sys, vellkit
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        signal.signal(signal.SIGALRM, lambda *a: signal.raise_signal(signal.SIGINT))
        try:
            vellkit.listContents(sys.argv[1])
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
        """
    if not hasattr(signal, "raise_signal"):
        pytest.skip("signal.raise_signal is 3.8+")
    assert run_child(code, fifo, timeout=30) == (0, "KeyboardInterrupt\n", "")


@posix_only
def test_a_fifo_whose_writer_pauses_is_read_to_the_end(tmp_path):
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    code = """
        import sys, threading, time, vellkit
        path, data = sys.argv[1], bytes.fromhex(sys.argv[2])
        def write():
            with open(path, "wb", buffering=0) as pipe:
                pipe.write(data[:2])
                time.sleep(0.3)  # the reader has taken the two bytes and waits for more
                pipe.write(data[2:])
        threading.Thread(target=write).start()
        print(vellkit.isVellFile(path))
        """
    assert run_child(code, fifo, spectrum_bytes().hex(), timeout=30) == (0, "True\n", "")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="waits in slices on Linux only")
def test_ctrl_c_taken_by_another_thread_ends_a_wait_for_a_paused_writer(tmp_path):
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    code = """
        import signal, sys, threading, time, vellkit
        path, data = sys.argv[1], bytes.fromhex(sys.argv[2])
        def write():
            pipe = open(path, "wb", buffering=0)
            pipe.write(data[:2])  # then nothing, the pipe held open
            time.sleep(60)
        threading.Thread(target=write, daemon=True).start()
        def interrupt():
            time.sleep(0.5)
            signal.pthread_kill(threading.get_ident(), signal.SIGINT)
        threading.Thread(target=interrupt).start()
        try:
            vellkit.isVellFile(path)
            print("returned")
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
        """
    assert run_child(code, fifo, spectrum_bytes().hex(), timeout=30) == (0, "KeyboardInterrupt\n", "")


def feed_fifo(fifo, data):
    """Writes ``data`` into the FIFO from a thread, keeping it open until the reader closes."""
    def run():
        try:
            with open(fifo, "wb") as pipe:
                pipe.write(data)
        except BrokenPipeError:
            pass
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


@posix_only
def test_a_fifo_is_read_as_a_file_object_reads_it(tmp_path):
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    data = writer.make_spectrum_file(np.zeros(4, np.float32), images=[b"BM" + bytes(60)]).to_bytes()
    writer_thread = feed_fifo(fifo, data)
    assert vellkit.isVellFile(fifo) is True
    writer_thread.join(10)
    # Everything else seeks, which a file object refuses on a pipe: never an
    # empty answer that claims there is nothing in the file.
    for call in (vellkit.listContents, vellkit.getVisImages, lambda p: vellkit.getVellData(p, SPECTRUM)):
        writer_thread = feed_fifo(fifo, data)
        with pytest.raises(io.UnsupportedOperation, match="^File or stream is not seekable.$"):
            call(fifo)
        # The next reader must not meet this writer's leftover bytes.
        writer_thread.join(10)


# ----------------------------------------------------------------------------
# Sizes the file system gets wrong
# ----------------------------------------------------------------------------

@linux_only
def test_a_file_that_reports_size_zero_is_read_to_its_end(tmp_path):
    # /proc/PID/environ reports size 0 while holding the process's environment
    # strings, NUL-terminated: a child whose environment is the file's pieces.
    data = spectrum_bytes(16) + b"\0"
    pieces = data.split(b"\0")[:-1]
    assert b"\0".join(pieces) + b"\0" == data
    libc = ctypes.CDLL(None, use_errno=True)
    argv = (ctypes.c_char_p * 3)(b"sleep", b"30", None)
    envp = (ctypes.c_char_p * (len(pieces) + 1))(*(pieces + [None]))
    sleep = [p for p in ("/bin/sleep", "/usr/bin/sleep") if os.path.exists(p)]
    if not sleep:
        pytest.skip("no sleep program")
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child only execs
        libc.execve(sleep[0].encode(), argv, envp)
        os._exit(127)
    try:
        environ = "/proc/%d/environ" % pid
        for _ in range(200):
            with open(environ, "rb") as f:
                if f.read() == data:
                    break
            time.sleep(0.01)
        assert os.stat(environ).st_size == 0
        regular = save(tmp_path, data)
        assert vellkit.isVellFile(environ) is True
        assert vellkit.listContents(environ) == vellkit.listContents(regular)
        got, expected = vellkit.getVellData(environ, SPECTRUM), vellkit.getVellData(regular, SPECTRUM)
        np.testing.assert_array_equal(got.y, expected.y)
        assert got.parameters == expected.parameters
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)


# ----------------------------------------------------------------------------
# Memory a file may ask for
# ----------------------------------------------------------------------------

def huge_npt_spectrum(tmp_path):
    data = writer.make_spectrum_file(np.zeros(4, np.float32), params=[("NPT", 2 ** 31 - 1)]).to_bytes()
    return save(tmp_path, data, "huge.vell"), len(data)


def test_a_small_file_cannot_ask_for_a_huge_axis(tmp_path):
    path, size = huge_npt_spectrum(tmp_path)
    with pytest.raises(MemoryError) as info:
        vellkit.getVellData(path, SPECTRUM)
    message = str(info.value)
    assert path in message and "%d bytes" % size in message and "VELLKIT_MEMORY_LIMIT" in message
    assert "%d bytes" % ((2 ** 31 - 1) * 8) in message


def test_a_small_map_cannot_ask_for_huge_map_axes(tmp_path):
    params = writer.image_map_params(1, 1.0, 2.0, 2 ** 31 - 1, 2 ** 31 - 1)
    path = save(tmp_path, writer.make_3d_file([[1.0]], 1, params))
    with pytest.raises(MemoryError, match="VELLKIT_MEMORY_LIMIT"):
        vellkit.getVellData(path, ("AB", "3D", "NONE"))


@pytest.mark.parametrize("kind", ["AB", "TRC"])
def test_records_stacked_on_one_offset_cannot_grow_quadratically(tmp_path, kind):
    # One record's worth of data, named 60,000 times at the same offset
    # (blockSize + infoSize = 0): 60,000 x 16,384 values from a 64 KiB file.
    npt = 16384
    vf = writer.make_3d_file([writer.Record(np.zeros(npt), label="t")], npt,
                             writer.time_resolved_params(npt, 1.0, 2.0), data_type=kind)
    data = vf.to_bytes()
    data = patch_header(data, 12, 0)
    data = patch_header(data, 16, 0)
    data = put_i32(data, DATA_OFFSET + 28, 59999)
    path = save(tmp_path, data)
    started = time.process_time()  # the work done, which a loaded machine does not inflate
    with pytest.raises(MemoryError, match="VELLKIT_MEMORY_LIMIT"):
        vellkit.getVellData(path, (kind, "3D", "NONE"))
    assert time.process_time() - started < 10


@pytest.mark.parametrize("setting, fails", [("100", True), ("1K", True), ("64M", False), (" 2 g ", False)])
def test_the_memory_limit_follows_the_environment(tmp_path, monkeypatch, setting, fails):
    path = save(tmp_path, spectrum_bytes(1024))
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", setting)
    if fails:
        with pytest.raises(MemoryError):
            vellkit.getVellData(path, SPECTRUM)
    else:
        assert vellkit.getVellData(path, SPECTRUM).y.shape == (1024,)


def test_the_memory_limit_can_be_raised_for_genuine_files(tmp_path, monkeypatch):
    path, _ = huge_npt_spectrum(tmp_path)
    # Raised past the axis, the call goes on to what numpy does with it.
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", "1T")
    code = """
        import resource, sys, vellkit
        resource.setrlimit(resource.RLIMIT_AS, (2 * 1024 ** 3, resource.RLIM_INFINITY))
        try:
            vellkit.getVellData(sys.argv[1], ("AB", "2D", "NONE"))
        except MemoryError as e:
            print("MemoryError", "VELLKIT_MEMORY_LIMIT" in str(e))
        """
    if not sys.platform.startswith("linux"):
        pytest.skip("needs RLIMIT_AS")
    if "san" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("sanitizer runtimes reserve more address space than the limit allows")
    status, out, _ = run_child(code, path, env={"VELLKIT_MEMORY_LIMIT": "1T"})
    assert (status, out) == (0, "MemoryError False\n")


@pytest.mark.parametrize("setting", ["lots", "-5", "12Q", ""])
def test_a_memory_limit_that_is_not_a_size_is_refused(tmp_path, monkeypatch, setting):
    path = save(tmp_path, spectrum_bytes())
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", setting)
    with pytest.raises(ValueError, match="^VELLKIT_MEMORY_LIMIT must be a number of bytes"):
        vellkit.getVellData(path, SPECTRUM)


# ----------------------------------------------------------------------------
# Work a file may ask for
# ----------------------------------------------------------------------------

def test_rows_that_do_not_advance_are_bounded_by_the_file(tmp_path, capsys, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u))
    rows = 8524
    names = [("C%02d" % i, 4) for i in range(100)]
    table = writer.AnnotationTable(names, [[0] * 100], row_length=0)
    vf = writer.make_3d_file([[1.0]], 1, writer.multi_region_params(1, 1.0, 2.0), annotation=[table])
    data = bytearray(vf.to_bytes())
    nln = data.index(b"NLN\0") + 8
    data[nln:nln + 4] = struct.pack("<i", rows)
    path = save(tmp_path, bytes(data))
    started = time.process_time()
    with pytest.raises(ValueError, match="claims 8524 rows, more than the file holds"):
        vellkit.getVellData(path, ("AB", "3D", "NONE"))
    assert time.process_time() - started < 5
    assert seen == [] and capsys.readouterr().err == ""
