"""A plain-Python reader of VELL files, written from the file format as
``vellkit_tools.writer`` writes it: every value is read with a binary file
object's ``seek`` and ``read``, one field at a time, exactly as the module's
documented reading order goes.  Tests compare the module's results with it
to check that every byte the file holds is delivered.

The model covers well-formed files: a field that cannot be read yields 0 as
in the module, but failed-read reports and numpy's errors are not modelled.
"""

import struct

import numpy as np

MAGIC = b"\x0a\x0a\xfe\xfe"
DATA_TYPES = {
    "REFL": (12, -1), "RAM": (10, -1), "SPOW": (14, 1), "RPOW": (14, 2), "RPH": (3, 2), "SPH": (3, 1),
    "PAS": (17, -1), "LREFL": (15, -1), "KM": (6, -1), "SIFG": (2, 1), "RIFG": (2, 2), "TR": (5, -1),
    "EMIS": (11, -1), "ATR": (16, -1), "TRARI": (18, -1), "ABARI": (19, -1), "AB": (4, -1), "TRC": (7, -1),
    "SSC": (1, 1), "RSC": (1, 2),
}
DERIVATIVES = {"NONE": 0, "1DER": 1, "2DER": 2, "NDER": 3}
MAPPING = ("AOX", "AOY", "NPX", "NPY", "DDX", "DDY")
TEXT_TYPES = (1004, 1005, 1011)


def decode(data):
    for encoding in ("ascii", "utf8", "latin1"):
        try:
            return data.decode(encoding)
        except UnicodeDecodeError:
            pass
    return data.decode("ascii", "ignore")


def text_before_nul(data):
    return decode(data.partition(b"\0")[0])


def block_fields(code):
    """(complexType, sampleType, paramType, dataType, derivType, extendType)."""
    return (code & 3, (code >> 2) & 3, (code >> 4) & 63, (code >> 10) & 127, (code >> 17) & 3, (code >> 19) & 127)


class FileModel(object):
    """Field readers and block readers over one open binary file."""

    def __init__(self, f):
        self.f = f

    def field(self, fmt):
        data = self.f.read(struct.calcsize(fmt))
        if len(data) == struct.calcsize(fmt):
            return struct.unpack(fmt, data)[0]
        return 0.0 if fmt[-1] in "fd" else 0

    def floats(self, count):
        data = self.f.read(4 * count)
        return np.frombuffer(data[:len(data) // 4 * 4], "<f4").astype(np.float32)

    def read(self, count):
        return self.f.read(count) if count >= 0 else self.f.read()

    def params(self, offset):
        self.f.seek(offset)
        params = {}
        while True:
            raw = self.f.read(4)
            name = raw.decode("utf-8").strip("\0")
            if name == "END":
                return params
            if len(raw) < 4:
                raise ValueError("parameter block at %d has no END record" % offset)
            ptype, size = self.field("<h"), self.field("<h")
            if ptype == 0:
                params[name] = self.field("<i")
            elif ptype == 1:
                params[name] = self.field("<d")
            elif ptype in (2, 3, 4):
                params[name] = text_before_nul(self.read(2 * size))
            else:
                raise ValueError("Unexpected value for reading parameter type: %d" % ptype)

    def directory(self):
        self.f.seek(4)
        self.field("<d")
        offset, _, count = self.field("<i"), self.field("<i"), self.field("<i")
        self.f.seek(offset)
        entries, extension = [], None
        for _ in range(max(count, 0)):
            code, size, at = self.field("<i"), self.field("<i"), self.field("<i")
            entries.append((block_fields(code), size, at))
            if block_fields(code)[5] == 64:
                extension = at
        if extension:
            self.f.seek(extension)
            count = self.field("<q")
            self.field("<q")
            for _ in range(max(count, 0)):
                code, size, at, _ = (self.field("<q") for _ in range(4))
                entries.append((block_fields(code), size, at))
        return entries

    # -- 3D data blocks ------------------------------------------------------

    def record_offsets(self, offset):
        self.f.seek(offset)
        _, _, block_offset, block_size, info_size, rows = (self.field("<i") for _ in range(6))
        table = [(self.field("<i"), self.field("<i")) for _ in range(max(rows, 0))]
        offsets, at = {}, offset + block_offset
        for first, second in table:
            if first == -1:
                at += second
                continue
            for n in range(first, second + 1):
                offsets[n] = at
                at += block_size + info_size
        return offsets, info_size

    def label_after_values(self, info_size):
        self.f.seek(152, 1)
        return text_before_nul(self.read(info_size - 152))

    def annotations(self, offset):
        columns = {}
        directory = self.params(offset + 12)
        for t in range(directory["NRP"]):
            table_at = offset + directory["F{0:02d}".format(t)]
            table = self.params(table_at)
            first_row = table_at + table["SIZ"]
            row_length, text_length, layout = table["SRC"], -1, []
            for i in range(table["NCO"]):
                n = "{0:02d}".format(i)
                name, position, ctype = table["S" + n], table["F" + n], table["T" + n]
                layout.append((name, ctype))
                columns[name] = []
                if ctype in TEXT_TYPES:
                    text_length = max(text_length, row_length - position)
            for i in range(table["NLN"]):
                self.f.seek(first_row + i * row_length)
                for name, ctype in layout:
                    if ctype == 4:
                        columns[name].append(self.field("<i"))
                    elif ctype == 5:
                        columns[name].append(self.field("<f"))
                    else:
                        columns[name].append(text_before_nul(self.read(text_length)))
        return columns


def _locate(directory, request):
    data_type, sample = DATA_TYPES[request[0]]
    extend = 10 if request[1] == "3D" else 0
    deriv = DERIVATIVES[request[2]]
    found = dict.fromkeys(("data", "params", "original", "acq", "inst", "sample", "ft", "anno"), -1)
    for (_, stype, ptype, dtype, dtype_deriv, etype), _, at in directory:
        fits = stype == sample or sample == -1
        if dtype == data_type and dtype_deriv == deriv and etype == extend and fits:
            if ptype == 0:
                found["data"] = at
            elif ptype == 1:
                found["params"] = at
        elif dtype == data_type and dtype_deriv == 0 and etype == extend and fits:
            if ptype == 1:
                found["original"] = at
        elif ptype == 3:
            found["acq"] = at
        elif ptype == 2:
            if stype == sample or (stype == 0 and sample in (1, -1)):
                found["inst"] = at
        elif ptype == 10:
            found["sample"] = at
        elif ptype == 4:
            found["ft"] = at
        elif etype == 11:
            found["anno"] = at
    return found


def get_vell_data(path, request):
    """The result of ``getVellData(path, request)`` as a dict: ``"class"`` and the attributes."""
    request = tuple(word.upper() for word in request)
    with open(path, "rb") as f:
        m = FileModel(f)
        found = _locate(m.directory(), request)
        params = m.params(found["params"])
        for key in ("acq", "inst", "sample", "ft"):
            if found[key] != -1:
                params.update(m.params(found[key]))
        npt = params["NPT"]
        out = {"dimension": request[1], "dataType": request[0], "derivative": request[2], "parameters": params,
               "x": np.linspace(params["FXV"], params["LXV"], npt), "minY": params["MNY"], "maxY": params["MXY"]}
        trace = request[0] == "TRC"
        if request[1] == "2D":
            f.seek(found["data"])
            out.update({"class": "SingleDataReturn", "y": m.floats(npt)})
        elif all(name in params for name in MAPPING):
            out.update(_image_map(m, found, params, npt, request[2], trace))
        elif found["anno"] != -1:
            out.update(_multi_region(m, found, npt, trace))
        else:
            out.update(_time_resolved(m, found, npt, trace))
    return out


def _image_map(m, found, params, npt, deriv, trace):
    grid = [params[name] for name in ("AOX", "AOY", "DDX", "DDY", "NPX", "NPY")]
    if deriv != "NONE" and (grid[4] == 0 or grid[5] == 0):
        original = m.params(found["original"])
        grid = [original[name] for name in ("AOX", "AOY", "DDX", "DDY", "NPX", "NPY")]
        params.update(zip(("AOX", "AOY", "DDX", "DDY", "NPX", "NPY"), grid))
    aox, aoy, ddx, ddy, npx, npy = grid
    out = {"mapX": np.linspace(aox, aox + ddx * (npx - 1), npx), "mapY": np.linspace(aoy, aoy + ddy * (npy - 1), npy)}
    offsets, info_size = m.record_offsets(found["data"])
    if trace:
        maps, labels = [], []
        for at in offsets.values():
            m.f.seek(at)
            maps.append(m.floats(npt).reshape(npy, npx))
            labels.append(m.label_after_values(info_size))
        out.update({"class": "ImageTRCDataReturn", "labels": labels, "traces": np.dstack(maps)})
    else:
        spectra = np.zeros((npy, npx, npt), dtype=np.float32)
        for i, at in enumerate(offsets.values()):
            m.f.seek(at)
            spectra[i // npx][i % npx] = m.floats(npt)
        out.update({"class": "ImageDataReturn", "spectra": spectra})
    return out


def _time_resolved(m, found, npt, trace):
    offsets, info_size = m.record_offsets(found["data"])
    rows, extra = [], []
    for at in offsets.values():
        m.f.seek(at)
        rows.append(m.floats(npt))
        if trace:
            extra.append(m.label_after_values(info_size))
        else:
            m.f.seek(136, 1)
            extra.append(m.field("<d"))
    if trace:
        return {"class": "TimeResolvedTRCDataReturn", "labels": extra, "traces": np.vstack(rows)}
    return {"class": "TimeResolvedDataReturn", "z": np.array(extra), "spectra": np.vstack(rows)}


def region_spans(table):
    """(first row, positions, title) of each region of an annotation table
    (columns by name), one at a time: every group's first row is found
    before any region is formed, groups of Type 0 only."""
    groups = table["Group"]
    for first in [groups.index(int(g)) for g in set(groups)]:
        if table["Type"][first] != 0:
            continue
        group, nx, ny = groups[first], table["AryNX"][first], table["AryNY"][first]
        count = nx * ny
        if count == 0 and table["AryType"][first] == 0:
            count = groups.count(group)
            title = "Region {0} ({1} points)".format(group, count)
        else:
            title = "Region {0} ({1} x {2})".format(group, nx, ny)
        yield first, count, title


def _multi_region(m, found, npt, trace):
    table = m.annotations(found["anno"])
    offsets, info_size = m.record_offsets(found["data"])
    traces, labels = None, []
    if trace:
        rows = []
        for at in offsets.values():
            m.f.seek(at)
            rows.append(m.floats(npt))
            labels.append(m.label_after_values(info_size))
        traces = np.vstack(rows)
    regions = []
    for i, count, title in region_spans(table):
        region = {"title": title, "mapX": np.zeros(count), "mapY": np.zeros(count),
                  "start_time": None if trace else np.zeros(count),
                  "spectra": np.zeros((count, traces.shape[0] if trace else npt), dtype=np.float32)}
        for k in range(count):
            j = i + k
            findex = table["Fileindex"][j]
            region["mapX"][k], region["mapY"][k] = table["X"][j], table["Y"][j]
            if trace:
                region["spectra"][k] = traces[:, findex - 1]
            else:
                m.f.seek(offsets[findex])
                region["spectra"][k] = m.floats(npt)
                m.f.seek(136, 1)
                region["start_time"][k] = m.field("<d")
        regions.append(region)
    if trace:
        return {"class": "MultiRegionTRCDataReturn", "labels": labels, "regions": regions}
    return {"class": "MultiRegionDataReturn", "regions": regions}


def _suffix(n):
    def letters(m):
        d, r = divmod(m, 26)
        return (letters(d - 1) if d else "") + chr(65 + r)
    if n < 100:
        return "{0:02d}".format(n)
    return "A" + letters(n - 100) if n < 126 else letters(n - 74)


def get_vis_images(path):
    """The result of ``getVisImages(path)`` without the image kinds: a list of dicts."""
    with open(path, "rb") as f:
        m = FileModel(f)
        block = next((e for e in m.directory() if e[0][5] == 20), None)
        if block is None:
            return []
        offset, end = block[2], block[2] + 4 * block[1]
        lists = {}
        f.seek(offset)
        while f.tell() != end:
            at = f.tell()
            found = f.read(16).find(b"BID")
            if found < 0:
                break
            listed = m.params(at + found)
            if "BID" not in listed or block_fields(listed["BID"])[5] != 20:
                break
            lists.update(listed)
            last = _suffix(lists["NRP"] - 1)
            f.seek(offset + lists["F" + last] + lists["Z" + last])
            if f.tell() <= at + found:
                break
        images = []
        for n in range(lists["NRP"]):
            entry = offset + lists["F" + _suffix(n)]
            params = m.params(entry)
            image = {}
            for name, value in params.items():
                if name == "H00":
                    image["Title"] = value
                elif name.startswith("H"):
                    image[value.rstrip(":")] = params[name.replace("H", "V")]
            if params["T00"] == 9:
                f.seek(entry + params["SIZ"] + params["F00"])
                data = m.read(image["Bytes"])
                image["image"] = data[14:] if image["Type"] == 258 else data
            images.append(image)
    return images


def assert_same(result, expected):
    """Asserts that a result object of the module holds what the model read."""
    assert type(result).__name__ == expected["class"]
    for name, value in expected.items():
        if name == "class":
            continue
        actual = getattr(result, name)
        if name == "regions":
            assert len(actual) == len(value)
            for region, model in zip(actual, value):
                assert region.title == model["title"]
                for key in ("mapX", "mapY", "start_time", "spectra"):
                    _assert_value(getattr(region, key), model[key])
        else:
            _assert_value(actual, value)


def _assert_value(actual, expected):
    if isinstance(expected, np.ndarray):
        assert isinstance(actual, np.ndarray)
        assert actual.dtype == expected.dtype and actual.shape == expected.shape
        np.testing.assert_array_equal(actual, expected)
    else:
        assert type(actual) is type(expected)
        assert actual == expected
