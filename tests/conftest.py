"""Shared helpers for the vellkit tests: file writing, raw header and
directory bytes, field-read report capture and open-descriptor counting."""

import itertools
import os
import struct
import sys

import pytest

try:
    from vellkit_tools import writer
except ImportError:  # running from a source tree without PYTHONPATH=python
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "python"))
    from vellkit_tools import writer

MAGIC = writer.MAGIC
REQUIRED = ("NPT", "FXV", "LXV", "MNY", "MXY")

# One field-read report as seen by the unraisable hook: (object, type, message).
READ_INT = ("vellkit.readInt", struct.error, "unpack requires a buffer of 4 bytes")
READ_INT64 = ("vellkit.readInt64", struct.error, "unpack requires a buffer of 8 bytes")
READ_SHORT = ("vellkit.readShort", struct.error, "unpack requires a buffer of 2 bytes")
READ_DOUBLE = ("vellkit.readDouble", struct.error, "unpack requires a buffer of 8 bytes")

_names = itertools.count()


def write(tmp_path, content, name=None):
    """Write a VellFile or raw bytes under ``tmp_path``; returns the path as str."""
    data = content.to_bytes() if isinstance(content, writer.VellFile) else bytes(content)
    path = tmp_path / (name or "file%d.vell" % next(_names))
    path.write_bytes(data)
    return str(path)


def header(offset_to_directory, dir_size, max_dir_size=0, version=1.0, magic=MAGIC):
    """The 24-byte file header."""
    return bytes(magic) + struct.pack("<d3i", version, offset_to_directory, max_dir_size, dir_size)


def entry(code, size_in_words, byte_offset):
    """One 12-byte directory entry."""
    return struct.pack("<3i", code, size_in_words, byte_offset)


def extension(entries, count=None):
    """A 64-bit directory extension of (code, size, offset) entries."""
    count = len(entries) if count is None else count
    return struct.pack("<qq", count, 0) + b"".join(struct.pack("<4q", c, s, o, 0) for c, s, o in entries)


def record(name, ptype, size, value=b""):
    """One raw parameter record; ``name`` is bytes, NUL-padded to four."""
    return name.ljust(4, b"\0") + struct.pack("<hh", ptype, size) + value


END = b"END\0"


def spectral(npt=0, fxv=1.0, lxv=2.0, mny=0.0, mxy=0.0):
    return [("NPT", npt), ("FXV", fxv), ("LXV", lxv), ("MNY", mny), ("MXY", mxy)]


def open_fds():
    """The process's open descriptors (Linux, macOS); tests that count them skip elsewhere."""
    for directory in ("/proc/self/fd", "/dev/fd"):
        if os.path.isdir(directory):
            return sorted(os.listdir(directory))
    pytest.skip("no list of open descriptors on this system")


@pytest.fixture
def reports(monkeypatch):
    """Field-read reports passed to the unraisable hook, as (object, type, message)."""
    seen = []

    def hook(unraisable):
        seen.append((unraisable.object, unraisable.exc_type, str(unraisable.exc_value)))

    monkeypatch.setattr(sys, "unraisablehook", hook)
    return seen


# The modules whose tests drive the extension modules' reads of files, valid
# and damaged: rerun against the sanitizer and clang++ builds. The rest (the
# command, the engine, plots, writers, docs) is Python over those reads and
# runs once, in the main run.
NATIVE_MODULES = {
    "test_annotations", "test_bounds", "test_byte_sources", "test_crashes", "test_format", "test_hostile_files", "test_image_maps",
    "test_images", "test_module", "test_multi_region", "test_native_guards", "test_open_audit",
    "test_parameter_blocks", "test_plans", "test_read_faults", "test_read_sizes", "test_region_plan",
    "test_report_floods", "test_robustness", "test_series_layouts", "test_single_spectra", "test_soak",
    "test_store_tables", "test_threads", "test_time_resolved", "test_truncation", "test_remote",
}
# What the other interpreters and numpy 1 run: every entry point of both
# extension modules, every kind of block, the results' classes, the stubs and
# the typed usage, threads and signals; where a C API, numpy ABI or typing
# change would show.
SMOKE_MODULES = {
    "test_module", "test_kinds", "test_typing", "test_units", "test_plans", "test_threads",
    "test_single_spectra", "test_image_maps", "test_time_resolved", "test_multi_region", "test_images",
    "test_annotations", "test_parameter_blocks", "test_axes", "test_series_layouts",
}


def pytest_collection_modifyitems(items):
    for item in items:
        module = item.module.__name__.rpartition(".")[2] if item.module else ""
        if module in NATIVE_MODULES:
            item.add_marker(pytest.mark.native)
        if module in SMOKE_MODULES:
            item.add_marker(pytest.mark.smoke)


# Loopback S3 and HTTP servers (tests/services.py) for the remote reads.
@pytest.fixture(scope="session")
def s3_service():
    pytest.importorskip("moto.server")
    pytest.importorskip("s3fs")
    pytest.importorskip("boto3")
    import services

    server = services.S3Server()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def s3_server(s3_service):
    """The loopback S3 server's endpoint URL."""
    return s3_service.url


@pytest.fixture(scope="session")
def http_server(tmp_path_factory):
    """A loopback HTTP server of a fresh folder (``put``, ``replace``, ``fault``)."""
    pytest.importorskip("aiohttp")
    import services

    server = services.HttpServer(tmp_path_factory.mktemp("served"))
    yield server
    server.stop()
