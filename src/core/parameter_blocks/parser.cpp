#include "core/parameter_blocks/parser.hpp"

#include <cstring>

#include "core/format/text.hpp"

namespace vellkit {

namespace {

// Strips NUL characters from both ends of a decoded name.
std::string strip_nuls(const unsigned char* p, size_t n) {
    size_t begin = 0, end = n;
    while (begin < end && p[begin] == 0) ++begin;
    while (end > begin && p[end - 1] == 0) --end;
    return std::string(reinterpret_cast<const char*>(p) + begin, end - begin);
}

}  // namespace

Status parse_parameter_block(Cursor& cursor, wide offset, FieldReadObserver& observer, std::vector<ParamRecord>& out) {
    out.clear();
    out.reserve(32);
    VELLKIT_TRY(cursor.seek(offset));
    for (;;) {
        // Records whose fixed part is in the read-ahead window are decoded
        // in place; near the end of the file, field by field below.
        size_t available = 0;
        const unsigned char* p = cursor.peek(16, available);
        if (p && available >= 8 && is_valid_utf8(p, 4)) {
            std::string name = strip_nuls(p, 4);
            if (name.size() == 3 && name[0] == 'E' && name[1] == 'N' && name[2] == 'D') {
                cursor.skip(4);
                return Status();
            }
            int16_t type = (int16_t)(uint16_t)load_le(p + 4, 2);
            int16_t size = (int16_t)(uint16_t)load_le(p + 6, 2);
            size_t value_bytes = type == param_value_type::int32 ? 4 : type == param_value_type::float64 ? 8 : 0;
            if ((type == param_value_type::int32 || type == param_value_type::float64) && available >= 8 + value_bytes) {
                ParamRecord rec;
                rec.name = std::move(name);
                rec.raw_name = (uint32_t)load_le(p, 4);
                if (type == param_value_type::int32) {
                    rec.kind = ParamRecord::Kind::integer;
                    rec.integer = (int32_t)(uint32_t)load_le(p + 8, 4);
                } else {
                    rec.kind = ParamRecord::Kind::real;
                    uint64_t bits = load_le(p + 8, 8);
                    std::memcpy(&rec.real, &bits, sizeof rec.real);
                }
                cursor.skip(8 + value_bytes);
                out.push_back(std::move(rec));
                continue;
            }
            if (type == 2 || type == 3 || type == 4) {
                ParamRecord rec;
                rec.name = std::move(name);
                rec.raw_name = (uint32_t)load_le(p, 4);
                rec.kind = ParamRecord::Kind::text;
                cursor.skip(8);
                VELLKIT_TRY(cursor.read_text((int64_t)size * 2, rec.text));
                out.push_back(std::move(rec));
                continue;
            }
            if (type != param_value_type::int32 && type != param_value_type::float64)
                return Status::error(ErrorCode::param_type, type);
        }
        unsigned char raw_name[4];
        size_t got = 0;
        VELLKIT_TRY(cursor.read(raw_name, 4, got));
        if (!is_valid_utf8(raw_name, got)) {
            Status s = Status::error(ErrorCode::param_name_utf8);
            s.bytes.assign(reinterpret_cast<const char*>(raw_name), got);
            return s;
        }
        std::string name = strip_nuls(raw_name, got);
        if (name.size() == 3 && name[0] == 'E' && name[1] == 'N' && name[2] == 'D') return Status();
        if (got < 4) {
            // The file ended before the END record: without this stop the
            // block would read zeros forever.
            int64_t start = fits_offset(offset) ? (int64_t)offset : 0;
            return Status::error(ErrorCode::param_unterminated, 0, start);
        }
        int16_t type = read_int16(cursor, observer);
        int16_t size = read_int16(cursor, observer);
        ParamRecord rec;
        rec.name = std::move(name);
        rec.raw_name = (uint32_t)load_le(raw_name, 4);
        if (type == param_value_type::int32) {
            rec.kind = ParamRecord::Kind::integer;
            rec.integer = read_int32(cursor, observer);
        } else if (type == param_value_type::float64) {
            rec.kind = ParamRecord::Kind::real;
            rec.real = read_float64(cursor, observer);
        } else if (type == 2 || type == 3 || type == 4) {
            rec.kind = ParamRecord::Kind::text;
            VELLKIT_TRY(cursor.read_text((int64_t)size * 2, rec.text));
        } else {
            return Status::error(ErrorCode::param_type, type);
        }
        out.push_back(std::move(rec));
    }
}

}  // namespace vellkit
