"""Remote maps through loopback S3 and HTTP servers (tests/services.py): the
same description, plan and values as the local file, a handful of range
requests to open a map and one to read a run of records, and every fault of
the server an error naming the object, never wrong values nor a hang."""

import contextlib

import numpy as np
import pytest

from vellkit_tools import _native, remote, writer

pytest.importorskip("fsspec")

NPX, NPY, NPT = 64, 64, 256
BUCKET = "vell"
KINDS = ["s3", "http", "obstore"]


@pytest.fixture(scope="module")
def map_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("remote") / "map.vell"
    records = np.random.default_rng(5).random((NPX * NPY, NPT), dtype=np.float32)
    writer.write_3d_file(path, records, NPT, writer.image_map_params(NPT, 4000.0, 400.0, NPX, NPY))
    return path


@pytest.fixture(scope="module")
def local(map_file):
    path = str(map_file)
    description = _native.describe_file(path)
    block = tuple(description["blocks"][0]["request"])
    plan = _native.plan_block(path, block)
    offsets = np.frombuffer(plan["records"]["offsets"], dtype=np.int64)
    return path, description, block, plan, offsets


@pytest.fixture
def serve(map_file, s3_service, http_server):
    """``serve(kind, name, data=None, **options)`` -> (source, server, path
    the server logs): the map (or ``data``) uploaded as ``name`` and opened."""
    s3_service.reset()
    http_server.reset()

    def opened(kind, name="map.vell", data=None, **options):
        data = map_file.read_bytes() if data is None else data
        if kind == "http":
            url = http_server.put(name, data)
            return remote.FsspecSource(url, options), http_server, "/" + name
        url = s3_service.put(BUCKET, name, data)
        if kind == "obstore":
            pytest.importorskip("obstore")
        if kind == "s3":
            return remote.FsspecSource(url, s3_service.storage_options(**options)), s3_service, f"/{BUCKET}/{name}"
        return remote.ObstoreSource(s3_service.obstore(BUCKET), name, name=url), s3_service, f"/{BUCKET}/{name}"

    yield opened
    s3_service.reset()
    http_server.reset()


def _without_identity(result):
    return {k: v for k, v in result.items() if k != "identity"}


@pytest.mark.parametrize("kind", KINDS)
def test_a_remote_map_reads_as_the_local_file_in_few_requests(serve, local, kind):
    path, description, block, plan, offsets = local
    source, server, logged = serve(kind)
    assert _without_identity(_native.describe_file(source)) == _without_identity(description)
    remote_plan = _native.plan_block(source, block)
    assert _without_identity(remote_plan) == _without_identity(plan)
    # Header, directory, parameter blocks and store table: the start and
    # the end of the file.
    assert server.count("GET", logged) == source.requests <= 3
    # A run of records smaller than a read-ahead block, across the edge of
    # an aligned one (2 MiB), half of it not kept yet: one request.
    run = offsets[1500:2200]
    before = source.requests
    got = _native.read_points(source, run, NPT, 0, NPT, remote_plan["identity"])
    assert source.requests - before == 1
    assert server.count("GET", logged) == source.requests
    np.testing.assert_array_equal(got, _native.read_points(path, run, NPT, 0, NPT, plan["identity"]))
    # Every record in order (the reader's slices of 2 MiB and less): a
    # window growing with the run, not a request per slice.
    source, _, _ = serve(kind)
    remote_plan = _native.plan_block(source, block)
    before = source.requests
    whole = _native.read_points(source, offsets, NPT, 0, NPT, remote_plan["identity"])
    assert source.requests - before <= 2
    np.testing.assert_array_equal(whole, _native.read_points(path, offsets, NPT, 0, NPT, plan["identity"]))
    band = _native.read_points(source, offsets, NPT, 10, 50, remote_plan["identity"])
    np.testing.assert_array_equal(band, _native.read_points(path, offsets, NPT, 10, 50, plan["identity"]))


def test_s3_reads_with_the_aws_environment_alone(serve, local, s3_service, monkeypatch):
    path, _, block, plan, offsets = local
    serve("s3")
    for name, value in s3_service.environment().items():
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("AWS_PROFILE", raising=False)
    source = remote.open_source(f"s3://{BUCKET}/map.vell")
    got = _native.read_points(source, offsets[:5], NPT, 0, NPT, _native.plan_block(source, block)["identity"])
    np.testing.assert_array_equal(got, _native.read_points(path, offsets[:5], NPT, 0, NPT, plan["identity"]))


def test_s3_retries_a_slow_down_and_reads_the_same_values(serve, local):
    path, _, block, plan, offsets = local
    source, server, logged = serve("s3")
    identity = _native.plan_block(source, block)["identity"]
    before = server.count("GET", logged)
    with server.fault("error", times=2):
        got = _native.read_points(source, offsets[3000:3100], NPT, 0, NPT, identity)
    assert server.count("GET", logged) - before == 3
    np.testing.assert_array_equal(got, _native.read_points(path, offsets[3000:3100], NPT, 0, NPT, plan["identity"]))


@pytest.mark.parametrize("fault, error, text", [
    ("drop", OSError, "Not enough data|payload"),
    ("short", OSError, "a short read"),
    ("error", OSError, "503"),
    ("stall", TimeoutError, "[Tt]ime"),
])
def test_a_failing_http_server_is_an_error_naming_the_url(serve, local, monkeypatch, fault, error, text):
    _, _, block, _, offsets = local
    # The default timeouts, shortened: a server that stops answering.
    monkeypatch.setattr(remote, "READ_TIMEOUT", 0.5)
    source, server, _ = serve("http")
    monkeypatch.setattr(server, "stall_seconds", 5.0)
    identity = _native.plan_block(source, block)["identity"]
    with server.fault(fault), pytest.raises(error, match=text) as raised:
        _native.read_points(source, offsets[3000:3100], NPT, 0, NPT, identity)
    assert source.name in str(raised.value)


def test_a_stalled_s3_server_times_out(serve, local, monkeypatch):
    _, _, block, _, offsets = local
    # The default timeouts, shortened; the client retries a stalled read
    # (some fifty times over): the request is given up at its deadline.
    monkeypatch.setattr(remote, "READ_TIMEOUT", 0.5)
    monkeypatch.setattr(remote, "CONNECT_TIMEOUT", 0.5)
    source, server, _ = serve("s3")
    monkeypatch.setattr(server, "stall_seconds", 5.0)
    identity = _native.plan_block(source, block)["identity"]
    with server.fault("stall", times=100), pytest.raises(OSError, match=source.name) as raised:
        _native.read_points(source, offsets[3000:3100], NPT, 0, NPT, identity)
    assert "no answer within" in str(raised.value)


@pytest.mark.parametrize("kind", KINDS)
def test_an_object_replaced_after_opening_is_never_read(serve, local, map_file, kind):
    _, _, block, _, offsets = local
    source, server, _ = serve(kind, name=f"replaced-{kind}.vell")
    data = bytearray(map_file.read_bytes())
    identity = _native.plan_block(source, block)["identity"]
    data[int(offsets[3000]) : int(offsets[3000]) + 4] = b"\x00\x00\x80\x7f"  # same size, other bytes
    if kind == "http":
        server.replace(f"replaced-{kind}.vell", data)
    else:
        server.put(BUCKET, f"replaced-{kind}.vell", data)
    changed = f"{source.name} has changed since it was opened"
    with pytest.raises(OSError, match=changed):
        _native.read_points(source, offsets[3000:3100], NPT, 0, NPT, identity)
    # Nor through a new plan on the same source: its kept blocks and size
    # are the old object's.
    with pytest.raises(OSError, match=changed):
        _native.plan_block(source, block)


@pytest.mark.parametrize("kind", ["http", "obstore"])
def test_a_range_of_a_replaced_object_is_refused_by_the_server(serve, local, map_file, kind):
    _, _, _, _, offsets = local
    name = f"swapped-{kind}.vell"
    source, server, _ = serve(kind, name=name)
    data = map_file.read_bytes()[::-1]
    server.replace(name, data) if kind == "http" else server.put(BUCKET, name, data)
    # Straight to the range, past the identity check: the condition on
    # the ETag refuses it.
    with pytest.raises(OSError, match=f"{source.name} has changed since it was opened"):
        source.read_into(int(offsets[3000]), memoryview(bytearray(4 * NPT)))


def test_a_weak_etag_does_not_refuse_every_range(serve, local, http_server, monkeypatch):
    path, _, block, plan, offsets = local
    monkeypatch.setattr(http_server, "weak_etags", True)
    source, _, _ = serve("http")
    got = _native.read_points(source, offsets[3000:3100], NPT, 0, NPT, _native.plan_block(source, block)["identity"])
    np.testing.assert_array_equal(got, _native.read_points(path, offsets[3000:3100], NPT, 0, NPT, plan["identity"]))


@pytest.mark.parametrize("kind, target, error", [
    ("s3", "s3://vell/absent.vell", FileNotFoundError),
    ("s3", "s3://no-such-bucket/map.vell", FileNotFoundError),
    ("http", "/absent.vell", FileNotFoundError),
    ("obstore", "absent.vell", FileNotFoundError),
    ("s3 refused", "s3://vell/map.vell", OSError),
    ("s3 credentials", "s3://vell/map.vell", PermissionError),
    ("obstore credentials", "map.vell", PermissionError),
])
def test_an_object_that_cannot_be_opened_is_named(serve, s3_service, http_server, kind, target, error):
    serve("s3")
    if kind in ("s3", "s3 credentials"):
        opening = lambda: remote.FsspecSource(target, s3_service.storage_options())  # noqa: E731
    elif kind == "http":
        target = http_server.url + target
        opening = lambda: remote.FsspecSource(target)  # noqa: E731
    elif kind in ("obstore", "obstore credentials"):
        pytest.importorskip("obstore")
        opening = lambda: remote.ObstoreSource(s3_service.obstore(BUCKET), target)  # noqa: E731
    else:
        # Nothing listens there: the client's error, no retries for long.
        options = s3_service.storage_options(config_kwargs={"retries": {"max_attempts": 1}})
        options["client_kwargs"] = dict(options["client_kwargs"], endpoint_url="http://127.0.0.1:9")
        opening = lambda: remote.FsspecSource(target, options)  # noqa: E731
    with (s3_service.checking_credentials() if "credentials" in kind else contextlib.nullcontext()):
        with pytest.raises(error, match=target.replace(".", r"\.")) as raised:
            opening()
    # The client's own words, not a mistake in the options passed to it.
    assert kind != "s3 refused" or "Could not connect" in str(raised.value)
