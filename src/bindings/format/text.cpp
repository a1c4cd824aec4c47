#include "bindings/common/functions.hpp"
#include "pyglue/objects.hpp"

namespace vellkit::py {

PyObject* fn_decode_string(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"s", "encodings", nullptr};
        PyObject* s = nullptr;
        PyObject* encodings = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:decode_string", const_cast<char**>(keywords), &s,
                                         &encodings))
            return nullptr;
        if (!encodings && PyBytes_CheckExact(s))
            return decode_stored_text(PyBytes_AS_STRING(s), (size_t)PyBytes_GET_SIZE(s)).release();

        Ref default_encodings;
        if (!encodings) {
            default_encodings = Ref::check(Py_BuildValue("(sss)", "ascii", "utf8", "latin1"));
            encodings = default_encodings.get();
        }
        Ref iterator = Ref::check(PyObject_GetIter(encodings));
        for (;;) {
            Ref name = Ref::steal(PyIter_Next(iterator.get()));
            if (!name) {
                if (PyErr_Occurred()) throw PyError();
                break;
            }
            PyObject* decoded = PyObject_CallMethod(s, "decode", "O", name.get());
            if (decoded) return decoded;
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PyError();
            PyErr_Clear();
        }
        return Ref::check(PyObject_CallMethod(s, "decode", "ss", "ascii", "ignore")).release();
    });
}

}  // namespace vellkit::py
