"""getVisImages: the visible images of a file's first image block."""

import ast
import io
import operator
import os
import pathlib
import random
import struct
import subprocess
import sys
import tracemalloc
import types
import warnings

import pytest

import vellkit

try:
    from vellkit_tools import writer as w
except ImportError:  # running from a source tree without PYTHONPATH=python
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "python"))
    from vellkit_tools import writer as w


def _standard_imghdr():
    """The standard library's imghdr, or None where the interpreter has none."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            import imghdr
    except ImportError:
        return None
    # The module's own stand-in is no standard module (it has no source file).
    return imghdr if getattr(imghdr, "__file__", None) else None


STD_IMGHDR = _standard_imghdr()
IMAGE_BLOCK = w.block_type(extend_type=w.EXTEND_IMAGE)

PNG = (b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + b"IHDR"
       + struct.pack(">IIBBBBB", 1, 1, 8, 0, 0, 0, 0) + b"\x00\x00\x00\x00")
BMP = (b"BM" + struct.pack("<IHHI", 58, 0, 0, 54)
       + struct.pack("<IiiHHIIiiII", 40, 1, 1, 1, 24, 0, 4, 0, 0, 0, 0) + b"\x00\x00\xff\x00")
JFIF = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00\xff\xd9"


def write(tmp_path, content, name="images.vell"):
    data = content.to_bytes() if isinstance(content, w.VellFile) else bytes(content)
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def image_file(tmp_path, images, name="images.vell", vf=None, **options):
    """A file whose one listed block is the image block of ``images``."""
    vf = w.VellFile() if vf is None else vf
    vf.add_image_block(images, **options)
    return write(tmp_path, vf, name)


def raw_image_block_file(tmp_path, block, name="images.vell", size_in_words=None):
    """A file whose image block is the given bytes, placed at offset 24."""
    vf = w.VellFile()
    offset = vf.add_block(block, IMAGE_BLOCK, size_in_words=size_in_words)
    assert offset == 24
    return write(tmp_path, vf, name)


def list_block(nrp, entries=(), bid=IMAGE_BLOCK, extra=()):
    """An image list block: BID, NRP, then F/Z pairs of (suffix, offset, size)."""
    pairs = ([("BID", bid)] if bid is not None else []) + [("NRP", nrp)]
    for suffix, offset, size in entries:
        pairs += [("F" + suffix, offset), ("Z" + suffix, size)]
    return w.encode_parameters(pairs + list(extra))


class RawEntry(w.Image):
    """An image entry with exactly the given parameters; ``SIZ`` (when
    listed with the value None) is set to the length of the block, so that
    ``tail`` is the data area."""

    def __init__(self, params, tail=b""):
        super(RawEntry, self).__init__()
        self.raw_params = list(params)
        self.tail = bytes(tail)

    def encode(self):
        def block(siz):
            return w.encode_parameters([(k, siz if (k == "SIZ" and v is None) else v)
                                        for k, v in self.raw_params])
        encoded = block(len(block(0))) + self.tail
        return encoded + bytes(-len(encoded) % 4)


def titles(images):
    return [image.get("Title") for image in images]


# ----------------------------------------------------------------------------
# A plain-Python account of the reader, used as the oracle for damaged files
# ----------------------------------------------------------------------------

class ModelFile(io.BytesIO):
    """In-memory file with the seek and read errors of a binary file object."""

    def seek(self, pos, whence=0):
        pos = operator.index(pos)
        if whence == 0:
            if not -2 ** 63 <= pos < 2 ** 63:
                raise ValueError("cannot fit 'int' into an offset-sized integer")
            if pos < 0:
                raise OSError(22, "Invalid argument")
        return super(ModelFile, self).seek(pos, whence)

    def read(self, n=-1):
        if n is not None and not hasattr(type(n), "__index__"):
            raise TypeError("argument should be integer or None, not '%s'" % type(n).__name__)
        n = -1 if n is None or n < 0 else n
        return super(ModelFile, self).read(n)


def _field(f, fmt):
    raw = f.read(struct.calcsize(fmt))
    try:
        return struct.unpack(fmt, raw)[0]
    except struct.error:
        return 0


def _decode_text(raw):
    for encoding in ("ascii", "utf8", "latin1"):
        try:
            return raw.decode(encoding)
        except UnicodeDecodeError:
            pass


def model_params(f, offset):
    params = {}
    f.seek(offset)
    while True:
        raw = f.read(4)
        name = raw.decode("utf-8").strip("\0")
        if name == "END":
            return params
        if len(raw) < 4:
            raise ValueError("parameter block at offset %d reaches the end of the file before its END record"
                             % offset)
        ptype, size = _field(f, "<h"), _field(f, "<h")
        if ptype == 0:
            value = _field(f, "<i")
        elif ptype == 1:
            value = _field(f, "<d")
        elif ptype in (2, 3, 4):
            value = _decode_text(f.read(size * 2).split(b"\0")[0])
        else:
            raise ValueError("Unexpected value for reading parameter type: " + str(ptype))
        params[name] = value


def model_extend_type(code):
    fields = [(code >> shift) & mask for shift, mask in ((0, 3), (2, 3), (4, 63), (10, 127), (17, 3), (19, 127))]
    return fields[5]


def model_suffixes(start, end):
    for i in range(start, end):
        yield w.image_suffix(i)


def model_vis_images(path):
    with open(path, "rb") as raw:
        f = ModelFile(raw.read())
    f.seek(12)
    dir_offset, _, dir_size = _field(f, "<i"), _field(f, "<i"), _field(f, "<i")
    f.seek(dir_offset)
    directory = [(_field(f, "<i"), _field(f, "<i"), _field(f, "<i")) for _ in range(dir_size)]
    blocks = [e for e in directory if model_extend_type(e[0]) == 20]
    if not blocks:
        return []
    _, size_in_words, offset = blocks[0]
    lists = {}
    f.seek(offset)
    while f.tell() != offset + size_in_words * 4:
        start = f.tell()
        at = f.read(16).find(b"BID")
        if at < 0:
            break
        found = model_params(f, start + at)
        if "BID" not in found or model_extend_type(found["BID"]) != 20:
            break
        lists.update(found)
        last = next(model_suffixes(lists["NRP"] - 1, lists["NRP"]))
        target = offset + lists["F" + last] + lists["Z" + last]
        f.seek(target)
        if target <= start + at:
            break
    images = []
    for suffix in model_suffixes(0, lists["NRP"]):
        image = {}
        entry = offset + lists["F" + suffix]
        params = model_params(f, entry)
        for name in [k for k in params if k.startswith("H")]:
            if name == "H00":
                image["Title"] = params[name]
            else:
                new_key = params[name].rstrip(":")
                image[new_key] = params[name.replace("H", "V")]
        area = entry + params["SIZ"]
        f.seek(area)
        if params["T00"] == 9:
            f.seek(area + params["F00"])
            count = image["Bytes"]
            if hasattr(type(count), "__index__") and count < -1:
                raise ValueError("read length must be non-negative or -1")
            image["image"] = f.read(count)
            if image["Type"] == 258:
                image["image"] = image["image"][14:]
            image["imgext"] = vellkit.imghdr.what(None, h=image["image"])
        images.append(image)
    return images


def outcome(func, *args):
    try:
        return ("ok", func(*args))
    except Exception as e:  # compared by type and message
        return ("error", type(e), str(e))


def run_isolated(path, timeout=60):
    """getVisImages(path) in a child interpreter that must finish in time."""
    code = ("import sys, vellkit\n"
            "try:\n    r = ('ok', vellkit.getVisImages(sys.argv[1]))\n"
            "except Exception as e:\n    r = ('error', type(e).__name__, str(e))\n"
            "print(repr(r))\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(vellkit.__file__), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-c", code, path], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=env, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return ast.literal_eval(done.stdout.decode())


# ----------------------------------------------------------------------------
# Arguments and files without images
# ----------------------------------------------------------------------------

class StrPath(str):
    pass


@pytest.mark.parametrize("make", [
    lambda p: p.encode(),
    lambda p: pathlib.Path(p),
    lambda p: StrPath(p),
    lambda p: 1,
])
def test_path_must_be_exactly_str(tmp_path, make):
    path = image_file(tmp_path, [w.Image(PNG)])
    arg = make(path)
    with pytest.raises(TypeError) as info:
        vellkit.getVisImages(arg)
    assert str(info.value) == ("Argument 'path' has incorrect type (expected str, got %s)"
                               % type(arg).__name__)


def test_none_path_fails_in_open():
    with pytest.raises(TypeError) as info:
        vellkit.getVisImages(None)
    try:
        open(None, "rb")
    except TypeError as e:
        assert str(info.value) == str(e)


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        vellkit.getVisImages(str(tmp_path / "missing.vell"))


def test_file_without_image_block(tmp_path):
    path = write(tmp_path, w.make_spectrum_file([1.0, 2.0, 3.0]))
    result = vellkit.getVisImages(path)
    assert result == [] and type(result) is list
    assert vellkit.getVisImages(path) is not result


def test_empty_file_has_no_images(tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.object))
    assert vellkit.getVisImages(write(tmp_path, b"")) == []
    assert seen and set(seen) <= {"vellkit.readInt", "vellkit.readDouble"}


def test_magic_number_is_not_tested(tmp_path):
    vf = w.VellFile(magic=b"NOPE")
    path = image_file(tmp_path, [w.Image(PNG, title="shot")], vf=vf)
    assert not vellkit.isVellFile(path)
    assert titles(vellkit.getVisImages(path)) == ["shot"]


def test_descriptor_is_closed(tmp_path):
    path = image_file(tmp_path, [w.Image(PNG)])
    before = sorted(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else None
    vellkit.getVisImages(path)
    with pytest.raises(KeyError):
        vellkit.getVisImages(raw_image_block_file(tmp_path, list_block(1), "bad.vell"))
    if before is not None:
        assert sorted(os.listdir("/proc/self/fd")) == before


# ----------------------------------------------------------------------------
# Images, their keys and values
# ----------------------------------------------------------------------------

def test_keys_in_order(tmp_path):
    image = w.Image(PNG, title="Overview", labels=[("Pos. X:", 33733.0), ("Pos. Y:", -12.5),
                                                    ("Objective:", "15x")])
    [result] = vellkit.getVisImages(image_file(tmp_path, [image]))
    assert list(result) == ["Title", "Bytes", "Type", "Pos. X", "Pos. Y", "Objective", "image", "imgext"]
    assert result == {"Title": "Overview", "Bytes": len(PNG), "Type": 1, "Pos. X": 33733.0,
                      "Pos. Y": -12.5, "Objective": "15x", "image": PNG, "imgext": "png"}
    assert type(result["image"]) is bytes


def test_spectrum_file_with_images(tmp_path):
    vf = w.make_spectrum_file([1.0, 2.0], images=[w.Image(BMP, title="a"), w.Image(JFIF, title="b")])
    result = vellkit.getVisImages(write(tmp_path, vf))
    assert [(r["Title"], r["image"], r["imgext"]) for r in result] == [("a", BMP, "bmp"), ("b", JFIF, "jpeg")]


def test_image_at_an_offset_in_its_data_area(tmp_path):
    image = w.Image(PNG, data_offset=10)
    [result] = vellkit.getVisImages(image_file(tmp_path, [image]))
    assert result["image"] == PNG


def test_entries_without_image_data(tmp_path):
    images = [w.Image(title="notes", labels=[("Operator:", "Ann"), ("Count:", 3)]),
              w.Image(PNG, title="picture"),
              w.Image(PNG, title="kind 4", t00=4)]
    result = vellkit.getVisImages(image_file(tmp_path, images))
    assert result[0] == {"Title": "notes", "Operator": "Ann", "Count": 3}
    assert list(result[1]) == ["Title", "Bytes", "Type", "image", "imgext"]
    assert result[2] == {"Title": "kind 4", "Bytes": len(PNG), "Type": 1}


@pytest.mark.parametrize("t00, has_data", [(9, True), (9.0, True), ("9", False), (0, False), (10, False)])
def test_t00_is_compared_with_python_equality(tmp_path, t00, has_data):
    [result] = vellkit.getVisImages(image_file(tmp_path, [w.Image(PNG, t00=t00)]))
    assert ("image" in result) is has_data


def test_type_258_drops_fourteen_bytes(tmp_path):
    header = b"BM" + bytes(12)
    images = [w.Image(header + PNG, image_type=258), w.Image(b"short", image_type=258),
              w.Image(header + PNG, image_type=258.0), w.Image(header + PNG, image_type="258")]
    result = vellkit.getVisImages(image_file(tmp_path, images))
    assert [(r["image"], r["imgext"]) for r in result] == [
        (PNG, "png"), (b"", None), (PNG, "png"), (header + PNG, "bmp")]
    assert result[0]["Bytes"] == len(header + PNG)


def test_title_only_from_h00(tmp_path):
    entry = RawEntry([("H01", "First:"), ("V01", 1), ("H00", "the title"), ("SIZ", None), ("T00", 0)])
    [result] = vellkit.getVisImages(image_file(tmp_path, [entry]))
    assert list(result.items()) == [("First", 1), ("Title", "the title")]


def test_label_colons_and_repeated_keys(tmp_path):
    image = w.Image(title="t", labels=[("Size:::", 1), ("Plain", 2), (":Lead:", 3), ("Title:", "again"),
                                       ("Size", 4)])
    [result] = vellkit.getVisImages(image_file(tmp_path, [image]))
    assert list(result.items()) == [("Title", "again"), ("Size", 4), ("Plain", 2), (":Lead", 3)]


def test_label_texts_are_decoded(tmp_path):
    image = w.Image(title="t", labels=[(u"Gr\u00f6\u00dfe:", 1), (b"Temp \xb0C:\x00", 2)])
    [result] = vellkit.getVisImages(image_file(tmp_path, [image]))
    assert list(result) == ["Title", u"Gr\u00f6\u00dfe", u"Temp \u00b0C"]


def test_every_h_of_a_name_becomes_v(tmp_path):
    # The label numbered 107 is written H+"AH"; its value is looked up as "VAV".
    labels = [("L%d:" % k, k) for k in range(1, 108)]
    with pytest.raises(KeyError) as info:
        vellkit.getVisImages(image_file(tmp_path, [w.Image(title="t", labels=labels)]))
    assert info.value.args == ("VAV",)
    [result] = vellkit.getVisImages(image_file(tmp_path, [w.Image(title="t", labels=labels[:106])], "b.vell"))
    assert list(result)[1:] == ["L%d" % k for k in range(1, 107)]
    entry = RawEntry([("H00", "t"), ("HAH", "odd:"), ("VAV", 5), ("HQ", "Q:"), ("VQ", 6),
                      ("SIZ", None), ("T00", 0)])
    [result] = vellkit.getVisImages(image_file(tmp_path, [entry], "c.vell"))
    assert result == {"Title": "t", "odd": 5, "Q": 6}


def test_names_that_do_not_begin_with_h_are_not_labels(tmp_path):
    entry = RawEntry([("", "empty name"), ("xH01", "x"), ("H00", "t"), ("SIZ", None), ("T00", 0)])
    [result] = vellkit.getVisImages(image_file(tmp_path, [entry]))
    assert result == {"Title": "t"}


@pytest.mark.parametrize("with_value", [True, False])
def test_label_that_is_not_text(tmp_path, with_value):
    # The label is stripped before its value is looked up.
    params = [("H00", "t"), ("H01", 5)] + ([("V01", 1)] if with_value else []) + [("SIZ", None), ("T00", 0)]
    with pytest.raises(AttributeError) as info:
        vellkit.getVisImages(image_file(tmp_path, [RawEntry(params)]))
    assert str(info.value) == "'int' object has no attribute 'rstrip'"


@pytest.mark.parametrize("params, missing", [
    ([("H00", "t"), ("H01", "A:"), ("SIZ", None), ("T00", 0)], "V01"),
    ([("H00", "t"), ("T00", 0)], "SIZ"),
    ([("H00", "t"), ("SIZ", None)], "T00"),
    ([("H00", "t"), ("H01", "Bytes:"), ("V01", 4), ("H02", "Type:"), ("V02", 1), ("SIZ", None), ("T00", 9)],
     "F00"),
    ([("H00", "t"), ("H01", "Type:"), ("V01", 1), ("SIZ", None), ("T00", 9), ("F00", 0)], "Bytes"),
    ([("H00", "t"), ("H01", "Bytes:"), ("V01", 4), ("SIZ", None), ("T00", 9), ("F00", 0)], "Type"),
    ([("H00", "t"), ("SIZ", None), ("T00", 9), ("F00", 0)], "Bytes"),
])
def test_missing_entry_values(tmp_path, params, missing):
    with pytest.raises(KeyError) as info:
        vellkit.getVisImages(image_file(tmp_path, [RawEntry(params, tail=PNG)]))
    assert info.value.args == (missing,)


def test_siz_and_f00_offsets(tmp_path):
    # SIZ past the parameter block, F00 past a gap in the data area.
    entry = RawEntry([("H00", "t"), ("H01", "Bytes:"), ("V01", len(PNG)), ("H02", "Type:"), ("V02", 1),
                      ("SIZ", 112), ("T00", 9), ("F00", 6)])
    block = w.encode_parameters(entry.raw_params)
    assert len(block) < 112
    entry.tail = bytes(112 - len(block) + 6) + PNG
    [result] = vellkit.getVisImages(image_file(tmp_path, [entry]))
    assert result["image"] == PNG


def test_offsets_of_the_wrong_type(tmp_path):
    lst = list_block(1, [("00", 4.5, 0)])
    with pytest.raises(TypeError) as info:
        vellkit.getVisImages(raw_image_block_file(tmp_path, lst))
    assert str(info.value) == "'float' object cannot be interpreted as an integer"
    entry = RawEntry([("H00", "t"), ("SIZ", "12"), ("T00", 0)])
    with pytest.raises(TypeError) as info:
        vellkit.getVisImages(image_file(tmp_path, [entry], "b.vell"))
    assert str(info.value) == "unsupported operand type(s) for +: 'int' and 'str'"


def test_negative_entry_offset(tmp_path):
    entry = RawEntry([("H00", "t"), ("SIZ", -10 ** 6), ("T00", 0)])
    with pytest.raises(OSError) as info:
        vellkit.getVisImages(image_file(tmp_path, [entry]))
    assert info.value.errno == 22


# ----------------------------------------------------------------------------
# Image bytes
# ----------------------------------------------------------------------------

def _bytes_entry(count, image_type=1):
    return w.Image(PNG, labels=[("Bytes:", count), ("Type:", image_type)])


def test_bytes_beyond_the_end_of_the_file(tmp_path):
    path = image_file(tmp_path, [_bytes_entry(2 ** 31 - 1)])
    data = pathlib.Path(path).read_bytes()
    tail = data[data.index(PNG):]
    tracemalloc.start()
    try:
        [result] = vellkit.getVisImages(path)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert result["image"] == tail and result["imgext"] == "png"
    assert peak < 1 << 20


def test_bytes_cut_at_the_end_with_type_258(tmp_path):
    path = image_file(tmp_path, [_bytes_entry(10 ** 9, 258)])
    data = pathlib.Path(path).read_bytes()
    [result] = vellkit.getVisImages(path)
    assert result["image"] == data[data.index(PNG) + 14:]


def test_bytes_of_minus_one_read_to_the_end(tmp_path):
    path = image_file(tmp_path, [_bytes_entry(-1)])
    data = pathlib.Path(path).read_bytes()
    [result] = vellkit.getVisImages(path)
    assert result["image"] == data[data.index(PNG):]


@pytest.mark.parametrize("count", [-2, -100])
def test_other_negative_bytes_are_refused_as_by_read(tmp_path, count):
    with pytest.raises(ValueError, match=r"^read length must be non-negative or -1$"):
        vellkit.getVisImages(image_file(tmp_path, [_bytes_entry(count)]))


def test_fewer_bytes_than_stored(tmp_path):
    [result] = vellkit.getVisImages(image_file(tmp_path, [_bytes_entry(8)]))
    assert result["image"] == PNG[:8] and result["imgext"] == "png"
    [result] = vellkit.getVisImages(image_file(tmp_path, [_bytes_entry(0)], "b.vell"))
    assert result["image"] == b"" and result["imgext"] is None


@pytest.mark.parametrize("count, kind", [(8.0, "float"), ("8", "str")])
def test_bytes_that_are_not_integers(tmp_path, count, kind):
    with pytest.raises(TypeError) as info:
        vellkit.getVisImages(image_file(tmp_path, [_bytes_entry(count)]))
    assert str(info.value) == "argument should be integer or None, not '%s'" % kind


def test_image_data_past_the_end_of_the_file(tmp_path):
    entry = RawEntry([("H00", "t"), ("H01", "Bytes:"), ("V01", 100), ("H02", "Type:"), ("V02", 1),
                      ("SIZ", None), ("T00", 9), ("F00", 10 ** 6)])
    [result] = vellkit.getVisImages(image_file(tmp_path, [entry]))
    assert result["image"] == b"" and result["imgext"] is None


# ----------------------------------------------------------------------------
# Image kinds
# ----------------------------------------------------------------------------

RAW_JPEG = b"\xff\xd8\xff\xdb\x00\x43\x00" + bytes(64) + b"\xff\xd9"

KIND_SAMPLES = [
    ("jpeg", JFIF),
    ("jpeg", b"\xff\xd8\xff\xe1\x00\x16Exif\x00\x00II*\x00\x08\x00\x00\x00\xff\xd9"),
    ("png", PNG),
    ("gif", b"GIF87a\x01\x00\x01\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;"),
    ("gif", b"GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00;"),
    ("tiff", b"II*\x00\x08\x00\x00\x00\x00\x00"),
    ("tiff", b"MM\x00*\x00\x00\x00\x08\x00\x00"),
    ("rgb", b"\x01\xda\x00\x01\x00\x02\x00\x01\x00\x01\x00\x01"),
    ("pbm", b"P1\n1 1\n0\n"),
    ("pbm", b"P4 1 1\n\x00"),
    ("pgm", b"P2\t1 1 255\n0\n"),
    ("pgm", b"P5\r1 1 255\n\x00"),
    ("ppm", b"P3\n1 1 255\n0 0 0\n"),
    ("ppm", b"P6 1 1 255\n\x00\x00\x00"),
    ("rast", b"\x59\xa6\x6a\x95" + struct.pack(">7I", 1, 1, 1, 4, 1, 0, 0) + bytes(4)),
    ("xbm", b"#define im_width 1\n#define im_height 1\nstatic char im_bits[] = {0x00};\n"),
    ("bmp", BMP),
    ("webp", b"RIFF" + struct.pack("<I", 22) + b"WEBPVP8L" + struct.pack("<I", 10) + b"\x2f" + bytes(9)),
    ("exr", b"\x76\x2f\x31\x01\x02\x00\x00\x00channels\x00"),
    (None, b""),
    (None, b"plain text"),
    (None, b"P7\n1 1\n"),
    (None, b"P1x"),
    (None, b"RIFF\x24\x00\x00\x00WAVEfmt "),
    (None, b"\xff\xd8\xff\xe0\x00\x10"),
]


@pytest.mark.parametrize("kind, data", KIND_SAMPLES, ids=["%s-%d" % (k, i) for i, (k, _) in enumerate(KIND_SAMPLES)])
def test_image_kind(tmp_path, kind, data):
    if STD_IMGHDR is not None:
        assert STD_IMGHDR.what(None, h=data) == kind
    assert vellkit.imghdr.what(None, h=data) == kind
    [result] = vellkit.getVisImages(image_file(tmp_path, [w.Image(data)]))
    assert result["image"] == data and result["imgext"] == kind


def test_raw_jpeg_kind(tmp_path):
    # Raw JPEG data (no JFIF or Exif marker) is told apart from 3.11 on.
    expected = "jpeg" if STD_IMGHDR is None or sys.version_info >= (3, 11) else None
    if STD_IMGHDR is not None:
        assert STD_IMGHDR.what(None, h=RAW_JPEG) == expected
    assert vellkit.imghdr.what(None, h=RAW_JPEG) == expected
    [result] = vellkit.getVisImages(image_file(tmp_path, [w.Image(RAW_JPEG)]))
    assert result["imgext"] == expected


def test_all_kinds_in_one_file(tmp_path):
    images = [w.Image(data, title=str(i)) for i, (_, data) in enumerate(KIND_SAMPLES)]
    result = vellkit.getVisImages(image_file(tmp_path, images))
    assert [r["imgext"] for r in result] == [kind for kind, _ in KIND_SAMPLES]


def test_imghdr_is_looked_up_at_call_time(tmp_path, monkeypatch):
    path = image_file(tmp_path, [w.Image(PNG), w.Image(title="no data")])
    calls = []

    def what(file, h=None):
        calls.append((file, h))
        return "custom"

    monkeypatch.setattr(vellkit, "imghdr", types.SimpleNamespace(what=what))
    result = vellkit.getVisImages(path)
    assert result[0]["imgext"] == "custom" and calls == [(None, PNG)]
    monkeypatch.delattr(vellkit, "imghdr")
    with pytest.raises(NameError):
        vellkit.getVisImages(path)


def test_imghdr_errors_propagate(tmp_path, monkeypatch):
    def what(file, h=None):
        raise RuntimeError("no kinds today")

    monkeypatch.setattr(vellkit, "imghdr", types.SimpleNamespace(what=what))
    with pytest.raises(RuntimeError, match="no kinds today"):
        vellkit.getVisImages(image_file(tmp_path, [w.Image(PNG)]))


# ----------------------------------------------------------------------------
# Image list blocks
# ----------------------------------------------------------------------------

@pytest.mark.parametrize("per_list, cumulative", [(1, True), (2, True), (2, False), ([3, 1, 1], False),
                                                  (None, True)])
def test_several_list_blocks(tmp_path, per_list, cumulative):
    images = [w.Image(PNG if i % 2 else None, title="image %d" % i) for i in range(5)]
    result = vellkit.getVisImages(image_file(tmp_path, images, per_list=per_list, cumulative=cumulative))
    assert titles(result) == ["image %d" % i for i in range(5)]
    assert ["image" in r for r in result] == [False, True, False, True, False]


@pytest.mark.parametrize("lead", [1, 5, 13])
def test_list_blocks_within_the_window(tmp_path, lead):
    images = [w.Image(PNG, title=str(i)) for i in range(3)]
    path = image_file(tmp_path, images, per_list=1, lead=lead)
    assert titles(vellkit.getVisImages(path)) == ["0", "1", "2"]


def test_list_block_past_the_window(tmp_path):
    # "BID" at bytes 14 to 16 does not lie wholly within the first 16 bytes.
    path = image_file(tmp_path, [w.Image(PNG)], lead=14)
    with pytest.raises(KeyError) as info:
        vellkit.getVisImages(path)
    assert info.value.args == ("NRP",)


def test_later_list_block_past_the_window(tmp_path):
    # 16 zero bytes after the first entry: the second list block is missed.
    entry0 = w.Image(PNG, title="a").encode()
    entry1 = w.Image(PNG, title="b").encode()
    f00 = len(list_block(1, [("00", 0, 0)]))
    lst0 = list_block(1, [("00", f00, len(entry0))])
    f01 = f00 + len(entry0) + 16 + len(list_block(2, [("00", 0, 0), ("01", 0, 0)]))
    lst1 = list_block(2, [("00", f00, len(entry0)), ("01", f01, len(entry1))])
    block = lst0 + entry0 + bytes(16) + lst1 + entry1
    assert titles(vellkit.getVisImages(raw_image_block_file(tmp_path, block))) == ["a"]
    # With 13 zero bytes it is found.
    f01 -= 3
    lst1 = list_block(2, [("00", f00, len(entry0)), ("01", f01, len(entry1))])
    block = lst0 + entry0 + bytes(13) + lst1 + entry1
    assert titles(vellkit.getVisImages(raw_image_block_file(tmp_path, block, "b.vell"))) == ["a", "b"]


def test_nrp_larger_than_listed(tmp_path):
    path = image_file(tmp_path, [w.Image(PNG), w.Image(PNG)], list_params=[("NRP", 3)])
    with pytest.raises(KeyError) as info:
        vellkit.getVisImages(path)
    assert info.value.args == ("F02",)


def test_nrp_smaller_than_listed(tmp_path):
    # The walk follows the last image listed by NRP, then meets entry bytes.
    images = [w.Image(title=str(i)) for i in range(3)]
    path = image_file(tmp_path, images, list_params=[("NRP", 2)])
    assert titles(vellkit.getVisImages(path)) == ["0", "1"]


@pytest.mark.parametrize("nrp, name", [(0, "F-1"), (-3, "F-4"), (1, "F00"), (8, "F07"), (100, "F99"),
                                       (101, "FAA"), (126, "FAZ"), (127, "FBA"), (776, "FZZ"),
                                       (777, "FAAA")])
def test_suffix_of_the_last_image(tmp_path, nrp, name):
    with pytest.raises(KeyError) as info:
        vellkit.getVisImages(raw_image_block_file(tmp_path, list_block(nrp)))
    assert info.value.args == (name,)


def test_nrp_of_the_wrong_type(tmp_path):
    with pytest.raises(TypeError) as info:
        vellkit.getVisImages(raw_image_block_file(tmp_path, list_block(2.0)))
    assert str(info.value) == "'float' object cannot be interpreted as an integer"
    with pytest.raises(TypeError) as info:
        vellkit.getVisImages(raw_image_block_file(tmp_path, list_block("2"), "b.vell"))
    assert str(info.value) == "unsupported operand type(s) for -: 'str' and 'int'"


def test_bid_of_the_wrong_type(tmp_path):
    with pytest.raises(TypeError) as info:
        vellkit.getVisImages(raw_image_block_file(tmp_path, list_block(1, bid=float(IMAGE_BLOCK))))
    assert str(info.value) == "unsupported operand type(s) for >>: 'float' and 'int'"


@pytest.mark.parametrize("count", [130, 777])
def test_suffixes_past_99(tmp_path, count):
    images = [w.Image(title="image %d" % i) for i in range(count)]
    images[-1] = w.Image(PNG, title="image %d" % (count - 1))
    result = vellkit.getVisImages(image_file(tmp_path, images))
    assert titles(result) == ["image %d" % i for i in range(count)]
    assert result[-1]["image"] == PNG


def test_writer_suffixes():
    expected = {0: "00", 7: "07", 99: "99", 100: "AA", 107: "AH", 125: "AZ", 126: "BA", 151: "BZ",
                152: "CA", 775: "ZZ", 776: "AAA", -1: "-1", -12: "-12"}
    assert {n: w.image_suffix(n) for n in expected} == expected


def test_zero_images(tmp_path):
    with pytest.raises(KeyError) as info:
        vellkit.getVisImages(image_file(tmp_path, []))
    assert info.value.args == ("F-1",)


def test_negative_image_count_after_the_walk(tmp_path):
    # NRP -1 names image -2 as the last; with F-2/Z-2 listed the walk ends
    # and no image is read.
    lst = list_block(-1, [("-2", 0, 0)])
    lst = list_block(-1, [("-2", len(lst), 0)])
    assert vellkit.getVisImages(raw_image_block_file(tmp_path, lst)) == []


def test_only_the_first_image_block(tmp_path):
    vf = w.VellFile()
    vf.add_image_block([w.Image(PNG, title="first")])
    vf.add_image_block([w.Image(PNG, title="second")])
    assert titles(vellkit.getVisImages(write(tmp_path, vf))) == ["first"]


def test_image_block_in_the_64_bit_extension(tmp_path):
    vf = w.VellFile()
    vf.add_image_block([w.Image(PNG, title="extended")], in_extension=True)
    assert titles(vellkit.getVisImages(write(tmp_path, vf))) == ["extended"]
    vf = w.VellFile()
    vf.add_image_block([w.Image(PNG, title="extended")], in_extension=True)
    vf.add_image_block([w.Image(PNG, title="plain")])
    assert titles(vellkit.getVisImages(write(tmp_path, vf, "b.vell"))) == ["plain"]


def test_image_block_among_other_blocks(tmp_path):
    vf = w.make_spectrum_file([1.0, 2.0, 3.0], acquisition=[("AQM", "SD")])
    vf.add_image_block([w.Image(PNG, title="one")], param_type=1, data_type=4)
    assert titles(vellkit.getVisImages(write(tmp_path, vf))) == ["one"]


# ----------------------------------------------------------------------------
# Walks that cannot advance
# ----------------------------------------------------------------------------

def _one_image_block(f00_plus_z00, lead=0):
    """A list block at ``lead`` listing one entry, whose F00 + Z00 is given."""
    entry = w.Image(PNG, title="only").encode()
    lst = list_block(1, [("00", 0, 0)])
    f00 = lead + len(lst)
    lst = list_block(1, [("00", f00, f00_plus_z00 - f00)])
    return bytes(lead) + lst + entry


@pytest.mark.parametrize("lead, target", [(0, 0), (8, 0), (8, 4), (8, 8), (12, 11)])
def test_walk_that_points_back_ends(tmp_path, lead, target):
    path = raw_image_block_file(tmp_path, _one_image_block(target, lead))
    result = run_isolated(path)
    assert result[0] == "ok" and [r["Title"] for r in result[1]] == ["only"]
    assert titles(vellkit.getVisImages(path)) == ["only"]


def test_walk_to_a_negative_position(tmp_path):
    path = raw_image_block_file(tmp_path, _one_image_block(-30))
    with pytest.raises(OSError) as info:
        vellkit.getVisImages(path)
    assert info.value.errno == 22


def test_unmerged_list_block_ends_the_walk(tmp_path):
    # The second list block's BID is no image block code: the walk ends
    # with the first one's values.
    entry0 = w.Image(PNG, title="a").encode()
    entry1 = w.Image(PNG, title="b").encode()
    size0 = len(list_block(1, [("00", 0, 0)]))
    lst0 = list_block(1, [("00", size0, len(entry0))])
    at1 = size0 + len(entry0)
    size1 = len(list_block(2, [("00", 0, 0), ("01", 0, 0)], bid=0))
    lst1 = list_block(2, [("00", size0, len(entry0)), ("01", at1 + size1, len(entry1))], bid=0)
    path = raw_image_block_file(tmp_path, lst0 + entry0 + lst1 + entry1)
    result = run_isolated(path)
    assert result[0] == "ok" and [r["Title"] for r in result[1]] == ["a"]


def test_first_list_block_not_merged(tmp_path):
    for name, bid in [("a.vell", 0), ("b.vell", w.block_type(extend_type=10)), ("c.vell", None)]:
        if bid is None:  # "BID" found, but as part of another name
            lst = w.encode_parameters([("BIDS", 1), ("NRP", 1), ("F00", 0), ("Z00", 0)])
        else:
            lst = list_block(1, [("00", 0, 0)], bid=bid)
        path = raw_image_block_file(tmp_path, lst, name)
        assert run_isolated(path) == ("error", "KeyError", "'NRP'")


def test_list_block_with_extend_type_20_among_other_bits(tmp_path):
    bid = w.block_type(data_type=4, param_type=1, extend_type=20, complex_type=3) | (1 << 30)
    path = image_file(tmp_path, [w.Image(PNG, title="x")], bid=bid)
    assert titles(vellkit.getVisImages(path)) == ["x"]


def test_walk_past_the_end_of_the_block(tmp_path):
    # The listed entry ends before the block's end: the walk goes on and
    # finds no further list block.
    block = w.encode_image_block([w.Image(PNG, title="x")])
    path = raw_image_block_file(tmp_path, block, size_in_words=len(block) // 4 + 10)
    assert titles(vellkit.getVisImages(path)) == ["x"]
    path = raw_image_block_file(tmp_path, block, "b.vell", size_in_words=len(block) // 4 - 1)
    assert titles(vellkit.getVisImages(path)) == ["x"]


def test_empty_image_block(tmp_path):
    vf = w.VellFile()
    vf.add_entry(IMAGE_BLOCK, 0, 24)
    with pytest.raises(KeyError) as info:
        vellkit.getVisImages(write(tmp_path, vf))
    assert info.value.args == ("NRP",)


def test_image_block_beyond_the_end_of_the_file(tmp_path):
    vf = w.VellFile()
    vf.add_entry(IMAGE_BLOCK, 4, 10 ** 6)
    with pytest.raises(KeyError) as info:
        vellkit.getVisImages(write(tmp_path, vf))
    assert info.value.args == ("NRP",)


def test_negative_image_block_offset(tmp_path):
    vf = w.VellFile()
    vf.add_entry(IMAGE_BLOCK, 4, -8)
    with pytest.raises(OSError) as info:
        vellkit.getVisImages(write(tmp_path, vf))
    assert info.value.errno == 22


def test_unterminated_list_block(tmp_path):
    # The image block is the file's last bytes: a list block without END.
    block = list_block(1, [("00", 0, 0)])[:-8]
    data = (w.MAGIC + struct.pack("<d3i", 1.0, 24, 1, 1) + struct.pack("<3i", IMAGE_BLOCK, 100, 36)
            + block)
    with pytest.raises(ValueError) as info:
        vellkit.getVisImages(write(tmp_path, data))
    assert str(info.value) == outcome(model_vis_images, write(tmp_path, data, "b.vell"))[2]
    assert "END" in str(info.value)


# ----------------------------------------------------------------------------
# Damaged files: the reader against the plain-Python account
# ----------------------------------------------------------------------------

def _damage_bases():
    yield w.encode_image_block([w.Image(PNG, title="a", labels=[("Pos. X:", 1.5)]),
                                w.Image(title="b", labels=[("Note:", "text")]),
                                w.Image(b"\0" * 14 + BMP, title="c", image_type=258)], per_list=2)
    yield w.encode_image_block([w.Image(JFIF, title=str(i)) for i in range(4)], per_list=1, lead=3,
                               cumulative=False)


def test_damaged_image_blocks_match_the_model(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda u: None)
    rng = random.Random(20240611)
    checked = 0
    for base_index, base in enumerate(_damage_bases()):
        for trial in range(150):
            block = bytearray(base)
            for _ in range(rng.randint(1, 4)):
                at = rng.randrange(len(block))
                choice = rng.random()
                if choice < 0.45:
                    block[at] = rng.randrange(256)
                elif choice < 0.9 and at + 4 <= len(block):
                    value = rng.choice([0, 1, -1, 4, 9, 14, 258, 20 << 19, rng.randrange(-300, 300),
                                        rng.randrange(-2 ** 31, 2 ** 31)])
                    block[at:at + 4] = struct.pack("<i", value)
                else:
                    del block[at:]
                    break
            vf = w.VellFile(directory="start")
            vf.add_block(bytes(block), IMAGE_BLOCK, size_in_words=len(base) // 4)
            path = write(tmp_path, vf, "damaged%d_%d.vell" % (base_index, trial))
            expected = outcome(model_vis_images, path)
            got = outcome(vellkit.getVisImages, path)
            assert got == expected, (base_index, trial)
            checked += 1
    assert checked == 300


def test_model_agrees_on_intact_files(tmp_path):
    for i, base in enumerate(_damage_bases()):
        path = raw_image_block_file(tmp_path, base, "intact%d.vell" % i)
        expected = model_vis_images(path)
        assert len(expected) >= 3
        assert vellkit.getVisImages(path) == expected
