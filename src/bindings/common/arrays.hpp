// numpy arrays made through numpy's own functions (so that their errors are
// numpy's), then filled in place through the buffer protocol.
#pragma once

#include <cstdint>

#include "bindings/common/module_state.hpp"

namespace vellkit::py {

// A writable, C-contiguous view of an array's memory, released on scope exit.
class WritableView {
public:
    explicit WritableView(PyObject* array);
    ~WritableView() { PyBuffer_Release(&view_); }
    WritableView(const WritableView&) = delete;
    WritableView& operator=(const WritableView&) = delete;
    void* data() const { return view_.buf; }
    Py_ssize_t bytes() const { return view_.len; }

private:
    Py_buffer view_;
};

// numpy.empty / numpy.zeros with a shape object (an int or a tuple) and a dtype.
Ref np_empty(ModuleState* st, PyObject* shape, PyObject* dtype);
Ref np_zeros(ModuleState* st, PyObject* shape, PyObject* dtype);
Ref shape_tuple(std::initializer_list<long long> dims);

// numpy.linspace(start, stop, num): computed here, value for value as numpy
// computes it, when start and stop are plain numbers and num a plain int;
// anything else goes to numpy itself.
Ref linspace(ModuleState* st, PyObject* start, PyObject* stop, PyObject* num);

}  // namespace vellkit::py
