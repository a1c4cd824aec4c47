// The "regions" of a block plan for a multi-region map or trace map.
#pragma once

#include "pyglue/pyref.hpp"
#include "tools_native/block_plan.hpp"
#include "tools_native/native_call.hpp"

namespace vellkit::tools {

// The list of region dicts (group, title, map_x, map_y, start_time, records)
// in the `vellkit` module's region order, charged to the call's budget; for
// traces, records are the trace columns (Fileindex - 1). Raises (PyError)
// KeyError for a missing column or table parameter, ValueError for a table
// whose regions cannot be formed, IndexError for a trace column out of range.
PyObject* regions_list(NativeCall& call, const BlockPlan& plan, bool traces);

}  // namespace vellkit::tools
