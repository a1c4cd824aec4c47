#include "bindings/extract/annotations.hpp"

#include <cstdio>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "pyglue/errors.hpp"
#include "pyglue/objects.hpp"
#include "bindings/parameter_blocks/params.hpp"
#include "core/format/layout.hpp"

namespace vellkit::py {

namespace {

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

// The kind of a column: its type value compared with the known codes as
// numbers (a text or any other value matches none).
ColumnKind kind_of(PyObject* type) {
    if (PyLong_Check(type)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(type, &overflow);
        if (v == -1 && PyErr_Occurred()) throw PyError();
        if (overflow || v < INT32_MIN || v > INT32_MAX) return ColumnKind::unknown;
        return column_kind((double)v);
    }
    if (PyFloat_Check(type)) return column_kind(PyFloat_AS_DOUBLE(type));
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

[[noreturn]] void raise_unknown_type(PyObject* type) {
    Ref fmt = new_str("Unknown annotation data type {0}");
    Ref message = Ref::check(PyObject_CallMethod(fmt.get(), "format", "O", type));
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw PyError();
}

// A row length that is not an integer (a float or a text from the file)
// fails where the first row's position is computed and sought.
[[noreturn]] void raise_row_position(ExtractContext& ctx, PyObject* first_row_at, PyObject* row_length) {
    Ref index = new_int(0);
    Ref step = Ref::check(PyNumber_Multiply(index.get(), row_length));
    Ref row_at = Ref::check(PyNumber_Add(first_row_at, step.get()));
    check(ctx.cursor.seek(offset_value(row_at.get())));
    PyErr_SetString(PyExc_SystemError, "vellkit: a row length that is not an integer was sought");
    throw PyError();
}

// The columns of one table, each name bound to a new column of `table` (a
// name given twice feeds the column bound last), and the count of bytes a
// text field reads: the most room any text column has to the row's end.
struct TableColumns {
    std::vector<Column> list;
    Ref text_bytes;
};

TableColumns bind_columns(AnnotationTable& table, PyObject* param_img, PyObject* row_length) {
    TableColumns columns;
    columns.text_bytes = new_int(-1);
    long long column_count = range_count(lookup(param_img, "NCO").get());
    for (long long i = 0; i < column_count; ++i) {
        Ref name = lookup(param_img, numbered("S", i));
        Ref position = lookup(param_img, numbered("F", i));
        Ref type = lookup(param_img, numbered("T", i));
        Ref index = new_int((long long)table.columns.size());
        check_status(PyDict_SetItem(table.names.get(), name.get(), index.get()));
        table.columns.push_back(std::make_unique<AnnotationColumn>());
        ColumnKind kind = kind_of(type.get());
        if (kind == ColumnKind::text) {
            Ref room = Ref::check(PyNumber_Subtract(row_length, position.get()));
            int larger = PyObject_RichCompareBool(room.get(), columns.text_bytes.get(), Py_GT);
            check_status(larger);
            if (larger) columns.text_bytes = std::move(room);
        }
        columns.list.push_back(Column{std::move(name), std::move(type), kind});
    }
    return columns;
}

void bind_targets(const AnnotationTable& table, TableColumns& columns) {
    for (Column& c : columns.list) {
        PyObject* bound = PyDict_GetItemWithError(table.names.get(), c.name.get());
        if (!bound) throw PyError();
        c.target = (size_t)PyLong_AsSsize_t(bound);
    }
}

RowPlan row_plan(const AnnotationTable& table, const TableColumns& columns, wide table_offset, wide first_row,
                 long long rows, PyObject* row_length) {
    RowPlan plan;
    plan.table_offset = table_offset;
    plan.first_row = first_row;
    plan.rows = rows;
    int overflow = 0;
    if (PyLong_Check(row_length)) {
        long long step = PyLong_AsLongLongAndOverflow(row_length, &overflow);
        if (step == -1 && PyErr_Occurred()) throw PyError();
        plan.step = step;
    }
    plan.native_step = PyLong_Check(row_length) && !overflow;
    if (PyLong_Check(columns.text_bytes.get())) {
        plan.text_bytes = text_length(columns.text_bytes.get());
        plan.text_bytes_known = true;
    }
    for (const Column& c : columns.list) plan.columns.push_back({c.kind, table.columns[c.target].get()});
    return plan;
}

// Reads the rows the plan describes, raising the errors of the column or
// text count that stops them.
void read_rows(ExtractContext& ctx, const RowPlan& plan, const TableColumns& columns) {
    Status status = ctx.reporter.run_core(ctx.cursor.source(),
        [&](FieldReadObserver& observer) { return read_annotation_rows(ctx.cursor, observer, plan); });
    if (status.code == ErrorCode::annotation_column_type) raise_unknown_type(columns.list[(size_t)status.value].type.get());
    if (status.code == ErrorCode::annotation_text_length) {
        text_length(columns.text_bytes.get());
        PyErr_SetString(PyExc_SystemError, "vellkit: a text length was refused after all");
        throw PyError();
    }
    check(status);
}

}  // namespace

AnnotationTable read_annotation_table(ExtractContext& ctx, PyObject* offset) {
    AnnotationTable table;
    table.names = Ref::check(PyDict_New());
    Ref directory_at = new_int(layout::kAnnotationDirectoryAt);
    Ref dir_offset = Ref::check(PyNumber_Add(offset, directory_at.get()));
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
        TableColumns columns = bind_columns(table, param_img.get(), row_length.get());
        long long rows = range_count(lookup(param_img.get(), "NLN").get());
        bind_targets(table, columns);
        if (rows <= 0) continue;

        RowPlan plan = row_plan(table, columns, offset_value(param_at.get()), first_row, rows, row_length.get());
        check(check_row_count(plan, ctx.source.size()));
        charge(ctx, (uint64_t)rows * columns.list.size(), 8);
        if (!plan.native_step) raise_row_position(ctx, first_row_at.get(), row_length.get());
        read_rows(ctx, plan, columns);
    }
    return table;
}

// ---------------------------------------------------------------------------
// Columns

Ref AnnotationColumn::item(long long row) const {
    if (row < 0 || (size_t)row >= size()) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        throw PyError();
    }
    switch (kind_at((size_t)row)) {
    case Kind::integer:
        return new_int(integer((size_t)row));
    case Kind::real:
        return new_float(real((size_t)row));
    case Kind::text:
        break;
    }
    return decode_stored_text(text((size_t)row));
}

long long AnnotationColumn::index_of(long long value) const {
    if (all_integers()) {
        long long row = 0;
        if (value >= INT32_MIN && value <= INT32_MAX && first_row_of((int32_t)value, row)) return row;
    } else {
        // Text never equals an int; a real equals it when numerically equal.
        for (size_t i = 0; i < size(); ++i) {
            if ((kind_at(i) == Kind::integer && integer(i) == value) ||
                (kind_at(i) == Kind::real && (double)real(i) == (double)value))
                return (long long)i;
        }
    }
    PyErr_Format(PyExc_ValueError, "%lld is not in list", value);
    throw PyError();
}

long long AnnotationColumn::count_of(PyObject* value, long long row_of_value) const {
    const size_t own = (size_t)row_of_value;
    if (kind_at(own) == Kind::text) {
        // Different bytes may decode to equal texts: compare as the list would.
        long long n = 0;
        for (size_t i = 0; i < size(); ++i) {
            if (kind_at(i) != Kind::text) continue;
            Ref other = item((long long)i);
            int eq = PyObject_RichCompareBool(other.get(), value, Py_EQ);
            check_status(eq);
            n += eq;
        }
        return n;
    }
    if (all_integers()) return AnnotationCells::count_of(integer(own));
    double v = kind_at(own) == Kind::integer ? (double)integer(own) : (double)real(own);
    // A NaN equals nothing but itself, and each row holds its own object.
    if (v != v) return 1;
    return count_numbers(v);
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
        for (size_t i = 0; i < size(); ++i) {
            const int32_t v = integer(i);
            if (has_previous && v == previous) continue;
            has_previous = true;
            previous = v;
            if (!seen.insert(v).second) continue;
            Ref member = new_int(v);
            check_status(PySet_Add(members.get(), member.get()));
        }
        return members;
    }
    for (size_t i = 0; i < size(); ++i) {
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
    return *columns[(size_t)PyLong_AsSsize_t(index)];
}

const AnnotationColumn* AnnotationTable::find(const char* name) const {
    Ref key = new_str(name);
    PyObject* index = PyDict_GetItemWithError(names.get(), key.get());
    if (!index) {
        if (PyErr_Occurred()) throw PyError();
        return nullptr;
    }
    return columns[(size_t)PyLong_AsSsize_t(index)].get();
}

}  // namespace vellkit::py
