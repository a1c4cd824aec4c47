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

// The result of a single spectrum: what calling the class bound under
// SingleDataReturn's name with these keywords returns. While that is the
// class import made, with its own __new__, both __init__ methods and the
// builtin super, the object is built here as that call would build it: the
// same attributes set in the same order, the description joined afresh.
struct SingleResult {
    PyObject* dimension;
    PyObject* data_type;
    PyObject* deriv;
    PyObject* x;
    PyObject* y;
    PyObject* min_y;
    PyObject* max_y;
    PyObject* parameters;
};
Ref make_single_result(PyObject* module, const SingleResult& values);

// Makes the Region objects of one call, with the keywords of a call of the
// class in the order title, spectra, mapX, mapY, start_time. The class is
// the one bound under its name when each region is made; while that is the
// class import made, with its own __new__ and __init__, the object is built
// here as calling it would build it (without running __init__'s bytecode).
class RegionMaker {
public:
    explicit RegionMaker(PyObject* module);
    Ref make(PyObject* title, PyObject* spectra, PyObject* map_x, PyObject* map_y, PyObject* start_time);

private:
    bool own_class_unchanged(PyObject* cls) const;

    PyObject* module_;
    ModuleState* st_;
    PyObject* const* keywords_;  // title, spectra, mapX, mapY, start_time: the state's
    Ref no_args_;
};

}  // namespace vellkit::py
