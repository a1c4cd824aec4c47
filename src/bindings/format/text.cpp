#include "bindings/format/text.hpp"

#include "bindings/common/module_state.hpp"
#include "bindings/common/functions.hpp"
#include "core/format/text.hpp"

namespace vellkit::py {

Ref decode_stored_text(const char* data, size_t size) {
    auto* bytes = reinterpret_cast<const unsigned char*>(data);
    switch (classify_text(bytes, size)) {
    case TextEncoding::ascii:
        return Ref::check(PyUnicode_DecodeASCII(data, (Py_ssize_t)size, "strict"));
    case TextEncoding::utf8:
        return Ref::check(PyUnicode_DecodeUTF8(data, (Py_ssize_t)size, "strict"));
    case TextEncoding::latin1:
        break;
    }
    return Ref::check(PyUnicode_DecodeLatin1(data, (Py_ssize_t)size, "strict"));
}

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
