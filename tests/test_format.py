import errno
import os
import pathlib
import struct
import sys
import time

import pytest

import vellkit
from conftest import (MAGIC, READ_DOUBLE, READ_INT, READ_INT64, entry, extension, header, open_fds,
                      write, writer)

bt = writer.block_type
NAMES = list(writer.DATA_TYPES)  # the twenty data block names, in table order
PRIMARY = ["AB", "TR", "REFL", "ATR", "PAS", "RAM", "KM", "EMIS"]
AB_PARAMS = bt("AB", param_type=1)


def listing(tmp_path, codes, ext_codes=(), **options):
    vf = writer.VellFile(**options)
    for code in codes:
        vf.add_entry(code, 0, 0)
    for code in ext_codes:
        vf.add_entry(code, 0, 0, in_extension=True)
    return vellkit.listContents(write(tmp_path, vf))


# --- block-type codes -----------------------------------------------------

@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("sample", [0, 1, 2, 3])
def test_names_follow_data_type_and_sample_type(tmp_path, name, sample):
    data, wanted = writer.DATA_TYPES[name]
    # A channel-bound name with the other channel's sample type is its partner's name.
    named = [n for n, (d, s) in writer.DATA_TYPES.items() if d == data and s in (0, sample)]
    assert len(named) <= 1 and (name in named) == (wanted in (0, sample))
    assert listing(tmp_path, [bt(data, sample, param_type=1)]) == [(n, "2D", "NONE") for n in named]


@pytest.mark.parametrize("data_type", [0, 8, 9, 13, 20, 64, 127])
def test_unnamed_data_types_are_not_listed(tmp_path, data_type):
    assert listing(tmp_path, [bt(data_type, s, param_type=1) for s in range(4)]) == []


@pytest.mark.parametrize("param_type", [0, 2, 3, 4, 10, 17, 63])
def test_only_own_parameter_blocks_name_data_blocks(tmp_path, param_type):
    assert listing(tmp_path, [bt("AB", param_type=param_type), bt("SSC", param_type=param_type)]) == []


@pytest.mark.parametrize("deriv, word", [(0, "NONE"), (1, "1DER"), (2, "2DER"), (3, "3DER")])
@pytest.mark.parametrize("extend, dim", [(0, "2D"), (1, "2D"), (10, "3D"), (11, "2D"), (20, "2D"), (127, "2D")])
def test_dimension_and_derivative_words(tmp_path, deriv, word, extend, dim):
    code = bt("TR", param_type=1, deriv_type=deriv, extend_type=extend, complex_type=deriv)
    assert listing(tmp_path, [code]) == [("TR", dim, word)]


@pytest.mark.parametrize("code", [4116, 4116 | 1 << 26, 4116 | 0x7C000000, 4116 - (1 << 31), 4116 - (1 << 26), -1])
def test_bits_above_the_fields_are_ignored(tmp_path, code):
    # 4116: the parameter block of an AB block of the sample channel; -1 has
    # paramType 63, dataType 127 and extendType 127: no named block.
    assert listing(tmp_path, [code]) == ([] if code == -1 else [("AB", "2D", "NONE")])


def test_64_bit_codes_keep_only_their_low_26_bits(tmp_path):
    codes = [4116 | 1 << 40, bt("SSC", param_type=1) | 1 << 62, -(1 << 63) | bt("TRC", param_type=1, extend_type=10)]
    assert listing(tmp_path, [], codes) == [("AB", "2D", "NONE"), ("SSC", "2D", "NONE"), ("TRC", "3D", "NONE")]


# --- listing order ----------------------------------------------------------

def test_listing_order_primary_reversed_then_others(tmp_path):
    codes = [bt("SSC", param_type=1), bt("AB", param_type=1), bt("SIFG", param_type=1),
             bt("AB", param_type=1, extend_type=10)]
    assert listing(tmp_path, codes) == [("AB", "3D", "NONE"), ("AB", "2D", "NONE"),
                                        ("SSC", "2D", "NONE"), ("SIFG", "2D", "NONE")]


def test_listing_order_of_all_twenty_names(tmp_path):
    result = listing(tmp_path, [bt(name, param_type=1) for name in NAMES])
    primary = [n for n in NAMES if n in PRIMARY]
    assert [name for name, _, _ in result] == primary[::-1] + [n for n in NAMES if n not in PRIMARY]
    assert set(primary) == set(PRIMARY)


def test_extension_entries_come_after_the_32_bit_entries(tmp_path):
    result = listing(tmp_path, [bt("RSC", param_type=1), bt("TR", param_type=1), bt("TRC", param_type=1,
                                                                                     extend_type=10)],
                     [bt("SPH", param_type=1), bt("KM", param_type=1, deriv_type=2)])
    assert result == [("KM", "2D", "2DER"), ("TR", "2D", "NONE"), ("RSC", "2D", "NONE"),
                      ("TRC", "3D", "NONE"), ("SPH", "2D", "NONE")]


def test_duplicate_triples_are_listed_twice(tmp_path):
    codes = [bt("AB", param_type=1, complex_type=c) for c in (0, 1)] + [bt("AB", 2, param_type=1)]
    assert listing(tmp_path, codes) == [("AB", "2D", "NONE")] * 3


def test_listing_ignores_sizes_offsets_and_data_blocks(tmp_path):
    vf = writer.VellFile()
    vf.add_entry(bt("AB"), -5, -100)                 # a data block, never opened
    vf.add_entry(AB_PARAMS, 1 << 30, (1 << 31) - 1)  # offset beyond the file
    assert vellkit.listContents(write(tmp_path, vf)) == [("AB", "2D", "NONE")]


# --- header and directory ----------------------------------------------------

@pytest.mark.parametrize("dir_size, count", [(0, 1), (-1, 1), (-(1 << 31), 1), (1, 0), (1, -1), (1, -(1 << 63))])
def test_empty_directory_or_extension(tmp_path, reports, dir_size, count):
    data = header(24, dir_size) + entry(1 << 25, 0, 36) + extension([(AB_PARAMS, 0, 0)], count=count)
    assert vellkit.listContents(write(tmp_path, data)) == []
    assert reports == []


def test_capacity_version_and_directory_position_are_ignored(tmp_path):
    for vf in (writer.VellFile(max_dir_size=1, version=float("nan")), writer.VellFile(directory="start")):
        for name in ("SSC", "AB", "TR"):
            vf.add_parameters({"NPT": 1}, data_type=name)
        assert vellkit.listContents(write(tmp_path, vf)) == [("TR", "2D", "NONE"), ("AB", "2D", "NONE"),
                                                             ("SSC", "2D", "NONE")]


def test_extension_at_offset_zero_is_not_read(tmp_path, reports):
    data = header(24, 2) + entry(AB_PARAMS, 0, 0) + entry(1 << 25, 0, 0)
    assert vellkit.listContents(write(tmp_path, data)) == [("AB", "2D", "NONE")]
    assert reports == []


def test_only_the_last_extension_marker_counts(tmp_path):
    ext_a = extension([(bt("SSC", param_type=1), 0, 0)])
    ext_b = extension([(bt("RSC", param_type=1), 0, 0), (1 << 25, 0, 24)])  # nested marker: not followed
    a, b = 24, 24 + len(ext_a)
    body = ext_a + ext_b
    for order, expected in (((a, b), ["RSC"]), ((b, a), ["SSC"]), ((a, 0), [])):
        data = header(24 + len(body), 2) + body + entry(1 << 25, 0, order[0]) + entry(1 << 25, 0, order[1])
        assert vellkit.listContents(write(tmp_path, data)) == [(n, "2D", "NONE") for n in expected]


def test_directory_past_the_end_of_the_file(tmp_path, reports):
    # Two entries claimed at offset 24 of a 24-byte file: two all-zero entries.
    assert vellkit.listContents(write(tmp_path, header(24, 2))) == []
    assert reports == [READ_INT] * 6


def test_entry_cut_short_keeps_its_code(tmp_path, reports):
    data = header(24, 2) + entry(bt("SSC", param_type=1), 0, 0) + struct.pack("<ih", AB_PARAMS, 7)
    assert vellkit.listContents(write(tmp_path, data)) == [("AB", "2D", "NONE"), ("SSC", "2D", "NONE")]
    assert reports == [READ_INT] * 2


@pytest.mark.parametrize("extra, failed", [(0, [READ_DOUBLE] + [READ_INT] * 3), (6, [READ_DOUBLE] + [READ_INT] * 3),
                                           (10, [READ_INT] * 3), (14, [READ_INT] * 2)])
def test_file_shorter_than_the_header(tmp_path, reports, extra, failed):
    assert vellkit.listContents(write(tmp_path, MAGIC + b"\0" * extra)) == []
    assert reports == failed


@pytest.mark.parametrize("claimed, padding, entries", [(2000000000, b"", 16), ((1 << 31) - 1, b"\0" * 30, 19)])
def test_huge_directory_size_stops_after_sixteen_entries_past_the_end(tmp_path, reports, claimed, padding,
                                                                       entries):
    # 30 bytes of zeros hold two whole entries and a part of a third.
    path = write(tmp_path, header(24, claimed) + padding)
    started = time.process_time()  # the work done, which a loaded machine does not inflate
    assert vellkit.listContents(path) == []
    assert time.process_time() - started < 5
    assert reports == [READ_INT] * (3 * entries - len(padding) // 4)


def test_huge_extension_count(tmp_path, reports):
    data = header(24, 2) + entry(AB_PARAMS, 0, 0) + entry(1 << 25, 0, 48) + extension(
        [(bt("TR", param_type=1), 0, 0)], count=1 << 62)
    started = time.process_time()
    assert vellkit.listContents(write(tmp_path, data)) == [("TR", "2D", "NONE"), ("AB", "2D", "NONE")]
    assert time.process_time() - started < 5
    assert reports == [READ_INT64] * (16 * 4)


def test_extension_beyond_the_end_of_the_file(tmp_path, reports):
    data = header(24, 2) + entry(AB_PARAMS, 0, 0) + entry(1 << 25, 0, 1000)
    assert vellkit.listContents(write(tmp_path, data)) == [("AB", "2D", "NONE")]
    assert reports == [READ_INT64] * 2


@pytest.mark.parametrize("data", [header(-24, 1) + entry(AB_PARAMS, 0, 0),
                                  header(24, 1) + entry(bt(extend_type=64), 0, -8)],
                         ids=["directory", "extension"])
def test_negative_seek_is_an_os_error(tmp_path, data):
    path = write(tmp_path, data)
    before = open_fds()
    with pytest.raises(OSError) as err:
        vellkit.listContents(path)
    assert type(err.value) is OSError and err.value.errno == errno.EINVAL
    assert open_fds() == before


# --- field-read reports -------------------------------------------------------

def test_report_reaches_the_hook_and_stderr(tmp_path, reports, capsys):
    # The third field of the only entry has two bytes: one failed readInt.
    path = write(tmp_path, header(24, 1) + entry(AB_PARAMS, 0, 0)[:10])
    assert vellkit.listContents(path) == [("AB", "2D", "NONE")]
    assert reports == [READ_INT]
    err = capsys.readouterr().err
    assert err.startswith("Traceback (most recent call last):\n")
    assert err.endswith("struct.error: unpack requires a buffer of 4 bytes\n")
    assert err.count("Traceback") == 1 and "Exception ignored" not in err


def test_default_hook_prints_the_reader_name(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
    monkeypatch.setattr(sys, "last_value", None, raising=False)
    assert vellkit.listContents(write(tmp_path, header(24, 1) + b"\0" * 10)) == []
    err = capsys.readouterr().err
    first, ignored, second = err.partition("Exception ignored in: 'vellkit.readInt'\n")
    assert ignored and first.startswith("Traceback (most recent call last):\n")
    assert second.startswith("Traceback (most recent call last):\n")
    assert first.endswith("struct.error: unpack requires a buffer of 4 bytes\n") and second == first
    assert isinstance(sys.last_value, struct.error)


# --- file probe and opening ---------------------------------------------------

@pytest.mark.parametrize("data, result", [
    (MAGIC, True), (MAGIC + b"anything at all", True), (b"\xfe\xfe\x0a\x0a" + bytes(20), False),
    (b"\x0a\x0a\xfe\xff" + bytes(20), False), (b"\x0a\x0a\xfe\xfe"[::-1], False), (bytes(4), False),
])
def test_is_vell_file(tmp_path, data, result):
    assert vellkit.isVellFile(write(tmp_path, data)) is result


@pytest.mark.parametrize("func", [vellkit.isVellFile, vellkit.listContents,
                                  lambda p: vellkit.getVellData(p, ("AB", "2D", "NONE"))],
                         ids=["isVellFile", "listContents", "getVellData"])
@pytest.mark.parametrize("data", [b"", b"\x0a\x0a\xfe"])
def test_short_file_raises_the_struct_error(tmp_path, func, data):
    path = write(tmp_path, data)
    before = open_fds()
    with pytest.raises(struct.error, match="^unpack requires a buffer of 4 bytes$"):
        func(path)
    assert open_fds() == before


@pytest.mark.parametrize("func", [vellkit.listContents, lambda p: vellkit.getVellData(p, ("AB", "2D", "NONE"))],
                         ids=["listContents", "getVellData"])
def test_other_magic_is_refused(tmp_path, func):
    vf = writer.make_spectrum_file([1.0])
    vf.magic = b"\xfe\xfe\x0a\x0a"
    with pytest.raises(ValueError, match="^Can't process a non-Vell file$"):
        func(write(tmp_path, vf))


def test_probe_is_looked_up_in_the_module_at_call_time(tmp_path, monkeypatch):
    vf = writer.VellFile(magic=b"JUNK")
    vf.add_parameters({}, data_type="TR")
    path = write(tmp_path, vf)
    monkeypatch.setattr(vellkit, "isVellFile", lambda p: 1)
    assert vellkit.listContents(path) == [("TR", "2D", "NONE")]
    monkeypatch.setattr(vellkit, "isVellFile", lambda p: [])
    with pytest.raises(ValueError, match="^Can't process a non-Vell file$"):
        vellkit.listContents(write(tmp_path, writer.make_spectrum_file([1.0])))


def open_error(path):
    with pytest.raises(OSError) as err:
        open(path, "rb")
    return err.value


@pytest.mark.parametrize("func, kinds", [
    ("isVellFile", ["str", "bytes", "Path", "directory"]),
    ("listContents", ["str", "bytes", "Path", "directory"]),
    ("getVellData", ["str", "directory"]),  # getVellData takes exact str paths only
])
def test_open_errors_are_those_of_open(tmp_path, func, kinds):
    call = getattr(vellkit, func)
    if func == "getVellData":
        call = lambda p: vellkit.getVellData(p, ("ab", "2d", "none"))  # noqa: E731
    for kind in kinds:
        target = tmp_path if kind == "directory" else tmp_path / "missing.vell"
        path = {"str": str, "directory": str, "bytes": os.fsencode, "Path": pathlib.Path}[kind](target)
        expected = open_error(path)
        with pytest.raises(OSError) as err:
            call(path)
        got = err.value
        assert (type(got), got.errno, got.strerror, got.filename, str(got)) == (
            type(expected), expected.errno, expected.strerror, expected.filename, str(expected))
        assert type(got) is (IsADirectoryError if kind == "directory" else FileNotFoundError)


@pytest.mark.parametrize("kind", [str, os.fsencode, pathlib.Path])
def test_path_types(tmp_path, kind):
    path = write(tmp_path, writer.make_spectrum_file([1.0], data_type="KM"))
    assert vellkit.isVellFile(kind(path)) is True
    assert vellkit.listContents(kind(path)) == [("KM", "2D", "NONE")]


def test_embedded_nul_in_path(tmp_path):
    with pytest.raises(ValueError) as expected:
        open(str(tmp_path) + "/a\0b", "rb")
    with pytest.raises(ValueError) as got:
        vellkit.isVellFile(str(tmp_path) + "/a\0b")
    assert str(got.value) == str(expected.value)


def test_probe_of_a_descriptor_closes_it(tmp_path):
    for data, result in ((MAGIC, True), (b"VELL", False)):
        fd = os.open(write(tmp_path, data), os.O_RDONLY)
        assert vellkit.isVellFile(fd) is result
        with pytest.raises(OSError) as err:
            os.fstat(fd)
        assert err.value.errno == errno.EBADF


def test_files_are_closed(tmp_path, reports):
    paths = [write(tmp_path, writer.make_spectrum_file([1.0, 2.0])), write(tmp_path, header(24, 3)),
             write(tmp_path, b"\x0a\x0a\xfe\xffxx")]
    before = open_fds()
    for path in paths:
        vellkit.isVellFile(path)
    vellkit.listContents(paths[0])
    vellkit.listContents(paths[1])
    with pytest.raises(ValueError):
        vellkit.listContents(paths[2])
    assert open_fds() == before


# --- text decoding ---------------------------------------------------------------

@pytest.mark.parametrize("data, encodings, text", [
    (b"abc", None, "abc"),
    (b"\xe9", {"encodings": ("latin1",)}, "\xe9"),
    (b"ab", {}, "ab"),
    (b"\xc3\xa9", None, "\xe9"),
    (b"\xe9", None, "\xe9"),
    (b"", None, ""),
    (b"\x80\xff", None, "\x80\xff"),
    (b"a\xe9b", ("ascii",), "ab"),
    (b"a\xe9b", (), "ab"),
    (b"a\xe9b", ["ascii", "utf8"], "ab"),
    (b"abc", ("ascii", "no-such-codec"), "abc"),
    (b"a\0b\0", ("utf-16-le",), "ab"),
    (b"\xc3\xa9", ("latin1", "utf8"), "\xc3\xa9"),
    (bytearray(b"\xe9t\xe9"), None, "\xe9t\xe9"),
    (b"a\xe9", iter(["utf8", "cp1252"]), "a\xe9"),
])
def test_decode_string(data, encodings, text):
    if isinstance(encodings, dict):  # by keyword
        assert vellkit.decode_string(**dict(encodings, s=data)) == text
    else:
        assert vellkit.decode_string(*((data,) if encodings is None else (data, encodings))) == text


def test_decode_string_tries_encodings_in_order():
    calls = []

    class Raw(object):
        def decode(self, name, *errors):
            calls.append((name,) + errors)
            if errors:
                return "fallback"
            if name == "utf8":
                return "done"
            raise UnicodeDecodeError(name, b"x", 0, 1, "bad")

    assert vellkit.decode_string(Raw(), ("ascii", "cp1252", "utf8", "latin1")) == "done"
    assert calls == [("ascii",), ("cp1252",), ("utf8",)]
    del calls[:]
    assert vellkit.decode_string(Raw(), ("ascii", "cp1252")) == "fallback"
    assert calls == [("ascii",), ("cp1252",), ("ascii", "ignore")]


@pytest.mark.parametrize("data, encodings, error", [
    (b"abc", ("no-such-codec", "ascii"), LookupError),
    ("text", None, AttributeError),
    (12, ("ascii",), AttributeError),
    (b"abc", 5, TypeError),
])
def test_decode_string_errors(data, encodings, error):
    args = (data,) if encodings is None else (data, encodings)
    with pytest.raises(error):
        vellkit.decode_string(*args)


def test_decode_string_lets_other_errors_through():
    class Raw(object):
        def decode(self, name):
            raise KeyError(name)

    with pytest.raises(KeyError, match="ascii"):
        vellkit.decode_string(Raw())
