#include "bindings/common/objects.hpp"

#include <climits>
#include <cstdlib>

#include "bindings/common/errors.hpp"

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
    return Ref::borrow(value);
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

bool environment_variable(const char* name, std::string& out) {
#ifndef Py_GIL_DISABLED
    // os.environ changes the C library's environment with the GIL held, as
    // this runs: the two cannot meet.
    const char* value = std::getenv(name);
    if (!value) return false;
    out = value;
    return true;
#else
    Ref os = Ref::check(PyImport_ImportModule("os"));
    Ref environ = Ref::check(PyObject_GetAttrString(os.get(), "environ"));
    Ref key = new_str(name);
    Ref value = Ref::steal(PyObject_GetItem(environ.get(), key.get()));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyError();
        PyErr_Clear();
        return false;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_Check(value.get()) ? PyUnicode_AsUTF8AndSize(value.get(), &length) : nullptr;
    if (!text) {
        PyErr_Clear();
        out = "?";
        return true;
    }
    out.assign(text, (size_t)length);
    return true;
#endif
}

std::string describe_path(PyObject* path) {
    Ref text = PyUnicode_Check(path) ? Ref::borrow(path) : Ref::steal(PyObject_Repr(path));
    if (!text) {
        PyErr_Clear();
        return "the file";
    }
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &length);
    if (!utf8) {
        PyErr_Clear();
        return "the file";
    }
    return std::string(utf8, (size_t)length);
}

void require_str_or_none(PyObject* path) {
    if (path == Py_None || PyUnicode_CheckExact(path)) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "path", "str",
                 Py_TYPE(path)->tp_name);
    throw PyError();
}

}  // namespace vellkit::py
