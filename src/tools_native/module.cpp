// vellkit_tools._native: the module (its state, made once at import, and
// its function table). The plans are in plans.cpp, the reads in reads.cpp.
#include "pyglue/pyref.hpp"  // includes Python.h first

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "tools_native/functions.hpp"
#include "pyglue/objects.hpp"
#include "tools_native/native_call.hpp"

namespace vellkit::tools {

namespace {

using py::Ref;

PyMethodDef kMethods[] = {
    {"describe_file", fn_describe_file, METH_O, "describe_file(path) -> dict: the header-only description of a file"},
    {"plan_block", fn_plan_block, METH_VARARGS,
     "plan_block(path, block) -> dict: what one data block is and where its values lie"},
    {"read_points", (PyCFunction)(void (*)(void))fn_read_points, METH_VARARGS | METH_KEYWORDS,
     "read_points(path, offsets, npt, start, length, identity=None) -> float32 array (records, length)"},
    {"read_values", (PyCFunction)(void (*)(void))fn_read_values, METH_VARARGS | METH_KEYWORDS,
     "read_values(path, offset, npt, identity=None) -> float32 array: the values of a 2D block"},
    {"read_times", (PyCFunction)(void (*)(void))fn_read_times, METH_VARARGS | METH_KEYWORDS,
     "read_times(path, offsets, npt, identity=None) -> float64 array: info-record times"},
    {"read_labels", (PyCFunction)(void (*)(void))fn_read_labels, METH_VARARGS | METH_KEYWORDS,
     "read_labels(path, offsets, npt, info_size, identity=None) -> list of trace labels"},
    {"plan_regions", (PyCFunction)(void (*)(void))fn_plan_regions, METH_VARARGS | METH_KEYWORDS,
     "plan_regions(path, block) -> list of regions: group, title, map_x, map_y, start_time, records"},
    {"read_annotations", (PyCFunction)(void (*)(void))fn_read_annotations, METH_VARARGS | METH_KEYWORDS,
     "read_annotations(path, offset, identity=None) -> list of (name, type, values): an annotation block"},
    {"counters", fn_counters, METH_NOARGS, "counters() -> (records read, value bytes read)"},
    {"reset_counters", fn_reset_counters, METH_NOARGS, "reset_counters(): set both counters to zero"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

template <typename Visit>
void for_each_slot(NativeState* st, Visit&& visit) {
    visit(st->np_empty);
    visit(st->np_float32);
    visit(st->np_float64);
}

namespace {

int clear(PyObject* module) {
    py::clear_slots<NativeState>(module);
    return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_native", "Record-level reads of VELL data blocks for vellkit_tools.",
    sizeof(NativeState), kMethods, nullptr, py::traverse_slots<NativeState>, clear, free_module,
};

// numpy.empty and the dtypes, looked up once.
bool init_state(NativeState* st) {
    new (&st->records_read) std::atomic<unsigned long long>(0);
    new (&st->bytes_read) std::atomic<unsigned long long>(0);
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    st->np_empty = PyObject_GetAttrString(numpy.get(), "empty");
    st->np_float32 = PyObject_GetAttrString(numpy.get(), "float32");
    st->np_float64 = PyObject_GetAttrString(numpy.get(), "float64");
    return st->np_empty && st->np_float32 && st->np_float64;
}

}  // namespace

}  // namespace vellkit::tools

VELLKIT_MODULE_INIT(_native) {
    PyObject* module = PyModule_Create(&vellkit::tools::kModule);
    if (!module) return nullptr;
    if (!vellkit::tools::init_state(vellkit::tools::native_state(module))) {
        Py_DECREF(module);
        return nullptr;
    }
    // Its state is made at import and read-only after, but for atomic
    // counters; reads use only their own arguments: a free-threaded
    // interpreter may keep the GIL off.
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
#endif
    return module;
}
