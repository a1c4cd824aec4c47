#include "core/extract/annotations.hpp"

#include <vector>

#include "core/common/limits.hpp"
#include "core/format/layout.hpp"

namespace vellkit {

ColumnKind column_kind(double type_code) {
    if (type_code == layout::kColumnInt32) return ColumnKind::int32;
    if (type_code == layout::kColumnFloat32) return ColumnKind::float32;
    for (int code : layout::kColumnTextCodes)
        if (type_code == code) return ColumnKind::text;
    return ColumnKind::unknown;
}

// ---------------------------------------------------------------------------
// Cells

void AnnotationCells::append_text(std::string bytes) {
    cells_.push_back(Cell::make((uint32_t)texts_.size(), Kind::text));
    texts_.push_back(std::move(bytes));
}

const std::unordered_map<int32_t, AnnotationCells::Occurrences>& AnnotationCells::occurrences() const {
    if (!occurrences_built_) {
        for (size_t i = 0; i < cells_.size(); ++i) {
            auto inserted = occurrences_.emplace(cells_[i].integer(), Occurrences{(long long)i, 0});
            ++inserted.first->second.count;
        }
        occurrences_built_ = true;
    }
    return occurrences_;
}

bool AnnotationCells::first_row_of(int32_t value, long long& row) const {
    auto it = occurrences().find(value);
    if (it == occurrences().end()) return false;
    row = it->second.first;
    return true;
}

long long AnnotationCells::count_of(int32_t value) const {
    auto it = occurrences().find(value);
    return it == occurrences().end() ? 0 : it->second.count;
}

long long AnnotationCells::first_number_row(double value) const {
    for (size_t i = 0; i < cells_.size(); ++i) {
        const Cell& c = cells_[i];
        if ((c.kind() == Kind::integer && (double)c.integer() == value) || (c.kind() == Kind::real && (double)c.real() == value))
            return (long long)i;
    }
    return -1;
}

long long AnnotationCells::count_numbers(double value) const {
    long long n = 0;
    for (const Cell& c : cells_) {
        if (c.kind() == Kind::integer && (double)c.integer() == value) ++n;
        else if (c.kind() == Kind::real && (double)c.real() == value) ++n;
    }
    return n;
}

// ---------------------------------------------------------------------------
// Rows

namespace {

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

void read_row_at_once(Cursor& cursor, const RowPlan& plan, int64_t span, std::vector<unsigned char>& buffer,
                      Status& status) {
    size_t got = 0;
    if (span > 0) status = cursor.read(buffer.data(), (size_t)span, got);
    if (!status.ok()) return;
    const unsigned char* p = buffer.data();
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

}  // namespace

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

Status read_annotation_rows(Cursor& cursor, FieldReadObserver& observer, const RowPlan& plan) {
    const int64_t span = row_span(plan);
    std::vector<unsigned char> buffer(span > 0 ? (size_t)span : 0);
    for (const RowPlan::Column& c : plan.columns) c.target->reserve((size_t)plan.rows);
    // Row r lies at first_row + r * step, stepped by additions.
    wide row_at = plan.first_row;
    for (long long r = 0; r < plan.rows; ++r, row_at = row_at + plan.step) {
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

}  // namespace vellkit
