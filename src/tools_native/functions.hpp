// The functions of vellkit_tools._native, each defined in its own unit and
// listed in the method table of module.cpp, and the module's state.
#pragma once

#include <atomic>

#include "pyglue/pyref.hpp"

namespace vellkit::tools {

// Made once at import, freed with the module.
struct NativeState {
    PyObject* np_empty;
    PyObject* np_float32;
    PyObject* np_float64;
    // What the reads have delivered, for tests and benchmarks that check
    // that a selection reads only what it needs.
    std::atomic<unsigned long long> records_read;
    std::atomic<unsigned long long> bytes_read;
};

inline NativeState* native_state(PyObject* module) { return static_cast<NativeState*>(PyModule_GetState(module)); }

// plans.cpp: the core's plans. describe_file(path) describes a file from
// its headers, plan_block(path, block) one block.
PyObject* fn_describe_file(PyObject* module, PyObject* path);
PyObject* fn_plan_block(PyObject* module, PyObject* args);

// reads.cpp
PyObject* fn_read_points(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_read_values(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_read_times(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_read_labels(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_counters(PyObject* module, PyObject* unused);
PyObject* fn_reset_counters(PyObject* module, PyObject* unused);

// regions.cpp: the regions of a multi-region map or trace map.
PyObject* fn_plan_regions(PyObject* module, PyObject* args, PyObject* kwargs);
// regions.cpp: the columns of an annotation block.
PyObject* fn_read_annotations(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vellkit::tools
