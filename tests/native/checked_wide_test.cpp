// Checks `wide` (core/common/checked.hpp) against the compiler's own 128-bit
// integer, where it has one: every operator and conversion on edge values
// and on random values of every magnitude must agree bit for bit. Built by
// .ci/portability with g++ and UBSan:
//     g++ -std=gnu++17 -Isrc tests/native/checked_wide_test.cpp
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "core/common/checked.hpp"

#if !defined(__SIZEOF_INT128__)
int main() {
    std::printf("no 128-bit integer to compare with\n");
    return 0;
}
#else

namespace {

using vellkit::wide;
__extension__ typedef __int128 Native;
__extension__ typedef unsigned __int128 NativeUnsigned;

const Native kWord = (Native)1 << 64;

Native native_of(wide w) { return (Native)(int64_t)(w >> 64) * kWord + (Native)(uint64_t)w; }
wide wide_of(Native v) {
    const wide half_word = wide(uint64_t(1) << 32);
    return wide((int64_t)(v >> 64)) * half_word * half_word + wide((uint64_t)v);
}

// Wrapping arithmetic, as two's complement gives it (signed overflow of the
// native type is undefined, so it is computed unsigned).
Native wrap_add(Native a, Native b) { return (Native)((NativeUnsigned)a + (NativeUnsigned)b); }
Native wrap_sub(Native a, Native b) { return (Native)((NativeUnsigned)a - (NativeUnsigned)b); }
Native wrap_mul(Native a, Native b) { return (Native)((NativeUnsigned)a * (NativeUnsigned)b); }
Native wrap_shl(Native a, int n) { return (Native)((NativeUnsigned)a << n); }

long failures = 0;

void expect(bool ok, const char* what, Native a, Native b) {
    if (ok) return;
    if (++failures <= 20) {
        std::printf("FAIL %s: a=%016llx%016llx b=%016llx%016llx\n", what, (unsigned long long)((NativeUnsigned)a >> 64),
                    (unsigned long long)a, (unsigned long long)((NativeUnsigned)b >> 64), (unsigned long long)b);
    }
}

void check_pair(Native a, Native b, int shift) {
    const wide x = wide_of(a), y = wide_of(b);
    expect(native_of(x) == a, "round trip", a, b);
    expect(native_of(x + y) == wrap_add(a, b), "+", a, b);
    expect(native_of(x - y) == wrap_sub(a, b), "-", a, b);
    expect(native_of(x * y) == wrap_mul(a, b), "*", a, b);
    expect(native_of(-x) == wrap_sub(0, a), "unary -", a, b);
    const Native min = (Native)((NativeUnsigned)1 << 127);
    if (b != 0 && !(a == min && b == -1)) {
        expect(native_of(x / y) == a / b, "/", a, b);
        expect(native_of(x % y) == a % b, "%", a, b);
    }
    expect((x < y) == (a < b), "<", a, b);
    expect((x <= y) == (a <= b), "<=", a, b);
    expect((x > y) == (a > b), ">", a, b);
    expect((x >= y) == (a >= b), ">=", a, b);
    expect((x == y) == (a == b), "==", a, b);
    expect((x != y) == (a != b), "!=", a, b);
    expect(native_of(x << shift) == wrap_shl(a, shift), "<<", a, b);
    expect(native_of(x >> shift) == (a >> shift), ">>", a, b);
    expect((int64_t)x == (int64_t)a, "to int64_t", a, b);
    expect((long long)x == (long long)a, "to long long", a, b);
    expect((int32_t)x == (int32_t)a, "to int32_t", a, b);
    expect((size_t)x == (size_t)a, "to size_t", a, b);
    expect((uint32_t)x == (uint32_t)a, "to uint32_t", a, b);
    expect((double)x == (double)a, "to double", a, b);
    expect((bool)x == (a != 0), "to bool", a, b);
    expect(vellkit::fits_offset(x) == (a >= INT64_MIN && a <= INT64_MAX), "fits_offset", a, b);
    // Mixed with the built-in types, as offsets are computed.
    const int32_t small = (int32_t)b;
    const uint32_t words = (uint32_t)b;
    const long long count = (long long)b;
    expect(native_of(x + small) == wrap_add(a, small), "+ int32_t", a, b);
    expect(native_of(x * words) == wrap_mul(a, words), "* uint32_t", a, b);
    expect(native_of(count * x) == wrap_mul(count, a), "long long *", a, b);
    expect((x < count) == (a < count), "< long long", a, b);
    expect(native_of(wide((size_t)b)) == (Native)(size_t)b, "from size_t", a, b);
}

}  // namespace

int main() {
    const Native max = (Native)(~(NativeUnsigned)0 >> 1);
    const Native min = -max - 1;
    std::vector<Native> edges = {0, 1, -1, 2, -2, 4, 136, INT32_MAX, INT32_MIN, UINT32_MAX, INT64_MAX, INT64_MIN,
                                 (Native)INT64_MAX + 1, (Native)INT64_MIN - 1, (Native)UINT64_MAX,
                                 (Native)UINT64_MAX + 1, kWord * 3 + 5, -kWord * 3 - 5, max, min, max - 1, min + 1};
    // Doubles halfway between neighbours round to even: values on and near
    // those points above 2^64.
    for (int e = 64; e < 127; e += 7) {
        const Native base = (Native)1 << e;
        const Native half = (Native)1 << (e - 53);
        edges.push_back(base + half);
        edges.push_back(base + half + 1);
        edges.push_back(base + 3 * half);
        edges.push_back(-(base + half));
    }
    for (Native a : edges)
        for (Native b : edges)
            for (int shift : {0, 1, 31, 63, 64, 65, 100, 127}) check_pair(a, b, shift);

    std::mt19937_64 rng(7);
    auto random_value = [&]() -> Native {
        switch (rng() % 5) {
        case 0:
            return (Native)(int64_t)(rng() % 4096) - 2048;
        case 1:
            return (Native)(int64_t)rng();
        case 2:
            return (Native)rng();
        case 3:
            return (Native)(int64_t)(rng() % 8 - 4) * kWord + (Native)rng();
        default:
            return (Native)(int64_t)rng() * kWord + (Native)rng();
        }
    };
    for (int n = 0; n < 1000000; ++n) check_pair(random_value(), random_value(), (int)(rng() % 128));

    constexpr wide folded = wide(INT64_MAX) * 4 + 3;
    static_assert(folded > vellkit::kOffsetMax && -folded < vellkit::kOffsetMin, "constant expressions");
    std::printf("wide: %ld failures\n", failures);
    return failures == 0 ? 0 : 1;
}

#endif
