// Owned references and the error convention of both extension modules
// (`vellkit` and `vellkit_tools._native`).
//
// A `Ref` owns one strong reference. `Ref::steal` takes over a new reference
// (the result of a call that returns one); `Ref::from_borrowed` adds a
// reference to a borrowed pointer, so the object outlives its lender.
// Functions that find a Python error set throw `PyError`, and every entry
// point turns it back into a NULL return (see `guarded`).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace vellkit::py {

// Thrown when a Python exception is set and must reach the caller.
struct PyError final : std::exception {
    const char* what() const noexcept override { return "Python exception set"; }
};

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref from_borrowed(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Takes a new reference and throws PyError when it is NULL.
    static Ref check(PyObject* p) {
        if (!p) throw PyError();
        return Ref(p);
    }
    ~Ref() { Py_XDECREF(p_); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = std::exchange(o.p_, nullptr);
            Py_XDECREF(old);
        }
        return *this;
    }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Throws PyError for a -1 status of the C API.
inline void check_status(int status) {
    if (status < 0) throw PyError();
}

// Saves the pending exception (if any) and restores it on scope exit, so
// that clean-up code may call into Python without losing or masking it.
// With none saved, an error the clean-up sets stays; `drop` lets it stay
// in place of the saved one.
class PendingError {
public:
    PendingError() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingError() {
        if (type_) PyErr_Restore(type_, value_, traceback_);
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    bool held() const { return type_ != nullptr; }
    void drop() {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(traceback_);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Runs an entry point body; no C++ exception crosses into the interpreter:
// an allocation that fails is a MemoryError, any other C++ exception a
// SystemError with its text.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "vellkit: error without exception");
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "vellkit: unexpected internal error");
        return nullptr;
    }
}

inline Ref new_str(const char* s) { return Ref::check(PyUnicode_FromString(s)); }
inline Ref new_int(long long v) { return Ref::check(PyLong_FromLongLong(v)); }
inline Ref new_float(double v) { return Ref::check(PyFloat_FromDouble(v)); }

}  // namespace vellkit::py
