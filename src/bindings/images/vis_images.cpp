// getVisImages: the visible images of a file.
#include "bindings/common/functions.hpp"

namespace vellkit::py {

PyObject* fn_get_vis_images(PyObject* module, PyObject* path) {
    return guarded([&]() -> PyObject* {
        if (path != Py_None && !PyUnicode_CheckExact(path)) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "path",
                         "str", Py_TYPE(path)->tp_name);
            return nullptr;
        }
        PyErr_SetString(PyExc_NotImplementedError, "visible images are not supported yet");
        return nullptr;
    });
}

}  // namespace vellkit::py
