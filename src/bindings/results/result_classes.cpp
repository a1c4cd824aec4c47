#include "bindings/results/result_classes.hpp"

#include <string>
#include <vector>

#include "pyglue/errors.hpp"

#include "bindings/common/objects.hpp"

namespace vellkit::py {

namespace {

const char* const kClassNames[kResultClassCount] = {
    "BaseDataReturn",          "SingleDataReturn",       "ImageDataReturn",
    "ImageTRCDataReturn",      "TimeResolvedDataReturn", "TimeResolvedTRCDataReturn",
    "MultiRegionDataReturn",   "Region",                 "MultiRegionTRCDataReturn",
};

const char* const kResultNames[kResultNameCount] = {
    "y", "dimension", "dataType", "derivative", "parameters", "x", "minY", "maxY", "description", "__init__",
    "super", "__builtins__", "Region", "title", "spectra", "mapX", "mapY", "start_time",
};

// The one str constant of a code object, or nullptr when it has none or
// several (the description texts of the __init__ methods).
PyObject* sole_text_constant(PyObject* code) {
    Ref consts = Ref::check(PyObject_GetAttrString(code, "co_consts"));
    if (!PyTuple_Check(consts.get())) return nullptr;
    PyObject* found = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
        if (!PyUnicode_CheckExact(item)) continue;
        if (found) return nullptr;
        found = item;
    }
    Py_XINCREF(found);
    return found;
}

// Class bodies. They run with `vellkit` as their module name, so that their
// functions and classes belong to the module like any Python class would.
const char kClassSource[] = R"PY(
class BaseDataReturn(object):
    def __init__(self, dimension, dataType, deriv, parameters, x, minY, maxY):
        self.dimension = dimension
        self.dataType = dataType
        self.derivative = deriv
        self.parameters = parameters
        self.x = x
        self.minY = minY
        self.maxY = maxY
        self.description = ("This object contains:\n\tdimension of file (.dimension)\n"
                            "\tdata block type (.dataType)\n\tderivative type (.derivative)\n"
                            "\tdictionary of parameters with parameter name then value (.parameters)\n"
                            "\tspectrum x coordinates (.x)\n"
                            "\tminimum and maximum y values (.minY and .maxY)\n")

    def __str__(self):
        return self.description

    def __repr__(self):
        return self.description

_bind(BaseDataReturn)

class SingleDataReturn(BaseDataReturn):
    def __init__(self, y, **kwds):
        self.y = y
        super().__init__(**kwds)
        self.description = self.description + "\ty data points (.y)\n"

_bind(SingleDataReturn)

class ImageDataReturn(BaseDataReturn):
    def __init__(self, mapX, mapY, spectra, **kwds):
        self.mapX = mapX
        self.mapY = mapY
        self.spectra = spectra
        super().__init__(**kwds)
        self.description = self.description + (
            "\tx mapping coordinates (.mapX)\n\ty mapping coordinates (.mapY)\n"
            "\t3D numpy array containing the spectrum associated with the x and y mapping coordinates (.spectra)\n"
            "\t\t\tMap x\n\t\t  x1  x2  x3  x4...xn\nMap y\t\ty1\n\t\ty2\n\t\ty3\n\t\t.\n\t\t.\n\t\tyn\n\t\n"
            "\taccess the spectrum with returnedObject.spectra[row][column]\n")

_bind(ImageDataReturn)

class ImageTRCDataReturn(BaseDataReturn):
    def __init__(self, mapX, mapY, labels, traces, **kwds):
        self.mapX = mapX
        self.mapY = mapY
        self.labels = labels
        self.traces = traces
        super().__init__(**kwds)
        self.description = self.description + (
            "\tx mapping coordinates (.mapX)\n\ty mapping coordinates (.mapY)\n"
            "\ta list containing the names of the trace blocks (.labels)\n"
            "\t3D numpy array containing the trace values associated with the x and y mapping coordinates (.traces)\n"
            "\t\t\tMap x\n\t\t  x1  x2  x3  x4...xn\nMap y\t\ty1\n\t\ty2\n\t\ty3\n\t\t.\n\t\t.\n\t\tyn\n\t\n"
            "\taccess the trace maps with returnedObject.traces[:,:,label index]\n")

_bind(ImageTRCDataReturn)

class TimeResolvedDataReturn(BaseDataReturn):
    def __init__(self, z, spectra, **kwds):
        self.z = z
        self.spectra = spectra
        super().__init__(**kwds)
        self.description = self.description + (
            "\tz (time) axis coordinates (.z)\n"
            "\t2D numpy array containing the spectrum associated with the z time coordinates (.spectra)\n"
            "\taccess the spectrum with returnedObject.spectra[z]\n")

_bind(TimeResolvedDataReturn)

class TimeResolvedTRCDataReturn(BaseDataReturn):
    def __init__(self, labels, traces, **kwds):
        self.labels = labels
        self.traces = traces
        super().__init__(**kwds)
        self.description = self.description + (
            "\ta list containing the names of the trace blocks (.labels)\n"
            "\t2D numpy array containing trace values (.traces)\n"
            "\taccess the trace with returnedObject.traces[label index]\n")

_bind(TimeResolvedTRCDataReturn)

class MultiRegionDataReturn(BaseDataReturn):
    def __init__(self, regions, **kwds):
        self.regions = regions
        super().__init__(**kwds)
        self.description = self.description + (
            "\tlist of regions (.regions)\n\n\teach region is a Region object containing:\n"
            "\t\tdescription of region (title)\n\t\tx mapping coordinates array (mapX)\n"
            "\t\ty mapping coordinates array (mapY)\n"
            "\t\ttimestamps of spectrum acquisition array (start_time)\n"
            "\t\t2D array containing spectra in the region (spectra)\n\t\taccess a spectrum with\n"
            "\t\t\treturnedObject.regions[region index].spectra[row]")

_bind(MultiRegionDataReturn)

class Region(object):
    def __init__(self, title, mapX, mapY, start_time, spectra):
        self.title = title
        self.mapX = mapX
        self.mapY = mapY
        self.start_time = start_time
        self.spectra = spectra

    def __repr__(self):
        return self.title

_bind(Region)

class MultiRegionTRCDataReturn(BaseDataReturn):
    def __init__(self, labels, regions, **kwds):
        self.labels = labels
        self.regions = regions
        super().__init__(**kwds)
        self.description = self.description + (
            "\ta list containing the names of the trace blocks (.labels)\n\tlist of regions (.regions)\n\n"
            "\teach region is a Region object containing:\n\t\tdescription of region (title)\n"
            "\t\tx mapping coordinates array (mapX)\n\t\ty mapping coordinates array (mapY)\n"
            "\t\t2D array containing traces in the region (spectra)\n"
            "\t\taccess the traces for a position with\n"
            "\t\t\treturnedObject.regions[region index].spectra[row]")

_bind(MultiRegionTRCDataReturn)
)PY";

// Docstrings: summary and note paragraphs indented by four spaces, attribute
// lines by eight (or by their own continuation indent).
struct AttributeLine {
    const char* text;
    int indent;
};

std::string docstring(std::initializer_list<const char*> summary, std::initializer_list<const char*> note,
                      bool shared_block, const char* x_line, std::initializer_list<AttributeLine> own) {
    std::string d = "\n";
    for (const char* line : summary) d += std::string("    ") + line + "\n";
    if (note.size()) {
        d += "\n";
        for (const char* line : note) d += std::string("    ") + line + "\n";
    }
    d += "\n    Attributes:\n";
    auto add = [&](const char* text, int indent) { d += std::string((size_t)indent, ' ') + text + "\n"; };
    if (shared_block) {
        add("description (str):  Description of the data object attributes", 8);
        add("dimension (str):    Datablock dimensions (2D or 3D)", 8);
        add("dataType (str):     The datablock type (AB, TR, SSC, etc)", 8);
        add("derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)", 8);
        add("parameters (dict):  Dictionary of relevant data/sample/instrument parameters", 8);
        add(x_line, 8);
        add("minY (float):       Minimum y value", 8);
        add("maxY (float):       Maximum y value", 8);
    }
    for (const AttributeLine& line : own) add(line.text, line.indent);
    d += "    ";
    return d;
}

const char kSpectrumX[] = "x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates";
const char kTraceX[] = "x (:obj:`ndarray`): 1D numpy array of trace x coordinates";
const char kMultiSummary1[] = "Hyperspectral multiregion point map(s) returned by .getVellData() for";
const char kMultiSummary2[] = "multiregion 3D point mapping datablocks.";
const char kMultiNote1[] = "Maps are _not_ guaranteed to be perfect XY grids and so spectral coordinates";
const char kMultiNote2[] = "cannot be specfied by origin point and dx/dy values as in :class:ImageDataReturn.";
const char kMapX[] = "mapX (:obj:`ndarray`):      1D numpy array of X map coordinates";
const char kMapY[] = "mapY (:obj:`ndarray`):      1D numpy array of Y map coordinates";

std::string class_docstring(ResultClass kind) {
    switch (kind) {
    case kBaseDataReturn:
        return docstring({"Base class for data object returned by .getVellData()."}, {}, true, kSpectrumX, {});
    case kSingleDataReturn:
        return docstring({"Single spectrum data object returned by .getVellData() for 2D datablocks."}, {}, true,
                         kSpectrumX, {{"y (:obj:`ndarray`): 1D numpy array of y values", 8}});
    case kImageDataReturn:
        return docstring({"Hyperspectral data object returned by .getVellData() for 3D image datablocks."}, {}, true,
                         kSpectrumX,
                         {{kMapX, 8},
                          {kMapY, 8},
                          {"spectra (:obj:`ndarray`):   3D numpy array of spectral maps", 8},
                          {"dataObject.spectra[row][column][x]", 36}});
    case kImageTRCDataReturn:
        return docstring({"Map(s) of a single spectral feature/integral/calculation returned by",
                          ".getVellData() for 3D image TRC datablocks."},
                         {}, true, kSpectrumX,
                         {{kMapX, 8},
                          {kMapY, 8},
                          {"labels (:obj:`list` of :obj:`str`):      List of trace block names", 8},
                          {"traces (:obj:`list` of :obj:`ndarray`):  3D numpy array of trace maps with", 8},
                          {"same index as labels:", 49},
                          {"dataObject.traces[:,:,index]", 49}});
    case kTimeResolvedDataReturn:
        return docstring({"Time-resolved spectra data object returned by .getVellData() for 3D-TRS datablocks."},
                         {"Z Axis units are available from dataObject.parameters['ZTX']"}, true, kSpectrumX,
                         {{"z (:obj:`ndarray`): 1D numpy array of z (time) axis coordinates", 8},
                          {"spectra (:obj:`ndarray`):   2D numpy array of spectral time series", 8},
                          {"dataObject.spectra[z][x]", 36}});
    case kTimeResolvedTRCDataReturn:
        return docstring({"Time-resolved trace data object returned by .getVellData() for 3D-TRS TRC datablocks."},
                         {"x axis units are available from dataObject.parameters['DXU']"}, true, kTraceX,
                         {{"labels (:obj:`list` of :obj:`str`):      List of trace names", 8},
                          {"traces (:obj:`list` of :obj:`ndarray`):  2D numpy array of traces with", 8},
                          {"same index as labels:", 49},
                          {"dataObject.traces[index]", 49}});
    case kMultiRegionDataReturn:
        return docstring({kMultiSummary1, kMultiSummary2}, {kMultiNote1, kMultiNote2}, true, kSpectrumX,
                         {{"regions (:obj:`list` of :obj:`Region`): List of regions.", 8},
                          {"Each region is a :class:Region containing", 28},
                          {"regions[0].title (str):     description of region", 8},
                          {"regions[0].mapX (ndarray):  1D numpy array of X map coordinates", 8},
                          {"regions[0].mapY (ndarray):  1D numpy array of Y map coordinates", 8},
                          {"regions[0].start_time (ndarray):   timestamps of spectrum acquisition array", 8},
                          {"regions[0].spectra (ndarray):   2D numpy array of of spectra in the region:", 8},
                          {"returnedObject.regions[region index].spectra[row]", 40}});
    case kRegion:
        return docstring({"Returned as part of a :class:MultiRegionDataReturn."}, {}, false, nullptr,
                         {{"title (str):        description of region", 8},
                          {"mapX (ndarray):     1D numpy array of X map coordinates", 8},
                          {"mapY (ndarray):     1D numpy array of Y map coordinates", 8},
                          {"start_time (ndarray):  timestamps of spectrum acquisition array", 8},
                          {"spectra (ndarray):  2D numpy array of of spectra in the region:", 8},
                          {"spectra[row]", 28}});
    case kMultiRegionTRCDataReturn:
        return docstring({kMultiSummary1, kMultiSummary2}, {kMultiNote1, kMultiNote2}, true, kSpectrumX,
                         {{"labels (:obj:`list` of :obj:`str`):      List of trace block names", 8},
                          {"regions (:obj:`list` of :obj:`Region`): List of regions.", 8},
                          {"Each region is a :class:Region containing", 28},
                          {"regions[0].title (str):     description of region", 8},
                          {"regions[0].mapX (ndarray):  1D numpy array of X map coordinates", 8},
                          {"regions[0].mapY (ndarray):  1D numpy array of Y map coordinates", 8},
                          {"regions[0].spectra (ndarray):   2D numpy array of traces in the region:", 8},
                          {"returnedObject.regions[region index].spectra[row]", 40},
                          {"As with :class:ImageTRCDataReturn, the index of the", 40},
                          {"resulting array corresponds to the .labels index", 40}});
    case kResultClassCount:
        break;
    }
    return std::string();
}

// `_bind(cls)` while the class bodies run: sets the docstring and binds the
// class in the module namespace at once, as each class comes into being.
PyObject* bind_class(PyObject* module, PyObject* cls) {
    return guarded([&]() -> PyObject* {
        ModuleState* state = state_of(module);
        const char* name = reinterpret_cast<PyTypeObject*>(cls)->tp_name;
        for (int k = 0; k < kResultClassCount; ++k) {
            if (std::string(kClassNames[k]) != name) continue;
            std::string doc = class_docstring(static_cast<ResultClass>(k));
            Ref doc_str = Ref::check(PyUnicode_FromStringAndSize(doc.data(), (Py_ssize_t)doc.size()));
            check_status(PyObject_SetAttrString(cls, "__doc__", doc_str.get()));
            check_status(PyDict_SetItemString(PyModule_GetDict(module), name, cls));
            Py_XSETREF(state->own_classes[k], Ref::from_borrowed(cls).release());
            Ref init = Ref::check(PyObject_GetAttrString(cls, "__init__"));
            Ref code = Ref::check(PyObject_GetAttrString(init.get(), "__code__"));
            Py_XSETREF(state->own_init_texts[k], sole_text_constant(code.get()));
            Py_XSETREF(state->own_init_codes[k], code.release());
            break;
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef kBindDef = {"_bind", (PyCFunction)bind_class, METH_O, nullptr};

}  // namespace

void create_result_classes(PyObject* module, ModuleState* state) {
    for (int i = 0; i < kResultNameCount; ++i)
        Py_XSETREF(state->result_names[i], Ref::check(PyUnicode_InternFromString(kResultNames[i])).release());
    Ref bind = Ref::check(PyCFunction_New(&kBindDef, module));
    Ref globals = Ref::check(PyDict_New());
    Ref name = new_str("vellkit");
    check_status(PyDict_SetItemString(globals.get(), "__name__", name.get()));
    check_status(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
    check_status(PyDict_SetItemString(globals.get(), "_bind", bind.get()));
    Ref code = Ref::check(Py_CompileString(kClassSource, "vellkit", Py_file_input));
    Ref done = Ref::check(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    // The classes' methods keep these globals: without `_bind` in them,
    // nothing can rewrite the module state once import is over.
    check_status(PyDict_DelItemString(globals.get(), "_bind"));
    for (int k = 0; k < kResultClassCount; ++k) {
        if (!state->own_classes[k]) {
            PyErr_Format(PyExc_SystemError, "vellkit: class %s was not created", kClassNames[k]);
            throw PyError();
        }
    }
}

Ref result_class(PyObject* module, ResultClass kind) { return module_global(module, kClassNames[kind]); }

void add_keywords(PyObject* kwargs, std::initializer_list<std::pair<const char*, PyObject*>> keywords) {
    for (const auto& kw : keywords) check_status(PyDict_SetItemString(kwargs, kw.first, kw.second));
}

Ref call_with_keywords(PyObject* cls, PyObject* kwargs) {
    Ref args = Ref::check(PyTuple_New(0));
    return Ref::check(PyObject_Call(cls, args.get(), kwargs));
}

Ref call_with_keywords(PyObject* cls, std::initializer_list<std::pair<const char*, PyObject*>> keywords) {
    Ref kwargs = Ref::check(PyDict_New());
    add_keywords(kwargs.get(), keywords);
    return call_with_keywords(cls, kwargs.get());
}

namespace {

// The function bound as `__init__` in a class's own namespace, when it is a
// plain function whose code is `code`.
PyObject* own_init(PyTypeObject* type, PyObject* init_name, PyObject* code) {
    PyObject* init = PyDict_GetItemWithError(type->tp_dict, init_name);
    if (!init && PyErr_Occurred()) throw PyError();
    return init && PyFunction_Check(init) && PyFunction_GET_CODE(init) == code ? init : nullptr;
}

// Whether calling `cls` runs only what import made: SingleDataReturn's
// __init__, whose super() (the builtin, through its __class__ cell and the
// class's bases as made) reaches BaseDataReturn's __init__.
bool single_class_unchanged(ModuleState* st, PyObject* cls) {
    PyObject* base = st->own_classes[kBaseDataReturn];
    if (cls != st->own_classes[kSingleDataReturn] || Py_TYPE(cls) != &PyType_Type || !base) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_new != PyBaseObject_Type.tp_new || !st->own_init_texts[kBaseDataReturn] ||
        !st->own_init_texts[kSingleDataReturn])
        return false;
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro) || PyTuple_GET_SIZE(mro) != 3 || PyTuple_GET_ITEM(mro, 0) != cls ||
        PyTuple_GET_ITEM(mro, 1) != base || PyTuple_GET_ITEM(mro, 2) != (PyObject*)&PyBaseObject_Type)
        return false;
    PyObject* init_name = st->result_names[kNameInit];
    PyObject* init = own_init(type, init_name, st->own_init_codes[kSingleDataReturn]);
    if (!init || !own_init(reinterpret_cast<PyTypeObject*>(base), init_name, st->own_init_codes[kBaseDataReturn]))
        return false;
    PyObject* closure = PyFunction_GET_CLOSURE(init);
    if (!closure || !PyTuple_Check(closure) || PyTuple_GET_SIZE(closure) != 1) return false;
    PyObject* cell = PyTuple_GET_ITEM(closure, 0);
    if (!PyCell_Check(cell) || PyCell_GET(cell) != cls) return false;
    // `super` as the function finds it: not in its globals, the builtin in
    // its builtins.
    PyObject* globals = PyFunction_GET_GLOBALS(init);
    if (!PyDict_Check(globals)) return false;
    PyObject* shadow = PyDict_GetItemWithError(globals, st->result_names[kNameSuper]);
    if (!shadow && PyErr_Occurred()) throw PyError();
    if (shadow) return false;
    PyObject* builtins = PyDict_GetItemWithError(globals, st->result_names[kNameBuiltins]);
    if (!builtins || !PyDict_Check(builtins)) {
        if (PyErr_Occurred()) throw PyError();
        return false;
    }
    PyObject* super = PyDict_GetItemWithError(builtins, st->result_names[kNameSuper]);
    if (!super && PyErr_Occurred()) throw PyError();
    return super == (PyObject*)&PySuper_Type;
}

}  // namespace

Ref make_single_result(PyObject* module, const SingleResult& v) {
    ModuleState* st = state_of(module);
    Ref cls = result_class(module, kSingleDataReturn);
    if (!single_class_unchanged(st, cls.get())) {
        return call_with_keywords(cls.get(), {{"dimension", v.dimension},
                                              {"dataType", v.data_type},
                                              {"deriv", v.deriv},
                                              {"x", v.x},
                                              {"y", v.y},
                                              {"minY", v.min_y},
                                              {"maxY", v.max_y},
                                              {"parameters", v.parameters}});
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    Ref no_args = Ref::check(PyTuple_New(0));
    Ref result = Ref::check(type->tp_new(type, no_args.get(), nullptr));
    PyObject* obj = result.get();
    PyObject* const* names = st->result_names;
    // SingleDataReturn.__init__, then BaseDataReturn.__init__ through super().
    check_status(PyObject_SetAttr(obj, names[kNameY], v.y));
    const std::pair<ResultName, PyObject*> base_attrs[] = {
        {kNameDimension, v.dimension}, {kNameDataType, v.data_type}, {kNameDerivative, v.deriv},
        {kNameParameters, v.parameters}, {kNameX, v.x}, {kNameMinY, v.min_y},
        {kNameMaxY, v.max_y}, {kNameDescription, st->own_init_texts[kBaseDataReturn]},
    };
    for (const auto& attr : base_attrs) check_status(PyObject_SetAttr(obj, names[attr.first], attr.second));
    Ref description = Ref::check(PyObject_GetAttr(obj, names[kNameDescription]));
    Ref joined = Ref::check(PyNumber_Add(description.get(), st->own_init_texts[kSingleDataReturn]));
    check_status(PyObject_SetAttr(obj, names[kNameDescription], joined.get()));
    return result;
}

// The names were interned once, at import.
RegionMaker::RegionMaker(PyObject* module)
    : module_(module), st_(state_of(module)), keywords_(st_->result_names + kNameTitle) {
    no_args_ = Ref::check(PyTuple_New(0));
}

bool RegionMaker::own_class_unchanged(PyObject* cls) const {
    if (cls != st_->own_classes[kRegion] || Py_TYPE(cls) != &PyType_Type) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_new != PyBaseObject_Type.tp_new) return false;
    // The class's own __init__ comes first in any order of its bases; its
    // code decides what it does (it reads no globals, defaults or closure).
    PyObject* init = PyDict_GetItemWithError(type->tp_dict, st_->result_names[kNameInit]);
    if (!init && PyErr_Occurred()) throw PyError();
    return init && PyFunction_Check(init) && PyFunction_GET_CODE(init) == st_->own_init_codes[kRegion];
}

Ref RegionMaker::make(PyObject* title, PyObject* spectra, PyObject* map_x, PyObject* map_y, PyObject* start_time) {
    // Looked up for every region, as a Python caller's name lookup would be.
    Ref cls = dict_item(PyModule_GetDict(module_), st_->result_names[kNameRegion]);
    if (!cls) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", kClassNames[kRegion]);
        throw PyError();
    }
    PyObject* values[5] = {title, spectra, map_x, map_y, start_time};
    if (own_class_unchanged(cls.get())) {
        // What calling the class does: object.__new__, then the body of
        // __init__, which sets the five attributes in its own order.
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        Ref region = Ref::check(type->tp_new(type, no_args_.get(), nullptr));
        for (int i : {0, 2, 3, 4, 1}) check_status(PyObject_SetAttr(region.get(), keywords_[i], values[i]));
        return region;
    }
    Ref kwargs = Ref::check(PyDict_New());
    for (int i = 0; i < 5; ++i) check_status(PyDict_SetItem(kwargs.get(), keywords_[i], values[i]));
    return call_with_keywords(cls.get(), kwargs.get());
}

}  // namespace vellkit::py
