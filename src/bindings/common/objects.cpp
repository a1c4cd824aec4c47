#include "bindings/common/objects.hpp"

#include <climits>
#include <cstdlib>

#include "pyglue/errors.hpp"

namespace vellkit::py {

bool equals(PyObject* a, PyObject* b) {
    int r = PyObject_RichCompareBool(a, b, Py_EQ);
    check_status(r);
    return r != 0;
}

bool equals_number(PyObject* value, long number) {
    Ref other = new_int(number);
    return equals(value, other.get());
}

Ref dict_item(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    check_status(PyDict_GetItemRef(dict, key, &value));
    return Ref::steal(value);
#else
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) throw PyError();
    return Ref::from_borrowed(value);
#endif
}

Ref dict_item(PyObject* dict, const char* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    check_status(PyDict_GetItemStringRef(dict, key, &value));
    return Ref::steal(value);
#else
    Ref k = new_str(key);
    return dict_item(dict, k.get());
#endif
}

Ref lookup(PyObject* dict, PyObject* key) {
    Ref value = dict_item(dict, key);
    if (!value) raise_key_error(key);
    return value;
}

Ref lookup(PyObject* dict, const char* key) {
    Ref k = new_str(key);
    return lookup(dict, k.get());
}

Ref module_global(PyObject* module, const char* name) {
    Ref value = dict_item(PyModule_GetDict(module), name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw PyError();
    }
    return value;
}

long long index_value(PyObject* value) {
    Ref index = Ref::check(PyNumber_Index(value));
    long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw PyError();
    return v;
}

long long range_count(PyObject* value) {
    Ref index = Ref::check(PyNumber_Index(value));
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw PyError();
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return 0;
    return n;
}

bool plain_count(PyObject* value, long long& out) {
    if (!PyLong_CheckExact(value)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (overflow > 0) v = LLONG_MAX;
    if (overflow < 0 || v < 0) return false;
    out = v;
    return true;
}

void require_str_or_none(PyObject* path) {
    if (path == Py_None || PyUnicode_CheckExact(path)) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "path", "str",
                 Py_TYPE(path)->tp_name);
    throw PyError();
}

}  // namespace vellkit::py
