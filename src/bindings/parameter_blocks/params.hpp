// Parameter blocks as parameter dictionaries.
#pragma once

#include "bindings/common/module_state.hpp"
#include "bindings/format/field_reports.hpp"
#include "core/format/cursor.hpp"
#include "core/parameter_blocks/parser.hpp"
#include "pyglue/objects.hpp"

#include <vector>

namespace vellkit::py {

// The parameter dictionary of parsed records.
Ref parameters_dict(FieldReporter& reporter, const std::vector<ParamRecord>& records);

// An offset given as a Python object (an int; anything else fails as a
// file's seek would with it).
wide offset_value(PyObject* offset);

}  // namespace vellkit::py
