import errno
import math
import os
import struct
import subprocess
import sys

import pytest

import vellkit
from vellkit_tools import _native
from conftest import END, READ_DOUBLE, READ_INT, READ_SHORT, REQUIRED, open_fds, record, spectral, write, writer

REQUEST = ("AB", "2D", "NONE")


def rec_int(name, value, size=2):
    return record(name, 0, size, struct.pack("<i", value))


def rec_float(name, value, size=4):
    return record(name, 1, size, struct.pack("<d", value))


def spectrum_with_block(block, own=True):
    """A file whose AB spectrum has ``block`` as its own parameter block (or as
    its FT block); the other block holds the axis parameters.  The tested
    block is the last thing in the file."""
    vf = writer.VellFile(directory="start", align=1)
    vf.add_spectrum([], data_type="AB")
    if own:
        vf.add_parameters(spectral(), param_type=4)
        offset = vf.add_block(block, writer.block_type("AB", param_type=1))
    else:
        vf.add_parameters(spectral(), param_type=1, data_type="AB")
        offset = vf.add_block(block, writer.block_type(param_type=4))
    return vf, offset


def parse(tmp_path, block):
    """The parameters the tested block contributes, in dictionary order."""
    vf, _ = spectrum_with_block(block)
    params = vellkit.getVellData(write(tmp_path, vf), REQUEST).parameters
    return {k: v for k, v in params.items() if k not in REQUIRED}


def test_block_starting_with_end_is_empty(tmp_path):
    assert parse(tmp_path, END + bytes(4)) == {}


def test_numbers_keep_order_and_types(tmp_path):
    block = rec_int(b"NPT", 3) + rec_float(b"FXV", 4000.0) + rec_float(b"LXV", 400.0) + rec_float(
        b"MNY", -1.5) + rec_int(b"MXY", 7) + END
    vf = writer.VellFile()
    vf.add_spectrum([1.0, 2.0, 3.0], data_type="AB")
    vf.add_block(block, writer.block_type("AB", param_type=1))
    result = vellkit.getVellData(write(tmp_path, vf), REQUEST)
    assert list(result.parameters.items()) == [("NPT", 3), ("FXV", 4000.0), ("LXV", 400.0), ("MNY", -1.5),
                                               ("MXY", 7)]
    assert [type(v) for v in result.parameters.values()] == [int, float, float, float, int]
    assert (result.minY, result.maxY) == (-1.5, 7) and type(result.maxY) is int


@pytest.mark.parametrize("record_bytes, value", [
    (rec_int(b"V", 0), 0), (rec_int(b"V", -1), -1), (rec_int(b"V", 2 ** 31 - 1), 2 ** 31 - 1),
    (rec_int(b"V", -2 ** 31), -2 ** 31), (rec_float(b"V", 1e300), 1e300), (rec_float(b"V", -0.0), -0.0),
    (rec_float(b"V", float("inf")), float("inf")), (rec_float(b"V", 5e-324), 5e-324),
    (rec_float(b"V", float("nan")), float("nan")),
])
def test_number_values(tmp_path, record_bytes, value):
    got = parse(tmp_path, record_bytes + END)["V"]
    assert type(got) is type(value) and math.copysign(1, got) == math.copysign(1, value)
    assert got == value or math.isnan(value) and math.isnan(got)


@pytest.mark.parametrize("size", [0, 1, 4, 100, -1, -32768])
def test_size_field_is_ignored_for_numbers(tmp_path, size):
    block = rec_int(b"I", 5, size) + rec_float(b"F", 2.5, size) + rec_int(b"J", 6, size) + END
    assert parse(tmp_path, block) == {"I": 5, "F": 2.5, "J": 6}


@pytest.mark.parametrize("ptype", [2, 3, 4])
def test_text_types_cut_at_the_first_nul(tmp_path, ptype):
    block = record(b"SNM", ptype, 4, b"Sample\0X") + rec_int(b"NXT", 1) + END
    assert parse(tmp_path, block) == {"SNM": "Sample", "NXT": 1}


@pytest.mark.parametrize("size, value, text", [
    (0, b"", ""),
    (2, b"ABCD", "ABCD"),                # no NUL at all: all the bytes
    (2, b"\0BCD", ""),
    (3, b"ab\0\xff\xfe\0", "ab"),        # bytes after the NUL are not decoded
    (1, b"\xc3\xa9", "\xe9"),             # UTF-8
    (2, b"caf\xe9", "caf\xe9"),           # not UTF-8: Latin-1
    (2, b"\xe2\x82\xac!", "\u20ac!"),
    (2, b"\xed\xa0\x80!", "\xed\xa0\x80!"),  # an encoded surrogate is not UTF-8
])
def test_text_values(tmp_path, size, value, text):
    block = record(b"TXT", 2, size, value) + rec_int(b"NXT", 9) + END
    assert parse(tmp_path, block) == {"TXT": text, "NXT": 9}


@pytest.mark.parametrize("name, key", [
    (b"A\0B\0", "A\0B"), (b"\0\0\0\0", ""), (b"AB\0\0", "AB"), (b"\0AB\0", "AB"), (b"LONG", "LONG"),
    (b"AB \0", "AB "), (b"\xc3\xa9\0\0", "\xe9"), (b"F00\0", "F00"), (b"\xf0\x9f\x98\x80", "\U0001f600"),
])
def test_name_decoding(tmp_path, name, key):
    assert parse(tmp_path, rec_int(name, 1) + END) == {key: 1}


def test_duplicate_names_keep_first_position_and_last_value(tmp_path):
    block = rec_int(b"X", 1) + record(b"Y", 2, 1, b"y\0") + rec_float(b"X", 3.0) + rec_int(b"Z", 4) + END
    assert list(parse(tmp_path, block).items()) == [("X", 3.0), ("Y", "y"), ("Z", 4)]


@pytest.mark.native
@pytest.mark.parametrize("count", [3, 300])
def test_blocks_merge_a_name_stored_with_its_nuls_elsewhere(tmp_path, count):
    # The own block is merged first and the FT block last: a name keeps its
    # first place and takes its last value, however its NULs were placed;
    # 300 names are more than the merge table first holds.
    names = [b"%03d" % k for k in range(count)] + [b"A", b"AB"]
    required = (rec_int(b"NPT", 0) + rec_float(b"FXV", 1.0) + rec_float(b"LXV", 2.0) + rec_float(b"MNY", 0.0)
                + rec_float(b"MXY", 0.0))
    own = required + b"".join(rec_int(n, k) for k, n in enumerate(names)) + END
    ft = b"".join(rec_int(b"\0" + n, 1000 + k) for k, n in reversed(list(enumerate(names))))
    ft += rec_int(b"A\0B", 7) + END
    vf = writer.VellFile(directory="start", align=1)
    vf.add_spectrum([], data_type="AB")
    vf.add_block(own, writer.block_type("AB", param_type=1))
    vf.add_block(ft, writer.block_type(param_type=4))
    path = write(tmp_path, vf)
    expected = ([("NPT", 0), ("FXV", 1.0), ("LXV", 2.0), ("MNY", 0.0), ("MXY", 0.0)]
                + [(n.decode(), 1000 + k) for k, n in enumerate(names)] + [("A\0B", 7)])
    assert list(vellkit.getVellData(path, REQUEST).parameters.items()) == expected
    # The merged records as the core keeps them, each name once.
    assert _native.plan_block(path, REQUEST)["parameters"] == expected


def test_the_name_cache_holds_one_reference_per_name(tmp_path):
    # In a fresh interpreter, whose cache has room: names new to it, each
    # repeated in its block and read by many calls, are held once.
    names = ["\u0101q%d" % i for i in range(3)]
    block = b"".join(rec_int(n.encode(), i) + rec_float(n.encode(), i / 2) for i, n in enumerate(names)) + END
    vf, _ = spectrum_with_block(block)
    path = write(tmp_path, vf)
    code = ("import gc, sys, vellkit\n"
            "keys = [sys.intern(n) for n in %r]\n"
            "if sys.getrefcount(keys[0]) > 1 << 29: sys.exit(3)  # immortal: nothing to count\n"
            "before = [sys.getrefcount(k) for k in keys]\n"
            "for _ in range(50): params = vellkit.getVellData(%r, %r).parameters\n"
            "assert [k for k in params if k in keys] == keys and all(a is b for a, b in zip(params, params))\n"
            "del params\n"
            "gc.collect()\n"
            "after = [sys.getrefcount(k) for k in keys]\n"
            "print([a - b for a, b in zip(after, before)])\n") % (names, path, REQUEST)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    if run.returncode == 3:
        pytest.skip("interned strings are immortal here")
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["[1,", "1,", "1]"]


@pytest.mark.parametrize("name, ends", [(b"END ", False), (b"END\0", True), (b"\0END", True),
                                        (b"ENDX", False), (b"end\0", False)])
def test_end_record_recognition(tmp_path, name, ends):
    block = record(name, 0, 2, struct.pack("<i", 5)) + rec_int(b"AFT", 1) + END
    expected = {} if ends else {name.strip(b"\0").decode(): 5, "AFT": 1}
    assert parse(tmp_path, block) == expected


def test_end_record_needs_only_its_name(tmp_path, reports):
    # The END name is the last three bytes of the file: nothing more is read.
    assert parse(tmp_path, rec_int(b"I", 1) + b"END") == {"I": 1}
    assert reports == []


@pytest.mark.parametrize("ptype", [9, -1, 5, 7, 32767, -32768])
def test_unknown_type_code(tmp_path, ptype):
    block = rec_int(b"OK", 1) + record(b"BAD", ptype, 2, bytes(4)) + END
    with pytest.raises(ValueError) as err:
        parse(tmp_path, block)
    assert str(err.value) == "Unexpected value for reading parameter type: %d" % ptype


@pytest.mark.parametrize("name", [b"\xffAB\0", b"a\xc3\0\0", b"\xed\xa0\x80\0", b"\xc0\x80\0\0",
                                  b"\xf4\x90\x80\x80", b"\xe9\0\0\0"])
def test_invalid_utf8_name(tmp_path, name):
    with pytest.raises(UnicodeDecodeError) as expected:
        name.decode("utf-8")
    with pytest.raises(UnicodeDecodeError) as err:  # raised before the bad type code that follows
        parse(tmp_path, rec_int(b"OK", 1) + rec_int(name, 1) + record(b"BAD", 9, 0) + END)
    assert str(err.value) == str(expected.value)


@pytest.mark.parametrize("tail, failed", [
    (b"", []),                                             # ends between records
    (b"AB", []),                                           # ends inside a name
    (b"NAME", [READ_SHORT, READ_SHORT, READ_INT]),         # name, then nothing
    (b"NAME\0\0\x01", [READ_SHORT, READ_INT]),             # type 0 (one byte short of the size)
    (b"NAME\x01\0\x04\0abc", [READ_DOUBLE]),                # type 1, three bytes of its value
    (record(b"TXT", 2, 50, b"short"), []),                 # text running past the end
    (record(b"TXT", 2, -1, b"abc\0def END\0"), []),        # negative size: text to the end
], ids=["boundary", "in-name", "name-only", "short-size", "short-double", "long-text", "negative-size"])
@pytest.mark.parametrize("own", [True, False], ids=["own", "ft"])
def test_block_reaching_the_end_of_the_file(tmp_path, reports, tail, failed, own):
    vf, offset = spectrum_with_block(rec_int(b"OK", 1) + tail, own)
    path = write(tmp_path, vf)
    before = open_fds()
    with pytest.raises(ValueError) as err:
        vellkit.getVellData(path, REQUEST)
    assert str(err.value) == ("parameter block at offset %d reaches the end of the file before its END record"
                              % offset)
    assert reports == failed
    assert open_fds() == before


def test_block_offset_beyond_the_end_of_the_file(tmp_path, reports):
    vf = writer.VellFile()
    vf.add_spectrum([], data_type="AB")
    vf.add_entry(writer.block_type("AB", param_type=1), 0, 100000)
    with pytest.raises(ValueError, match="^parameter block at offset 100000 reaches the end of the file"):
        vellkit.getVellData(write(tmp_path, vf), REQUEST)
    assert reports == []


@pytest.mark.parametrize("param_type", [1, 3])
def test_negative_block_offset_is_an_os_error(tmp_path, param_type):
    vf = writer.make_spectrum_file([1.0])
    vf.add_entry(writer.block_type("AB" if param_type == 1 else 0, param_type=param_type), 0, -8)
    path = write(tmp_path, vf)
    before = open_fds()
    with pytest.raises(OSError) as err:
        vellkit.getVellData(path, REQUEST)
    assert type(err.value) is OSError and err.value.errno == errno.EINVAL
    assert open_fds() == before


def test_blocks_are_parsed_independently_of_their_neighbours(tmp_path):
    # Two blocks back to back, the second also reachable from inside the first.
    inner = rec_int(b"IN", 2) + END
    vf = writer.VellFile()
    vf.add_spectrum([], data_type="AB")
    first = vf.add_block(rec_int(b"OUT", 1) + END + inner, writer.block_type("AB", param_type=1))
    vf.add_entry(writer.block_type(param_type=3), 0, first + 16)
    vf.add_parameters(spectral(), param_type=4)
    params = vellkit.getVellData(write(tmp_path, vf), REQUEST).parameters
    assert [k for k in params if k not in REQUIRED] == ["OUT", "IN"]
