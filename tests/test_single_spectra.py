import errno
import struct
import sys

import numpy as np
import pytest

import vellkit
from conftest import MAGIC, open_fds, spectral, write, writer

bt = writer.block_type
BLOCK_TYPES = ("REFL, RAM, SPOW, RPOW, SPH, RPH, PAS, LREFL, KM, SIFG, RIFG, TR, EMIS, ATR, TRARI, ABARI, AB, "
               "TRC, SSC, RSC")


def get(path, request=("AB", "2D", "NONE")):
    return vellkit.getVellData(path, request)


def test_single_spectrum(tmp_path):
    path = write(tmp_path, writer.make_spectrum_file([1.0, -2.5, 3.25, 0.1], fxv=4000.0, lxv=1000.0))
    result = get(path)
    assert type(result) is vellkit.SingleDataReturn
    assert (result.dimension, result.dataType, result.derivative) == ("2D", "AB", "NONE")
    assert result.x.dtype == np.float64 and result.x.tolist() == [4000.0, 3000.0, 2000.0, 1000.0]
    assert result.y.dtype == np.float32 and result.y.tolist() == [1.0, -2.5, 3.25, np.float32(0.1)]
    assert list(result.parameters.items()) == [("NPT", 4), ("FXV", 4000.0), ("LXV", 1000.0),
                                               ("MNY", -2.5), ("MXY", 3.25)]
    assert (result.minY, result.maxY) == (-2.5, 3.25)
    assert str(result) == repr(result) == result.description and result.description.endswith("(.y)\n")


SINGLE_ATTRS = ["y", "dimension", "dataType", "derivative", "parameters", "x", "minY", "maxY", "description"]


@pytest.mark.native
@pytest.mark.parametrize("change", [None, "class", "__init__", "base __init__", "__code__", "super", "bases",
                                    "property"])
def test_single_result_is_made_by_the_class_as_bound_at_the_call(tmp_path, monkeypatch, change):
    # The result is built natively only while SingleDataReturn, its base and
    # the super() between them are what import made; any change is run as
    # Python code would run it, and either way the object is the same.
    calls = []
    single, base = vellkit.SingleDataReturn, vellkit.BaseDataReturn
    reference = single(dimension="2D", dataType="AB", deriv="NONE", parameters={}, x=0, y=0, minY=0, maxY=0)
    extra = []
    if change == "class":
        def make(**kwargs):
            calls.append(list(kwargs))
            return single(**kwargs)
        monkeypatch.setattr(vellkit, "SingleDataReturn", make)
    elif change in ("__init__", "base __init__"):
        cls = single if change == "__init__" else base
        init = cls.__init__

        def traced(self, **kwargs):
            calls.append(sorted(kwargs))
            init(self, **kwargs)
        monkeypatch.setattr(cls, "__init__", traced)
    elif change == "__code__":
        def init(self, y, **kwds):
            self.y = y
            super(single, self).__init__(**kwds)
            self.description = self.description + "\ty data points (.y)\n"
            self.changed = True
        monkeypatch.setattr(single.__init__, "__code__", init.__code__)
        extra = ["changed"]
    elif change == "super":
        def traced_super(*args):
            calls.append("super")
            return super(single, sys._getframe(1).f_locals["self"])
        monkeypatch.setitem(single.__init__.__globals__, "super", traced_super)
    elif change == "bases":
        class Middle(base):
            def __init__(self, **kwds):
                calls.append("middle")
                base.__init__(self, **kwds)
        single.__bases__ = (Middle,)  # put back below: monkeypatch would delete it
    elif change == "property":
        def set_description(self, text):
            calls.append(text[-6:])
            self.__dict__["description"] = text
        monkeypatch.setattr(single, "description",
                            property(lambda self: self.__dict__["description"], set_description), raising=False)
    path = write(tmp_path, writer.make_spectrum_file([1.0, -2.5, 3.25, 0.1], fxv=4000.0, lxv=1000.0))
    try:
        result = get(path)
    finally:
        single.__bases__ = (base,)
    expected = {None: [], "class": [["dimension", "dataType", "deriv", "x", "y", "minY", "maxY", "parameters"]],
                "__init__": [["dataType", "deriv", "dimension", "maxY", "minY", "parameters", "x", "y"]],
                "base __init__": [["dataType", "deriv", "dimension", "maxY", "minY", "parameters", "x"]],
                "__code__": [], "super": ["super"], "bases": ["middle"], "property": ["maxY)\n", " (.y)\n"]}
    assert calls == expected[change]
    assert type(result) is single and list(vars(result)) == SINGLE_ATTRS + extra
    assert result.description == reference.description and list(vars(reference)) == SINGLE_ATTRS
    assert result.dimension == "2D" and result.y.tolist() == [1.0, -2.5, 3.25, np.float32(0.1)]


@pytest.mark.parametrize("request_words", [("ab", "2d", "none"), ["Ab", "2D", "nOnE"], ("AB", "2D", "NONE", "x")])
def test_request_words_are_upper_cased(tmp_path, request_words):
    path = write(tmp_path, writer.make_spectrum_file([5.0]))
    result = vellkit.getVellData(datablock=request_words, path=path)
    assert (result.dataType, result.dimension, result.derivative) == ("AB", "2D", "NONE")
    assert result.y.tolist() == [5.0]


@pytest.mark.parametrize("request_words, message", [
    (("AB", "4d", "NONE"), "Incorrect dimensions: 4D. Dimensions need to be either 2D or 3D"),
    (("xx", "4D", "xyz"), "Incorrect dimensions: 4D. Dimensions need to be either 2D or 3D"),
    (("AB", "", "NONE"), "Incorrect dimensions: . Dimensions need to be either 2D or 3D"),
    (("xx", "2D", "xyz"), "Invalid data block type: XX. Please enter a valid entry from the following: "
     + BLOCK_TYPES),
    (("a b", "3d", "NONE"), "Invalid data block type: A B. Please enter a valid entry from the following: "
     + BLOCK_TYPES),
    (("AB", "2D", "3der"), "Invalid deriv type: 3DER.  Please select from the following: 1DER, 2DER, NDER or NONE"),
    (("TRC", "3D", "0DER"), "Invalid deriv type: 0DER.  Please select from the following: 1DER, 2DER, NDER or NONE"),
])
@pytest.mark.parametrize("target", ["missing", "not vell", "vell"])
def test_request_checks_come_before_the_file(tmp_path, request_words, message, target):
    path = {"missing": str(tmp_path / "missing.vell"), "not vell": write(tmp_path, b""),
            "vell": write(tmp_path, writer.make_spectrum_file([1.0]))}[target]
    with pytest.raises(ValueError) as err:
        vellkit.getVellData(path, request_words)
    assert str(err.value) == message


@pytest.mark.parametrize("request_words, error", [
    (("AB", "2D"), IndexError), ((4, "2D", "NONE"), AttributeError), (("AB", "4D", None), AttributeError),
    ("AB", IndexError), (None, TypeError),
])
def test_request_items_fail_before_any_check(tmp_path, request_words, error):
    with pytest.raises(error):
        vellkit.getVellData(str(tmp_path / "missing.vell"), request_words)


def test_non_vell_file(tmp_path):
    vf = writer.make_spectrum_file([1.0])
    vf.magic = b"\x0a\x0a\xfe\xfd"
    with pytest.raises(ValueError, match="^Can't process a non-Vell file$"):
        get(write(tmp_path, vf))


def spectrum_file(blocks, **options):
    """A VellFile of (kind, values-or-params, block-type fields) triples, in directory order."""
    vf = writer.VellFile(**options)
    for kind, content, fields in blocks:
        if kind == "data":
            vf.add_spectrum(content, **fields)
        else:
            vf.add_parameters(content, **fields)
    return vf


@pytest.mark.parametrize("blocks, request_words", [
    ([("data", [1.0], {"data_type": "AB"})], ("AB", "2D", "NONE")),
    ([("params", spectral(1), {"data_type": "AB"})], ("ab", "2d", "none")),
    ([("data", [1.0], {"data_type": "AB"}), ("params", spectral(1), {"data_type": "AB"})], ("TR", "2D", "NONE")),
    ([("data", [1.0], {"data_type": "AB"}), ("params", spectral(1), {"data_type": "AB"})], ("AB", "2D", "1DER")),
    ([("data", [1.0], {"data_type": "AB"}), ("params", spectral(1), {"data_type": "AB"})], ("AB", "3D", "NONE")),
    ([("data", [1.0], {"data_type": "AB", "extend_type": 1}),
      ("params", spectral(1), {"data_type": "AB", "extend_type": 1})], ("AB", "2D", "NONE")),
    ([("data", [1.0], {"data_type": "SSC"}), ("params", spectral(1), {"data_type": "SSC", "sample_type": 2})],
     ("SSC", "2D", "NONE")),
    ([("data", [1.0], {"data_type": "AB", "param_type": 2}), ("params", spectral(1), {"data_type": "AB"})],
     ("AB", "2D", "NONE")),
])
def test_no_data_block(tmp_path, blocks, request_words):
    path = write(tmp_path, spectrum_file(blocks))
    before = open_fds()
    with pytest.raises(ValueError) as err:
        get(path, request_words)
    assert str(err.value) == "No data block exists in the file for: " + " ".join(w.upper() for w in request_words)
    assert open_fds() == before


@pytest.mark.parametrize("name", list(writer.DATA_TYPES))
@pytest.mark.parametrize("sample", [0, 1, 2, 3])
def test_sample_type_matching(tmp_path, name, sample):
    data_type, wanted = writer.DATA_TYPES[name]
    path = write(tmp_path, writer.make_spectrum_file([float(sample)], data_type=data_type, sample_type=sample))
    if wanted in (0, sample):
        assert get(path, (name, "2D", "NONE")).y.tolist() == [sample]
    else:
        with pytest.raises(ValueError, match="^No data block exists in the file for: %s 2D NONE$" % name):
            get(path, (name, "2D", "NONE"))


@pytest.mark.parametrize("deriv_type, word", [(0, "NONE"), (1, "1DER"), (2, "2DER"), (3, "NDER")])
def test_derivative_words(tmp_path, deriv_type, word):
    vf = writer.VellFile()
    for d in range(4):
        writer.make_spectrum_file([float(d)], data_type="TR", deriv=d, into=vf)
    path = write(tmp_path, vf)
    result = get(path, ("tr", "2d", word.lower()))
    assert (result.y.tolist(), result.derivative) == ([deriv_type], word)


def test_listed_3der_is_requested_as_nder(tmp_path):
    path = write(tmp_path, writer.make_spectrum_file([7.0], data_type="KM", deriv="NDER"))
    assert vellkit.listContents(path) == [("KM", "2D", "3DER")]
    with pytest.raises(ValueError, match="^Invalid deriv type: 3DER"):
        get(path, vellkit.listContents(path)[0])
    assert get(path, ("KM", "2D", "NDER")).y.tolist() == [7.0]


def test_every_listed_2d_block_can_be_read(tmp_path):
    vf = writer.VellFile()
    for k, name in enumerate(["SSC", "AB", "RSC", "SIFG", "TR", "LREFL"]):
        writer.make_spectrum_file([float(k), float(k)], data_type=name, deriv=k % 3, fxv=k, lxv=k + 1, into=vf)
    path = write(tmp_path, vf)
    listed = vellkit.listContents(path)
    assert [name for name, _, _ in listed] == ["TR", "AB", "SSC", "RSC", "SIFG", "LREFL"]
    for name, dim, deriv in listed:
        result = get(path, (name, dim, deriv))
        k = result.y[0]
        assert (result.dataType, result.derivative, result.x.tolist()) == (name, deriv, [k, k + 1])


def test_last_matching_entry_wins(tmp_path):
    vf = writer.VellFile()
    vf.add_spectrum([1.0, 1.0], data_type="AB")
    vf.add_parameters(spectral(2, 10.0, 20.0), data_type="AB")
    vf.add_spectrum([2.0, 2.0], data_type="AB", sample_type=1)
    vf.add_parameters(spectral(2, 30.0, 40.0), data_type="AB", sample_type=2)
    vf.add_spectrum([3.0, 3.0], data_type="AB", complex_type=2)
    vf.add_spectrum([9.0, 9.0], data_type="AB", deriv_type=1)  # not a match: other derivative
    result = get(write(tmp_path, vf))
    assert (result.y.tolist(), result.x.tolist()) == ([3.0, 3.0], [30.0, 40.0])


def test_data_and_parameter_blocks_are_chosen_independently(tmp_path):
    vf = writer.VellFile()
    vf.add_parameters(spectral(1, 5.0, 5.0), data_type="TR")
    vf.add_spectrum([1.0], data_type="TR")
    vf.add_spectrum([2.0], data_type="TR", in_extension=True)
    vf.add_parameters(spectral(1, 6.0, 6.0), data_type="TR", in_extension=True)
    vf.add_parameters(spectral(1, 7.0, 7.0), data_type="TR")
    result = get(write(tmp_path, vf), ("TR", "2D", "NONE"))
    assert (result.y.tolist(), result.x.tolist()) == ([2.0], [6.0])  # extension entries come last


def measurement(tmp_path, extra, data_type="AB", sample_type=None, deriv="NONE"):
    """A one-point spectrum plus further parameter blocks (fields, params); returns the parameters."""
    vf = writer.make_spectrum_file([1.0], data_type=data_type, deriv=deriv, sample_type=sample_type,
                                   params=[("OWN", "own")], extra_param_blocks=extra)
    return get(write(tmp_path, vf), (data_type, "2D", deriv)).parameters


def test_parameter_merge_order(tmp_path):
    extra = [(4, [("K", "ft"), ("FT", 4), ("NPT", 1)]), (10, [("K", "sample"), ("SMP", 10), ("FT", 0)]),
             (2, [("K", "inst"), ("INS", 2)]), (3, [("K", "acq"), ("ACQ", 3), ("INS", 0), ("OWN", "acq")])]
    params = measurement(tmp_path, extra)
    assert list(params.items()) == [("NPT", 1), ("FXV", 4000.0), ("LXV", 400.0), ("MNY", 1.0), ("MXY", 1.0),
                                    ("OWN", "acq"), ("K", "ft"), ("ACQ", 3), ("INS", 2), ("SMP", 10), ("FT", 4)]


def test_ft_block_wins_for_the_axis(tmp_path):
    vf = writer.make_spectrum_file([1.0, 2.0, 3.0, 4.0], fxv=0.0, lxv=3.0,
                                   ft=[("NPT", 2), ("LXV", 9.0), ("MXY", 100.0)],
                                   acquisition=[("NPT", 3), ("FXV", 1.0)])
    result = get(write(tmp_path, vf))
    assert (result.x.tolist(), result.y.tolist(), result.maxY, result.minY) == ([1.0, 9.0], [1.0, 2.0], 100.0, 1.0)


def test_last_block_of_each_kind_wins(tmp_path):
    extra = [(3, {"ACQ": 1}), (2, {"INS": 1}), (3, {"ACQ": 2}), ({"param_type": 2, "data_type": "TR"}, {"INS": 2}),
             ({"param_type": 4, "extend_type": 10}, {"FTB": 1}), ({"param_type": 10, "sample_type": 3}, {"SMP": 1})]
    params = measurement(tmp_path, extra)
    assert {k: params[k] for k in ("ACQ", "INS", "FTB", "SMP")} == {"ACQ": 2, "INS": 2, "FTB": 1, "SMP": 1}


@pytest.mark.parametrize("fields, taken", [
    ({"param_type": 3}, True),
    ({"param_type": 3, "data_type": "TR"}, True),
    ({"param_type": 3, "data_type": "AB"}, False),                     # fits the data block: not a further block
    ({"param_type": 3, "data_type": "AB", "extend_type": 10}, True),
    ({"param_type": 3, "data_type": "AB", "deriv_type": 2}, True),
    ({"param_type": 4, "data_type": "AB", "sample_type": 3}, False),
    ({"param_type": 10, "data_type": "AB", "complex_type": 1}, False),
    ({"extend_type": 11}, False),                                      # an annotation table adds nothing to 2D
])
def test_blocks_that_fit_the_request_are_not_further_blocks(tmp_path, fields, taken):
    assert ("XTR" in measurement(tmp_path, [(fields, {"XTR": 1})])) is taken


@pytest.mark.parametrize("fields, taken", [
    ({"param_type": 3, "data_type": "AB"}, False),                     # the non-derivative twin
    ({"param_type": 1, "data_type": "AB"}, False),                     # its own parameters: not merged in 2D
    ({"param_type": 3, "data_type": "AB", "deriv_type": 2}, True),
])
def test_derivative_request_and_its_twin(tmp_path, fields, taken):
    assert ("XTR" in measurement(tmp_path, [(fields, {"XTR": 1})], deriv="1DER")) is taken


@pytest.mark.parametrize("request_name, sample_type, instrument_sample, taken", [
    ("AB", None, 0, True), ("AB", None, 1, False), ("AB", None, 2, False), ("AB", None, 3, False),
    ("SSC", 1, 0, True), ("SSC", 1, 1, True), ("SSC", 1, 2, False),
    ("RSC", 2, 0, False), ("RSC", 2, 2, True), ("RSC", 2, 1, False),
])
def test_instrument_block_sample_type(tmp_path, request_name, sample_type, instrument_sample, taken):
    extra = [({"param_type": 2, "sample_type": instrument_sample}, {"INS": "x"})]
    assert ("INS" in measurement(tmp_path, extra, request_name, sample_type)) is taken


@pytest.mark.parametrize("missing, key", [
    (("NPT", "FXV"), "NPT"), (("FXV", "LXV"), "FXV"), (("LXV",), "LXV"), (("MXY", "MNY"), "MXY"), (("MNY",), "MNY"),
])
def test_missing_axis_parameter(tmp_path, missing, key):
    vf = writer.VellFile()
    vf.add_spectrum([1.0], data_type="AB")
    vf.add_parameters([p for p in spectral(1) if p[0] not in missing], data_type="AB")
    path = write(tmp_path, vf)
    before = open_fds()
    with pytest.raises(KeyError) as err:
        get(path)
    assert err.value.args == (key,)
    assert open_fds() == before
    vf.add_parameters([(name, 1.0 if name != "NPT" else 1) for name in missing], param_type=10)
    assert get(write(tmp_path, vf)).y.tolist() == [1.0]


@pytest.mark.parametrize("npt, fxv, lxv, x", [
    (0, 1.0, 2.0, []), (1, 5.5, 9.0, [5.5]), (2, 1, 3, [1.0, 3.0]), (5, 0.0, 1.0, [0.0, 0.25, 0.5, 0.75, 1.0]),
    (3, -1.0, -1.0, [-1.0, -1.0, -1.0]),
])
def test_x_axis(tmp_path, npt, fxv, lxv, x):
    vf = writer.make_spectrum_file(np.arange(npt, dtype=np.float32), params={"FXV": fxv, "LXV": lxv})
    result = get(write(tmp_path, vf))
    assert result.x.dtype == np.float64 and result.y.dtype == np.float32
    assert result.x.tolist() == x and result.y.tolist() == list(range(npt))
    assert np.array_equal(result.x, np.linspace(fxv, lxv, npt))


@pytest.mark.parametrize("npt, error", [(-1, ValueError), (2.0, TypeError), ("2", TypeError)])
def test_invalid_point_count(tmp_path, npt, error):
    path = write(tmp_path, writer.make_spectrum_file([1.0, 2.0], params={"NPT": npt}))
    with pytest.raises(error) as expected:
        np.linspace(4000.0, 400.0, npt)
    before = open_fds()
    with pytest.raises(error) as err:
        get(path)
    assert str(err.value) == str(expected.value)
    assert open_fds() == before


def test_values_are_little_endian_float32(tmp_path):
    values = [0.0, -0.0, 2.0 ** -149, 3.4028234663852886e38, float("inf"), -float("inf")]
    raw = struct.pack("<6f", *values) + struct.pack("<f", float("nan"))
    vf = writer.VellFile()
    vf.add_block(raw, bt("AB"), size_in_words=0)  # the size in the directory is not consulted
    vf.add_parameters(spectral(7, mny=-3.0, mxy=3.0), data_type="AB")
    result = get(write(tmp_path, vf))
    assert result.y[:6].tolist() == values and np.isnan(result.y[6])
    assert np.signbit(result.y[1]) and (result.minY, result.maxY) == (-3.0, 3.0)


@pytest.mark.parametrize("stored, npt, expected", [
    (3, 5, 3),         # the block ends at the end of the file
    (3, 2, 2),         # NPT shorter than the block
    (0, 4, 0),
])
def test_short_data_block(tmp_path, stored, npt, expected):
    vf = writer.VellFile(directory="start")
    vf.add_parameters(spectral(npt), data_type="AB")
    vf.add_bytes(b"\x01\x02")                      # junk before the block, not listed
    vf.add_spectrum([1.5] * stored, data_type="AB")
    path = write(tmp_path, vf)
    result = get(path)
    assert (len(result.x), result.y.tolist()) == (npt, [1.5] * expected)
    with open(path, "ab") as f:                     # a partial value is not read
        f.write(b"\0\0")
    assert len(get(path).y) == min(npt, stored)


@pytest.mark.parametrize("offset", [1 << 30, 1 << 40, -4])
def test_data_offset_outside_the_file(tmp_path, offset):
    vf = writer.VellFile()
    vf.add_entry(bt("AB"), 4, offset, in_extension=offset > 1 << 31)
    vf.add_parameters(spectral(4), data_type="AB")
    path = write(tmp_path, vf)
    before = open_fds()
    if offset > 0:  # beyond the end: no values
        result = get(path)
        assert (len(result.x), len(result.y)) == (4, 0)
    else:
        with pytest.raises(OSError) as err:
            get(path)
        assert type(err.value) is OSError and err.value.errno == errno.EINVAL
    assert open_fds() == before


def test_result_class_is_looked_up_and_called_with_keywords(tmp_path, monkeypatch):
    calls = []
    monkeypatch.setattr(vellkit, "SingleDataReturn", lambda *args, **kwds: calls.append((args, kwds)) or "made")
    path = write(tmp_path, writer.make_spectrum_file([2.0], data_type="ATR", deriv="2DER", fxv=3.0))
    assert get(path, ("atr", "2d", "2der")) == "made"
    (args, kwds), = calls
    assert args == () and list(kwds) == ["dimension", "dataType", "deriv", "x", "y", "minY", "maxY", "parameters"]
    assert [kwds[k] for k in ("dimension", "dataType", "deriv", "minY", "maxY")] == ["2D", "ATR", "2DER", 2.0, 2.0]
    assert kwds["x"].tolist() == [3.0] and kwds["y"].tolist() == [2.0] and kwds["parameters"]["NPT"] == 1


def test_min_and_max_come_from_the_parameters(tmp_path):
    path = write(tmp_path, writer.make_spectrum_file([1.0, 5.0], params={"MNY": -7, "MXY": "high"}))
    result = get(path)
    assert (result.minY, result.maxY) == (-7, "high")
    assert result.parameters["MXY"] is result.maxY


def test_files_are_closed(tmp_path, reports):
    good = write(tmp_path, writer.make_spectrum_file([1.0, 2.0]))
    damaged = writer.make_spectrum_file([1.0])
    damaged.dir_size = 5
    damaged = write(tmp_path, damaged)
    before = open_fds()
    for _ in range(3):
        get(good)
        get(damaged)
        for bad in ((good, ("AB", "3D", "NONE")), (write(tmp_path, MAGIC[:2]), ("AB", "2D", "NONE")),
                    (str(tmp_path), ("AB", "2D", "NONE"))):
            with pytest.raises((ValueError, struct.error, OSError)):
                get(*bad)
    assert open_fds() == before
    assert reports and all(r[0] == "vellkit.readInt" for r in reports)
