// Values in a VELL file are little-endian; arrays read in bulk are turned
// into the host's order in place.
#pragma once

#include <cstddef>
#include <utility>

namespace vellkit {

inline bool host_is_big_endian() {
    const unsigned probe = 1;
    return *reinterpret_cast<const unsigned char*>(&probe) == 0;
}

inline void little_endian_to_host(void* data, size_t count, size_t width) {
    if (!host_is_big_endian()) return;
    auto* p = static_cast<unsigned char*>(data);
    for (size_t i = 0; i < count; ++i, p += width)
        for (size_t a = 0, b = width - 1; a < b; ++a, --b) std::swap(p[a], p[b]);
}

}  // namespace vellkit
