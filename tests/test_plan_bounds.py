"""What a block plan refuses, and where every reader of the block agrees: a
block whose values would pass the memory limit is refused with the same
message by the module, the xarray engine and the command; a damaged
annotation table or parameter is a ValueError naming the file; a plan
charges what it keeps and bounds what a region claims."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vellkit_tools import _native, writer

import vellkit

from _helpers3d import put_i32, save

pytestmark = pytest.mark.native

MAP = ("AB", "3D", "NONE")
PYTHON_DIR = os.path.dirname(os.path.dirname(writer.__file__))


def one_record_map():
    """1,5 KB: one record of 256 values for a 2048 x 2048 map (4 GiB of values, past the 1 GiB floor)."""
    return writer.make_3d_file([writer.Record(np.ones(256, np.float32))], 256,
                               writer.image_map_params(256, 1.0, 2.0, 2048, 2048)).to_bytes(), None


def stacked_map():
    """4,096 records at one offset (blockSize 0) of a 64 x 64 map of 4,096 values: 64 MiB, past a 32M limit."""
    npt = 4096
    vf = writer.VellFile(directory="start")
    vf.add_parameters(writer.image_map_params(npt, 1.0, 2.0, 64, 64), data_type="AB",
                      extend_type=writer.EXTEND_3D)
    at = vf.add_3d_block([writer.Record(np.ones(npt, np.float32))], npt, data_type="AB")
    data = put_i32(vf.to_bytes(), at + 12, 0)
    return put_i32(data, at + 28, npt - 1), "32M"


def stacked_series():
    """4,096 records at one offset of a series whose NPT (8,192) passes the 4,096 values the file holds
    there: rows of 4,096 values, 64 MiB, past a 32M limit."""
    vf = writer.VellFile(directory="start")
    vf.add_parameters(writer.time_resolved_params(8192, 1.0, 2.0), data_type="AB", extend_type=writer.EXTEND_3D)
    at = vf.add_3d_block([writer.Record(np.ones(4096, np.float32), time=None)], 4096, data_type="AB", info_size=0)
    data = put_i32(vf.to_bytes(), at + 12, 0)
    return put_i32(data, at + 28, 4095) + bytes(144), "32M"  # each time in the file


def run_command(*args, env=None):
    environment = dict(os.environ, **(env or {}))
    environment["PYTHONPATH"] = os.pathsep.join([PYTHON_DIR, os.path.dirname(vellkit.__file__)])
    done = subprocess.run([sys.executable, "-m", "vellkit_tools"] + [str(a) for a in args], env=environment,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=300)
    return done.returncode, done.stderr


@pytest.mark.parametrize("make", [one_record_map, stacked_map, stacked_series])
def test_every_route_to_the_values_is_refused_with_one_message(tmp_path, monkeypatch, make):
    xr = pytest.importorskip("xarray")
    data, limit = make()
    path = save(tmp_path, data)
    if limit:
        monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", limit)
    with pytest.raises(MemoryError) as refused:
        vellkit.getVellData(path, MAP)
    message = str(refused.value)
    assert message.startswith(path + ": reading this file needs")
    with pytest.raises(MemoryError) as engine:
        xr.open_dataset(path, engine="vell").spectra.values
    assert str(engine.value) == message
    # (A block with records past the end is damaged: export reads it only when asked to.)
    status, err = run_command("export", path, "--to", tmp_path / "out", "--format", "netcdf", "--keep-damaged")
    assert status != 0 and message in err
    assert not os.path.exists(tmp_path / "out" / "data.nc")


def trace_regions(npt):
    """Multi-region traces whose Fileindex runs 1..3: columns 0..2 of traces of ``npt`` values."""
    table, indices = writer.multi_region_table([{"points": [(0.0, 0.0), (1.0, 0.0), (2.0, 0.0)]}])
    records = [writer.Record(np.arange(npt, dtype=np.float32), label="t%d" % k) for k in range(2)]
    return writer.make_3d_file(records, npt, writer.multi_region_params(npt, 1.0, 2.0), data_type="TRC",
                               annotation=[table])


def test_a_fileindex_past_the_traces_is_a_damaged_table(tmp_path):
    xr = pytest.importorskip("xarray")
    from vellkit_tools import backend
    path = save(tmp_path, trace_regions(2))  # Fileindex 3 names column 2 of 2
    block = ("TRC", "3D", "NONE")
    with pytest.raises(ValueError, match="^%s: Fileindex 3 is out of bounds" % path):
        _native.plan_block(path, block)
    with pytest.raises(ValueError, match="Fileindex 3 is out of bounds"):
        backend.open_mfdataset([path], block=block)
    if hasattr(xr, "DataTree"):
        node = backend.open_datatree(path)["TRC_3D_NONE"]
        assert "Fileindex 3 is out of bounds" in node.attrs["vellkit_problem"]
    status, err = run_command("show", path)
    assert status != 0 and "Fileindex 3 is out of bounds" in err and "Traceback" not in err


def with_parameter(params, name, value):
    """``params`` with ``name`` set to ``value`` (None: without it)."""
    return [(n, value if n == name else v) for n, v in params if n != name or value is not None]


@pytest.mark.parametrize("kind, name, value, said", [
    ("series", "NPT", -1, "parameter NPT is -1, not a count"),
    ("map", "NPX", -2, "parameter NPX is -2, not a count"),
    ("map", "NPY", -3, "parameter NPY is -3, not a count"),
    ("series", "MNY", None, "the block has no parameter MNY"),
])
def test_the_plan_refuses_the_parameters_the_reader_refuses(tmp_path, kind, name, value, said):
    params = writer.time_resolved_params(2, 1.0, 2.0) if kind == "series" else \
        writer.image_map_params(2, 1.0, 2.0, 1, 1)
    records = [writer.Record(np.ones(2, np.float32), time=1.0)]
    path = save(tmp_path, writer.make_3d_file(records, 2, with_parameter(params, name, value)))
    with pytest.raises(ValueError, match="^%s: block AB 3D NONE: %s$" % (path, said)):
        _native.plan_block(path, MAP)
    if value is None:  # the module's own lookup fails on the same name
        with pytest.raises(KeyError, match="MNY"):
            vellkit.getVellData(path, MAP)


@pytest.mark.parametrize("spare, refused", [(0, False), (-1, True)])
def test_a_series_plan_charges_its_times(tmp_path, monkeypatch, spare, refused):
    # NPT 0: the plan keeps the record offsets (64 bytes each) and the times (8 bytes each), no values.
    count = 1000
    records = [writer.Record([], time=float(k)) for k in range(count)]
    path = save(tmp_path, writer.make_3d_file(records, 0, writer.time_resolved_params(0, 1.0, 2.0)))
    monkeypatch.setenv("VELLKIT_MEMORY_LIMIT", str(count * (64 + 8) + spare))
    if refused:
        with pytest.raises(MemoryError, match="needs %d bytes" % (count * 72)):
            _native.plan_block(path, MAP)
    else:
        assert _native.plan_block(path, MAP)["npt"] == 0


CLAIM = """
    import resource, sys
    from vellkit_tools import _native
    # Room for the interpreter, not for the 6 GiB a region of 2**28 positions would take.
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, hard))
    try:
        _native.plan_block(sys.argv[1], ("AB", "3D", "NONE"))
    except (MemoryError, ValueError) as e:
        print(type(e).__name__, "VELLKIT_MEMORY_LIMIT" in str(e))
    """


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS")
@pytest.mark.skipif("san" in os.environ.get("LD_PRELOAD", ""),
                    reason="sanitizer runtimes reserve more address space than the limit allows")
def test_a_region_claims_no_more_positions_than_the_memory_left(tmp_path):
    # One row whose grid claims 16384 x 16384 positions.
    table = writer.AnnotationTable(writer.MULTI_REGION_COLUMNS, [[1, 0, 16384, 16384, 1, 1, 0.0, 0.0]])
    vf = writer.make_3d_file({1: writer.Record(np.ones(2, np.float32), time=1.0)}, 2,
                             writer.multi_region_params(2, 1.0, 2.0), annotation=[table])
    path = save(tmp_path, vf)
    with pytest.raises(MemoryError, match="VELLKIT_MEMORY_LIMIT"):
        vellkit.getVellData(path, MAP)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PYTHON_DIR, os.path.dirname(vellkit.__file__)]))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(CLAIM), path], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=300)
    assert (done.returncode, done.stdout) == (0, "MemoryError True\n"), done.stderr
