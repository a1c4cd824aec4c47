// Annotation blocks: small tables with one row per measured position.
#pragma once

#include "bindings/extract/context.hpp"

namespace vellkit::py {

// Every table of the block at `offset` read into one dict from column name
// to the list of that column's values; a later table's column replaces an
// earlier one of the same name.
Ref read_annotation_table(ExtractContext& ctx, PyObject* offset);

}  // namespace vellkit::py
