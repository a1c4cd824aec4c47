#include "bindings/common/arrays.hpp"

#include <cstring>

namespace vellkit::py {

WritableView::WritableView(PyObject* array) {
    if (PyObject_GetBuffer(array, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) throw PyError();
}

Ref np_empty(ModuleState* st, PyObject* shape, PyObject* dtype) {
    return Ref::check(PyObject_CallFunctionObjArgs(st->np_empty, shape, dtype, nullptr));
}

Ref np_zeros(ModuleState* st, PyObject* shape, PyObject* dtype) {
    return Ref::check(PyObject_CallFunctionObjArgs(st->np_zeros, shape, dtype, nullptr));
}

Ref shape_tuple(std::initializer_list<long long> dims) {
    Ref t = Ref::check(PyTuple_New((Py_ssize_t)dims.size()));
    Py_ssize_t i = 0;
    for (long long d : dims) PyTuple_SET_ITEM(t.get(), i++, new_int(d).release());
    return t;
}

void little_endian_to_host(void* data, size_t count, size_t width) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    auto* p = static_cast<unsigned char*>(data);
    for (size_t i = 0; i < count; ++i, p += width)
        for (size_t a = 0, b = width - 1; a < b; ++a, --b) std::swap(p[a], p[b]);
#else
    (void)data;
    (void)count;
    (void)width;
#endif
}

}  // namespace vellkit::py
