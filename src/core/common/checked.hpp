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

// Multiplication saturating far outside the 64-bit range, so that a result
// that no offset can hold stays recognisable as such without overflowing.
inline wide mul_sat(wide a, wide b) {
    constexpr wide big = (wide)1 << 100;
    if (a == 0 || b == 0) return 0;
    wide abs_a = a < 0 ? -a : a, abs_b = b < 0 ? -b : b;
    if (abs_a > big / abs_b) return ((a < 0) != (b < 0)) ? -big : big;
    return a * b;
}

inline wide add_sat(wide a, wide b) {
    constexpr wide big = (wide)1 << 100;
    wide r = a + b;  // both operands stay below 2^101 in magnitude
    if (r > big) return big;
    if (r < -big) return -big;
    return r;
}

}  // namespace vellkit
