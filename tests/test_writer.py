"""Self-checks of vellkit_tools.writer, parsing its output back with struct only."""

import os
import struct
import sys

import pytest

try:
    from vellkit_tools import writer as w
except ImportError:  # running from a source tree without PYTHONPATH=python
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "python"))
    from vellkit_tools import writer as w


def parse_params(buf, pos):
    """Parameter block at ``pos`` -> dict (text cut at the first NUL)."""
    out = {}
    while True:
        name = buf[pos:pos + 4].rstrip(b"\0").decode()
        if name == "END":
            return out
        ptype, size = struct.unpack_from("<hh", buf, pos + 4)
        pos += 8
        if ptype == 0:
            out[name], pos = struct.unpack_from("<i", buf, pos)[0], pos + 4
        elif ptype == 1:
            out[name], pos = struct.unpack_from("<d", buf, pos)[0], pos + 8
        else:
            out[name], pos = buf[pos:pos + 2 * size].split(b"\0")[0].decode(), pos + 2 * size


def directory(buf):
    off, _, count = struct.unpack_from("<3i", buf, 12)
    return [struct.unpack_from("<3i", buf, off + 12 * i) for i in range(count)]


@pytest.mark.parametrize("fields, code", [
    ({}, 0),
    ({"data_type": "AB", "sample_type": 1, "param_type": 1}, 4116),
    ({"data_type": "RSC", "deriv_type": "2DER"}, (1 << 10) | (2 << 2) | (2 << 17)),
    ({"extend_type": w.EXTEND_64}, 1 << 25),
    ({"complex_type": 3, "sample_type": 3, "param_type": 63, "data_type": 127,
      "deriv_type": 3, "extend_type": 127}, (1 << 26) - 1),
])
def test_block_type(fields, code):
    assert w.block_type(**fields) == code
    cplx, sample, param, data, deriv, extend = w.decode_block_type(code)
    assert w.block_type(data, sample, param, deriv, extend, cplx) == code


def test_block_type_range():
    with pytest.raises(ValueError):
        w.block_type(param_type=64)


@pytest.mark.parametrize("value, record", [
    (1024, struct.pack("<hhi", 0, 2, 1024)),
    (4000.0, struct.pack("<hhd", 1, 4, 4000.0)),
    ("Sample", struct.pack("<hh", 2, 4) + b"Sample\0\0"),
    ("abc", struct.pack("<hh", 2, 2) + b"abc\0"),
    (b"xyz", struct.pack("<hh", 2, 2) + b"xyz\0"),
    (w.Param(0, 5, size=4), struct.pack("<hhi", 0, 4, 5)),
    (w.Param(3, "t"), struct.pack("<hh", 3, 1) + b"t\0"),
    (w.Param(7, raw=b""), struct.pack("<hh", 7, 0)),
    (w.Param(-1, 2.5), struct.pack("<hhd", -1, 4, 2.5)),
])
def test_parameter_records(value, record):
    assert w.encode_parameters({"NPT": value}) == b"NPT\0" + record + b"END\0" + bytes(4)


def test_parameter_names_and_end():
    block = w.encode_parameters([(b"LONGNAME", 1), (b"A\0B\0", 2), ("NPT", 3), ("NPT", 4)], end=False)
    assert block[:4] == b"LONG" and block[12:16] == b"A\0B\0"  # raw bytes: cut to the field
    assert len(block) == 48 and b"END" not in block
    assert parse_params(w.encode_parameters([("NPT", 3), ("NPT", 4)]), 0) == {"NPT": 4}
    with pytest.raises(ValueError, match="parameter name 'FIVE5' takes 5 bytes"):
        w.encode_parameters({"FIVE5": 1})
    with pytest.raises(ValueError, match="more than its field of 4"):
        w.encode_parameters({"\u00e9\u00e9\u00e9": 1})  # 3 characters, 6 bytes


def test_header_directory_and_spectrum():
    vf = w.make_spectrum_file([1.0, -2.0, 3.0], fxv=10.0, lxv=30.0, acquisition={"AQM": "SD"},
                              params={"ABC": "text"})
    buf = vf.to_bytes()
    assert buf[:4] == b"\x0a\x0a\xfe\xfe"
    version, dir_off, max_dir, count = struct.unpack_from("<d3i", buf, 4)
    assert (dir_off, max_dir, count) == (len(buf) - 36, 3, 3)
    (t0, s0, o0), (t1, _, o1), (t2, _, o2) = directory(buf)
    assert (t0, s0, o0) == (w.block_type("AB"), 3, 24)
    assert struct.unpack_from("<3f", buf, o0) == (1.0, -2.0, 3.0)
    assert t1 == w.block_type("AB", param_type=w.PARAM_OWN)
    assert parse_params(buf, o1) == {"NPT": 3, "FXV": 10.0, "LXV": 30.0, "MNY": -2.0,
                                     "MXY": 3.0, "ABC": "text"}
    assert w.decode_block_type(t2)[2] == w.PARAM_ACQUISITION and parse_params(buf, o2) == {"AQM": "SD"}


def test_directory_at_start_with_extension():
    vf = w.VellFile(directory="start", max_dir_size=4)
    data_off = vf.add_spectrum([1.0, 2.0], data_type="TR")
    par_off = vf.add_parameters({"NPT": 2}, data_type="TR", in_extension=True)
    buf = vf.to_bytes()
    assert struct.unpack_from("<3i", buf, 12) == (24, 4, 2) and data_off == 24 + 48
    (_, _, _), (t64, _, ext) = directory(buf)
    assert t64 == 1 << 25
    assert struct.unpack_from("<qq4q", buf, ext) == (
        1, 0, w.block_type("TR", param_type=1), 5, par_off, 0)


def test_store_table_layout():
    recs = [w.Record([float(k)], time=k + 0.5, label="r%d" % k) for k in range(6)]
    table = w.runs([10, 11, 12, w.gap(50), 0, 1, 1])
    assert table == [[10, 12], [-1, 50], [0, 1], [1, 1]]
    blk = w.encode_3d_block(recs, 1, store_table=table, info_size=160)
    assert struct.unpack_from("<6i", blk) == (0, 6, 56, 4, 160, 4)
    assert struct.unpack_from("<8i", blk, 24) == (10, 12, -1, 50, 0, 1, 1, 1)
    starts = [56, 220, 384, 598, 762, 926]
    for k, pos in enumerate(starts):
        assert struct.unpack_from("<f", blk, pos)[0] == k
        assert struct.unpack_from("<d", blk, pos + 4 + 136)[0] == k + 0.5
        assert blk[pos + 4 + 152:pos + 164] == ("r%d" % k).encode().ljust(8, b"\0")
    assert len(blk) == 926 + 164


def test_store_table_header_options():
    blk = w.encode_3d_block([[1.0], [2.0], [3.0]], 100, store_table=[[0, 1], [-1, 50], [2, 2]],
                            block_offset=100, info_size=200)
    assert struct.unpack_from("<6i", blk) == (0, 3, 100, 400, 200, 3)
    for pos, value in ((100, 1.0), (700, 2.0), (1350, 3.0)):
        assert struct.unpack_from("<2f", blk, pos) == (value, 0.0)
    with pytest.raises(ValueError):
        w.encode_3d_block([[1.0]], 1, store_table=[[0, 1]])


def test_annotation_layout():
    table = w.AnnotationTable([("Group", 4), ("X", 5), ("Y", 5), ("Title", 1004, 32)],
                              [[1, 1.5, 2.5, "first"], [2, -1.0, 0.25, "second"]])
    blk = w.encode_annotation_block([table])
    head = parse_params(blk, 12)
    assert head == {"NRP": 1, "F00": head["F00"]}
    tp = parse_params(blk, head["F00"])
    assert [tp[k] for k in ("SRC", "NCO", "NLN")] == [44, 4, 2]
    assert [(tp["S%02d" % i], tp["F%02d" % i], tp["T%02d" % i]) for i in range(4)] == [
        ("Group", 0, 4), ("X", 4, 5), ("Y", 8, 5), ("Title", 12, 1004)]
    row = head["F00"] + tp["SIZ"] + 44
    assert struct.unpack_from("<iff", blk, row) == (2, -1.0, 0.25)
    assert blk[row + 12:row + 44] == b"second".ljust(32, b"\0")


def test_multi_region_table():
    table, idx = w.multi_region_table([{"points": [(1, 2), (3, 4)], "group": 5},
                                       {"nx": 2, "ny": 1, "x0": 10.0, "dx": 2.0}])
    assert [c[0] for c in table.columns] == ["Group", "Type", "AryNX", "AryNY", "AryType",
                                            "Fileindex", "X", "Y"]
    assert idx == [1, 2, 3, 4]
    assert table.rows[0] == [5, 0, 0, 0, 0, 1, 1.0, 2.0]
    assert table.rows[3] == [2, 0, 2, 1, 1, 4, 12.0, 0.0]


@pytest.mark.parametrize("n, suffix", [(0, "00"), (7, "07"), (99, "99"), (100, "AA"),
                                       (125, "AZ"), (126, "BA"), (775, "ZZ"), (776, "AAA")])
def test_image_suffix(n, suffix):
    assert w.image_suffix(n) == suffix


def test_image_list_layout():
    images = [w.Image(b"PIC%d" % k * 3, title="t%d" % k, labels=[("Pos:", 1.5)]) for k in range(3)]
    blk = w.encode_image_block(images, per_list=2)
    first = parse_params(blk, 0)
    assert first["BID"] == w.block_type(extend_type=w.EXTEND_IMAGE) and first["NRP"] == 2
    second_at = first["F01"] + first["Z01"]
    second = parse_params(blk, second_at)
    assert second["NRP"] == 3 and {k: second[k] for k in first if k != "NRP"} == {
        k: v for k, v in first.items() if k != "NRP"}
    assert second["F02"] + second["Z02"] == len(blk) and len(blk) % 4 == 0
    entry = parse_params(blk, second["F02"])
    assert entry == {"H00": "t2", "H01": "Bytes:", "V01": 12, "H02": "Type:", "V02": 1,
                     "H03": "Pos:", "V03": 1.5, "SIZ": entry["SIZ"], "T00": 9, "F00": 0}
    start = second["F02"] + entry["SIZ"]
    assert blk[start:start + 12] == b"PIC2PIC2PIC2"


def test_each_module_offers_what_it_lists_without_an_import_circle():
    import subprocess
    import textwrap
    from vellkit_tools import arrays, encode
    for module in (w, arrays, encode):
        assert not hasattr(module, "__getattr__")
        assert all(hasattr(module, name) for name in module.__all__)
    assert set(arrays.__all__) - {"DEFAULT_X"} <= set(w.__all__)
    assert w.Record is encode.Record and w.write_traces is arrays.write_traces
    # Either module imported first, alone, in a fresh interpreter.
    for first in ("arrays", "writer", "encode"):
        code = textwrap.dedent("""
            import sys
            from vellkit_tools import %s
            assert ("vellkit_tools.writer" in sys.modules) == (%r == "writer")
        """ % (first, first))
        env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(w.__file__)))
        subprocess.run([sys.executable, "-c", code], check=True, env=env, timeout=60)


@pytest.mark.parametrize("value, width, expected", [
    ("abc", 4, b"abc\0"), ("abcd", 4, b"abcd"), (b"abcdef", 4, b"abcd"), (None, 2, b"\0\0"),
    ("\u00e9\u00e9", 4, "\u00e9\u00e9".encode("utf-8")), (bytearray(b"\xff"), 2, b"\xff\0"),
])
def test_fixed_text_fields(value, width, expected):
    assert encode_module().fixed_text(value, width, "field") == expected


@pytest.mark.parametrize("value, width", [("abcde", 4), ("\u00e9\u00e9\u00e9", 5), ("\u20ac", 2)])
def test_text_longer_than_its_field_is_refused(value, width):
    with pytest.raises(ValueError, match="more than its field of %d" % width):
        encode_module().fixed_text(value, width, "field")


def encode_module():
    from vellkit_tools import encode
    return encode


@pytest.mark.parametrize("label, info_size, field", [
    ("x" * 64, 216, b"x" * 64), (b"y" * 70, 216, b"y" * 64), (b"abcdefgh", 156, b"abcd"), ("", 100, b""),
])
def test_record_label_field(label, info_size, field):
    rec = w.Record([1.0], time=None, label=label).encode(4, info_size)
    assert len(rec) == 4 + info_size and rec[4 + 152:] == field


@pytest.mark.parametrize("label, info_size", [("x" * 65, 216), ("\u00e9" * 33, 216), ("a", 152)])
def test_record_label_too_long(label, info_size):
    with pytest.raises(ValueError, match="label"):
        w.Record([1.0], label=label).encode(4, info_size)


def test_values_past_int32_are_named():
    with pytest.raises(ValueError, match="record size 4294967296 does not fit"):
        w.encode_3d_block([], 1 << 30)
    with pytest.raises(ValueError, match="column 'Group': value 2147483648 does not fit"):
        w.AnnotationTable([("Group", 4)], [[2 ** 31]]).encode()
    vf = w.VellFile()
    vf.add_entry(w.block_type("AB"), 2 ** 31, 24)
    with pytest.raises(ValueError, match="block size in words 2147483648 does not fit"):
        vf.to_bytes()
    vf = w.VellFile(dir_size=2 ** 31)
    with pytest.raises(ValueError, match="directory entry count"):
        vf.to_bytes()


@pytest.mark.parametrize("sizes, limit, main, extension", [
    ([100, 40, 8], 10 ** 6, [0, 1, 2], []),          # plain: blocks in order, directory after them
    ([100, 40, 8], 208, [0, 1, 2], []),              # plain, to the last byte
    ([400, 40, 8], 300, [1, 2], [0]),                # the big block ends past the limit
    ([100, 40, 8], 150, [], [0, 1, 2]),
    ([2000, 3000, 8], 1000, [2], [0, 1]),
    ([], 24, [], []),
])
def test_lay_out(sizes, limit, main, extension):
    encode = encode_module()
    layout = encode.lay_out(sizes, limit=limit)
    assert (layout.main, layout.extension) == (main, extension)
    spans = sorted((layout.offsets[k], layout.offsets[k] + size) for k, size in enumerate(sizes))
    large = bool(sizes) and layout.directory_at == 24
    reserved = (24, layout.directory_at + 12 * layout.capacity) if large else None
    if reserved:  # large: directory and extension reserved before every block, blocks smallest first
        assert layout.capacity == len(sizes) + 1 and spans[0][0] >= reserved[1] + 16 + 32 * len(sizes)
        assert [layout.offsets[k] for k in sorted(range(len(sizes)), key=sizes.__getitem__)] == sorted(
            layout.offsets)
    else:
        assert layout.offsets == sorted(layout.offsets) and layout.directory_at >= (spans[-1][1] if spans else 24)
        assert layout.size == layout.directory_at + 12 * len(sizes)
    assert all(a % 4 == 0 and a >= 24 for a, _ in spans)
    assert all(end <= start for (_, end), (start, _) in zip(spans, spans[1:]))  # no overlap
    assert all(layout.offsets[k] + sizes[k] <= limit for k in main)
    assert layout.size >= max([end for _, end in spans] or [24])


@pytest.mark.parametrize("last, listed", [(2 ** 31 - 1, "main"), (2 ** 31, "extension")])
def test_a_block_of_a_large_file_is_listed_in_the_directory_up_to_the_int32_limit(last, listed):
    # Large (a 2 GiB block is in it): 4 directory entries and a 3-entry extension reserved, then the
    # blocks smallest first, the 8-byte one at 184 and the one that ends at `last` at 192.
    sizes = [8, last - 192, 2 ** 31]
    layout = encode_module().lay_out(sizes)
    assert layout.offsets[:2] == [184, 192] and layout.offsets[1] + sizes[1] == last
    assert (layout.main, layout.extension) == (([0, 1], [2]) if listed == "main" else ([0], [1, 2]))


def test_lay_out_needs_room_for_the_directory():
    with pytest.raises(ValueError, match="room for the directory"):
        encode_module().lay_out([4] * 10, limit=100)
