// vellkit_tools._native: the module (its state, made once at import, and
// its function table) and the block description the engine uses until the
// plans of the core take over. The reads are in reads.cpp.
#include "pyglue/pyref.hpp"  // includes Python.h first

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "tools_native/block_plan.hpp"
#include "tools_native/functions.hpp"
#include "tools_native/native_call.hpp"

namespace vellkit::tools {

namespace {

using py::Ref;

// [(name, value), ...] in file order.
PyObject* records_list(const std::vector<ParamRecord>& records) {
    Ref list = Ref::steal(PyList_New((Py_ssize_t)records.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < records.size(); ++i) {
        const ParamRecord& rec = records[i];
        Ref value;
        switch (rec.kind) {
        case ParamRecord::Kind::integer:
            value = Ref::steal(PyLong_FromLong(rec.integer));
            break;
        case ParamRecord::Kind::real:
            value = Ref::steal(PyFloat_FromDouble(rec.real));
            break;
        case ParamRecord::Kind::text:
            value = Ref::steal(decode_text(rec.text));
            break;
        }
        if (!value) return nullptr;
        PyObject* item = Py_BuildValue("(s#O)", rec.name.data(), (Py_ssize_t)rec.name.size(), value.get());
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), (Py_ssize_t)i, item);
    }
    return list.release();
}

PyObject* int64_bytes(const std::vector<int64_t>& values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                     (Py_ssize_t)(values.size() * sizeof(int64_t)));
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    if (!value) return false;
    int r = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return r == 0;
}

}  // namespace

PyObject* fn_describe(PyObject*, PyObject* args) {
    return py::guarded([&]() -> PyObject* {
        PyObject* path_object;
        const char *name, *dimensions, *deriv;
        if (!PyArg_ParseTuple(args, "Osss:describe", &path_object, &name, &dimensions, &deriv)) return nullptr;
        NativeCall call(path_object);
        call.open();
        BlockPlan plan;
        std::string name_word(name), dimensions_word(dimensions), deriv_word(deriv);
        call.run([&] { return plan_block(call.source(), name_word, dimensions_word, deriv_word, plan); });
        PyObject* shown = call.shown();
        switch (plan.problem) {
        case PlanProblem::none:
            break;
        case PlanProblem::not_vell:
            return PyErr_Format(PyExc_ValueError, "%U is not a VELL data file", shown);
        case PlanProblem::bad_request:
            return PyErr_Format(PyExc_ValueError, "%U: invalid data block request (%s, %s, %s)", shown, name,
                                dimensions, deriv);
        case PlanProblem::no_block:
            return PyErr_Format(PyExc_ValueError, "%U: no data block %s %s %s in the file", shown, name, dimensions,
                                deriv);
        case PlanProblem::offset_range:
            return PyErr_Format(PyExc_ValueError, "%U: a record of the %s %s %s block lies beyond any file position",
                                shown, name, dimensions, deriv);
        }
        // The record layout handed over: offsets and indices, 8 bytes each.
        call.charge(plan.record_offsets.size(), 2 * sizeof(int64_t));

        Ref result = Ref::check(PyDict_New());
        PyObject* d = result.get();
        Ref blocks = Ref::check(PyList_New(0));
        for (const auto& records : plan.parameter_blocks) {
            Ref list = Ref::steal(records_list(records));
            if (!list || PyList_Append(blocks.get(), list.get()) < 0) return nullptr;
        }
        if (PyDict_SetItemString(d, "parameter_blocks", blocks.get()) < 0) return nullptr;
        PyObject* original = plan.has_original ? records_list(plan.original_parameters) : (Py_INCREF(Py_None), Py_None);
        if (!set_item(d, "original_parameters", original)) return nullptr;
        if (!set_item(d, "file_size", PyLong_FromLongLong(plan.file_size))) return nullptr;
        // What the results of one call may take, as the `vellkit` module allows.
        if (!set_item(d, "memory_limit", PyLong_FromLongLong(call.budget().limit()))) return nullptr;
        if (!set_item(d, "data_offset", PyLong_FromLongLong(plan.blocks.data))) return nullptr;
        if (!set_item(d, "annotation_offset", PyLong_FromLongLong(plan.blocks.annotation))) return nullptr;
        if (plan.three_d) {
            if (!set_item(d, "block_size", PyLong_FromLong(plan.block_size))) return nullptr;
            if (!set_item(d, "info_size", PyLong_FromLong(plan.info_size))) return nullptr;
            if (!set_item(d, "record_indices", int64_bytes(plan.record_indices))) return nullptr;
            if (!set_item(d, "record_offsets", int64_bytes(plan.record_offsets))) return nullptr;
        }
        return result.release();
    });
}

namespace {

PyMethodDef kMethods[] = {
    {"describe", fn_describe, METH_VARARGS,
     "describe(path, name, dimensions, deriv) -> dict: located blocks, parameter blocks and record layout"},
    {"read_points", (PyCFunction)(void (*)(void))fn_read_points, METH_VARARGS | METH_KEYWORDS,
     "read_points(path, offsets, npt, start, length, identity=None) -> float32 array (records, length)"},
    {"read_values", (PyCFunction)(void (*)(void))fn_read_values, METH_VARARGS | METH_KEYWORDS,
     "read_values(path, offset, npt, identity=None) -> float32 array: the values of a 2D block"},
    {"read_times", (PyCFunction)(void (*)(void))fn_read_times, METH_VARARGS | METH_KEYWORDS,
     "read_times(path, offsets, npt, identity=None) -> float64 array: info-record times"},
    {"read_labels", (PyCFunction)(void (*)(void))fn_read_labels, METH_VARARGS | METH_KEYWORDS,
     "read_labels(path, offsets, npt, info_size, identity=None) -> list of trace labels"},
    {"counters", fn_counters, METH_NOARGS, "counters() -> (records read, value bytes read)"},
    {"reset_counters", fn_reset_counters, METH_NOARGS, "reset_counters(): set both counters to zero"},
    {nullptr, nullptr, 0, nullptr},
};

template <typename Visit>
void for_each_slot(NativeState* st, Visit&& visit) {
    visit(st->np_empty);
    visit(st->np_float32);
    visit(st->np_float64);
}

int traverse(PyObject* module, visitproc visit, void* arg) {
    NativeState* st = native_state(module);
    if (!st) return 0;
    int result = 0;
    for_each_slot(st, [&](PyObject* p) {
        if (!result && p) result = visit(p, arg);
    });
    return result;
}

int clear(PyObject* module) {
    NativeState* st = native_state(module);
    if (st) for_each_slot(st, [](PyObject*& p) { Py_CLEAR(p); });
    return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_native", "Record-level reads of VELL data blocks for vellkit_tools.",
    sizeof(NativeState), kMethods, nullptr, traverse, clear, free_module,
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

// PyMODINIT_FUNC exports the function everywhere from 3.9 on; before that it
// does not on ELF and Mach-O, where the module is built with hidden symbols.
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__)
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native(void)
#else
PyMODINIT_FUNC PyInit__native(void)
#endif
{
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
