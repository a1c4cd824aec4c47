#include "core/format/field_readers.hpp"

#include <cstring>

namespace vellkit {

namespace {

// Returns true when all `width` bytes were delivered.
bool read_field(Cursor& cursor, FieldReadObserver& observer, FieldKind kind, unsigned char* buf, size_t width) {
    if (const unsigned char* held = cursor.buffered(width)) {
        std::memcpy(buf, held, width);
        cursor.skip(width);
        return true;
    }
    size_t got = 0;
    Status st = cursor.read(buf, width, got);
    if (st.ok() && got == width) return true;
    observer.short_read(kind, buf, st.ok() ? got : 0);
    return false;
}

}  // namespace

int16_t read_int16(Cursor& cursor, FieldReadObserver& observer) {
    unsigned char b[2];
    if (!read_field(cursor, observer, FieldKind::int16, b, 2)) return 0;
    return (int16_t)(uint16_t)load_le(b, 2);
}

int32_t read_int32(Cursor& cursor, FieldReadObserver& observer) {
    unsigned char b[4];
    if (!read_field(cursor, observer, FieldKind::int32, b, 4)) return 0;
    return (int32_t)(uint32_t)load_le(b, 4);
}

int64_t read_int64(Cursor& cursor, FieldReadObserver& observer) {
    unsigned char b[8];
    if (!read_field(cursor, observer, FieldKind::int64, b, 8)) return 0;
    return (int64_t)load_le(b, 8);
}

float read_float32(Cursor& cursor, FieldReadObserver& observer) {
    unsigned char b[4];
    if (!read_field(cursor, observer, FieldKind::float32, b, 4)) return 0.0f;
    uint32_t bits = (uint32_t)load_le(b, 4);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

double read_float64(Cursor& cursor, FieldReadObserver& observer) {
    unsigned char b[8];
    if (!read_field(cursor, observer, FieldKind::float64, b, 8)) return 0.0;
    uint64_t bits = load_le(b, 8);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace vellkit
