// The module's functions, as the function table of the module frame sees them.
#pragma once

#include "pyglue/pyref.hpp"

namespace vellkit::py {

PyObject* fn_help(PyObject* module, PyObject* unused);
PyObject* fn_list_contents(PyObject* module, PyObject* path);
PyObject* fn_is_vell_file(PyObject* module, PyObject* path);
PyObject* fn_decode_string(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_get_vell_data(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_get_vis_images(PyObject* module, PyObject* path);

}  // namespace vellkit::py
