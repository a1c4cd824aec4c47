// Arithmetic on offsets and sizes taken from a file. File values are at most
// 64-bit, and every position is a short sum of them, so 128-bit integers hold
// the exact result that Python's unbounded integers would give; a position is
// only narrowed to 64 bits when it is used, and refused there if it cannot be.
#pragma once

#include <cstdint>

namespace vellkit {

using wide = __int128;

constexpr wide kOffsetMax = INT64_MAX;
constexpr wide kOffsetMin = INT64_MIN;

inline bool fits_offset(wide v) { return v >= kOffsetMin && v <= kOffsetMax; }

}  // namespace vellkit
