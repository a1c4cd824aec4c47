// Parameter blocks: records of a 4-byte name, a 16-bit type code, a 16-bit
// size in words and a value, back to back, up to a record named END.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/format/field_readers.hpp"

namespace vellkit {

namespace param_value_type {
constexpr int int32 = 0;
constexpr int float64 = 1;
// 2, 3 and 4 are text, treated alike.
}  // namespace param_value_type

struct ParamRecord {
    enum class Kind { integer, real, text } kind = Kind::integer;
    std::string name;  // UTF-8, NUL characters stripped from both ends
    uint32_t raw_name = 0;  // the four stored name bytes, little-endian
    int32_t integer = 0;
    double real = 0.0;
    std::string text;  // the stored bytes before the first NUL
};

// A number record's value (an integer widened).
inline double number_of(const ParamRecord& r) { return r.kind == ParamRecord::Kind::integer ? (double)r.integer : r.real; }

// Parses the block at `offset` into its records in file order (a repeated
// name appears once per record; the last one wins when they are merged).
// Fails on an unknown type code, on name bytes that are not UTF-8, and on a
// block that reaches the end of the file before its END record.
Status parse_parameter_block(Cursor& cursor, wide offset, FieldReadObserver& observer, std::vector<ParamRecord>& out);

// The parser's stop-early mode, one record at a time: whether the record at
// `pos` lies wholly in the file (the parser reads what does not as zeros,
// with reports), and where the next one starts.
struct RecordCheck {
    enum class Stop {
        none,             // a whole record: the next starts at `next`
        end,              // the END record
        name_not_text,    // `name` holds the name's bytes
        unterminated,     // the file ends before the record's name
        head_cut,         // the file ends inside the type or size
        negative_length,  // a text record of `words` < 0
        unknown_type,     // `type`
        value_cut,        // the file ends inside the value
    } stop = Stop::none;
    int64_t next = -1;
    std::string name;
    int type = 0;
    int words = 0;
};
Status check_parameter_record(Cursor& cursor, int64_t pos, RecordCheck& out);

}  // namespace vellkit
