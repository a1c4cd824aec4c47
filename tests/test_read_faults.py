"""Faults no file can cause, injected below the module with an LD_PRELOAD
library that wraps pread and preadv: reads interrupted by a signal (EINTR)
must be retried with the same result, and a file that shrinks while it is
read must never yield bytes that were not read from it."""

import json
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vellkit_tools import writer

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="LD_PRELOAD of a glibc wrapper")

STUB = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static int armed;
static long interrupted, shrunk, reads;

void fault_arm(int on) { armed = on; }
long fault_interrupted(void) { return interrupted; }
long fault_shrunk(void) { return shrunk; }
long fault_reads(void) { return reads; }

/* Every other read fails with EINTR while armed. */
static int interrupt_now(void) {
    static long calls;
    if (!armed || !getenv("FAULT_EINTR")) return 0;
    if (calls++ % 2) return 0;
    ++interrupted;
    errno = EINTR;
    return 1;
}

/* The first vectored read while armed finds the file cut short. */
static void shrink_now(void) {
    const char* path = getenv("FAULT_SHRINK_PATH");
    if (!armed || !path || shrunk) return;
    if (truncate(path, atoll(getenv("FAULT_SHRINK_TO"))) == 0) ++shrunk;
}

#define WRAP_PREAD(name, off_type)                                                   \
    ssize_t name(int fd, void* buf, size_t n, off_type off) {                         \
        static ssize_t (*real)(int, void*, size_t, off_type);                         \
        if (!real) real = (ssize_t (*)(int, void*, size_t, off_type))dlsym(RTLD_NEXT, #name); \
        if (interrupt_now()) return -1;                                               \
        reads += armed;                                                               \
        return real(fd, buf, n, off);                                                 \
    }
#define WRAP_PREADV(name, off_type)                                                  \
    ssize_t name(int fd, const struct iovec* iov, int count, off_type off) {          \
        static ssize_t (*real)(int, const struct iovec*, int, off_type);              \
        if (!real) real = (ssize_t (*)(int, const struct iovec*, int, off_type))dlsym(RTLD_NEXT, #name); \
        if (interrupt_now()) return -1;                                               \
        shrink_now();                                                                 \
        reads += armed;                                                               \
        return real(fd, iov, count, off);                                             \
    }

WRAP_PREAD(pread, off_t)
WRAP_PREAD(pread64, off64_t)
WRAP_PREADV(preadv, off_t)
WRAP_PREADV(preadv64, off64_t)
"""

CHILD = textwrap.dedent("""
    import ctypes, json, pickle, sys
    import numpy as np
    stub = ctypes.CDLL(sys.argv[1])
    sys.path.insert(0, sys.argv[2])
    import vellkit, _model
    path, calls = sys.argv[3], json.loads(sys.argv[4])
    sys.unraisablehook = lambda unraisable: None
    if calls == "shrink":
        # Leave freed memory full of a sentinel where the result's array is
        # likely to be allocated: bytes not read from the file would show it.
        for _ in range(8):
            bait = np.full((60, 64), 7.0, np.float32)
            del bait
        stub.fault_arm(1)
        result = vellkit.getVellData(path, ("AB", "3D", "NONE"))
        stub.fault_arm(0)
        sys.stdout.buffer.write(pickle.dumps((result.spectra, result.z, stub.fault_shrunk())))
        sys.exit(0)
    if isinstance(calls, dict):
        # System calls that read, per call.
        counts = []
        for request in calls["count"]:
            before = stub.fault_reads()
            stub.fault_arm(1)
            vellkit.listContents(path) if request is None else vellkit.getVellData(path, tuple(request))
            stub.fault_arm(0)
            counts.append(stub.fault_reads() - before)
        print(json.dumps(counts))
        sys.exit(0)
    checked = 0
    for request in calls:
        stub.fault_arm(1)
        result = vellkit.getVisImages(path) if request is None else vellkit.getVellData(path, tuple(request))
        stub.fault_arm(0)
        if request is None:
            for image in result:
                image.pop("imgext")
            assert result == _model.get_vis_images(path)
        else:
            _model.assert_same(result, _model.get_vell_data(path, tuple(request)))
        checked += 1
    print(json.dumps({"checked": checked, "interrupted": stub.fault_interrupted()}))
""")


@pytest.fixture(scope="module")
def stub(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        pytest.skip("no C compiler")
    directory = tmp_path_factory.mktemp("stub")
    source = directory / "fault_stub.c"
    source.write_text(STUB)
    library = directory / "fault_stub.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(source), "-ldl"], check=True)
    return str(library)


def run_child(stub, path, calls, **env):
    environment = dict(os.environ, **env)
    preload = environment.get("LD_PRELOAD")
    environment["LD_PRELOAD"] = preload + ":" + stub if preload else stub
    return subprocess.run([sys.executable, "-c", CHILD, stub, os.path.dirname(__file__), path, json.dumps(calls)],
                          capture_output=True, env=environment, timeout=120)


def mixed_file():
    """One file with a spectrum, a series of labelled traces, an image map and images."""
    vf = writer.make_spectrum_file(np.arange(3000, dtype=np.float32),
                                   images=[writer.Image(bytes(range(1, 256)) * 40, title="a"),
                                           writer.Image(b"BM" + bytes(5000), title="b")])
    records = [writer.Record(np.arange(700, dtype=np.float32) + k, time=k, label="trace %d" % k * 600)
               for k in range(1500)]
    writer.make_3d_file(records, 700, writer.time_resolved_params(700, 1.0, 2.0), data_type="TRC",
                        info_size=152 + 6000, into=vf)
    writer.make_3d_file([np.arange(50, dtype=np.float32) * k for k in range(12)], 50,
                        writer.image_map_params(50, 1.0, 2.0, 4, 3), into=vf)
    return vf


def test_interrupted_reads_are_retried(stub, tmp_path):
    path = tmp_path / "mixed.vell"
    mixed_file().write(str(path))
    calls = [None, ("AB", "2D", "NONE"), ("TRC", "3D", "NONE"), ("AB", "3D", "NONE")]
    proc = run_child(stub, str(path), calls, FAULT_EINTR="1")
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    report = json.loads(proc.stdout)
    assert report["checked"] == len(calls)
    assert report["interrupted"] > 100  # every other read, the vectored ones included


@pytest.mark.native
def test_a_small_file_is_read_in_one_system_call(stub, tmp_path):
    path = tmp_path / "small.vell"
    writer.make_spectrum_file(np.arange(4096, dtype=np.float32)).write(str(path))
    proc = run_child(stub, str(path), {"count": [["AB", "2D", "NONE"], None]})
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    assert json.loads(proc.stdout) == [1, 1]


@pytest.mark.parametrize("keep_records", [0, 13, 59])
def test_file_shrinking_during_a_read(stub, tmp_path, keep_records):
    import pickle

    # 150 records: larger than a file read whole when it is opened.
    npt, info, count = 64, 216, 150
    records = [writer.Record(np.arange(npt, dtype=np.float32) + 1000 * k + 1, time=k + 0.5) for k in range(count)]
    vf = writer.VellFile(directory="start")
    vf.add_parameters(writer.time_resolved_params(npt, 1.0, 2.0), data_type="AB", extend_type=writer.EXTEND_3D)
    start = vf.add_3d_block(records, npt, data_type="AB", info_size=info)
    path = tmp_path / "shrinking.vell"
    vf.write(str(path))
    record_area = start + 24 + 8
    cut = record_area + keep_records * (4 * npt + info) + 100  # within the next record's values
    proc = run_child(stub, str(path), "shrink", FAULT_SHRINK_PATH=str(path), FAULT_SHRINK_TO=str(cut))
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    spectra, z, shrunk = pickle.loads(proc.stdout)
    assert shrunk == 1 and os.path.getsize(path) == cut
    expected = np.zeros((count, npt), np.float32)
    for k in range(keep_records):
        expected[k] = records[k].values
    expected[keep_records, :25] = records[keep_records].values[:25]
    # Values the file still held, zeros for the rest: never bytes that were not read from it.
    np.testing.assert_array_equal(spectra, expected)
    np.testing.assert_array_equal(z[:keep_records], [k + 0.5 for k in range(keep_records)])
    np.testing.assert_array_equal(z[keep_records:], 0.0)
