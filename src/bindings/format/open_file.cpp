#include "bindings/format/open_file.hpp"

#include <cstring>

#include "pyglue/audit.hpp"
#include "pyglue/errors.hpp"

namespace vellkit::py {

OpenFile::~OpenFile() {
    if (file_object_) {
        // Closing on the way out of a failed call keeps the call's error.
        PendingError pending;
        PyObject* r = PyObject_CallMethod(file_object_.get(), "close", nullptr);
        Py_XDECREF(r);
        PyErr_Clear();
    }
}

void OpenFile::close() {
    source_.close();
    if (file_object_) {
        Ref file = std::move(file_object_);
        Ref::check(PyObject_CallMethod(file.get(), "close", nullptr));
    }
}

void OpenFile::open_with_builtin(ModuleState* state, PyObject* path) {
    Ref mode = new_str("rb");
    file_object_ = Ref::check(PyObject_CallFunctionObjArgs(state->builtin_open, path, mode.get(), nullptr));
    Ref fileno = Ref::check(PyObject_CallMethod(file_object_.get(), "fileno", nullptr));
    int fd = PyLong_AsLong(fileno.get());
    if (fd == -1 && PyErr_Occurred()) throw PyError();
    check(FileSource::borrow_descriptor(fd, source_, &interrupt_));
}

bool OpenFile::is_native() const { return source_.is_open() && !file_object_; }

void OpenFile::open(ModuleState* state, PyObject* path) {
    bool path_like = PyUnicode_Check(path) || PyBytes_Check(path) ||
                     (!PyLong_Check(path) && PyObject_HasAttrString((PyObject*)Py_TYPE(path), "__fspath__"));
    if (!path_like) return open_with_builtin(state, path);

    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) {
        PyErr_Clear();
        return open_with_builtin(state, path);
    }
    Ref encoded_ref = Ref::steal(encoded);
    const char* raw = PyBytes_AS_STRING(encoded);
    if (std::strlen(raw) != (size_t)PyBytes_GET_SIZE(encoded)) return open_with_builtin(state, path);
    Status st;
    {
        // Opening a FIFO blocks until a writer comes: other threads run
        // meanwhile, and a signal handler that raises ends the wait.
        GilReleased released(interrupt_);
        st = FileSource::open_path(raw, source_, &interrupt_);
    }
    if (st.code == ErrorCode::interrupted) throw PyError();
    if (!st.ok()) {
        // The built-in open raises the exact error (type, errno, message,
        // filename); should it succeed after all, its file is used.
        return open_with_builtin(state, path);
    }
    try {
        audit_open(path);
    } catch (const PyError&) {
        source_.close();
        throw;
    }
}

}  // namespace vellkit::py
