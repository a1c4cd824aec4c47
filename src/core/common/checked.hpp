// Arithmetic on offsets and sizes taken from a file. File values are at most
// 64-bit, and every position is a short sum of them, so 128-bit integers hold
// the exact result that Python's unbounded integers would give; a position is
// only narrowed to 64 bits when it is used, and refused there if it cannot be.
//
// `wide` is a two's-complement 128-bit integer in two 64-bit words, written
// in standard C++ so that every compiler (32-bit targets and MSVC included)
// gives the same results. It converts implicitly from any integer type;
// conversions out of it are explicit and, like the built-in integer
// conversions, keep the low bits.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

namespace vellkit {

class wide {
public:
    constexpr wide() = default;

    template <typename T, typename std::enable_if<std::is_integral<T>::value, int>::type = 0>
    constexpr wide(T v)  // NOLINT: implicit, as for a built-in integer
        : lo_(low_word(v)), hi_(sign_word(v)) {}

    template <typename T, typename std::enable_if<std::is_integral<T>::value && !std::is_same<T, bool>::value,
                                                  int>::type = 0>
    constexpr explicit operator T() const {
        return static_cast<T>(lo_);
    }
    constexpr explicit operator bool() const { return (lo_ | hi_) != 0; }
    // Rounded to nearest, as the built-in conversions of 128-bit integers do.
    explicit operator double() const {
        if (fits_int64()) return static_cast<double>(static_cast<int64_t>(lo_));
        const bool negative = is_negative();
        const wide magnitude = negative ? -*this : *this;
        return negative ? -magnitude.unsigned_to_double() : magnitude.unsigned_to_double();
    }
    explicit operator float() const { return static_cast<float>(static_cast<double>(*this)); }

    friend constexpr wide operator+(wide a, wide b) {
        const uint64_t lo = a.lo_ + b.lo_;
        return from_words(a.hi_ + b.hi_ + (lo < a.lo_ ? 1 : 0), lo);
    }
    friend constexpr wide operator-(wide a, wide b) {
        const uint64_t lo = a.lo_ - b.lo_;
        return from_words(a.hi_ - b.hi_ - (a.lo_ < b.lo_ ? 1 : 0), lo);
    }
    friend constexpr wide operator*(wide a, wide b) {
        uint64_t high = 0;
        const uint64_t low = multiply_words(a.lo_, b.lo_, high);
        return from_words(high + a.hi_ * b.lo_ + a.lo_ * b.hi_, low);
    }
    // Truncates toward zero, with the remainder taking the dividend's sign.
    friend constexpr wide operator/(wide a, wide b) {
        wide quotient, remainder;
        divide(a, b, quotient, remainder);
        return quotient;
    }
    friend constexpr wide operator%(wide a, wide b) {
        wide quotient, remainder;
        divide(a, b, quotient, remainder);
        return remainder;
    }
    constexpr wide operator-() const { return wide() - *this; }
    constexpr wide operator+() const { return *this; }
    constexpr wide operator~() const { return from_words(~hi_, ~lo_); }

    friend constexpr wide operator&(wide a, wide b) { return from_words(a.hi_ & b.hi_, a.lo_ & b.lo_); }
    friend constexpr wide operator|(wide a, wide b) { return from_words(a.hi_ | b.hi_, a.lo_ | b.lo_); }
    friend constexpr wide operator^(wide a, wide b) { return from_words(a.hi_ ^ b.hi_, a.lo_ ^ b.lo_); }
    constexpr wide operator<<(int n) const {
        if (n <= 0) return *this;
        if (n >= 128) return wide();
        if (n >= 64) return from_words(lo_ << (n - 64), 0);
        return from_words((hi_ << n) | (lo_ >> (64 - n)), lo_ << n);
    }
    // Arithmetic: the sign is kept, as for the built-in signed types.
    constexpr wide operator>>(int n) const {
        const uint64_t fill = is_negative() ? ~uint64_t(0) : 0;
        if (n <= 0) return *this;
        if (n >= 128) return from_words(fill, fill);
        if (n >= 64) return from_words(fill, n == 64 ? hi_ : (hi_ >> (n - 64)) | (fill << (128 - n)));
        return from_words((hi_ >> n) | (fill << (64 - n)), (lo_ >> n) | (hi_ << (64 - n)));
    }

    friend constexpr bool operator==(wide a, wide b) { return a.hi_ == b.hi_ && a.lo_ == b.lo_; }
    friend constexpr bool operator!=(wide a, wide b) { return !(a == b); }
    // Signed order: flipping the sign bit of the high words makes it unsigned.
    friend constexpr bool operator<(wide a, wide b) {
        return a.hi_ != b.hi_ ? (a.hi_ ^ kSignBit) < (b.hi_ ^ kSignBit) : a.lo_ < b.lo_;
    }
    friend constexpr bool operator>(wide a, wide b) { return b < a; }
    friend constexpr bool operator<=(wide a, wide b) { return !(b < a); }
    friend constexpr bool operator>=(wide a, wide b) { return !(a < b); }

    constexpr wide& operator+=(wide b) { return *this = *this + b; }
    constexpr wide& operator-=(wide b) { return *this = *this - b; }
    constexpr wide& operator*=(wide b) { return *this = *this * b; }
    constexpr wide& operator/=(wide b) { return *this = *this / b; }
    constexpr wide& operator%=(wide b) { return *this = *this % b; }
    constexpr wide& operator<<=(int n) { return *this = *this << n; }
    constexpr wide& operator>>=(int n) { return *this = *this >> n; }
    constexpr wide& operator++() { return *this += 1; }
    constexpr wide& operator--() { return *this -= 1; }
    constexpr wide operator++(int) {
        const wide before = *this;
        *this += 1;
        return before;
    }
    constexpr wide operator--(int) {
        const wide before = *this;
        *this -= 1;
        return before;
    }

    constexpr bool is_negative() const { return (hi_ & kSignBit) != 0; }
    // Whether the value is exactly representable as an int64_t.
    constexpr bool fits_int64() const { return hi_ == (lo_ & kSignBit ? ~uint64_t(0) : 0); }

private:
    static constexpr uint64_t kSignBit = uint64_t(1) << 63;

    template <typename T>
    static constexpr uint64_t low_word(T v) {
        if constexpr (std::is_signed<T>::value) {
            return static_cast<uint64_t>(static_cast<int64_t>(v));
        } else {
            return static_cast<uint64_t>(v);
        }
    }
    template <typename T>
    static constexpr uint64_t sign_word(T v) {
        if constexpr (std::is_signed<T>::value) {
            return v < 0 ? ~uint64_t(0) : 0;
        } else {
            return 0;
        }
    }

    static constexpr wide from_words(uint64_t hi, uint64_t lo) {
        wide w;
        w.hi_ = hi;
        w.lo_ = lo;
        return w;
    }

    // The full product of two words, from 32-bit halves: low word returned,
    // high word in `high`.
    static constexpr uint64_t multiply_words(uint64_t a, uint64_t b, uint64_t& high) {
        const uint64_t mask = 0xffffffffu;
        const uint64_t a0 = a & mask, a1 = a >> 32, b0 = b & mask, b1 = b >> 32;
        const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        const uint64_t middle = (p00 >> 32) + (p01 & mask) + (p10 & mask);
        high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
        return (middle << 32) | (p00 & mask);
    }

    // Unsigned division of the magnitudes, one bit at a time unless both fit
    // a word; a zero divisor gives zero (the callers never divide by zero).
    static constexpr void divide_unsigned(wide n, wide d, wide& quotient, wide& remainder) {
        quotient = wide();
        remainder = wide();
        if (d.hi_ == 0 && d.lo_ == 0) return;
        if (n.hi_ == 0 && d.hi_ == 0) {
            quotient = from_words(0, n.lo_ / d.lo_);
            remainder = from_words(0, n.lo_ % d.lo_);
            return;
        }
        for (int bit = 127; bit >= 0; --bit) {
            remainder = remainder << 1;
            const uint64_t next = bit >= 64 ? (n.hi_ >> (bit - 64)) & 1 : (n.lo_ >> bit) & 1;
            remainder.lo_ |= next;
            if (!unsigned_less(remainder, d)) {
                remainder = remainder - d;
                if (bit >= 64) {
                    quotient.hi_ |= uint64_t(1) << (bit - 64);
                } else {
                    quotient.lo_ |= uint64_t(1) << bit;
                }
            }
        }
    }
    static constexpr bool unsigned_less(wide a, wide b) { return a.hi_ != b.hi_ ? a.hi_ < b.hi_ : a.lo_ < b.lo_; }
    static constexpr void divide(wide a, wide b, wide& quotient, wide& remainder) {
        const bool a_negative = a.is_negative(), b_negative = b.is_negative();
        divide_unsigned(a_negative ? -a : a, b_negative ? -b : b, quotient, remainder);
        if (a_negative != b_negative) quotient = -quotient;
        if (a_negative) remainder = -remainder;
    }

    // The value read as unsigned, rounded once: the top 64 significant bits
    // with a sticky bit for any lower ones round exactly as the whole would.
    double unsigned_to_double() const {
        if (hi_ == 0) return static_cast<double>(lo_);
        int shift = 0;
        for (uint64_t top = hi_; top != 0; top >>= 1) ++shift;
        if (shift == 64) return std::ldexp(static_cast<double>(hi_ | (lo_ != 0 ? 1 : 0)), 64);
        const uint64_t dropped = lo_ & ((uint64_t(1) << shift) - 1);
        const uint64_t kept = (lo_ >> shift) | (hi_ << (64 - shift));
        return std::ldexp(static_cast<double>(kept | (dropped != 0 ? 1 : 0)), shift);
    }

    uint64_t lo_ = 0;
    uint64_t hi_ = 0;
};

constexpr wide kOffsetMax = INT64_MAX;
constexpr wide kOffsetMin = INT64_MIN;

inline bool fits_offset(wide v) { return v >= kOffsetMin && v <= kOffsetMax; }

}  // namespace vellkit
