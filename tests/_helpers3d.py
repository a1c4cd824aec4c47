"""Helpers for the tests of 3D data blocks: file building, byte patching,
expected numpy results and field-read report capture."""

import struct
import sys

import numpy as np
import pytest

from vellkit_tools import writer

import vellkit

# The 3D data block is the first block make_3d_file places: right after the
# 24-byte file header.  Positions of the row count and of the store table in
# the block:
DATA_OFFSET = 24
NUMBER_ENTRIES, TABLE = 20, 24


def vals(k, npt):
    """The float32 values of record ``k``: distinct for every record and point."""
    return (np.arange(npt) * 1.5 + 100.0 * k + 0.25).astype(np.float32)


def save(tmp_path, content, name="data.vell"):
    data = content.to_bytes() if isinstance(content, writer.VellFile) else bytes(content)
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def read(path, kind="AB", deriv="NONE"):
    return vellkit.getVellData(path, (kind, "3D", deriv))


def put_i32(data, pos, value):
    """``data`` (bytes) with the int32 at ``pos`` replaced."""
    data = bytearray(data)
    data[pos:pos + 4] = struct.pack("<i", value)
    return bytes(data)


def patch_header(data, field, value, data_offset=DATA_OFFSET):
    return put_i32(data, data_offset + field, value)


def last_block_file(records, npt, params, data_type="AB", annotation=None, **block_options):
    """File bytes whose last bytes are the 3D data block's last record.

    The directory is reserved at the start, then come the parameter block,
    the annotation block (if any) and the 3D data block, so cutting bytes off
    the end of the file cuts the block's last record.
    """
    vf = writer.VellFile(directory="start")
    vf.add_parameters(params, data_type=data_type, extend_type=writer.EXTEND_3D)
    if annotation is not None:
        vf.add_annotation_block(annotation)
    vf.add_3d_block(records, npt, data_type=data_type, **block_options)
    return vf.to_bytes()


def numpy_error(func):
    """(type, message) of the exception numpy raises for ``func()``."""
    with pytest.raises(Exception) as info:
        func()
    return info.type, str(info.value)


def stack_error(lengths, how=np.vstack):
    return numpy_error(lambda: how([np.zeros(n, np.float32) for n in lengths]))


def assert_array(actual, expected, dtype):
    assert isinstance(actual, np.ndarray)
    assert actual.dtype == np.dtype(dtype)
    expected = np.asarray(expected, dtype=dtype)
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(actual, expected)


@pytest.fixture
def reports(monkeypatch):
    """Field-read reports passed to the unraisable hook, as (object, exception type)."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.object, u.exc_type)))
    return seen


def report_names(seen):
    return [obj for obj, _ in seen]
