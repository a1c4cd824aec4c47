#include "core/extract/annotations.hpp"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/common/limits.hpp"
#include "core/parameter_blocks/param_map.hpp"
#include "core/format/layout.hpp"

namespace vellkit {

namespace {

// The kind of a column from its type code (any number the code equals).
ColumnKind column_kind(double type_code) {
    if (type_code == layout::kColumnInt32) return ColumnKind::int32;
    if (type_code == layout::kColumnFloat32) return ColumnKind::float32;
    for (int code : layout::kColumnTextCodes)
        if (type_code == code) return ColumnKind::text;
    return ColumnKind::unknown;
}

// Where a table's rows are and how to read them.
struct RowPlan {
    struct Column {
        ColumnKind kind;
        AnnotationCells* target;  // a column named twice feeds the one bound last
    };
    wide table_offset = 0;  // of the table's parameter block, for messages
    wide first_row = 0;
    int64_t step = 0;       // row length
    bool native_step = true;  // false: a row length that is not an integer
    long long rows = 0;
    std::vector<Column> columns;
    // Bytes a text field reads (a file's read(n): -1 reads to the end); not
    // known when the count is not an integer, which fails at the first text
    // field read.
    bool text_bytes_known = false;
    int64_t text_bytes = -1;
};

}  // namespace

// ---------------------------------------------------------------------------
// Cells

void AnnotationCells::append_text(std::string bytes) {
    settle();
    cells_.push_back(Cell::make((uint32_t)texts_.size(), Kind::text));
    texts_.push_back(std::move(bytes));
}

void AnnotationCells::take_table(std::shared_ptr<const unsigned char[]> bytes, size_t offset,
                                 size_t stride, size_t count, Kind kind) {
    settle();
    if (!cells_.empty()) {
        // Values before these: every value becomes a cell.
        for (size_t r = 0; r < count; ++r) {
            const unsigned char* p = bytes.get() + offset + r * stride;
            const uint32_t bits = (uint32_t)load_le(p, 4);
            if (kind == Kind::integer) append_integer((int32_t)bits);
            else append_real(as_float(bits));
        }
        return;
    }
    table_ = TableValues{std::move(bytes), offset, stride, count, kind};
    in_table_ = true;
}

void AnnotationCells::settle() {
    if (!in_table_) return;
    in_table_ = false;
    TableValues values = std::move(table_);
    table_ = TableValues();
    cells_.reserve(values.count);
    for (size_t r = 0; r < values.count; ++r) {
        const uint32_t bits = (uint32_t)load_le(values.bytes.get() + values.offset + r * values.stride, 4);
        cells_.push_back(Cell::make(bits, values.kind));
    }
}

bool AnnotationCells::numbers(long long first, size_t count, double* out) const {
    if (first < 0 || (size_t)first > size() || count > size() - (size_t)first) return false;
    if (in_table_) {
        const unsigned char* p = table_.bytes.get() + table_.offset + (size_t)first * table_.stride;
        if (table_.kind == Kind::integer) {
            for (size_t i = 0; i < count; ++i, p += table_.stride) out[i] = (double)(int32_t)(uint32_t)load_le(p, 4);
        } else {
            for (size_t i = 0; i < count; ++i, p += table_.stride) out[i] = (double)as_float((uint32_t)load_le(p, 4));
        }
        return true;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!number_at(first + (long long)i, out[i])) return false;
    }
    return true;
}

bool AnnotationCells::integers(long long first, size_t count, int64_t* out) const {
    if (first < 0 || (size_t)first > size() || count > size() - (size_t)first) return false;
    if (in_table_) {
        if (table_.kind != Kind::integer) return count == 0;
        const unsigned char* p = table_.bytes.get() + table_.offset + (size_t)first * table_.stride;
        for (size_t i = 0; i < count; ++i, p += table_.stride) out[i] = (int32_t)(uint32_t)load_le(p, 4);
        return true;
    }
    for (size_t i = 0; i < count; ++i) {
        int32_t v = 0;
        if (!integer_at(first + (long long)i, v)) return false;
        out[i] = v;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Rows

namespace {

// Bytes of rows read at once: decoded as they come, or kept whole (read in
// chunks, polling for signals between them).
constexpr int64_t kBulkRowBytes = 64 * 1024;
constexpr int64_t kTableChunkBytes = 1 << 20;

int64_t saturating_add(int64_t a, int64_t b) { return a > INT64_MAX - b ? INT64_MAX : a + b; }

// Bytes a row's fields take when read back to back, or -1 when that is not
// known ahead (text fields without a sensible count, unknown columns).
int64_t row_span(const RowPlan& plan) {
    int64_t span = 0;
    for (const RowPlan::Column& c : plan.columns) {
        if (c.kind == ColumnKind::int32 || c.kind == ColumnKind::float32) {
            span += layout::kColumnNumberBytes;
        } else if (c.kind == ColumnKind::text && plan.text_bytes_known && plan.text_bytes >= 0 &&
                   plan.text_bytes <= (int64_t(1) << 20)) {
            span += plan.text_bytes;
        } else {
            return -1;
        }
    }
    return span;
}

// The fewest bytes a row's fields read: four per number, one per text.
int64_t least_row_bytes(const RowPlan& plan) {
    int64_t bytes = 0;
    for (const RowPlan::Column& c : plan.columns)
        bytes += c.kind == ColumnKind::text ? 1 : layout::kColumnNumberBytes;
    return bytes;
}

// Takes one row's fields from memory, `span` bytes at `p`.
void decode_row(const RowPlan& plan, const unsigned char* p) {
    for (const RowPlan::Column& c : plan.columns) {
        if (c.kind == ColumnKind::int32) {
            c.target->append_integer((int32_t)(uint32_t)load_le(p, 4));
            p += 4;
        } else if (c.kind == ColumnKind::float32) {
            uint32_t bits = (uint32_t)load_le(p, 4);
            float v;
            std::memcpy(&v, &bits, 4);
            c.target->append_real(v);
            p += 4;
        } else {
            const void* nul = std::memchr(p, 0, (size_t)plan.text_bytes);
            size_t length = nul ? (size_t)((const unsigned char*)nul - p) : (size_t)plan.text_bytes;
            c.target->append_text(std::string(reinterpret_cast<const char*>(p), length));
            p += plan.text_bytes;
        }
    }
}

void read_row_at_once(Cursor& cursor, const RowPlan& plan, int64_t span, std::vector<unsigned char>& buffer,
                      Status& status) {
    size_t got = 0;
    if (span > 0) status = cursor.read(buffer.data(), (size_t)span, got);
    if (!status.ok()) return;
    decode_row(plan, buffer.data());
}

// The whole table kept as its bytes, each column reading its values in
// place: when every column holds numbers, feeds a column of its own, and the
// rows lie wholly in the file and take no more memory than cells would.
// False (nothing read) when that does not hold or the file shrank meanwhile.
Status keep_table_bytes(Cursor& cursor, const RowPlan& plan, int64_t span, bool& kept) {
    kept = false;
    const int64_t size = cursor.file_size();
    if (span <= 0 || plan.step <= 0 || plan.rows <= 0 || !fits_offset(plan.first_row)) return Status();
    for (size_t i = 0; i < plan.columns.size(); ++i) {
        const RowPlan::Column& c = plan.columns[i];
        if (c.kind != ColumnKind::int32 && c.kind != ColumnKind::float32) return Status();
        for (size_t j = 0; j < i; ++j)
            if (plan.columns[j].target == c.target) return Status();
    }
    const int64_t first = (int64_t)plan.first_row;
    if (first < 0 || first > size - span || (size - span - first) / plan.step < plan.rows - 1) return Status();
    const int64_t total = (plan.rows - 1) * plan.step + span;
    if ((uint64_t)total > (uint64_t)plan.rows * plan.columns.size() * 8) return Status();

    // Not zero-filled: every byte is read before the columns see it, and a
    // short read gives the bytes up unseen.
    std::shared_ptr<unsigned char[]> bytes(new unsigned char[(size_t)total]);
    for (int64_t done = 0; done < total;) {
        VELLKIT_TRY(cursor.source().poll());
        const size_t n = (size_t)std::min<int64_t>(total - done, kTableChunkBytes);
        size_t delivered = 0;
        VELLKIT_TRY(cursor.source().read_at(first + done, bytes.get() + done, n, delivered));
        if (delivered < n) return Status();
        done += (int64_t)n;
    }
    size_t at = 0;
    for (const RowPlan::Column& c : plan.columns) {
        c.target->take_table(bytes, at, (size_t)plan.step, (size_t)plan.rows,
                             c.kind == ColumnKind::int32 ? AnnotationCells::Kind::integer : AnnotationCells::Kind::real);
        at += (size_t)layout::kColumnNumberBytes;
    }
    kept = true;
    // Where reading the last row field by field would have left the file.
    return cursor.seek(first + total);
}

// Rows of `span` bytes that lie wholly in the file and advance, from row 0
// on: read many at once and taken from memory. `done` ends as the count of
// rows read; the rest (cut by the end of the file) are read field by field.
Status read_rows_in_bulk(Cursor& cursor, const RowPlan& plan, int64_t span, long long& done) {
    done = 0;
    const int64_t size = cursor.file_size();
    if (span <= 0 || plan.step <= 0 || !fits_offset(plan.first_row)) return Status();
    const int64_t first = (int64_t)plan.first_row;
    if (first < 0 || first > size - span) return Status();
    const long long in_file = (long long)std::min<int64_t>(plan.rows, (size - span - first) / plan.step + 1);
    const long long per_chunk = (long long)std::max<int64_t>(1, kBulkRowBytes / plan.step);
    std::vector<unsigned char> buffer;
    while (done < in_file) {
        const long long m = std::min(per_chunk, in_file - done);
        const int64_t at = first + done * plan.step;
        const size_t bytes = (size_t)((m - 1) * plan.step + span);
        buffer.resize(bytes);
        size_t delivered = 0;
        VELLKIT_TRY(cursor.source().read_at(at, buffer.data(), bytes, delivered));
        for (long long i = 0; i < m; ++i) {
            // A file that shrank meanwhile: its rows are read field by field.
            if ((size_t)(i * plan.step + span) > delivered) {
                done += i;
                return cursor.seek(at + i * plan.step);
            }
            if ((done + i) % kInterruptPollEvery == kInterruptPollEvery - 1) VELLKIT_TRY(cursor.source().poll());
            decode_row(plan, buffer.data() + (size_t)(i * plan.step));
        }
        done += m;
    }
    // Where reading the last row field by field would have left the file.
    return cursor.seek(first + (done - 1) * plan.step + span);
}

Status read_row_by_fields(Cursor& cursor, FieldReadObserver& observer, const RowPlan& plan) {
    for (size_t i = 0; i < plan.columns.size(); ++i) {
        const RowPlan::Column& c = plan.columns[i];
        switch (c.kind) {
        case ColumnKind::int32:
            c.target->append_integer(read_int32(cursor, observer));
            break;
        case ColumnKind::float32:
            c.target->append_real(read_float32(cursor, observer));
            break;
        case ColumnKind::text: {
            if (!plan.text_bytes_known) return Status::error(ErrorCode::annotation_text_length, (int64_t)i);
            std::string text;
            VELLKIT_TRY(cursor.read_text(plan.text_bytes, text));
            c.target->append_text(std::move(text));
            break;
        }
        case ColumnKind::unknown:
            return Status::error(ErrorCode::annotation_column_type, (int64_t)i);
        }
    }
    return Status();
}

// Fails with rows_too_many when a table claims more rows than the file can
// hold: more rows than start within it (plus a few), or, for rows that do
// not advance, more fields than the file holds bytes for.
Status check_row_count(const RowPlan& plan, int64_t file_size) {
    long long limit = saturating_add(file_size, kRowSlack);
    if (!plan.native_step) {
        // The first row's position fails on its own.
    } else if (plan.step > 0) {
        const wide within = plan.first_row >= file_size ? 0 : (file_size - plan.first_row + plan.step - 1) / plan.step;
        if (within + kRowsPastEndRead < limit) limit = (long long)(within + kRowsPastEndRead);
    } else {
        // Rows that do not advance read the same bytes again and again: as
        // many fields as the file holds bytes for, and no more.
        const int64_t per_row = least_row_bytes(plan);
        if (per_row > 0) {
            const long long fit = saturating_add(file_size, kRowSlack) / per_row;
            if (fit < limit) limit = fit;
        }
    }
    if (plan.rows > limit) {
        int64_t at = fits_offset(plan.table_offset) ? (int64_t)plan.table_offset : 0;
        return Status::error(ErrorCode::rows_too_many, plan.rows, at);
    }
    return Status();
}

// Reads the rows into their columns, row after row, each field as a file
// read would give it (short reads reported through `observer`). Fails with
// annotation_column_type (`value`: the column's index) at a column of
// unknown type and annotation_text_length at a text field whose count is
// not a plain integer.
Status read_annotation_rows(Cursor& cursor, FieldReadObserver& observer, const RowPlan& plan) {
    const int64_t span = row_span(plan);
    bool kept = false;
    VELLKIT_TRY(keep_table_bytes(cursor, plan, span, kept));
    if (kept) return Status();
    std::vector<unsigned char> buffer(span > 0 ? (size_t)span : 0);
    for (const RowPlan::Column& c : plan.columns) c.target->reserve((size_t)plan.rows);
    long long r = 0;
    VELLKIT_TRY(read_rows_in_bulk(cursor, plan, span, r));
    // Row r lies at first_row + r * step, stepped by additions.
    wide row_at = plan.first_row + wide(r) * wide(plan.step);
    for (; r < plan.rows; ++r, row_at = row_at + plan.step) {
        if (r % kInterruptPollEvery == kInterruptPollEvery - 1) VELLKIT_TRY(cursor.source().poll());
        VELLKIT_TRY(cursor.seek(row_at));
        if (span >= 0 && cursor.remaining() >= span) {
            // The whole row is in the file: one read, fields taken from memory.
            Status status;
            read_row_at_once(cursor, plan, span, buffer, status);
            VELLKIT_TRY(status);
            continue;
        }
        VELLKIT_TRY(read_row_by_fields(cursor, observer, plan));
    }
    return Status();
}

// ---------------------------------------------------------------------------
// Whole blocks on plain values

std::string numbered(const char* prefix, int64_t n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%02lld", prefix, (long long)n);
    return buf;
}

using Step = AnnotationGap::Step;

// Stops at a step whose values are not plain.
void stop_at(AnnotationGap& gap, Step step, const std::string& name, const ParamRecord& value, int64_t at = 0) {
    gap.kind = AnnotationGap::Kind::not_plain;
    gap.step = step;
    gap.name = name;
    gap.value = value;
    gap.at = at;
}

// Looks up `name` in a parameter block; false (with the gap set) when it is
// missing or, for an integer `step` (count, offset), not an integer.
const ParamRecord* lookup(const ParamMap& params, const std::string& name, AnnotationGap& gap, bool want_integer = false,
                          Step step = Step::count, int64_t at = 0) {
    const ParamRecord* r = params.find(name);
    if (!r) {
        gap.kind = AnnotationGap::Kind::missing;
        gap.name = name;
        return nullptr;
    }
    if (want_integer && r->kind != ParamRecord::Kind::integer) {
        stop_at(gap, step, name, *r, at);
        return nullptr;
    }
    return r;
}

bool is_integer(const ParamRecord& r) { return r.kind == ParamRecord::Kind::integer; }

Status parse_params(Cursor& cursor, FieldReadObserver& observer, wide offset, ParamMap& out) {
    std::vector<ParamRecord> records;
    VELLKIT_TRY(parse_parameter_block(cursor, offset, observer, records));
    out.merge(records);
    return Status();
}

}  // namespace

Status read_annotation_block(Cursor& cursor, FieldReadObserver& observer, int64_t offset, MemoryBudget& budget,
                             AnnotationBlock& out, AnnotationGap& gap) {
    gap = AnnotationGap();
    ParamMap directory;
    VELLKIT_TRY(parse_params(cursor, observer, wide(offset) + wide(layout::kAnnotationDirectoryAt), directory));
    const ParamRecord* tables = lookup(directory, "NRP", gap, true);
    if (!tables) return Status();
    for (int32_t t = 0; t < tables->integer; ++t) {
        const ParamRecord* table_offset = lookup(directory, numbered("F", t), gap, true, Step::offset, offset);
        if (!table_offset) return Status();
        const wide param_at = wide(offset) + wide(table_offset->integer);
        ParamMap params;
        VELLKIT_TRY(parse_params(cursor, observer, param_at, params));
        const int64_t param_offset = fits_offset(param_at) ? (int64_t)param_at : 0;
        const ParamRecord* siz = lookup(params, "SIZ", gap, true, Step::offset, param_offset);
        if (!siz) return Status();
        const wide first_row = param_at + wide(siz->integer);
        VELLKIT_TRY(cursor.seek(first_row));
        const ParamRecord* row_length = lookup(params, "SRC", gap);
        const ParamRecord* column_count = row_length ? lookup(params, "NCO", gap, true) : nullptr;
        if (!column_count) return Status();

        RowPlan plan;
        plan.table_offset = param_at;
        plan.first_row = first_row;
        plan.native_step = is_integer(*row_length);
        plan.step = plan.native_step ? row_length->integer : 0;
        // The greatest room a text column has to the row's end, compared as
        // the module compares its numbers (a float room may win).
        const ParamRecord* widest = nullptr;
        double text_bytes = -1;
        for (int32_t i = 0; i < column_count->integer; ++i) {
            const ParamRecord* name = lookup(params, numbered("S", i), gap);
            const ParamRecord* position = name ? lookup(params, numbered("F", i), gap) : nullptr;
            const ParamRecord* type = position ? lookup(params, numbered("T", i), gap) : nullptr;
            if (!type) return Status();
            ColumnKind kind = ColumnKind::unknown;
            if (type->kind != ParamRecord::Kind::text) kind = column_kind(number_of(*type));
            if (kind == ColumnKind::text) {
                if (row_length->kind == ParamRecord::Kind::text || position->kind == ParamRecord::Kind::text) {
                    stop_at(gap, Step::room, numbered("F", i), *position);
                    gap.other = *row_length;
                    return Status();
                }
                const double room = number_of(*row_length) - number_of(*position);
                if (room > text_bytes) {
                    text_bytes = room;
                    widest = is_integer(*row_length) && is_integer(*position) ? nullptr : position;
                }
            }
            // A name that is not text is bound to a column no lookup finds.
            const std::string key = name->kind == ParamRecord::Kind::text ? name->text : std::string();
            out.columns.push_back(std::make_unique<AnnotationCells>());
            out.kinds.push_back(kind);
            AnnotationCells* column = out.columns.back().get();
            if (!key.empty()) {
                if (out.names.find(key) == out.names.end()) out.order.push_back(key);
                out.names[key] = out.columns.size() - 1;
            }
            plan.columns.push_back({kind, column});
        }
        // A name given twice feeds the column bound last.
        for (size_t i = 0; i < plan.columns.size(); ++i) {
            const ParamRecord* name = params.find(numbered("S", (int64_t)i));
            if (name->kind == ParamRecord::Kind::text && !name->text.empty())
                plan.columns[i].target = out.columns[out.names[name->text]].get();
        }
        const ParamRecord* rows = lookup(params, "NLN", gap, true);
        if (!rows) return Status();
        if (rows->integer <= 0) continue;
        plan.rows = rows->integer;
        plan.text_bytes_known = !widest;
        plan.text_bytes = (int64_t)text_bytes;
        VELLKIT_TRY(check_row_count(plan, cursor.file_size()));
        VELLKIT_TRY(budget.charge((uint64_t)plan.rows * plan.columns.size(), 8));
        if (!plan.native_step) {
            stop_at(gap, Step::row_position, "SRC", *row_length, fits_offset(first_row) ? (int64_t)first_row : 0);
            return Status();
        }
        Status status = read_annotation_rows(cursor, observer, plan);
        if (status.code == ErrorCode::annotation_text_length) {
            stop_at(gap, Step::text_length, "SRC", *row_length);
            gap.value.kind = ParamRecord::Kind::real;
            gap.value.real = text_bytes;
        } else if (status.code == ErrorCode::annotation_column_type) {
            stop_at(gap, Step::column_type, numbered("T", status.value), *params.find(numbered("T", status.value)));
        }
        VELLKIT_TRY(status);
    }
    return Status();
}

}  // namespace vellkit
