// The "regions" of a block plan for a multi-region map or trace map.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "pyglue/pyref.hpp"
#include "tools_native/native_call.hpp"

namespace vellkit::tools {

// What the regions are formed from, as a block plan has it.
struct RegionsSource {
    int64_t annotation_offset = -1;
    // Spectrum index of each record (store-table order), and index -> record.
    const std::vector<int64_t>* indices = nullptr;
    const std::unordered_map<int64_t, size_t>* position_of = nullptr;
    bool traces = false;
    int64_t npt = 0;  // values per trace record
};

// The list of region dicts (group, title, map_x, map_y, start_time, records)
// in the `vellkit` module's region order, charged to the call's budget with
// the values they hold; for traces, records are the trace columns
// (Fileindex - 1). Raises (PyError) ValueError naming the file for a table
// whose regions cannot be formed, lacks a column or parameter, or names a
// trace column out of range.
PyObject* regions_list(NativeCall& call, const RegionsSource& source);

}  // namespace vellkit::tools
