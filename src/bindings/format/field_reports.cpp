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

struct Report {
    ModuleState* state;
    FieldKind kind;
    const unsigned char* delivered;
    size_t count;
};

void print_report(void* argument) {
    const Report& report = *static_cast<const Report*>(argument);
    ModuleState* state = report.state;
    int k = static_cast<int>(report.kind);
    PyObject* data = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(report.delivered), (Py_ssize_t)report.count);
    if (data) {
        PyObject* result = PyObject_CallFunctionObjArgs(state->struct_unpack, state->report_formats[k], data, nullptr);
        Py_DECREF(data);
        if (result) {  // cannot happen for a short buffer; nothing to report
            Py_DECREF(result);
            return;
        }
    }
    add_reader_frame(state->report_functions[k]);
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
    PyErr_WriteUnraisable(state->report_contexts[k]);
    PyErr_Clear();
}

void run_signal_handlers() {
    if (PyErr_CheckSignals() < 0) throw PyError();
}

}  // namespace

void FieldReporter::short_read(FieldKind kind, const unsigned char* delivered, size_t count) {
    run_signal_handlers();
    Report report{state_, kind, delivered, count};
    printer_.run(&print_report, &report);
    run_signal_handlers();
}

}  // namespace vellkit::py
