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

// The columns of the annotation block at `offset`: a list of (name, type,
// values) in the order names are first seen (a later table's column of a
// name replacing an earlier one's), type "int32", "float32", "text" or
// "unknown" as the table declares it, values the int32 or float32 bytes of
// a numeric column, else a list (texts decoded as the module decodes them).
// Charged to the call's budget; ValueError naming the file for a block
// lacking a parameter or with a column of unknown type and rows.
PyObject* annotation_columns(NativeCall& call, int64_t offset);

}  // namespace vellkit::tools
