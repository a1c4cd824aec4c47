"""Every writer, at both levels, replaces the file at its path whole or not at all.

Each writer is made to fail at each step over an existing file: before the
file is touched (a parameter that cannot be encoded, a value past int32, a
label longer than its field), while streaming (a chunk too many, the
caller's iterator failing) and on the disk (full at any byte, at the flush,
at the replace; a real full tmpfs where one can be mounted). Afterwards the
old file is intact byte for byte and no temporary file is left.
"""

import errno
import mmap
import os
import shutil
import stat
import struct
import subprocess
import sys

import numpy as np
import pytest

import vellkit
from pathlib import Path
from vellkit_tools import arrays, encode, writer

OLD = b"the file that was here before" * 7
X = (4000.0, 400.0)


def _cube(rows=2, columns=3, npt=5, seed=0):
    return np.random.default_rng(seed).random((rows, columns, npt), dtype=np.float32)


# Each writer: (name, call(path, **extra) with extra keywords for the own parameters).
WRITERS = {
    "VellFile.write": lambda p, params=None: writer.make_3d_file(
        [writer.Record([1.0, 2.0], time=0.5)], 2,
        dict(writer.time_resolved_params(2, 1.0, 2.0), **(params or {}))).write(p),
    "write_spectrum_file": lambda p, params=None: writer.write_spectrum_file(p, [1.0, 2.0, 3.0], params=params),
    "write_3d_file": lambda p, params=None: writer.write_3d_file(
        p, [[1.0, 2.0]] * 3, 2, dict(writer.image_map_params(2, 1.0, 2.0, 3, 1), **(params or {}))),
    "write_spectrum": lambda p, params=None: arrays.write_spectrum(p, [1.0, 2.0, 3.0], params=params),
    "write_image_map": lambda p, params=None: arrays.write_image_map(p, _cube(), params=params),
    "write_time_series": lambda p, params=None: arrays.write_time_series(
        p, _cube()[0], times=[0.0, 1.0, 2.0], params=params),
    "write_multi_region": lambda p, params=None: arrays.write_multi_region(
        p, [{"nx": 2, "ny": 1, "spectra": _cube()[0, :2]}, {"points": [(1, 2)], "spectra": _cube()[1, :1]}],
        params=params),
    "write_traces": lambda p, params=None: arrays.write_traces(
        p, _cube(npt=2), ["a", "b"], params=params),
}


@pytest.fixture
def old(tmp_path):
    """A path holding OLD; checks afterwards that it still does and that nothing else appeared."""
    path = tmp_path / "target.vell"
    path.write_bytes(OLD)
    yield str(path)
    assert path.read_bytes() == OLD
    assert os.listdir(str(tmp_path)) == ["target.vell"]


def _written(path):
    """What a writer produced: the blocks listed and that the file is a VELL file."""
    return vellkit.isVellFile(path) and bool(vellkit.listContents(path))


@pytest.mark.parametrize("name", sorted(WRITERS))
def test_each_writer_replaces_the_file_whole(tmp_path, name):
    path = str(tmp_path / "target.vell")
    with open(path, "wb") as f:
        f.write(OLD)
    WRITERS[name](path)
    assert _written(path) and os.listdir(str(tmp_path)) == ["target.vell"]


@pytest.mark.parametrize("name", sorted(WRITERS))
@pytest.mark.parametrize("params, error, message", [
    ({"BAD": object()}, TypeError, "cannot encode parameter 'BAD'"),
    ({"BIG": 2 ** 31}, ValueError, "2147483648 does not fit"),
    ({"NAME5": 1}, ValueError, "parameter name 'NAME5' takes 5 bytes"),
    ({"TXT": writer.Param(2, "x" * 70000)}, ValueError, "does not fit int16"),
], ids=["object", "int32", "name", "text"])
def test_a_parameter_that_cannot_be_encoded(old, name, params, error, message):
    with pytest.raises(error, match=message):
        WRITERS[name](old, params=params)


# Failures while streaming, or of sizes, in the whole-array writers.
def _chunks_then_fail(chunks):
    yield from chunks
    raise KeyError("the caller's iterator failed")


STREAM_FAILURES = [
    ("chunk too many", lambda p: arrays.write_image_map(p, iter([_cube()[0], _cube()[1], _cube()[0]]),
                                                        shape=(2, 3, 5)),
     ValueError, "more records given than the 6 expected"),
    ("chunk too few", lambda p: arrays.write_time_series(p, iter([_cube()[0]]), shape=(4, 5)),
     ValueError, "4 records expected, 3 given"),
    ("region chunk too many", lambda p: arrays.write_multi_region(
        p, [{"nx": 1, "ny": 1, "spectra": iter([_cube()[0, 0], _cube()[0, 1]])}]),
     ValueError, "region 1 has 1 positions but more spectra"),
    ("chunk of another width", lambda p: arrays.write_image_map(p, iter([np.zeros((6, 4))]),
                                                                shape=(2, 3, 5)),
     ValueError, r"chunk of shape \(6, 4\)"),
    ("iterator fails", lambda p: arrays.write_time_series(p, _chunks_then_fail([_cube()[0]]), shape=(9, 5)),
     KeyError, "iterator failed"),
    ("record size past int32", lambda p: arrays.write_time_series(p, iter([]), shape=(1, 2 ** 29)),
     ValueError, "record size 2147483648 does not fit"),
    ("record count past int32", lambda p: arrays.write_image_map(p, iter([]), shape=(2 ** 16, 2 ** 15, 1)),
     ValueError, "number of stored records 2147483648 does not fit"),
    ("NPT past int32", lambda p: arrays.write_spectrum(p, [1.0], params={"NPT": 2 ** 32}),
     ValueError, "4294967296 does not fit"),
    ("label too long", lambda p: arrays.write_traces(p, np.zeros((2, 3)), ["ok", "\u00e9" * 33]),
     ValueError, "takes 66 bytes of UTF-8, more than its field of 64"),
    ("record label too long", lambda p: writer.write_3d_file(
        p, [writer.Record([1.0], label="x" * 65)], 1, writer.time_resolved_params(1, 1.0, 1.0)),
     ValueError, "more than its field of 64"),
    ("annotation text too long", lambda p: writer.make_3d_file(
        [[1.0]], 1, writer.multi_region_params(1, 1.0, 1.0), annotation=[writer.AnnotationTable(
            [("Title", 1004, 8)], [["nine bytes"]])]).write(p),
     ValueError, "more than its field of 8"),
    ("NUL in a parameter", lambda p: arrays.write_spectrum(p, [1.0], sample={"SNM": "sample A\x00batch 7"}),
     ValueError, r"parameter 'SNM': 'sample A\\x00batch 7' holds a NUL"),
    ("NUL in a trace label", lambda p: arrays.write_traces(p, np.zeros((2, 3)), ["A\x00B", "C"]),
     ValueError, r"label 'A\\x00B' holds a NUL"),
    ("NUL in a record label", lambda p: writer.write_3d_file(
        p, [writer.Record([1.0], label="A\x00B")], 1, writer.time_resolved_params(1, 1.0, 1.0)),
     ValueError, r"label 'A\\x00B' holds a NUL"),
    ("NUL in an annotation text", lambda p: writer.make_3d_file(
        [[1.0]], 1, writer.multi_region_params(1, 1.0, 1.0), annotation=[writer.AnnotationTable(
            [("Title", 1004, 8)], [["a\x00b"]])]).write(p),
     ValueError, r"column 'Title': text 'a\\x00b' holds a NUL"),
    ("directory entry past int32", lambda p: _entry_past_int32().write(p),
     ValueError, "block offset 2147483648 does not fit"),
    ("a directory", lambda p: arrays.write_spectrum(os.path.dirname(p), [1.0]),
     IsADirectoryError, "Is a directory"),
]


def _entry_past_int32():
    vf = writer.make_spectrum_file([1.0])
    vf.add_entry(writer.block_type("AB"), 1, 2 ** 31)
    return vf


@pytest.mark.parametrize("call, error, message", [f[1:] for f in STREAM_FAILURES],
                         ids=[f[0] for f in STREAM_FAILURES])
def test_a_failure_leaves_the_old_file(old, call, error, message):
    with pytest.raises(error, match=message):
        call(old)


# ----------------------------------------------------------------------------
# The disk fails

class DiskFull(object):
    """Patches the temporary file's writes to fail once ``budget`` bytes went in."""

    def __init__(self, monkeypatch, budget):
        self.budget = budget
        self.total = 0
        real = encode.AtomicFile.write

        def write(file, data):
            size = memoryview(data).nbytes
            if self.total + size > self.budget:
                raise file._failed(OSError(errno.ENOSPC, os.strerror(errno.ENOSPC)))
            self.total += size
            return real(file, data)

        monkeypatch.setattr(encode.AtomicFile, "write", write)


def _size_written(name, tmp_path):
    path = str(tmp_path / "probe.vell")
    WRITERS[name](path)
    size = os.path.getsize(path)
    os.remove(path)
    return size


@pytest.mark.parametrize("name", sorted(WRITERS))
@pytest.mark.parametrize("where", [0.0, 0.3, 0.999])
def test_disk_full_at_any_byte(old, tmp_path, monkeypatch, name, where):
    size = _size_written(name, tmp_path)
    DiskFull(monkeypatch, int(size * where))
    with pytest.raises(OSError) as err:
        WRITERS[name](old)
    assert err.value.errno == errno.ENOSPC and err.value.filename == old


@pytest.mark.parametrize("name", sorted(WRITERS))
@pytest.mark.parametrize("step", ["fsync", "replace"])
def test_disk_fails_at_the_flush_or_the_replace(old, monkeypatch, name, step):
    def fail(*args):
        raise OSError(errno.EIO, os.strerror(errno.EIO))

    monkeypatch.setattr(os, step, fail)
    with pytest.raises(OSError) as err:
        WRITERS[name](old)
    assert err.value.errno == errno.EIO
    if step == "fsync":
        assert err.value.filename == old


@pytest.mark.parametrize("name", sorted(WRITERS))
def test_a_missing_folder_is_named_as_the_target(tmp_path, name):
    path = str(tmp_path / "missing" / "target.vell")
    with pytest.raises(FileNotFoundError) as err:
        WRITERS[name](path)
    assert err.value.filename == path


def test_interrupt_while_streaming_leaves_the_old_file(old):
    def chunks():
        yield np.zeros((1, 5))
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        arrays.write_time_series(old, chunks(), shape=(3, 5))


@pytest.fixture
def small_tmpfs(tmp_path):
    """A 64 KiB tmpfs (needs the right to mount: else skipped)."""
    mount = tmp_path / "tmpfs"
    mount.mkdir()
    if not sys.platform.startswith("linux") or shutil.which("mount") is None:
        pytest.skip("tmpfs is Linux only")
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mount)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        yield mount
    finally:
        subprocess.run(["umount", str(mount)], check=True)


@pytest.mark.parametrize("level", ["records", "arrays"])
def test_a_really_full_disk(small_tmpfs, level):
    path = str(small_tmpfs / "target.vell")
    with open(path, "wb") as f:
        f.write(OLD)
    big = _cube(rows=20, columns=20, npt=40)  # 98 KB: more than the file system holds
    with pytest.raises(OSError) as err:
        if level == "arrays":
            arrays.write_image_map(path, big)
        else:
            writer.make_3d_file([writer.Record(s) for s in big.reshape(-1, 40)], 40,
                                writer.image_map_params(40, 1.0, 2.0, 20, 20)).write(path)
    assert err.value.errno == errno.ENOSPC and err.value.filename == path
    with open(path, "rb") as f:
        assert f.read() == OLD
    assert os.listdir(str(small_tmpfs)) == ["target.vell"]


# ----------------------------------------------------------------------------
# Modes, and inputs mapped from the target

@pytest.mark.skipif(os.name != "posix", reason="POSIX modes")
@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002])
@pytest.mark.parametrize("name", ["VellFile.write", "write_image_map"])
def test_files_get_the_mode_of_the_umask(tmp_path, umask, name):
    path = str(tmp_path / "new.vell")
    before = os.umask(umask)
    try:
        WRITERS[name](path)
    finally:
        os.umask(before)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o666 & ~umask


def _mapped_inputs(path):
    """Arrays whose memory is the file at ``path``, in the ways numpy and mmap give them."""
    np.save(path, _cube())
    yield "np.load", np.load(path, mmap_mode="r")
    yield "np.memmap view", np.memmap(path, dtype=np.float32, mode="r", offset=128, shape=(2, 3, 5))[:, 1:]
    with open(path, "rb") as f:
        raw = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    if sys.platform.startswith("linux"):
        yield "mmap", np.frombuffer(raw, dtype=np.uint8)[128:].view(np.float32).reshape(2, 3, 5)


@pytest.mark.parametrize("name, write", [
    ("write_image_map", lambda p, a: arrays.write_image_map(p, a)),
    ("write_time_series", lambda p, a: arrays.write_time_series(p, a[1])),
    ("write_spectrum", lambda p, a: arrays.write_spectrum(p, a[0, 0])),
    ("write_traces", lambda p, a: arrays.write_traces(p, a, ["l%d" % k for k in range(a.shape[2])])),
    ("write_multi_region", lambda p, a: arrays.write_multi_region(
        p, [{"nx": a.shape[1], "ny": 1, "spectra": a[0]}])),
    ("region traces", lambda p, a: arrays.write_traces(
        p, None, ["l%d" % k for k in range(a.shape[2])], regions=[{"nx": a.shape[1], "ny": 1, "traces": a[0]}])),
    ("chunks", lambda p, a: arrays.write_image_map(p, iter([a[0], a[1]]), shape=a.shape)),
])
def test_an_input_mapped_from_the_target_is_refused(tmp_path, name, write):
    path = str(tmp_path / "cube.npy")
    for how, mapped in _mapped_inputs(path):
        if name == "chunks" and how == "mmap":
            continue  # only memmap chunks are recognised as they come
        before = Path(path).read_bytes()
        with pytest.raises(ValueError, match="mapped from"):
            write(path, mapped)
        assert Path(path).read_bytes() == before, how
        assert sorted(os.listdir(str(tmp_path))) == ["cube.npy"]
        # The same array written elsewhere is fine.
        write(str(tmp_path / "other.vell"), mapped)
        os.remove(str(tmp_path / "other.vell"))


# ----------------------------------------------------------------------------
# NPT = 0 and the 64-bit directory extension

@pytest.mark.parametrize("kind", ["image map", "time series", "traces", "spectrum"])
def test_no_points_round_trip(tmp_path, kind):
    path = str(tmp_path / "empty.vell")
    if kind == "image map":
        arrays.write_image_map(path, np.zeros((2, 3, 0), np.float32), map_x=[1.0, 2.0, 3.0])
        result = vellkit.getVellData(path, ("AB", "3D", "NONE"))
        assert result.spectra.shape == (2, 3, 0) and result.mapX.tolist() == [1.0, 2.0, 3.0]
    elif kind == "time series":
        arrays.write_time_series(path, iter([np.zeros((2, 0)), np.zeros((1, 0))]), times=[3.0, 1.0, 2.0],
                                 shape=(3, 0))
        result = vellkit.getVellData(path, ("AB", "3D", "NONE"))
        assert result.spectra.shape == (3, 0) and result.z.tolist() == [3.0, 1.0, 2.0]
    elif kind == "traces":
        arrays.write_traces(path, np.zeros((2, 0)), ["a", "b"])
        result = vellkit.getVellData(path, ("TRC", "3D", "NONE"))
        assert result.traces.shape == (2, 0) and result.labels == ["a", "b"]
    else:
        arrays.write_spectrum(path, [])
        result = vellkit.getVellData(path, ("AB", "2D", "NONE"))
        assert result.y.shape == (0,)
    assert result.parameters["NPT"] == 0 and result.x.shape == (0,)


def _directory(path):
    """(directory offset, 32-bit entries, extension entries) as the file lists them."""
    with open(path, "rb") as f:
        def at(offset, size):
            f.seek(offset)
            return f.read(size)
        offset, capacity, count = struct.unpack("<3i", at(12, 12))
        main = [struct.unpack("<3i", at(offset + 12 * k, 12)) for k in range(count)]
        ext = []
        for code, _, where in main:
            if writer.decode_block_type(code)[5] == writer.EXTEND_64:
                (n,) = struct.unpack("<q", at(where, 8))
                ext = [struct.unpack("<3q", at(where + 16 + 32 * k, 24)) for k in range(n)]
    return offset, main, ext


LARGE = {
    "spectrum": (lambda p, a: arrays.write_spectrum(p, a.ravel(), sample={"SNM": "s"}), ("AB", "2D", "NONE"),
                 lambda r, a: r.y.tolist() == a.ravel().tolist()),
    "image map": (lambda p, a: arrays.write_image_map(p, a, acquisition={"NSS": 2}), ("AB", "3D", "NONE"),
                  lambda r, a: np.array_equal(r.spectra, a)),
    "time series": (lambda p, a: arrays.write_time_series(p, a.reshape(-1, a.shape[2])), ("AB", "3D", "NONE"),
                    lambda r, a: np.array_equal(r.spectra, a.reshape(-1, a.shape[2]))),
    "multi region": (lambda p, a: arrays.write_multi_region(
        p, [{"nx": a.shape[1], "ny": a.shape[0], "spectra": a.reshape(-1, a.shape[2])}],
        images=[arrays.visible_image(b"BM" + bytes(40))]), ("AB", "3D", "NONE"),
        lambda r, a: np.array_equal(r.regions[0].spectra, a.reshape(-1, a.shape[2]))),
    "traces": (lambda p, a: arrays.write_traces(p, a, ["t%d" % k for k in range(a.shape[2])]), ("TRC", "3D", "NONE"),
               lambda r, a: np.array_equal(r.traces, a)),
}


@pytest.mark.parametrize("kind", sorted(LARGE))
def test_blocks_past_the_int32_limit_go_to_the_extension(tmp_path, monkeypatch, kind):
    # The limit lowered to 2000 bytes stands for 2 GiB: the same layout, small.
    write, block, same = LARGE[kind]
    cube = _cube(rows=4, columns=5, npt=30, seed=7)
    plain = write(str(tmp_path / "plain.vell"), cube)
    monkeypatch.setattr(arrays, "_LIMIT", 2000)
    large = write(str(tmp_path / "large.vell"), cube)
    offset, main, ext = _directory(large)
    assert offset == 24 and len(ext) == 1                     # directory first, the big block in the extension
    (code, words, at), = ext
    assert at + 4 * words > 2000 and all(o + 4 * w <= 2000 for _, w, o in main)
    assert vellkit.listContents(large) == vellkit.listContents(plain)
    result, reference = vellkit.getVellData(large, block), vellkit.getVellData(plain, block)
    assert same(result, cube) and same(reference, cube)
    assert result.parameters == reference.parameters
    if kind == "multi region":
        assert vellkit.getVisImages(large) == vellkit.getVisImages(plain)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs sparse files")
def test_a_file_past_2_gib(tmp_path, monkeypatch):
    # 2.1 GiB of records, written sparse (pages of zeros are skipped, not
    # written), so the file takes little disk; the last spectrum lies past 2 GiB.
    real = encode.AtomicFile.write
    page = 1 << 16

    def sparse(file, data):
        data = np.frombuffer(data, np.uint8)
        for start in range(0, data.size, page):
            piece = data[start:start + page]
            if piece.any():
                real(file, piece)
            else:
                os.lseek(file.fd, piece.size, os.SEEK_CUR)
        return data.size

    monkeypatch.setattr(encode.AtomicFile, "write", sparse)
    npt, steps = 1 << 22, 136                       # 16 MiB a spectrum
    last = np.arange(npt, dtype=np.float32)
    zero = np.zeros((1, npt), np.float32)
    chunks = iter([zero] * (steps - 1) + [last])
    path = arrays.write_time_series(str(tmp_path / "big.vell"), chunks, shape=(steps, npt))
    assert os.path.getsize(path) > 2 ** 31 + 16 * 2 ** 20
    offset, main, ext = _directory(path)
    (code, words, at), = ext
    assert offset == 24 and at < 2 ** 31 < at + 4 * words
    assert vellkit.listContents(path) == [("AB", "3D", "NONE")]
    record_at = at + 24 + 8 + (steps - 1) * (4 * npt + writer.DEFAULT_INFO_SIZE)
    with open(path, "rb") as f:
        f.seek(record_at)
        assert np.array_equal(np.frombuffer(f.read(4 * npt), "<f4"), last)
    xr = pytest.importorskip("xarray")
    from vellkit_tools import backend
    dataset = backend.open_dataset(path, block=("AB", "3D", "NONE"))
    assert isinstance(dataset, xr.Dataset)
    values = dataset["spectra"][-1, -3:].values
    assert values.tolist() == last[-3:].tolist()


# ----------------------------------------------------------------------------
# Every write path of the package: links, permission bits, a full disk, Ctrl-C

def _source(folder):
    path = str(folder / "src" / "spectrum.vell")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if not os.path.exists(path):
        arrays.write_spectrum(path, [1.0, 2.0, 3.0])
    return path


def _export(fmt, ext):
    def write(target):
        from vellkit_tools.cli import main
        out = os.path.dirname(target)
        source = _source(Path(out).parent)
        status = main(["export", source, "--to", out, "--format", fmt, "--force", "--no-images"])
        if status:
            raise SystemExit(status)
    return "spectrum_AB_2D_NONE." + ext, write


def _preview(target):
    from vellkit_tools.cli import main
    status = main(["preview", _source(Path(target).parent.parent), "--out", target, "--force"])
    if status:
        raise SystemExit(status)


def _plots_save(target):
    pytest.importorskip("matplotlib")
    from vellkit_tools import plots
    plots.save(plots.plot_result(vellkit.getVellData(_source(Path(target).parent.parent),
                                                     ("AB", "2D", "NONE"))), target)


# (file name in the output folder, write(path), is a folder)
WRITE_PATHS = {
    "VellFile.write": ("out.vell", WRITERS["VellFile.write"], False),
    "write_image_map": ("out.vell", WRITERS["write_image_map"], False),
    "export csv": _export("csv", "csv") + (False,),
    "export npz": _export("npz", "npz") + (False,),
    "export json": _export("json", "json") + (False,),
    "export netcdf": _export("netcdf", "nc") + (False,),
    "export zarr": _export("zarr", "zarr") + (True,),
    "preview": ("picture.png", _preview, False),
    "plots.save": ("picture.svg", _plots_save, False),
}


def _needs(name):
    if "netcdf" in name:
        pytest.importorskip("netCDF4")
    if "zarr" in name:
        pytest.importorskip("zarr")
    if name in ("export netcdf", "export zarr"):
        pytest.importorskip("xarray")
    if name == "preview":
        pytest.importorskip("matplotlib")


def _old_output(path, folder):
    """OLD at ``path``: a file, or a folder holding a file 'kept'."""
    if folder:
        os.mkdir(path)
        Path(path, "kept").write_bytes(OLD)
    else:
        Path(path).write_bytes(OLD)


def _is_old(path, folder):
    return Path(path, "kept").read_bytes() == OLD if folder else Path(path).read_bytes() == OLD


def _no_parts(*folders):
    return not [n for f in folders for n in os.listdir(str(f)) if n.startswith(".vellkit-")]


def _write(name, target):
    """Run a write path; what it raised, or how the command ended."""
    try:
        WRITE_PATHS[name][1](str(target))
    except (OSError, KeyboardInterrupt, SystemExit) as exc:
        return exc
    return None


@pytest.fixture(params=sorted(WRITE_PATHS))
def write_path(request, tmp_path):
    _needs(request.param)
    out = tmp_path / "out"
    out.mkdir()
    _source(tmp_path)  # the input of the command's paths, made before any patch
    file_name, _, folder = WRITE_PATHS[request.param]
    return request.param, out / file_name, folder


@pytest.mark.skipif(not hasattr(os, "symlink") or sys.platform == "win32", reason="needs symbolic links")
def test_a_link_stays_a_link_and_its_file_is_replaced(tmp_path, write_path):
    name, target, folder = write_path
    real = tmp_path / "data" / ("real" + target.suffix)
    real.parent.mkdir()
    _old_output(str(real), folder)
    target.symlink_to(real)
    assert _write(name, target) is None
    assert target.is_symlink() and os.readlink(str(target)) == str(real)
    assert not _is_old(str(real), folder) if not folder else not (real / "kept").exists()
    assert _no_parts(real.parent, target.parent)


@pytest.mark.skipif(os.name != "posix", reason="POSIX modes")
@pytest.mark.parametrize("mode", [0o600, 0o640])
def test_permission_bits_are_kept(write_path, mode):
    name, target, folder = write_path
    _old_output(str(target), folder)
    os.chmod(str(target), mode | (0o100 if folder else 0))
    before = os.umask(0o022)
    try:
        assert _write(name, target) is None
    finally:
        os.umask(before)
    assert stat.S_IMODE(os.stat(str(target)).st_mode) == mode | (0o100 if folder else 0)
    assert not _is_old(str(target), folder) if not folder else not (target / "kept").exists()


@pytest.mark.parametrize("raised", [OSError(errno.ENOSPC, os.strerror(errno.ENOSPC)), KeyboardInterrupt()],
                         ids=["disk full", "Ctrl-C"])
def test_a_failed_flush_leaves_the_old_output(write_path, monkeypatch, capsys, raised):
    # The disk fills up (or Ctrl-C comes) as the output is flushed: the last
    # step before the output takes its place.
    name, target, folder = write_path
    _old_output(str(target), folder)

    def fail(fd):
        raise raised

    monkeypatch.setattr(os, "fsync", fail)
    outcome = _write(name, target)
    assert _is_old(str(target), folder) and _no_parts(target.parent)
    err = capsys.readouterr().err
    if isinstance(raised, KeyboardInterrupt):
        assert isinstance(outcome, KeyboardInterrupt) or (isinstance(outcome, SystemExit)
                                                          and outcome.code == 130)
    elif isinstance(outcome, SystemExit):  # the command: one line naming the output
        assert outcome.code == 1 and "No space left on device" in err and target.name in err
    else:
        assert isinstance(outcome, OSError) and outcome.errno == errno.ENOSPC
        assert outcome.filename == str(target)


def test_a_hard_link_keeps_the_old_contents(tmp_path):
    # As the helper says: the name written gets the new file, other names the old one.
    target, other = tmp_path / "a.vell", tmp_path / "b.vell"
    target.write_bytes(OLD)
    os.link(str(target), str(other))
    WRITERS["write_spectrum"](str(target))
    assert other.read_bytes() == OLD and _written(str(target))
