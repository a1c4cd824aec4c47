// The module frame: multi-phase initialisation, the namespace in its order,
// the function table and the module state.
#include <cstring>

#include "bindings/common/functions.hpp"
#include "bindings/common/module_state.hpp"
#include "bindings/common/objects.hpp"
#include "bindings/images/imghdr_module.hpp"
#include "bindings/results/result_classes.hpp"
#include "pyglue/objects.hpp"
#include "core/plans/block_plan.hpp"

namespace vellkit::py {

namespace {

// Each docstring starts with a text signature ("name(...)\n--\n\n"): the
// interpreter serves it as __text_signature__ for inspect.signature and
// strips it from __doc__, which keeps exactly the text that follows.
const char kHelpDoc[] =
    "help($module, /)\n--\n\n"
    "\n    Print a help message containing the available functions.\n    ";
const char kListContentsDoc[] =
    "listContents($module, path, /)\n--\n\n"
    "\n    This function returns a list of datablocks for a given file.\n"
    "    Each datablock is identified by blocktype, dimensions and derivative.\n\n"
    "    Args:\n        path (path): Path to file\n\n"
    "    Returns:\n"
    "        list of tuple(str, str, str): List containing a (datablocktype, dimensions, derivative) tuple\n"
    "        for each datablock in the file\n    ";
const char kIsVellFileDoc[] =
    "isVellFile($module, path, /)\n--\n\n"
    "\n    Tests if the given file is an VELL data file.\n\n"
    "    Args:\n        path (path): Path to file\n\n"
    "    Returns:\n        bool: True if an VELL file\n    ";
const char kDecodeStringDoc[] =
    "decode_string($module, /, s, encodings=('ascii', 'utf8', 'latin1'))\n--\n\n"
    "Attempt to decode a string";
const char kGetVellDataDoc[] =
    "getVellData($module, /, path, datablock)\n--\n\n"
    "\n    This function returns a :obj:`DataReturn` object containing the data and\n"
    "    data parameters for    the specified datablock in the given file.\n\n"
    "    Args:\n"
    "        path (path):       Path to file\n"
    "        datablock (tuple of str): tuple(datablocktype, dimensions, derivative)\n"
    "                                  as returned by .listContents()\n\n"
    "    Returns:\n"
    "        :obj:`DataReturn`: Object containing the requested data and associated\n"
    "        parameters. Data structure is as specified in data.description and\n"
    "        can be one of the three types described in :class:`DataReturn`\n    ";
const char kGetVisImagesDoc[] =
    "getVisImages($module, path, /)\n--\n\n"
    "\n    This function returns a list containing a dictionary for each visible image\n"
    "    in the given file.\n\n"
    "    Args:\n        path (path):       Path to file\n\n"
    "    Returns:\n        List containing a dictionary for each visible image in the file.\n\n"
    "        Each dictionary contains:\n\n"
    "        {'image': bytes(),          # Image data\n"
    "         'imgext': 'bmp',           # Image type ('bmp' or 'jpeg')\n"
    "         'Pos. X': 33733.0}         # Useful image attributes\n    ";

PyMethodDef kFunctions[kOwnFunctionCount] = {
    {"help", (PyCFunction)fn_help, METH_NOARGS, kHelpDoc},
    {"listContents", (PyCFunction)fn_list_contents, METH_O, kListContentsDoc},
    {"isVellFile", (PyCFunction)fn_is_vell_file, METH_O, kIsVellFileDoc},
    {"decode_string", (PyCFunction)(void (*)(void))fn_decode_string, METH_VARARGS | METH_KEYWORDS, kDecodeStringDoc},
    {"getVellData", (PyCFunction)(void (*)(void))fn_get_vell_data, METH_VARARGS | METH_KEYWORDS, kGetVellDataDoc},
    {"getVisImages", (PyCFunction)fn_get_vis_images, METH_O, kGetVisImagesDoc},
};

const char* const kParamDict[][2] = {
    {"SNM", "Sample Name"},
    {"SFM", "Sample Form"},
    {"CNM", "Operator Name"},
    {"EXP", "Experiment File"},
    {"XPP", "Experiment Path"},
    {"APT", "Aperture Setting"},
    {"BMS", "Beamsplitter Setting"},
    {"LWN", "Laser Wavenumber"},
    {"SRT", "Start Time"},
    {"DAT", "Date"},
    {"TIM", "Local Time"},
    {"NPT", "Number of Data Points"},
    {"FXV", "First X Value"},
    {"LXV", "Last X Value"},
    {"MNY", "Minimum Y Value"},
    {"MXY", "Maximum Y Value"},
    {"DXU", "X Units"},
    {"HFW", "High Frequency Limit"},
    {"LFW", "Low Frequency Limit"},
    {"HPF", "High Pass Filter"},
    {"LPF", "Low Pass Filter"},
    {"NSS", "Number of Sample Scans"},
    {"NSR", "Number of Reference Scans"},
    {"RES", "Resolution"},
    {"INS", "Instrument Type"},
    {"AN1", "Analog Signal 1"},
    {"AN2", "Analog Signal 2"},
    {"APF", "Apodization Function"},
    {"HFQ", "High Frequency Cutofff (FT)"},
    {"LFQ", "Low Frequency Cutoff (FT)"},
    {"PHZ", "Phase Correction Mode"},
    {"PHR", "Phase Resolution"},
    {"ZFF", "Zero Filling Factor"},
    {"ZTX", "Z Axis Label"},
};

const char* const kReportFormats[5] = {"<h", "<i", "<q", "<f", "<d"};
const char* const kReaderNames[5] = {"readShort", "readInt", "readInt64", "readFloat", "readDouble"};

void bind(PyObject* module, const char* name, PyObject* value) {
    check_status(PyDict_SetItemString(PyModule_GetDict(module), name, value));
}

PyObject* new_ref(PyObject* p) {
    if (!p) throw PyError();
    return p;
}

PyObject* attribute(PyObject* owner, const char* name) { return new_ref(PyObject_GetAttrString(owner, name)); }

// The standard imghdr warns of its removal when imported; that warning is
// the module's business, not the user's. Without it, the module's own.
Ref import_imghdr() {
    Ref warnings = Ref::check(PyImport_ImportModule("warnings"));
    Ref catcher = Ref::check(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
    Ref entered = Ref::check(PyObject_CallMethod(catcher.get(), "__enter__", nullptr));
    Ref ignored = Ref::steal(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore", PyExc_DeprecationWarning));
    Ref imghdr;
    if (ignored) imghdr = Ref::steal(PyImport_ImportModule("imghdr"));
    Ref exited;
    {
        PendingError pending;
        exited = Ref::steal(PyObject_CallMethod(catcher.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
        if (!exited) pending.drop();
    }
    if (!exited) throw PyError();
    if (!imghdr) {
        if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) throw PyError();
        PyErr_Clear();
        return make_imghdr_module();
    }
    return imghdr;
}

void init_state(PyObject* /*module*/, ModuleState* st) {
    st->name_cache = new NameCache();
    Ref builtins = Ref::from_borrowed(PyEval_GetBuiltins());
    st->builtin_open = dict_item(builtins.get(), "open").release();
    st->builtin_print = dict_item(builtins.get(), "print").release();
    if (!st->builtin_open || !st->builtin_print) {
        PyErr_SetString(PyExc_ImportError, "vellkit: the built-ins open and print are missing");
        throw PyError();
    }
    for (int i = 0; i < kBlockNameCount; ++i) {
        PyObject* s = new_ref(PyUnicode_FromString(kBlockNames[i].name));
        PyUnicode_InternInPlace(&s);
        st->block_names[i] = s;
    }
    st->word_2d = new_ref(PyUnicode_InternFromString("2D"));
    st->word_3d = new_ref(PyUnicode_InternFromString("3D"));
    for (int i = 0; i < 4; ++i) st->listing_derivs[i] = new_ref(PyUnicode_InternFromString(listing_deriv_word(i)));
    st->data_block_dict = new_ref(PyDict_New());
    for (int i = 0; i < kBlockNameCount; ++i) {
        Ref codes = Ref::check(Py_BuildValue("(ii)", kBlockNames[i].data_type, kBlockNames[i].sample_type));
        check_status(PyDict_SetItem(st->data_block_dict, st->block_names[i], codes.get()));
    }
    st->deriv_dict = new_ref(PyDict_New());
    for (int i = 0; i < 4; ++i) {
        Ref code = new_int(i);
        check_status(PyDict_SetItemString(st->deriv_dict, request_deriv_word(i), code.get()));
    }
    for (int i = 0; i < 5; ++i) {
        st->report_formats[i] = new_ref(PyUnicode_FromString(kReportFormats[i]));
        st->report_contexts[i] = new_ref(PyUnicode_FromFormat("vellkit.%s", kReaderNames[i]));
        st->report_functions[i] = new_ref(PyUnicode_FromString(kReaderNames[i]));
    }
}

int exec_module(PyObject* module) {
    PyObject* r = guarded([&]() -> PyObject* {
        ModuleState* st = state_of(module);
        init_state(module, st);

        Ref struct_module = Ref::check(PyImport_ImportModule("struct"));
        st->struct_unpack = attribute(struct_module.get(), "unpack");
        bind(module, "unpack", st->struct_unpack);

        Ref numpy = Ref::check(PyImport_ImportModule("numpy"));
        st->np_empty = attribute(numpy.get(), "empty");
        st->np_zeros = attribute(numpy.get(), "zeros");
        st->np_linspace = attribute(numpy.get(), "linspace");
        st->np_vstack = attribute(numpy.get(), "vstack");
        // The dtypes as descriptors, which numpy takes without converting
        // a scalar type on every array made.
        Ref np_dtype = Ref::check(PyObject_GetAttrString(numpy.get(), "dtype"));
        Ref float32 = Ref::check(PyObject_GetAttrString(numpy.get(), "float32"));
        Ref float64 = Ref::check(PyObject_GetAttrString(numpy.get(), "float64"));
        st->np_float32 = Ref::check(PyObject_CallFunctionObjArgs(np_dtype.get(), float32.get(), nullptr)).release();
        st->np_float64 = Ref::check(PyObject_CallFunctionObjArgs(np_dtype.get(), float64.get(), nullptr)).release();
        bind(module, "np", numpy.get());

        Ref imghdr = import_imghdr();
        bind(module, "imghdr", imghdr.get());

        create_result_classes(module, st);

        Ref module_name = new_str("vellkit");
        for (int i = 0; i < kOwnFunctionCount; ++i) {
            PyObject* fn = new_ref(PyCFunction_NewEx(&kFunctions[i], module, module_name.get()));
            st->own_functions[i] = fn;
            bind(module, kFunctions[i].ml_name, fn);
        }

        Ref param_dict = Ref::check(PyDict_New());
        for (const auto& entry : kParamDict) {
            Ref value = new_str(entry[1]);
            check_status(PyDict_SetItemString(param_dict.get(), entry[0], value.get()));
        }
        bind(module, "paramDict", param_dict.get());
        Py_RETURN_NONE;
    });
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

int clear_module(PyObject* module) {
    clear_slots<ModuleState>(module);
    ModuleState* st = state_of(module);
    if (st && st->name_cache) st->name_cache->clear();
    return 0;
}

void free_module(void* module) {
    clear_module(static_cast<PyObject*>(module));
    ModuleState* st = state_of(static_cast<PyObject*>(module));
    if (st) {
        delete st->name_cache;
        st->name_cache = nullptr;
    }
}

// Nothing in the module relies on the GIL to order threads: the state is
// made once at import and read-only afterwards, except the name cache,
// which has its own lock; values are taken from dicts as strong references
// (see dict_item). Interpreters before 3.13 know no such slot.
PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, (void*)exec_module},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "vellkit",
    nullptr,  // no module docstring
    sizeof(ModuleState),
    nullptr,  // functions are bound in order by exec_module
    kSlots,
    traverse_slots<ModuleState>,
    clear_module,
    free_module,
};

}  // namespace

PyObject* fn_help(PyObject* module, PyObject*) {
    return guarded([&]() -> PyObject* {
        static const char* const lines[] = {
            "This library contains the following functions:",
            "\tlistContents('path') :    This function returns a list containing the data blocks, their dimensions "
            "and derivative type",
            "\tisVellFile('path'):    This function returns true if the file is an Vell file, false otherwise",
            "\tgetVellData('path', ('data block type', 'dimensions', 'derivative')):",
            "\t\tThis function returns a Python object that contains a string parameter called description (ie: "
            "returnedObject.description)",
            "\t\tDescription contains the details of what the Python object contains based on the type of data block "
            "requested.",
            "\tgetVisImages('path'):",
            "\t\tThis function returns a list that contains an entry for each visible image in the file.",
            "\n For more detailed descriptions please consult the documentation.",
        };
        ModuleState* st = state_of(module);
        for (const char* line : lines) {
            Ref text = new_str(line);
            Ref::check(PyObject_CallFunctionObjArgs(st->builtin_print, text.get(), nullptr));
        }
        Py_RETURN_NONE;
    });
}

}  // namespace vellkit::py

VELLKIT_MODULE_INIT(vellkit) {
    return PyModuleDef_Init(&vellkit::py::kModuleDef);
}
