// The result classes: ordinary Python classes made at import.
#pragma once

#include "bindings/common/module_state.hpp"

namespace vellkit::py {

// Creates the nine classes in order, binding each in the module namespace as
// soon as it exists, and records them in the module state.
void create_result_classes(PyObject* module, ModuleState* state);

// The class bound under `kind`'s name in the module now (callers may have
// replaced it).
Ref result_class(PyObject* module, ResultClass kind);

// Calls `cls` with keyword arguments only, in the order given.
Ref call_with_keywords(PyObject* cls, std::initializer_list<std::pair<const char*, PyObject*>> keywords);
Ref call_with_keywords(PyObject* cls, PyObject* kwargs);
// Adds keyword arguments to a dict of them, in the order given.
void add_keywords(PyObject* kwargs, std::initializer_list<std::pair<const char*, PyObject*>> keywords);

}  // namespace vellkit::py
