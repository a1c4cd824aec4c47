#include "pyglue/memory_limit.hpp"

#include <cstdlib>

#include "pyglue/errors.hpp"

namespace vellkit::py {

MemoryBudget call_budget(int64_t file_size, const std::string& subject) {
    std::string setting;
    const bool has_setting = environment_variable(kMemoryLimitVariable, setting);
    MemoryBudget budget;
    check(MemoryBudget::for_file(file_size, has_setting ? setting.c_str() : nullptr, budget));
    budget.set_subject(subject);
    return budget;
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
    Ref text = PyUnicode_Check(path) ? Ref::from_borrowed(path) : Ref::steal(PyObject_Repr(path));
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

}  // namespace vellkit::py
