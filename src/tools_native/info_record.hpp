// Where a 3D record's info record keeps its time and its label, counted from
// the end of the record's NPT values. Named here once; these readers move
// into the core's record readers when those exist.
#pragma once

#include <cstdint>

namespace vellkit::tools {

constexpr int64_t kInfoTimeAt = 136;   // float64, little-endian
constexpr int64_t kInfoLabelAt = 152;  // NUL-padded text to the info size
constexpr int64_t kValueBytes = 4;     // float32 values

}  // namespace vellkit::tools
