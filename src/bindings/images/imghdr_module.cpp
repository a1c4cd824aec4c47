#include "bindings/images/imghdr_module.hpp"

#include "bindings/common/objects.hpp"
#include "core/images/image_kind.hpp"
#include "pyglue/objects.hpp"

namespace vellkit::py {

namespace {

// The 32 leading bytes of `file`: a path is opened and closed, a file object
// is read and put back where it was.
Ref leading_bytes(PyObject* file) {
    bool is_path = PyUnicode_Check(file) || PyObject_HasAttrString((PyObject*)Py_TYPE(file), "__fspath__");
    if (is_path) {
        Ref open = dict_item(PyEval_GetBuiltins(), "open");
        if (!open) {
            PyErr_SetString(PyExc_NameError, "name 'open' is not defined");
            throw PyError();
        }
        Ref f = Ref::check(PyObject_CallFunction(open.get(), "Os", file, "rb"));
        Ref head = Ref::steal(PyObject_CallMethod(f.get(), "read", "i", 32));
        Ref closed;
        {
            // A failed read's error wins over the close's.
            PendingError pending;
            closed = Ref::steal(PyObject_CallMethod(f.get(), "close", nullptr));
            if (pending.held()) PyErr_Clear();
        }
        if (!head || !closed) throw PyError();
        return head;
    }
    Ref location = Ref::check(PyObject_CallMethod(file, "tell", nullptr));
    Ref head = Ref::check(PyObject_CallMethod(file, "read", "i", 32));
    Ref::check(PyObject_CallMethod(file, "seek", "O", location.get()));
    return head;
}

PyObject* what(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"file", "h", nullptr};
        PyObject* file = nullptr;
        PyObject* h = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:what", const_cast<char**>(keywords), &file, &h))
            return nullptr;
        Ref head;
        if (h == Py_None) {
            head = leading_bytes(file);
            h = head.get();
        }
        const BufferView view(h, PyBUF_SIMPLE);
        const char* kind = image_kind(static_cast<const unsigned char*>(view.data()), (size_t)view.bytes());
        if (!kind) Py_RETURN_NONE;
        return PyUnicode_FromString(kind);
    });
}

PyMethodDef kWhatDef = {"what", (PyCFunction)(void (*)(void))what, METH_VARARGS | METH_KEYWORDS,
                        "Recognize image headers."};

}  // namespace

Ref make_imghdr_module() {
    Ref module = Ref::check(PyModule_New("imghdr"));
    Ref doc = new_str("Recognize image file formats based on their first few bytes.");
    check_status(PyObject_SetAttrString(module.get(), "__doc__", doc.get()));
    Ref name = new_str("imghdr");
    Ref fn = Ref::check(PyCFunction_NewEx(&kWhatDef, nullptr, name.get()));
    check_status(PyObject_SetAttrString(module.get(), "what", fn.get()));
    return module;
}

}  // namespace vellkit::py
