// numpy arrays made through numpy's own functions (so that their errors are
// numpy's), then filled in place through the buffer protocol.
#pragma once

#include <cstdint>

#include "bindings/common/module_state.hpp"
#include "pyglue/objects.hpp"

namespace vellkit::py {

// numpy.empty / numpy.zeros with a shape object (an int or a tuple) and a dtype.
Ref np_empty(ModuleState* st, PyObject* shape, PyObject* dtype);
Ref np_zeros(ModuleState* st, PyObject* shape, PyObject* dtype);

// numpy.linspace(start, stop, num) for plain values (0 <= num <= 2^40),
// computed here value for value as numpy computes it.
Ref linspace(ModuleState* st, double start, double stop, long long num);
// numpy.linspace itself, for values that are not plain (a replay).
inline Ref np_linspace(ModuleState* st, PyObject* start, PyObject* stop, PyObject* num) {
    return Ref::check(PyObject_CallFunctionObjArgs(st->np_linspace, start, stop, num, nullptr));
}

}  // namespace vellkit::py
