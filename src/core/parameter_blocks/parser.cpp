#include "core/parameter_blocks/parser.hpp"

#include <cstring>

#include "core/format/layout.hpp"
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

bool is_end(const std::string& name) { return name.size() == 3 && name[0] == 'E' && name[1] == 'N' && name[2] == 'D'; }

bool is_text_type(int type) { return type >= layout::kParamTextFirst && type <= layout::kParamTextLast; }

// Bytes of a record's value by its type and size; -1 for an unknown type.
int64_t value_bytes(int type, int size) {
    if (type == layout::kParamInt32) return 4;
    if (type == layout::kParamFloat64) return 8;
    if (is_text_type(type)) return 2 * (int64_t)size;
    return -1;
}

// The fixed part of a record: name, type and size. The name stays the
// stored bytes with the span left once NULs are stripped from both ends, so
// that it is copied once, into the record that keeps it.
struct RecordHead {
    unsigned char raw[layout::kParamNameBytes] = {};
    size_t name_begin = 0;
    size_t name_end = 0;
    uint32_t raw_name = 0;
    int16_t type = 0;
    int16_t size = 0;

    bool is_end() const {
        return name_end - name_begin == 3 && raw[name_begin] == 'E' && raw[name_begin + 1] == 'N' &&
               raw[name_begin + 2] == 'D';
    }
    // Into an empty string, character by character: four at most, which the
    // string's own buffer holds, so no call is made out of line.
    void name_into(std::string& out) const {
        for (size_t i = name_begin; i < name_end; ++i) out.push_back((char)raw[i]);
    }
};

// Takes `got` stored name bytes: checks they are UTF-8 and finds the name
// within the NULs around it.
Status take_name(const unsigned char* bytes, size_t got, RecordHead& head) {
    uint32_t stored = 0;
    if (got == layout::kParamNameBytes) {
        std::memcpy(head.raw, bytes, layout::kParamNameBytes);
        stored = (uint32_t)head.raw[0] | (uint32_t)head.raw[1] << 8 | (uint32_t)head.raw[2] << 16 |
                 (uint32_t)head.raw[3] << 24;
    } else {
        std::memcpy(head.raw, bytes, got);
        stored = (uint32_t)load_le(bytes, got);
    }
    // Names are nearly always ASCII, which needs no decoder to check.
    const bool ascii = got == layout::kParamNameBytes && (stored & 0x80808080u) == 0;
    if (!ascii && !is_valid_utf8(bytes, got)) {
        Status s = Status::error(ErrorCode::param_name_utf8);
        s.bytes.assign(reinterpret_cast<const char*>(bytes), got);
        return s;
    }
    size_t begin = 0, end = got;
    while (begin < end && bytes[begin] == 0) ++begin;
    while (end > begin && bytes[end - 1] == 0) --end;
    head.name_begin = begin;
    head.name_end = end;
    head.raw_name = stored;
    return Status();
}

// Reads a record's fixed part: from the read-ahead window in one step when
// it is there, else field by field (near the end of the file, where fields
// may be cut short and reported). `end` is set at the END record.
Status read_head(Cursor& cursor, FieldReadObserver& observer, wide block_offset, RecordHead& head, bool& end) {
    end = false;
    const unsigned char* p = cursor.buffered(layout::kParamRecordHeaderBytes);
    if (!p) {
        size_t available = 0;
        p = cursor.peek(layout::kParamRecordHeaderBytes, available);
        if (p && available < layout::kParamRecordHeaderBytes) p = nullptr;
    }
    const bool whole = p != nullptr;
    size_t got = layout::kParamNameBytes;
    if (whole) {
        VELLKIT_TRY(take_name(p, got, head));
    } else {
        unsigned char raw_name[layout::kParamNameBytes];
        VELLKIT_TRY(cursor.read(raw_name, layout::kParamNameBytes, got));
        VELLKIT_TRY(take_name(raw_name, got, head));
    }
    if (head.is_end()) {
        if (whole) cursor.skip(layout::kParamNameBytes);
        end = true;
        return Status();
    }
    if (got < layout::kParamNameBytes) {
        // The file ended before the END record: without this stop the
        // block would read zeros forever.
        return Status::error(ErrorCode::param_unterminated, 0, fits_offset(block_offset) ? (int64_t)block_offset : 0);
    }
    if (whole) {
        head.type = (int16_t)(uint16_t)load_le(p + layout::kParamTypeAt, 2);
        head.size = (int16_t)(uint16_t)load_le(p + layout::kParamSizeAt, 2);
        cursor.skip(layout::kParamRecordHeaderBytes);
    } else {
        head.type = read_int16(cursor, observer);
        head.size = read_int16(cursor, observer);
    }
    return Status();
}

// Reads the value that follows a record's fixed part, by its type: from
// the read-ahead window in place when it holds it (nearly always), else as
// a field that may be cut short and reported.
Status read_value(Cursor& cursor, FieldReadObserver& observer, const RecordHead& head, ParamRecord& rec) {
    if (head.type == layout::kParamInt32) {
        rec.kind = ParamRecord::Kind::integer;
        if (const unsigned char* p = cursor.buffered(4)) {
            rec.integer = (int32_t)(uint32_t)load_le(p, 4);
            cursor.skip(4);
        } else {
            rec.integer = read_int32(cursor, observer);
        }
    } else if (head.type == layout::kParamFloat64) {
        rec.kind = ParamRecord::Kind::real;
        if (const unsigned char* p = cursor.buffered(8)) {
            const uint64_t bits = load_le(p, 8);
            std::memcpy(&rec.real, &bits, sizeof rec.real);
            cursor.skip(8);
        } else {
            rec.real = read_float64(cursor, observer);
        }
    } else if (is_text_type(head.type)) {
        rec.kind = ParamRecord::Kind::text;
        VELLKIT_TRY(cursor.read_text(value_bytes(head.type, head.size), rec.text));
    } else {
        return Status::error(ErrorCode::param_type, head.type);
    }
    return Status();
}

}  // namespace

Status parse_parameter_block(Cursor& cursor, wide offset, FieldReadObserver& observer, std::vector<ParamRecord>& out) {
    out.clear();
    out.reserve(32);
    VELLKIT_TRY(cursor.seek(offset));
    RecordHead head;
    for (;;) {
        bool end = false;
        VELLKIT_TRY(read_head(cursor, observer, offset, head, end));
        if (end) return Status();
        out.emplace_back();
        ParamRecord& rec = out.back();
        Status status = read_value(cursor, observer, head, rec);
        if (!status.ok()) {
            out.pop_back();
            return status;
        }
        head.name_into(rec.name);
        rec.raw_name = head.raw_name;
    }
}

Status check_parameter_record(Cursor& cursor, int64_t pos, RecordCheck& out) {
    out = RecordCheck();
    const int64_t size = cursor.file_size();
    if (pos >= size) {
        out.stop = RecordCheck::Stop::unterminated;
        return Status();
    }
    unsigned char head[layout::kParamRecordHeaderBytes] = {};
    VELLKIT_TRY(cursor.seek(pos));
    size_t got = 0;
    VELLKIT_TRY(cursor.read(head, sizeof head, got));
    // A name cut by the end of the file still ends the block when what is
    // there spells END, as the parser takes it.
    const size_t name_bytes = got < layout::kParamNameBytes ? got : layout::kParamNameBytes;
    if (!is_valid_utf8(head, name_bytes)) {
        out.stop = RecordCheck::Stop::name_not_text;
        out.name.assign(reinterpret_cast<const char*>(head), name_bytes);
        return Status();
    }
    out.name = strip_nuls(head, name_bytes);
    if (is_end(out.name)) {
        out.stop = RecordCheck::Stop::end;
    } else if (got < layout::kParamNameBytes) {
        out.stop = RecordCheck::Stop::unterminated;
    } else if (pos > size - (int64_t)layout::kParamRecordHeaderBytes || got < layout::kParamRecordHeaderBytes) {
        out.stop = RecordCheck::Stop::head_cut;
    } else {
        out.type = (int16_t)(uint16_t)load_le(head + layout::kParamTypeAt, 2);
        out.words = (int16_t)(uint16_t)load_le(head + layout::kParamSizeAt, 2);
        const int64_t length = value_bytes(out.type, out.words);
        if (length < 0 && is_text_type(out.type)) {
            out.stop = RecordCheck::Stop::negative_length;
        } else if (length < 0) {
            out.stop = RecordCheck::Stop::unknown_type;
        } else if (pos + (int64_t)layout::kParamRecordHeaderBytes + length > size) {
            out.stop = RecordCheck::Stop::value_cut;
        } else {
            out.next = pos + (int64_t)layout::kParamRecordHeaderBytes + length;
        }
    }
    return Status();
}

}  // namespace vellkit
