#include "pyglue/errors.hpp"

#include <cerrno>

#include "core/common/limits.hpp"

namespace vellkit::py {

namespace {

// Sets `type` with the formatted message, after "<file>: " when a file is
// named (PyErr_Format sets exactly this without one).
void set_message(PyObject* type, PyObject* file, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyObject* text = PyUnicode_FromFormatV(format, args);
    va_end(args);
    if (text && file) {
        PyObject* named = PyUnicode_FromFormat("%U: %U", file, text);
        Py_DECREF(text);
        text = named;
    }
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

// OSError for `err`, with the file as its filename when one is named.
void set_os_error(int err, PyObject* file) {
    errno = err;
    if (file) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file);
    else PyErr_SetFromErrno(PyExc_OSError);
}

// io.UnsupportedOperation, as a file object raises it.
void set_unsupported_operation(PyObject* file, const char* message) {
    PyObject* io = PyImport_ImportModule("io");
    PyObject* type = io ? PyObject_GetAttrString(io, "UnsupportedOperation") : nullptr;
    Py_XDECREF(io);
    if (!type) return;
    set_message(type, file, "%s", message);
    Py_DECREF(type);
}

// The codec's own UnicodeDecodeError for these bytes; when a file is named,
// a ValueError naming it, caused by the codec's error.
void set_decode_error(const std::string& bytes, PyObject* file) {
    PyObject* decoded = PyUnicode_DecodeUTF8(bytes.data(), (Py_ssize_t)bytes.size(), "strict");
    if (decoded) {
        Py_DECREF(decoded);
        PyErr_SetString(PyExc_SystemError, "vellkit: name bytes decoded after all");
        return;
    }
    if (!file) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    set_message(PyExc_ValueError, file, "%S", value);
    PyObject *named_type, *named, *named_traceback;
    PyErr_Fetch(&named_type, &named, &named_traceback);
    PyErr_NormalizeException(&named_type, &named, &named_traceback);
    if (named && value) {
        PyException_SetCause(named, value);  // steals the reference
        value = nullptr;
    }
    PyErr_Restore(named_type, named, named_traceback);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
}

}  // namespace

void set_error(const Status& s, PyObject* file) {
    switch (s.code) {
    case ErrorCode::ok:
        PyErr_SetString(PyExc_SystemError, "vellkit: error status without error");
        return;
    case ErrorCode::seek_negative:
        set_os_error(EINVAL, file);
        return;
    case ErrorCode::seek_overflow:
        set_message(PyExc_ValueError, file, "cannot fit 'int' into an offset-sized integer");
        return;
    case ErrorCode::os_error:
        set_os_error(s.sys_errno, file);
        return;
    case ErrorCode::param_type:
        set_message(PyExc_ValueError, file, "Unexpected value for reading parameter type: %lld", (long long)s.value);
        return;
    case ErrorCode::param_name_utf8:
        set_decode_error(s.bytes, file);
        return;
    case ErrorCode::param_unterminated:
        set_message(PyExc_ValueError, file,
                    "parameter block at offset %lld reaches the end of the file before its END record",
                    (long long)s.offset);
        return;
    case ErrorCode::store_table_too_large:
        set_message(PyExc_ValueError, file,
                    "3D data block at offset %lld claims %lld store table entries, more than the file holds",
                    (long long)s.offset, (long long)s.value);
        return;
    case ErrorCode::records_too_many:
        set_message(PyExc_ValueError, file,
                    "3D data block at offset %lld names %lld records, more than the file has bytes: the file is damaged",
                    (long long)s.offset, (long long)s.value);
        return;
    case ErrorCode::reports_past_end:
        set_message(PyExc_ValueError, file,
                    "3D data block at offset %lld has %lld records past the end of the file, more than a file cut "
                    "short leaves (%lld): the file is damaged",
                    (long long)s.offset, (long long)s.value, (long long)kReportsPastEnd);
        return;
    case ErrorCode::interrupted:
        // The interrupt hook left its own exception (KeyboardInterrupt, or
        // whatever a signal handler raised) set.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return;
    case ErrorCode::not_seekable:
        set_unsupported_operation(file, "File or stream is not seekable.");
        return;
    case ErrorCode::memory_limit:
        PyErr_Format(PyExc_MemoryError,
                     "%s: reading this file needs %lld bytes of memory or more, past the limit of %lld bytes "
                     "for a file of %lld bytes; set %s to a larger size (such as 64G) to read it",
                     s.bytes.empty() ? "vellkit" : s.bytes.c_str(), (long long)s.value, (long long)s.offset,
                     (long long)s.file_size, kMemoryLimitVariable);
        return;
    case ErrorCode::memory_setting:
        PyErr_Format(PyExc_ValueError,
                     "%s must be a number of bytes with an optional K, M, G or T suffix, not '%s'",
                     kMemoryLimitVariable, s.bytes.c_str());
        return;
    // The `vellkit` module redoes these steps with the file's values as
    // Python objects and raises Python's own error; other consumers name them.
    case ErrorCode::annotation_column_type:
        set_message(PyExc_ValueError, file, "annotation table column %lld has a type no reader knows",
                    (long long)s.value);
        return;
    case ErrorCode::annotation_text_length:
        set_message(PyExc_ValueError, file, "the byte count of annotation table text column %lld is not an integer",
                    (long long)s.value);
        return;
    case ErrorCode::image_value:
        set_message(PyExc_ValueError, file, "a visible image entry holds a value that is not an integer");
        return;
    case ErrorCode::image_missing:
        set_message(PyExc_ValueError, file, "a visible image entry lacks a value it needs");
        return;
    case ErrorCode::rows_too_many:
        set_message(PyExc_ValueError, file, "annotation table at offset %lld claims %lld rows, more than the file holds",
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
