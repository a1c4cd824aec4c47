#include "bindings/format/field_reports.hpp"

#include <frameobject.h>

namespace vellkit::py {

namespace {

// Adds a traceback entry naming the reader, as if the error had been raised
// inside it.
void add_reader_frame(PyObject* function_name) {
    PyFrameObject* frame = nullptr;
    PyCodeObject* code = nullptr;
    PyObject* globals = nullptr;
    {
        PendingError pending;
        code = PyCode_NewEmpty("vellkit", PyUnicode_AsUTF8(function_name), 1);
        globals = PyDict_New();
        if (code && globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        PyErr_Clear();
    }
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}

}  // namespace

void FieldReporter::short_read(FieldKind kind, const unsigned char* delivered, size_t count) {
    int k = static_cast<int>(kind);
    PyObject* data = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(delivered), (Py_ssize_t)count);
    if (data) {
        PyObject* result = PyObject_CallFunctionObjArgs(state_->struct_unpack, state_->report_formats[k], data, nullptr);
        Py_DECREF(data);
        if (result) {  // cannot happen for a short buffer; nothing to report
            Py_DECREF(result);
            return;
        }
    }
    add_reader_frame(state_->report_functions[k]);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_Restore(type, value, tb);
    PyErr_PrintEx(1);
    PyErr_Restore(type, value, tb);
    PyErr_WriteUnraisable(state_->report_contexts[k]);
    PyErr_Clear();
}

}  // namespace vellkit::py
