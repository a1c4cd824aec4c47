// The order of the regions of an annotation table: the iteration order of a
// Python set of the distinct "Group" values, which only the interpreter
// knows exactly.
#pragma once

#include <cstdint>
#include <vector>

#include "core/plans/region_plan.hpp"

namespace vellkit::py {

// The set of `tallies`' values, as the module builds it from the rows, in
// its iteration order as group numbers; false for a member that no int32
// holds (the plan then leaves the regions to the object path).
bool group_set_order(const std::vector<GroupTally>& tallies, std::vector<int32_t>& order);

}  // namespace vellkit::py
