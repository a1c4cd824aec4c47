// Small operations on Python objects that every unit of the binding layer
// performs with the interpreter's own semantics and errors.
#pragma once

#include <string>

#include "pyglue/pyref.hpp"

namespace vellkit::py {

// a == b; value == number.
bool equals(PyObject* a, PyObject* b);
bool equals_number(PyObject* value, long number);

// dict[key] as a strong reference, empty when the key is missing; raises
// what the lookup raises. The reference is taken inside the lookup (3.13
// and later) or before anything else can run (the GIL), so the value stays
// alive even when another thread replaces it in the dict at once.
Ref dict_item(PyObject* dict, PyObject* key);
Ref dict_item(PyObject* dict, const char* key);

// dict[key] as a plain subscript: KeyError(key) when missing.
Ref lookup(PyObject* dict, PyObject* key);
Ref lookup(PyObject* dict, const char* key);
inline Ref lookup(PyObject* dict, const std::string& key) { return lookup(dict, key.c_str()); }

// A module global as bound now (NameError when it is not).
Ref module_global(PyObject* module, const char* name);

// An integer as operator.index() takes it (its TypeError otherwise), as a
// C integer; OverflowError beyond 64 bits.
long long index_value(PyObject* value);
// The number of passes of range(value): a count beyond 64 bits is clamped,
// since the loops it drives fail on their own long before.
long long range_count(PyObject* value);

// A non-negative exact int below 2^63, as a C integer; false (and nothing
// raised) for anything else.
bool plain_count(PyObject* value, long long& out);

// The TypeError of a `path` that is not exactly a str or None.
void require_str_or_none(PyObject* path);

}  // namespace vellkit::py
