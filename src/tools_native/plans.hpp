// The plan functions of vellkit_tools._native (plans.cpp), listed in the
// method table of module.cpp.
#pragma once

#include "bindings/common/pyref.hpp"

namespace vellkit::tools {

// describe_file(path) -> dict: the header-only description of a file.
PyObject* fn_describe_file(PyObject* module, PyObject* path);
// plan_block(path, block) -> dict: what one block is and where its values lie.
PyObject* fn_plan_block(PyObject* module, PyObject* args);
// describe(path, name, dimensions, deriv) -> dict: the parameter blocks and
// record layout of one block, for the engine until it takes plan_block.
PyObject* fn_describe(PyObject* module, PyObject* args);

}  // namespace vellkit::tools
