#include "bindings/common/errors.hpp"

#include <cerrno>

namespace vellkit::py {

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
