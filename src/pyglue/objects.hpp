// What both extension modules make of the core's plain values: texts from
// the file as str, parameter values as objects, shapes as tuples, and the
// memory of a Python object through the buffer protocol.
#pragma once

#include <initializer_list>
#include <string>

#include "core/parameter_blocks/parser.hpp"
#include "pyglue/pyref.hpp"

namespace vellkit::py {

// Text from the file as decode_string decodes it with its defaults: ASCII
// when it is, else UTF-8 when valid, else Latin-1.
Ref decode_stored_text(const char* data, size_t size);
inline Ref decode_stored_text(const std::string& s) { return decode_stored_text(s.data(), s.size()); }

// A parsed parameter value as a parameter dictionary holds it.
Ref parameter_value(const ParamRecord& rec);

// A tuple of ints (an array's shape).
template <typename Dims>
Ref shape_tuple(const Dims& dims) {
    Ref t = Ref::check(PyTuple_New((Py_ssize_t)dims.size()));
    Py_ssize_t i = 0;
    for (auto d : dims) PyTuple_SET_ITEM(t.get(), i++, new_int((long long)d).release());
    return t;
}
inline Ref shape_tuple(std::initializer_list<long long> dims) { return shape_tuple<decltype(dims)>(dims); }

// A buffer of an object (PyObject_GetBuffer with `flags`), held until the
// view goes.
class BufferView {
public:
    BufferView(PyObject* object, int flags) {
        if (PyObject_GetBuffer(object, &view_, flags) < 0) throw PyError();
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    const Py_buffer& view() const { return view_; }
    void* data() const { return view_.buf; }
    Py_ssize_t bytes() const { return view_.len; }

private:
    Py_buffer view_{};
};

// A writable, C-contiguous view of an array's memory.
class WritableView : public BufferView {
public:
    explicit WritableView(PyObject* array) : BufferView(array, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) {}
};

// The module state's object slots, as its `for_each_slot(State*, visit)`
// names them, for the module's traverse and clear.
template <typename State>
int traverse_slots(PyObject* module, visitproc visit, void* arg) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    int result = 0;
    if (st) for_each_slot(st, [&](PyObject*& slot) {
        if (!result && slot) result = visit(slot, arg);
    });
    return result;
}

template <typename State>
void clear_slots(PyObject* module) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (st) for_each_slot(st, [](PyObject*& slot) { Py_CLEAR(slot); });
}

}  // namespace vellkit::py

// The module's init function. PyMODINIT_FUNC exports it everywhere from 3.9
// on; before that it does not on ELF and Mach-O, where the modules are built
// with hidden symbols.
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__)
#define VELLKIT_MODULE_INIT(name) extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name(void)
#else
#define VELLKIT_MODULE_INIT(name) PyMODINIT_FUNC PyInit_##name(void)
#endif
