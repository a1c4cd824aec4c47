// Little-endian scalar fields read at a cursor. A field read never fails: a
// read cut short by the end of the file is handed to the observer (which
// reports it) and yields zero, with the cursor left behind the bytes that
// were delivered.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/format/cursor.hpp"

namespace vellkit {

enum class FieldKind { int16, int32, int64, float32, float64 };

class FieldReadObserver {
public:
    virtual ~FieldReadObserver() = default;
    virtual void short_read(FieldKind kind, const unsigned char* delivered, size_t count) = 0;
};

// An observer that only counts the reads cut short (each yields zero, as it
// does for the `vellkit` module), for callers that report nothing.
class CountingObserver final : public FieldReadObserver {
public:
    void short_read(FieldKind, const unsigned char*, size_t) override { ++count; }
    int64_t count = 0;
};

int16_t read_int16(Cursor& cursor, FieldReadObserver& observer);
int32_t read_int32(Cursor& cursor, FieldReadObserver& observer);
int64_t read_int64(Cursor& cursor, FieldReadObserver& observer);
float read_float32(Cursor& cursor, FieldReadObserver& observer);
double read_float64(Cursor& cursor, FieldReadObserver& observer);

// Decoding of little-endian values from memory, on any host.
inline uint64_t load_le(const unsigned char* p, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v |= (uint64_t)p[i] << (8 * i);
    return v;
}

}  // namespace vellkit
