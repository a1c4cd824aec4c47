#include "pyglue/python_ranges.hpp"

#include <climits>

namespace vellkit::py {

int64_t PythonRanges::size_of(PyObject* source) {
    Ref size = Ref::check(PyObject_GetAttrString(source, "size"));
    if (!PyLong_Check(size.get())) {
        PyErr_Format(PyExc_TypeError, "a byte source's size must be an int, not %.200s", Py_TYPE(size.get())->tp_name);
        throw PyError();
    }
    const long long value = PyLong_AsLongLong(size.get());
    if (value == -1 && PyErr_Occurred()) throw PyError();
    if (value < 0) {
        PyErr_Format(PyExc_ValueError, "a byte source's size must be 0 or more, not %lld", value);
        throw PyError();
    }
    return (int64_t)value;
}

Status PythonRanges::read_range(int64_t offset, void* dst, size_t n, size_t& delivered) {
    delivered = 0;
    if (n > (size_t)PY_SSIZE_T_MAX) n = (size_t)PY_SSIZE_T_MAX;
    GilTaken held(interrupt_);
    Ref view = Ref::steal(PyMemoryView_FromMemory(static_cast<char*>(dst), (Py_ssize_t)n, PyBUF_WRITE));
    if (!view) return Status::error(ErrorCode::interrupted);
    Ref result = Ref::steal(PyObject_CallMethod(source_, "read_into", "LO", (long long)offset, view.get()));
    {
        // The buffer is the core's: nothing may write to it once the call is
        // over. The object's own failure, if any, is the one raised.
        PendingError failure;
        Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
        if (!released && failure.held()) PyErr_Clear();
    }
    if (PyErr_Occurred()) return Status::error(ErrorCode::interrupted);
    const long long count = PyLong_Check(result.get()) ? PyLong_AsLongLong(result.get()) : -1;
    if (count == -1 && PyErr_Occurred()) return Status::error(ErrorCode::interrupted);
    if (count < 0 || (unsigned long long)count > (unsigned long long)n) {
        PyErr_Format(PyExc_ValueError, "read_into returned %R for a range of %zu bytes", result.get(), n);
        return Status::error(ErrorCode::interrupted);
    }
    delivered = (size_t)count;
    return Status();
}

}  // namespace vellkit::py
