#include "bindings/extract/annotations.hpp"

#include <cstdio>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "bindings/common/errors.hpp"
#include "bindings/format/text.hpp"
#include "bindings/parameter_blocks/params.hpp"

namespace vellkit::py {

namespace {

enum class ColumnKind { int32, float32, text, unknown };

struct Column {
    Ref name;
    Ref type;
    ColumnKind kind;
    size_t target = 0;  // the column its values go to
};

std::string numbered(const char* prefix, long long n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%02lld", prefix, n);
    return buf;
}

ColumnKind column_kind(PyObject* type) {
    if (equals_number(type, 4)) return ColumnKind::int32;
    if (equals_number(type, 5)) return ColumnKind::float32;
    if (equals_number(type, 1004) || equals_number(type, 1005) || equals_number(type, 1011)) return ColumnKind::text;
    return ColumnKind::unknown;
}

// The count of bytes a text field reads (f.read(strlen) semantics).
int64_t text_length(PyObject* strlen_value) {
    if (!PyLong_Check(strlen_value)) {
        PyErr_Format(PyExc_TypeError, "argument should be integer or None, not '%.200s'", Py_TYPE(strlen_value)->tp_name);
        throw PyError();
    }
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(strlen_value, &overflow);
    if (n == -1 && PyErr_Occurred()) throw PyError();
    if (overflow > 0) return INT64_MAX;
    if (overflow < 0) return -1;
    return n;
}

void check_row_count(ExtractContext& ctx, long long rows, wide first_row, PyObject* row_length, wide table_offset) {
    const int64_t size = ctx.source.size();
    long long limit = size + kRowSlack;
    if (PyLong_Check(row_length)) {
        int overflow = 0;
        long long step = PyLong_AsLongLongAndOverflow(row_length, &overflow);
        if (step == -1 && PyErr_Occurred()) throw PyError();
        if (!overflow && step > 0) {
            wide within = first_row >= size ? 0 : (size - first_row + step - 1) / step;
            if (within + kRowsPastEndRead < limit) limit = (long long)(within + kRowsPastEndRead);
        }
    }
    if (rows > limit) {
        int64_t at = fits_offset(table_offset) ? (int64_t)table_offset : 0;
        check(Status::error(ErrorCode::rows_too_many, rows, at));
    }
}

void read_row_at_once(ExtractContext& ctx, const std::vector<Column>& columns, AnnotationTable& table,
                      int64_t row_span, int64_t text_bytes, std::vector<unsigned char>& buffer) {
    size_t got = 0;
    if (row_span > 0) check(ctx.cursor.read(buffer.data(), (size_t)row_span, got));
    const unsigned char* p = buffer.data();
    for (const Column& c : columns) {
        AnnotationColumn& target = table.columns[c.target];
        if (c.kind == ColumnKind::int32) {
            target.append_integer((int32_t)(uint32_t)load_le(p, 4));
            p += 4;
        } else if (c.kind == ColumnKind::float32) {
            uint32_t bits = (uint32_t)load_le(p, 4);
            float v;
            std::memcpy(&v, &bits, 4);
            target.append_real(v);
            p += 4;
        } else {
            const void* nul = std::memchr(p, 0, (size_t)text_bytes);
            size_t length = nul ? (size_t)((const unsigned char*)nul - p) : (size_t)text_bytes;
            target.append_text(std::string(reinterpret_cast<const char*>(p), length));
            p += text_bytes;
        }
    }
}

}  // namespace

AnnotationTable read_annotation_table(ExtractContext& ctx, PyObject* offset) {
    AnnotationTable table;
    table.names = Ref::check(PyDict_New());
    Ref twelve = new_int(12);
    Ref dir_offset = Ref::check(PyNumber_Add(offset, twelve.get()));
    Ref param_dir = read_parameters(ctx.cursor, offset_value(dir_offset.get()), ctx.reporter);
    long long tables = range_count(lookup(param_dir.get(), "NRP").get());
    for (long long t = 0; t < tables; ++t) {
        Ref table_offset = lookup(param_dir.get(), numbered("F", t));
        Ref param_at = Ref::check(PyNumber_Add(offset, table_offset.get()));
        Ref param_img = read_parameters(ctx.cursor, offset_value(param_at.get()), ctx.reporter);
        Ref first_row_at = Ref::check(PyNumber_Add(param_at.get(), lookup(param_img.get(), "SIZ").get()));
        wide first_row = offset_value(first_row_at.get());
        check(ctx.cursor.seek(first_row));

        Ref row_length = lookup(param_img.get(), "SRC");
        Ref strlen_value = new_int(-1);
        std::vector<Column> columns;
        long long column_count = range_count(lookup(param_img.get(), "NCO").get());
        for (long long i = 0; i < column_count; ++i) {
            Ref name = lookup(param_img.get(), numbered("S", i));
            Ref position = lookup(param_img.get(), numbered("F", i));
            Ref type = lookup(param_img.get(), numbered("T", i));
            // Each column name is bound to a new, empty column.
            Ref index = new_int((long long)table.columns.size());
            check_status(PyDict_SetItem(table.names.get(), name.get(), index.get()));
            table.columns.emplace_back();
            ColumnKind kind = column_kind(type.get());
            if (kind == ColumnKind::text) {
                Ref room = Ref::check(PyNumber_Subtract(row_length.get(), position.get()));
                int larger = PyObject_RichCompareBool(room.get(), strlen_value.get(), Py_GT);
                check_status(larger);
                if (larger) strlen_value = std::move(room);
            }
            columns.push_back(Column{std::move(name), std::move(type), kind});
        }
        long long rows = range_count(lookup(param_img.get(), "NLN").get());
        // A column named twice feeds the column bound last under its name.
        for (Column& c : columns) {
            PyObject* bound = PyDict_GetItemWithError(table.names.get(), c.name.get());
            if (!bound) throw PyError();
            c.target = (size_t)PyLong_AsSsize_t(bound);
        }
        if (rows <= 0) continue;
        check_row_count(ctx, rows, first_row, row_length.get(), offset_value(param_at.get()));

        // Integer row lengths (all real files) are stepped natively.
        int overflow = 0;
        long long native_step = PyLong_Check(row_length.get())
                                    ? PyLong_AsLongLongAndOverflow(row_length.get(), &overflow)
                                    : 0;
        if (native_step == -1 && PyErr_Occurred()) throw PyError();
        const bool native_rows = PyLong_Check(row_length.get()) && !overflow;
        int64_t text_bytes = -1;
        bool text_sized = false;
        // Bytes a row's fields take, read back to back (-1: not known ahead,
        // as when text fields read to the end of the file).
        int64_t row_span = 0;
        for (const Column& c : columns) {
            if (c.kind == ColumnKind::int32 || c.kind == ColumnKind::float32) {
                row_span += 4;
            } else if (c.kind == ColumnKind::text) {
                if (!PyLong_Check(strlen_value.get())) {
                    row_span = -1;  // read() refuses it where the first text field is read
                    break;
                }
                if (!text_sized) {
                    text_bytes = text_length(strlen_value.get());
                    text_sized = true;
                }
                if (text_bytes < 0 || text_bytes > (1 << 20)) row_span = -1;
                if (row_span >= 0) row_span += text_bytes;
            } else {
                row_span = -1;  // the row fails at this column, as read field by field
            }
            if (row_span < 0) break;
        }
        std::vector<unsigned char> row_buffer(row_span > 0 ? (size_t)row_span : 0);
        for (const Column& c : columns) table.columns[c.target].reserve((size_t)rows);
        for (long long r = 0; r < rows; ++r) {
            if (native_rows) {
                check(ctx.cursor.seek(first_row + (wide)r * native_step));
            } else {
                Ref index = new_int(r);
                Ref step = Ref::check(PyNumber_Multiply(index.get(), row_length.get()));
                Ref row_at = Ref::check(PyNumber_Add(first_row_at.get(), step.get()));
                check(ctx.cursor.seek(offset_value(row_at.get())));
            }
            if (row_span >= 0 && ctx.cursor.remaining() >= row_span) {
                // The whole row is in the file: one read, fields taken from memory.
                read_row_at_once(ctx, columns, table, row_span, text_bytes, row_buffer);
                continue;
            }
            for (Column& c : columns) {
                AnnotationColumn& target = table.columns[c.target];
                switch (c.kind) {
                case ColumnKind::int32:
                    target.append_integer(read_int32(ctx.cursor, ctx.reporter));
                    break;
                case ColumnKind::float32:
                    target.append_real(read_float32(ctx.cursor, ctx.reporter));
                    break;
                case ColumnKind::text: {
                    if (!text_sized) {
                        text_bytes = text_length(strlen_value.get());
                        text_sized = true;
                    }
                    std::string text;
                    check(ctx.cursor.read_text(text_bytes, text));
                    target.append_text(std::move(text));
                    break;
                }
                case ColumnKind::unknown: {
                    Ref fmt = new_str("Unknown annotation data type {0}");
                    Ref message = Ref::check(PyObject_CallMethod(fmt.get(), "format", "O", c.type.get()));
                    PyErr_SetObject(PyExc_ValueError, message.get());
                    throw PyError();
                }
                }
            }
        }
    }
    return table;
}

// ---------------------------------------------------------------------------
// Columns

void AnnotationColumn::append_text(std::string bytes) {
    cells_.push_back(Cell::make((uint32_t)texts_.size(), Kind::text));
    texts_.push_back(std::move(bytes));
}

Ref AnnotationColumn::item(long long row) const {
    if (row < 0 || (size_t)row >= cells_.size()) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        throw PyError();
    }
    const Cell& c = cells_[(size_t)row];
    switch (c.kind()) {
    case Kind::integer:
        return new_int(c.integer());
    case Kind::real:
        return new_float(c.real());
    case Kind::text:
        break;
    }
    return decode_stored_text(texts_[c.text()]);
}

bool AnnotationColumn::integer_at(long long row, int32_t& out) const {
    if (row < 0 || (size_t)row >= cells_.size() || cells_[(size_t)row].kind() != Kind::integer) return false;
    out = cells_[(size_t)row].integer();
    return true;
}

bool AnnotationColumn::number_at(long long row, double& out) const {
    if (row < 0 || (size_t)row >= cells_.size()) return false;
    const Cell& c = cells_[(size_t)row];
    if (c.kind() == Kind::integer) {
        out = c.integer();
        return true;
    }
    if (c.kind() == Kind::real) {
        out = c.real();
        return true;
    }
    return false;
}

const std::unordered_map<int32_t, AnnotationColumn::Occurrences>& AnnotationColumn::occurrences() const {
    if (!occurrences_built_) {
        for (size_t i = 0; i < cells_.size(); ++i) {
            auto inserted = occurrences_.emplace(cells_[i].integer(), Occurrences{(long long)i, 0});
            ++inserted.first->second.count;
        }
        occurrences_built_ = true;
    }
    return occurrences_;
}

long long AnnotationColumn::index_of(long long value) const {
    if (all_integers()) {
        auto it = value >= INT32_MIN && value <= INT32_MAX ? occurrences().find((int32_t)value) : occurrences().end();
        if (it != occurrences().end()) return it->second.first;
        PyErr_Format(PyExc_ValueError, "%lld is not in list", value);
        throw PyError();
    }
    // Text never equals an int; a real equals it when numerically equal.
    for (size_t i = 0; i < cells_.size(); ++i) {
        const Cell& c = cells_[i];
        if ((c.kind() == Kind::integer && c.integer() == value) || (c.kind() == Kind::real && (double)c.real() == (double)value))
            return (long long)i;
    }
    PyErr_Format(PyExc_ValueError, "%lld is not in list", value);
    throw PyError();
}

long long AnnotationColumn::count_of(PyObject* value, long long row_of_value) const {
    const Cell& own = cells_[(size_t)row_of_value];
    if (own.kind() == Kind::text) {
        // Different bytes may decode to equal texts: compare as the list would.
        long long n = 0;
        for (size_t i = 0; i < cells_.size(); ++i) {
            if (cells_[i].kind() != Kind::text) continue;
            Ref other = item((long long)i);
            int eq = PyObject_RichCompareBool(other.get(), value, Py_EQ);
            check_status(eq);
            n += eq;
        }
        return n;
    }
    if (all_integers()) return occurrences().at(own.integer()).count;
    double v = own.kind() == Kind::integer ? (double)own.integer() : (double)own.real();
    // A NaN equals nothing but itself, and each row holds its own object.
    if (v != v) return 1;
    long long n = 0;
    for (const Cell& c : cells_) {
        if (c.kind() == Kind::integer && (double)c.integer() == v) ++n;
        else if (c.kind() == Kind::real && (double)c.real() == v) ++n;
    }
    return n;
}

Ref AnnotationColumn::as_set() const {
    Ref members = Ref::check(PySet_New(nullptr));
    if (all_integers()) {
        // Adding a value already present leaves a set as it is, slot for
        // slot, so adding each distinct value once, in order of first
        // appearance, builds the same set as adding the whole column.
        std::unordered_set<int32_t> seen;
        bool has_previous = false;
        int32_t previous = 0;
        for (const Cell& c : cells_) {
            if (has_previous && c.integer() == previous) continue;
            has_previous = true;
            previous = c.integer();
            if (!seen.insert(c.integer()).second) continue;
            Ref v = new_int(c.integer());
            check_status(PySet_Add(members.get(), v.get()));
        }
        return members;
    }
    for (size_t i = 0; i < cells_.size(); ++i) {
        Ref v = item((long long)i);
        check_status(PySet_Add(members.get(), v.get()));
    }
    return members;
}

const AnnotationColumn& AnnotationTable::column(const char* name) const {
    Ref key = new_str(name);
    PyObject* index = PyDict_GetItemWithError(names.get(), key.get());
    if (!index) {
        if (PyErr_Occurred()) throw PyError();
        raise_key_error(key.get());
    }
    return columns[(size_t)PyLong_AsSsize_t(index)];
}

}  // namespace vellkit::py
