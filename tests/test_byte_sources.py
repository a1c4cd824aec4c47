"""The native reader through byte sources (memory, file objects, fsspec
URLs): the same plans and values as from the path, and a source's failures
raised as its own, never as wrong values."""

import io
import signal

import numpy as np
import pytest

from vellkit_tools import _native, remote, writer

fsspec = pytest.importorskip("fsspec")

NPT, NPX, NPY = 16, 4, 3


@pytest.fixture(scope="module")
def map_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("sources") / "map.vell"
    records = np.arange(NPX * NPY * NPT, dtype=np.float32).reshape(NPX * NPY, NPT)
    writer.write_3d_file(path, records, NPT, writer.image_map_params(NPT, 1000.0, 2000.0, NPX, NPY))
    return path


def _block(path):
    return tuple(_native.describe_file(path)["blocks"][0]["request"])


def _sources(path, data):
    fs = fsspec.filesystem("memory")
    fs.pipe("/sources/map.vell", data)
    return {
        "memory": remote.MemorySource(bytearray(data)),
        "file object": remote.FileObjectSource(io.BytesIO(data)),
        "fsspec": remote.FsspecSource("memory://sources/map.vell"),
        # Blocks smaller than the file's parts: reads cross block edges.
        "small blocks": remote.FsspecSource("memory://sources/map.vell", read_ahead=7),
        "file url": remote.open_source(path.as_uri()),
        # A file system wrapping another (synchronous) one.
        "wrapped": remote.FsspecSource("dir://map.vell",
                                       {"path": "/sources", "target_protocol": "memory"}),
    }


@pytest.mark.parametrize("kind", ["memory", "file object", "fsspec", "small blocks", "file url", "wrapped"])
def test_a_source_plans_and_reads_as_the_path_does(map_file, kind):
    source = _sources(map_file, map_file.read_bytes())[kind]
    block = _block(map_file)
    expected = _native.plan_block(str(map_file), block)
    plan = _native.plan_block(source, block)
    assert {k: v for k, v in plan.items() if k != "identity"} == {
        k: v for k, v in expected.items() if k != "identity"}
    offsets = np.frombuffer(plan["records"]["offsets"], dtype=np.int64)
    got = _native.read_points(source, offsets, NPT, 2, 5, plan["identity"])
    want = _native.read_points(str(map_file), offsets, NPT, 2, 5, expected["identity"])
    np.testing.assert_array_equal(got, want)


class _Faulty(remote.ByteSource):
    def __init__(self, data, fault):
        super().__init__()
        self.name, self.size, self._data, self._fault = "faulty://map.vell", len(data), data, fault

    def identity(self):
        return ("v2",) if self._fault == "rewritten" else ("v1",)

    def read_into(self, offset, buffer):
        self.requests += 1
        if self._fault == "raises" and self.requests > 1:
            raise ConnectionResetError("faulty://map.vell: connection reset by peer")
        if self._fault == "overcounts":
            return len(buffer) + 1
        if self._fault == "keeps buffer":
            self.kept = buffer
        piece = self._data[offset : offset + len(buffer)]
        buffer[: len(piece)] = piece
        return len(piece)


@pytest.mark.parametrize("fault, error, text", [
    ("raises", ConnectionResetError, "connection reset"),
    ("overcounts", ValueError, "read_into returned"),
    ("rewritten", OSError, "faulty://map.vell has changed since it was opened"),
])
def test_a_failing_source_raises_its_own_error(map_file, fault, error, text):
    data = map_file.read_bytes()
    block = _block(map_file)
    plan = _native.plan_block(str(map_file), block)
    offsets = np.frombuffer(plan["records"]["offsets"], dtype=np.int64)
    source = _Faulty(data, fault)
    with pytest.raises(error, match=text):
        # The plan's second request fails: that failure, not a file taken
        # for one cut short ("no data block").
        _native.plan_block(source, block)
        _native.read_points(source, offsets, NPT, 0, NPT, ("v1",))


def test_a_source_cannot_keep_the_readers_buffer(map_file):
    source = _Faulty(map_file.read_bytes(), "keeps buffer")
    _native.describe_file(source)
    with pytest.raises(ValueError, match="released"):
        source.kept[0]


class _Hostile(remote.ByteSource):
    """A source whose header comes from a real file and whose other reads
    stop the call (a signal) or claim far more than the object holds."""

    def __init__(self, data, size, stop_after=None):
        super().__init__()
        self.name, self.size, self._data, self._stop_after = "hostile://map.vell", size, data, stop_after

    def identity(self):
        return (self.size,)

    def read_into(self, offset, buffer):
        self.requests += 1
        if self._stop_after is not None and self.requests > self._stop_after:
            signal.raise_signal(signal.SIGINT)  # Ctrl-C while the store is asked
        piece = self._data[offset : offset + len(buffer)]
        buffer[: len(piece)] = piece
        return len(piece)


def test_ctrl_c_while_the_store_is_asked_stops_the_call(map_file):
    source = _Hostile(map_file.read_bytes(), map_file.stat().st_size, stop_after=0)
    source_plan = remote.MemorySource(map_file.read_bytes())
    plan = _native.plan_block(source_plan, _block(map_file))
    offsets = np.frombuffer(plan["records"]["offsets"], dtype=np.int64)
    with pytest.raises(KeyboardInterrupt):
        _native.read_points(source, offsets, NPT, 0, NPT)
    assert source.requests == 1  # no request after the one that was stopped


def test_a_source_claiming_a_hostile_size_reads_what_it_holds(map_file):
    # The object says it is 2**60 bytes; the bytes past the real file read
    # as the end of the file: the plan is the file's, the reads bounded.
    data = map_file.read_bytes()
    source = _Hostile(data, 1 << 60)
    plan = _native.plan_block(source, _block(map_file))
    assert plan["records"] == _native.plan_block(str(map_file), _block(map_file))["records"]
    assert source.requests < 10
