#include "bindings/common/errors.hpp"

#include <cerrno>

#include "core/common/limits.hpp"

namespace vellkit::py {

namespace {

// io.UnsupportedOperation, as a file object raises it.
void set_unsupported_operation(const char* message) {
    PyObject* io = PyImport_ImportModule("io");
    PyObject* type = io ? PyObject_GetAttrString(io, "UnsupportedOperation") : nullptr;
    Py_XDECREF(io);
    if (!type) return;
    PyErr_SetString(type, message);
    Py_DECREF(type);
}

}  // namespace

void set_error(const Status& s) {
    switch (s.code) {
    case ErrorCode::ok:
        PyErr_SetString(PyExc_SystemError, "vellkit: error status without error");
        return;
    case ErrorCode::seek_negative:
        errno = EINVAL;
        PyErr_SetFromErrno(PyExc_OSError);
        return;
    case ErrorCode::seek_overflow:
        PyErr_SetString(PyExc_ValueError, "cannot fit 'int' into an offset-sized integer");
        return;
    case ErrorCode::os_error:
        errno = s.sys_errno;
        PyErr_SetFromErrno(PyExc_OSError);
        return;
    case ErrorCode::param_type:
        PyErr_Format(PyExc_ValueError, "Unexpected value for reading parameter type: %lld", (long long)s.value);
        return;
    case ErrorCode::param_name_utf8: {
        // Let the codec raise its own UnicodeDecodeError for these bytes.
        PyObject* decoded = PyUnicode_DecodeUTF8(s.bytes.data(), (Py_ssize_t)s.bytes.size(), "strict");
        if (decoded) {
            Py_DECREF(decoded);
            PyErr_SetString(PyExc_SystemError, "vellkit: name bytes decoded after all");
        }
        return;
    }
    case ErrorCode::param_unterminated:
        PyErr_Format(PyExc_ValueError,
                     "parameter block at offset %lld reaches the end of the file before its END record",
                     (long long)s.offset);
        return;
    case ErrorCode::store_table_too_large:
        PyErr_Format(PyExc_ValueError,
                     "3D data block at offset %lld claims %lld store table entries, more than the file holds",
                     (long long)s.offset, (long long)s.value);
        return;
    case ErrorCode::records_too_many:
        PyErr_Format(PyExc_ValueError,
                     "3D data block at offset %lld names %lld records, more than the file can hold",
                     (long long)s.offset, (long long)s.value);
        return;
    case ErrorCode::interrupted:
        // The interrupt hook left its own exception (KeyboardInterrupt, or
        // whatever a signal handler raised) set.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return;
    case ErrorCode::not_seekable:
        set_unsupported_operation("File or stream is not seekable.");
        return;
    case ErrorCode::memory_limit:
        PyErr_Format(PyExc_MemoryError,
                     "%s: reading this file needs %lld bytes of memory or more, past the limit of %lld bytes "
                     "for a file of %lld bytes; set %s to a larger size (such as 64G) to read it",
                     s.bytes.empty() ? "vellkit" : s.bytes.c_str(), (long long)s.value, (long long)s.offset,
                     (long long)s.file_size, kMemoryLimitVariable);
        return;
    case ErrorCode::memory_setting:
        PyErr_Format(PyExc_ValueError, "%s must be a number of bytes with an optional K, M, G or T suffix, not '%s'",
                     kMemoryLimitVariable, s.bytes.c_str());
        return;
    case ErrorCode::annotation_column_type:
    case ErrorCode::annotation_text_length:
    case ErrorCode::image_value:
    case ErrorCode::image_missing:
        // Raised by the annotation and image readers with the file's values.
        PyErr_Format(PyExc_SystemError, "vellkit: a step on the file's values failed unreported (%d)", (int)s.code);
        return;
    case ErrorCode::rows_too_many:
        PyErr_Format(PyExc_ValueError,
                     "annotation table at offset %lld claims %lld rows, more than the file holds",
                     (long long)s.offset, (long long)s.value);
        return;
    }
    PyErr_SetString(PyExc_SystemError, "vellkit: unknown error status");
}

void raise_key_error(PyObject* key) {
    // A tuple key is wrapped so that the message shows the tuple itself.
    if (PyTuple_Check(key)) {
        PyObject* wrapped = PyTuple_Pack(1, key);
        if (wrapped) {
            PyErr_SetObject(PyExc_KeyError, wrapped);
            Py_DECREF(wrapped);
        }
    } else {
        PyErr_SetObject(PyExc_KeyError, key);
    }
    throw PyError();
}

}  // namespace vellkit::py
