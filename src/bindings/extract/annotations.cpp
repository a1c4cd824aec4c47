#include "bindings/extract/annotations.hpp"

#include <cstdio>
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
    Ref values;  // the list the column's values go to
};

// Rows that start past the end of the file read as zeros; a few are read
// like any other row (and reported), more fail the call.
constexpr int64_t kRowsPastEndRead = 16;
constexpr int64_t kRowSlack = 4096;

Ref item(PyObject* dict, const std::string& key) { return lookup(dict, key.c_str()); }

std::string numbered(const char* prefix, long long n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%02lld", prefix, n);
    return buf;
}

bool equals_int(PyObject* value, long v) {
    Ref number = new_int(v);
    int r = PyObject_RichCompareBool(value, number.get(), Py_EQ);
    check_status(r);
    return r != 0;
}

ColumnKind column_kind(PyObject* type) {
    if (equals_int(type, 4)) return ColumnKind::int32;
    if (equals_int(type, 5)) return ColumnKind::float32;
    if (equals_int(type, 1004) || equals_int(type, 1005) || equals_int(type, 1011)) return ColumnKind::text;
    return ColumnKind::unknown;
}

// range(value): the count of a loop over a parameter's value.
long long loop_count(PyObject* value) {
    Ref index = Ref::check(PyNumber_Index(value));
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw PyError();
    if (overflow > 0) n = LLONG_MAX;
    if (overflow < 0) n = 0;
    return n;
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

}  // namespace

Ref read_annotation_table(ExtractContext& ctx, PyObject* offset) {
    Ref annotations = Ref::check(PyDict_New());
    Ref twelve = new_int(12);
    Ref dir_offset = Ref::check(PyNumber_Add(offset, twelve.get()));
    Ref param_dir = read_parameters(ctx.cursor, offset_value(dir_offset.get()), ctx.reporter);
    long long tables = loop_count(lookup(param_dir.get(), "NRP").get());
    for (long long table = 0; table < tables; ++table) {
        Ref table_offset = item(param_dir.get(), numbered("F", table));
        Ref param_at = Ref::check(PyNumber_Add(offset, table_offset.get()));
        Ref param_img = read_parameters(ctx.cursor, offset_value(param_at.get()), ctx.reporter);
        Ref first_row_at = Ref::check(PyNumber_Add(param_at.get(), lookup(param_img.get(), "SIZ").get()));
        wide first_row = offset_value(first_row_at.get());
        check(ctx.cursor.seek(first_row));

        Ref row_length = lookup(param_img.get(), "SRC");
        Ref strlen_value = new_int(-1);
        std::vector<Column> columns;
        long long column_count = loop_count(lookup(param_img.get(), "NCO").get());
        for (long long i = 0; i < column_count; ++i) {
            Ref name = item(param_img.get(), numbered("S", i));
            Ref position = item(param_img.get(), numbered("F", i));
            Ref type = item(param_img.get(), numbered("T", i));
            Ref fresh = Ref::check(PyList_New(0));
            check_status(PyDict_SetItem(annotations.get(), name.get(), fresh.get()));
            ColumnKind kind = column_kind(type.get());
            if (kind == ColumnKind::text) {
                Ref room = Ref::check(PyNumber_Subtract(row_length.get(), position.get()));
                int larger = PyObject_RichCompareBool(room.get(), strlen_value.get(), Py_GT);
                check_status(larger);
                if (larger) strlen_value = std::move(room);
            }
            columns.push_back(Column{std::move(name), std::move(type), kind, Ref()});
        }
        long long rows = loop_count(lookup(param_img.get(), "NLN").get());
        // A column named twice appends to the list bound last under its name.
        for (Column& c : columns) {
            PyObject* list = PyDict_GetItemWithError(annotations.get(), c.name.get());
            if (!list) throw PyError();
            c.values = Ref::borrow(list);
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
        for (long long r = 0; r < rows; ++r) {
            if (native_rows) {
                check(ctx.cursor.seek(first_row + (wide)r * native_step));
            } else {
                Ref index = new_int(r);
                Ref step = Ref::check(PyNumber_Multiply(index.get(), row_length.get()));
                Ref row_at = Ref::check(PyNumber_Add(first_row_at.get(), step.get()));
                check(ctx.cursor.seek(offset_value(row_at.get())));
            }
            for (Column& c : columns) {
                Ref value;
                switch (c.kind) {
                case ColumnKind::int32:
                    value = new_int(read_int32(ctx.cursor, ctx.reporter));
                    break;
                case ColumnKind::float32:
                    value = new_float(read_float32(ctx.cursor, ctx.reporter));
                    break;
                case ColumnKind::text: {
                    std::string text;
                    check(ctx.cursor.read_text(text_length(strlen_value.get()), text));
                    value = decode_stored_text(text);
                    break;
                }
                case ColumnKind::unknown: {
                    Ref fmt = new_str("Unknown annotation data type {0}");
                    Ref message = Ref::check(PyObject_CallMethod(fmt.get(), "format", "O", c.type.get()));
                    PyErr_SetObject(PyExc_ValueError, message.get());
                    throw PyError();
                }
                }
                check_status(PyList_Append(c.values.get(), value.get()));
            }
        }
    }
    return annotations;
}

}  // namespace vellkit::py
