import os
import pathlib
import struct
import subprocess
import sys
import types

import numpy as np
import pytest

import vellkit

CLASSES = ["BaseDataReturn", "SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn",
           "TimeResolvedDataReturn", "TimeResolvedTRCDataReturn", "MultiRegionDataReturn",
           "Region", "MultiRegionTRCDataReturn"]
FUNCTIONS = ["help", "listContents", "isVellFile", "decode_string", "getVellData", "getVisImages"]


def test_namespace_order_and_contents():
    # A fresh interpreter: other tests may patch the module's attributes.
    code = "import vellkit; print(' '.join(n for n in vars(vellkit) if not n.startswith('__')))"
    out = subprocess.run([sys.executable, "-c", code], check=True, stdout=subprocess.PIPE,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))).stdout
    assert out.decode().split() == ["unpack", "np", "imghdr"] + CLASSES + FUNCTIONS + ["paramDict"]
    assert vellkit.__doc__ is None
    assert vellkit.unpack is struct.unpack
    assert vellkit.np is np
    assert isinstance(vellkit.imghdr, types.ModuleType) and vellkit.imghdr.__name__ == "imghdr"
    if sys.version_info < (3, 13):
        assert sys.modules["imghdr"] is vellkit.imghdr
    else:  # the module's own stand-in, not offered to other importers
        assert "imghdr" not in sys.modules


def test_import_is_silent_and_warning_free():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(vellkit.__file__), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-W", "error", "-c", "import vellkit"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")


DOCS = {
    "help": "\n    Print a help message containing the available functions.\n    ",
    "listContents": "\n    This function returns a list of datablocks for a given file.\n    Each datablock is "
                    "identified by blocktype, dimensions and derivative.\n\n    Args:\n        path (path): "
                    "Path to file\n\n    Returns:\n        list of tuple(str, str, str): List containing a "
                    "(datablocktype, dimensions, derivative) tuple\n        for each datablock in the file\n    ",
    "isVellFile": "\n    Tests if the given file is an VELL data file.\n\n    Args:\n        path (path): Path "
                  "to file\n\n    Returns:\n        bool: True if an VELL file\n    ",
    "decode_string": "Attempt to decode a string",
    "getVellData": "\n    This function returns a :obj:`DataReturn` object containing the data and\n    data "
                   "parameters for    the specified datablock in the given file.\n\n    Args:\n        path "
                   "(path):       Path to file\n        datablock (tuple of str): tuple(datablocktype, "
                   "dimensions, derivative)\n                                  as returned by .listContents()"
                   "\n\n    Returns:\n        :obj:`DataReturn`: Object containing the requested data and "
                   "associated\n        parameters. Data structure is as specified in data.description and\n"
                   "        can be one of the three types described in :class:`DataReturn`\n    ",
    "getVisImages": "\n    This function returns a list containing a dictionary for each visible image\n    in "
                    "the given file.\n\n    Args:\n        path (path):       Path to file\n\n    Returns:\n"
                    "        List containing a dictionary for each visible image in the file.\n\n        Each "
                    "dictionary contains:\n\n        {'image': bytes(),          # Image data\n         "
                    "'imgext': 'bmp',           # Image type ('bmp' or 'jpeg')\n         'Pos. X': 33733.0}"
                    "         # Useful image attributes\n    ",
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions(name):
    func = getattr(vellkit, name)
    assert isinstance(func, types.BuiltinFunctionType) and func.__module__ == "vellkit"
    assert func.__doc__ == DOCS[name]


@pytest.mark.parametrize("call", [
    lambda: vellkit.help(1),
    lambda: vellkit.listContents(path="x"),
    lambda: vellkit.listContents(),
    lambda: vellkit.listContents("x", "y"),
    lambda: vellkit.isVellFile(path="x"),
    lambda: vellkit.getVisImages(path="x"),
    lambda: vellkit.getVellData("x"),
    lambda: vellkit.getVellData("x", ("AB", "2D", "NONE"), 1),
    lambda: vellkit.getVellData("x", datablock=("AB", "2D", "NONE"), extra=1),
    lambda: vellkit.decode_string(),
    lambda: vellkit.decode_string(b"a", ("ascii",), 1),
], ids=["help", "list-kw", "list-none", "list-two", "probe-kw", "images-kw", "get-one", "get-three",
        "get-unknown-kw", "decode-none", "decode-three"])
def test_bad_calls_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


class StrPath(str):
    pass


@pytest.mark.parametrize("func", ["getVellData", "getVisImages"])
@pytest.mark.parametrize("path, type_name", [
    (b"/no/such/file", "bytes"), (pathlib.Path("/no/such/file"), type(pathlib.Path()).__name__),
    (StrPath("/no/such/file"), "StrPath"), (3, "int"),
])
def test_path_must_be_exact_str(func, path, type_name):
    args = (path, ("AB", "2D", "NONE")) if func == "getVellData" else (path,)
    with pytest.raises(TypeError) as err:
        getattr(vellkit, func)(*args)
    assert str(err.value) == "Argument 'path' has incorrect type (expected str, got %s)" % type_name


def test_none_path_passes_the_argument_check():
    # None is allowed through; the request check then fails before any file is opened.
    with pytest.raises(ValueError, match="^Invalid data block type: XX"):
        vellkit.getVellData(None, ("XX", "2D", "NONE"))


PARAM_DICT = [
    ("SNM", "Sample Name"), ("SFM", "Sample Form"), ("CNM", "Operator Name"), ("EXP", "Experiment File"),
    ("XPP", "Experiment Path"), ("APT", "Aperture Setting"), ("BMS", "Beamsplitter Setting"),
    ("LWN", "Laser Wavenumber"), ("SRT", "Start Time"), ("DAT", "Date"), ("TIM", "Local Time"),
    ("NPT", "Number of Data Points"), ("FXV", "First X Value"), ("LXV", "Last X Value"),
    ("MNY", "Minimum Y Value"), ("MXY", "Maximum Y Value"), ("DXU", "X Units"),
    ("HFW", "High Frequency Limit"), ("LFW", "Low Frequency Limit"), ("HPF", "High Pass Filter"),
    ("LPF", "Low Pass Filter"), ("NSS", "Number of Sample Scans"), ("NSR", "Number of Reference Scans"),
    ("RES", "Resolution"), ("INS", "Instrument Type"), ("AN1", "Analog Signal 1"), ("AN2", "Analog Signal 2"),
    ("APF", "Apodization Function"), ("HFQ", "High Frequency Cutofff (FT)"), ("LFQ", "Low Frequency Cutoff (FT)"),
    ("PHZ", "Phase Correction Mode"), ("PHR", "Phase Resolution"), ("ZFF", "Zero Filling Factor"),
    ("ZTX", "Z Axis Label"),
]


def test_param_dict():
    assert type(vellkit.paramDict) is dict and len(vellkit.paramDict) == 34
    assert list(vellkit.paramDict.items()) == PARAM_DICT
    assert vellkit.paramDict["HFQ"] == "High Frequency Cutofff (FT)"


HELP_LINES = [
    "This library contains the following functions:",
    "\tlistContents('path') :    This function returns a list containing the data blocks, their dimensions "
    "and derivative type",
    "\tisVellFile('path'):    This function returns true if the file is an Vell file, false otherwise",
    "\tgetVellData('path', ('data block type', 'dimensions', 'derivative')):",
    "\t\tThis function returns a Python object that contains a string parameter called description "
    "(ie: returnedObject.description)",
    "\t\tDescription contains the details of what the Python object contains based on the type of data block "
    "requested.",
    "\tgetVisImages('path'):",
    "\t\tThis function returns a list that contains an entry for each visible image in the file.",
    "\n For more detailed descriptions please consult the documentation.",
]


def test_help_output(capsys):
    assert vellkit.help() is None
    out, err = capsys.readouterr()
    assert out == "".join(line + "\n" for line in HELP_LINES) and err == ""
    assert len(out.splitlines()) == 10 and "decode_string" not in out


# --- result classes -------------------------------------------------------

SHARED = [
    "description (str):  Description of the data object attributes",
    "dimension (str):    Datablock dimensions (2D or 3D)",
    "dataType (str):     The datablock type (AB, TR, SSC, etc)",
    "derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)",
    "parameters (dict):  Dictionary of relevant data/sample/instrument parameters",
    "x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates",
    "minY (float):       Minimum y value",
    "maxY (float):       Maximum y value",
]
MAP_XY = ["mapX (:obj:`ndarray`):      1D numpy array of X map coordinates",
          "mapY (:obj:`ndarray`):      1D numpy array of Y map coordinates"]
MR_SUMMARY = ["Hyperspectral multiregion point map(s) returned by .getVellData() for",
              "multiregion 3D point mapping datablocks."]
MR_NOTE = ["Maps are _not_ guaranteed to be perfect XY grids and so spectral coordinates",
           "cannot be specfied by origin point and dx/dy values as in :class:ImageDataReturn."]
MR_REGIONS = ["regions (:obj:`list` of :obj:`Region`): List of regions.",
              (28, "Each region is a :class:Region containing"),
              "regions[0].title (str):     description of region",
              "regions[0].mapX (ndarray):  1D numpy array of X map coordinates",
              "regions[0].mapY (ndarray):  1D numpy array of Y map coordinates"]
# class -> (summary lines, note lines, own attribute lines; (indent, text) for continuation lines)
CLASS_DOCS = {
    "BaseDataReturn": (["Base class for data object returned by .getVellData()."], [], []),
    "SingleDataReturn": (["Single spectrum data object returned by .getVellData() for 2D datablocks."], [],
                         ["y (:obj:`ndarray`): 1D numpy array of y values"]),
    "ImageDataReturn": (["Hyperspectral data object returned by .getVellData() for 3D image datablocks."], [],
                        MAP_XY + ["spectra (:obj:`ndarray`):   3D numpy array of spectral maps",
                                  (36, "dataObject.spectra[row][column][x]")]),
    "ImageTRCDataReturn": (["Map(s) of a single spectral feature/integral/calculation returned by",
                            ".getVellData() for 3D image TRC datablocks."], [],
                           MAP_XY + ["labels (:obj:`list` of :obj:`str`):      List of trace block names",
                                     "traces (:obj:`list` of :obj:`ndarray`):  3D numpy array of trace maps with",
                                     (49, "same index as labels:"), (49, "dataObject.traces[:,:,index]")]),
    "TimeResolvedDataReturn": (
        ["Time-resolved spectra data object returned by .getVellData() for 3D-TRS datablocks."],
        ["Z Axis units are available from dataObject.parameters['ZTX']"],
        ["z (:obj:`ndarray`): 1D numpy array of z (time) axis coordinates",
         "spectra (:obj:`ndarray`):   2D numpy array of spectral time series", (36, "dataObject.spectra[z][x]")]),
    "TimeResolvedTRCDataReturn": (
        ["Time-resolved trace data object returned by .getVellData() for 3D-TRS TRC datablocks."],
        ["x axis units are available from dataObject.parameters['DXU']"],
        ["labels (:obj:`list` of :obj:`str`):      List of trace names",
         "traces (:obj:`list` of :obj:`ndarray`):  2D numpy array of traces with",
         (49, "same index as labels:"), (49, "dataObject.traces[index]")]),
    "MultiRegionDataReturn": (MR_SUMMARY, MR_NOTE, MR_REGIONS + [
        "regions[0].start_time (ndarray):   timestamps of spectrum acquisition array",
        "regions[0].spectra (ndarray):   2D numpy array of of spectra in the region:",
        (40, "returnedObject.regions[region index].spectra[row]")]),
    "MultiRegionTRCDataReturn": (MR_SUMMARY, MR_NOTE, [
        "labels (:obj:`list` of :obj:`str`):      List of trace block names"] + MR_REGIONS + [
        "regions[0].spectra (ndarray):   2D numpy array of traces in the region:",
        (40, "returnedObject.regions[region index].spectra[row]"),
        (40, "As with :class:ImageTRCDataReturn, the index of the"),
        (40, "resulting array corresponds to the .labels index")]),
    "Region": (["Returned as part of a :class:MultiRegionDataReturn."], [], None),
}
REGION_ATTRS = ["title (str):        description of region",
                "mapX (ndarray):     1D numpy array of X map coordinates",
                "mapY (ndarray):     1D numpy array of Y map coordinates",
                "start_time (ndarray):  timestamps of spectrum acquisition array",
                "spectra (ndarray):  2D numpy array of of spectra in the region:", (28, "spectra[row]")]


def expected_doc(name):
    summary, note, own = CLASS_DOCS[name]
    if own is None:
        attrs = REGION_ATTRS
    else:
        shared = list(SHARED)
        if name == "TimeResolvedTRCDataReturn":
            shared[5] = "x (:obj:`ndarray`): 1D numpy array of trace x coordinates"
        attrs = shared + own
    lines = [""] + ["    " + s for s in summary] + [""]
    if note:
        lines += ["    " + s for s in note] + [""]
    lines.append("    Attributes:")
    lines += [" " * a[0] + a[1] if isinstance(a, tuple) else " " * 8 + a for a in attrs]
    return "\n".join(lines) + "\n    "


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity_and_docstring(name):
    cls = getattr(vellkit, name)
    assert type(cls) is type
    assert (cls.__module__, cls.__qualname__, cls.__name__) == ("vellkit", name, name)
    base = object if name in ("BaseDataReturn", "Region") else vellkit.BaseDataReturn
    assert cls.__bases__ == (base,)
    doc = cls.__doc__
    assert doc.startswith("\n    ") and doc.endswith("\n    ")
    assert doc.splitlines()[1] == "    " + CLASS_DOCS[name][0][0]
    assert doc == expected_doc(name)


BASE_TEXT = ("This object contains:\n\tdimension of file (.dimension)\n\tdata block type (.dataType)\n"
             "\tderivative type (.derivative)\n\tdictionary of parameters with parameter name then value "
             "(.parameters)\n\tspectrum x coordinates (.x)\n\tminimum and maximum y values (.minY and .maxY)\n")
GRID = "\t\t\tMap x\n\t\t  x1  x2  x3  x4...xn\nMap y\t\ty1\n\t\ty2\n\t\ty3\n\t\t.\n\t\t.\n\t\tyn\n\t\n"
REGION_LIST = ("\tlist of regions (.regions)\n\n\teach region is a Region object containing:\n"
               "\t\tdescription of region (title)\n\t\tx mapping coordinates array (mapX)\n"
               "\t\ty mapping coordinates array (mapY)\n")
LABELS = "\ta list containing the names of the trace blocks (.labels)\n"
# class -> (own constructor arguments, text appended to the base description)
SUBCLASSES = {
    "SingleDataReturn": (["y"], "\ty data points (.y)\n"),
    "ImageDataReturn": (["mapX", "mapY", "spectra"],
                        "\tx mapping coordinates (.mapX)\n\ty mapping coordinates (.mapY)\n\t3D numpy array "
                        "containing the spectrum associated with the x and y mapping coordinates (.spectra)\n"
                        + GRID + "\taccess the spectrum with returnedObject.spectra[row][column]\n"),
    "ImageTRCDataReturn": (["mapX", "mapY", "labels", "traces"],
                           "\tx mapping coordinates (.mapX)\n\ty mapping coordinates (.mapY)\n" + LABELS +
                           "\t3D numpy array containing the trace values associated with the x and y mapping "
                           "coordinates (.traces)\n" + GRID +
                           "\taccess the trace maps with returnedObject.traces[:,:,label index]\n"),
    "TimeResolvedDataReturn": (["z", "spectra"],
                               "\tz (time) axis coordinates (.z)\n\t2D numpy array containing the spectrum "
                               "associated with the z time coordinates (.spectra)\n\taccess the spectrum with "
                               "returnedObject.spectra[z]\n"),
    "TimeResolvedTRCDataReturn": (["labels", "traces"],
                                  LABELS + "\t2D numpy array containing trace values (.traces)\n"
                                  "\taccess the trace with returnedObject.traces[label index]\n"),
    "MultiRegionDataReturn": (["regions"],
                              REGION_LIST + "\t\ttimestamps of spectrum acquisition array (start_time)\n"
                              "\t\t2D array containing spectra in the region (spectra)\n\t\taccess a spectrum "
                              "with\n\t\t\treturnedObject.regions[region index].spectra[row]"),
    "MultiRegionTRCDataReturn": (["labels", "regions"],
                                 LABELS + REGION_LIST + "\t\t2D array containing traces in the region (spectra)\n"
                                 "\t\taccess the traces for a position with\n"
                                 "\t\t\treturnedObject.regions[region index].spectra[row]"),
}
BASE_ARGS = ["dimension", "dataType", "deriv", "parameters", "x", "minY", "maxY"]
BASE_ATTRS = ["dimension", "dataType", "derivative", "parameters", "x", "minY", "maxY"]


def base_kwds():
    return dict(dimension="3D", dataType="AB", deriv="NONE", parameters={"NPT": 2},
                x=np.array([1.0, 2.0]), minY=0.5, maxY=1.5)


def test_base_class_construction():
    args = [object() for _ in BASE_ARGS]
    by_position = vellkit.BaseDataReturn(*args)
    by_keyword = vellkit.BaseDataReturn(**dict(zip(BASE_ARGS, args)))
    for obj in (by_position, by_keyword):
        assert list(vars(obj)) == BASE_ATTRS + ["description"]
        assert all(getattr(obj, a) is v for a, v in zip(BASE_ATTRS, args))
        assert obj.description == str(obj) == repr(obj) == BASE_TEXT
    with pytest.raises(TypeError):
        vellkit.BaseDataReturn(*args[:-1])


@pytest.mark.parametrize("name", sorted(SUBCLASSES))
def test_subclass_construction_and_description(name):
    own, text = SUBCLASSES[name]
    cls = getattr(vellkit, name)
    values = {a: object() for a in own}
    kwds = base_kwds()
    for obj in (cls(**dict(kwds, **values)), cls(*[values[a] for a in own], **kwds)):
        assert list(vars(obj)) == own + BASE_ATTRS + ["description"]
        assert all(getattr(obj, a) is v for a, v in values.items())
        assert obj.derivative == "NONE" and obj.x is kwds["x"] and not hasattr(obj, "deriv")
        assert obj.description == str(obj) == repr(obj) == BASE_TEXT + text
    assert text.endswith("\n") != name.startswith("MultiRegion")


@pytest.mark.parametrize("name", sorted(SUBCLASSES))
@pytest.mark.parametrize("change", ["missing maxY", "derivative=", "unknown keyword", "surplus positional",
                                    "missing own"])
def test_subclass_bad_arguments(name, change):
    own = SUBCLASSES[name][0]
    args = [None] * len(own)
    kwds = base_kwds()
    if change == "missing maxY":
        del kwds["maxY"]
    elif change == "derivative=":
        kwds["derivative"] = kwds.pop("deriv")
    elif change == "unknown keyword":
        kwds["colour"] = "red"
    elif change == "surplus positional":
        args.append("2D")
    else:
        args.pop()
    with pytest.raises(TypeError):
        getattr(vellkit, name)(*args, **kwds)


def test_description_is_read_when_printed():
    obj = vellkit.SingleDataReturn(y=np.zeros(2), **base_kwds())
    obj.description = "replaced"
    obj.extra = 1
    assert str(obj) == repr(obj) == "replaced"
    del obj.description
    with pytest.raises(AttributeError):
        str(obj)


def test_region():
    data = [object() for _ in range(4)]
    first = vellkit.Region("Region 1 (3 points)", *data)
    second = vellkit.Region(title="Region 2 (2 x 2)", mapX=data[0], mapY=data[1], start_time=None, spectra=data[3])
    assert list(vars(first)) == ["title", "mapX", "mapY", "start_time", "spectra"]
    assert [first.mapX, first.mapY, first.start_time, first.spectra] == data
    assert second.start_time is None and not hasattr(first, "description")
    assert repr(first) == str(first) == "Region 1 (3 points)"
    assert repr([first, second]) == "[Region 1 (3 points), Region 2 (2 x 2)]"
    assert not isinstance(first, vellkit.BaseDataReturn)
    with pytest.raises(TypeError):
        vellkit.Region("t", *data[:3])
