#include "bindings/extract/annotations.hpp"

#include "bindings/parameter_blocks/params.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/objects.hpp"

namespace vellkit::py {

namespace {

// Replays, with the file's values as objects, the step the core stopped at
// (a parameter missing, or a value plain arithmetic cannot take): it raises
// exactly what the module's arithmetic with those objects raises there.
[[noreturn]] void replay(ExtractContext& ctx, const AnnotationGap& gap) {
    using Step = AnnotationGap::Step;
    if (gap.kind == AnnotationGap::Kind::missing) raise_key_error(decode_stored_text(gap.name).get());
    Ref value = parameter_value(gap.value);
    Ref at = new_int(gap.at);
    switch (gap.step) {
    case Step::count:  // range(NRP), range(NCO), range(NLN)
        range_count(value.get());
        break;
    case Step::offset:  // a table's offset, its first row's
        offset_value(Ref::check(PyNumber_Add(at.get(), value.get())).get());
        break;
    case Step::room: {  // a text column's room to the row's end
        Ref row_length = parameter_value(gap.other);
        Ref::check(PyNumber_Subtract(row_length.get(), value.get()));
        break;
    }
    case Step::row_position: {  // the first row sought at 0 x the row length
        Ref zero = new_int(0);
        Ref step = Ref::check(PyNumber_Multiply(zero.get(), value.get()));
        check(ctx.cursor.seek(offset_value(Ref::check(PyNumber_Add(at.get(), step.get())).get())));
        break;
    }
    case Step::text_length:  // a text field's read(count)
        PyErr_Format(PyExc_TypeError, "argument should be integer or None, not '%.200s'", Py_TYPE(value.get())->tp_name);
        throw PyError();
    case Step::column_type: {
        Ref fmt = new_str("Unknown annotation data type {0}");
        Ref message = Ref::check(PyObject_CallMethod(fmt.get(), "format", "O", value.get()));
        PyErr_SetObject(PyExc_ValueError, message.get());
        throw PyError();
    }
    }
    PyErr_Format(PyExc_SystemError, "vellkit: the annotation table's %s was read after all", gap.name.c_str());
    throw PyError();
}

}  // namespace

AnnotationTable read_annotation_table(ExtractContext& ctx, wide offset) {
    AnnotationTable table;
    AnnotationGap gap;
    Status status = ctx.reporter.run_core(ctx.source, [&](FieldReadObserver& observer) {
        return read_annotation_block(ctx.cursor, observer, (int64_t)offset, ctx.budget, table.block, gap);
    });
    if (gap.kind != AnnotationGap::Kind::none) replay(ctx, gap);
    check(status);
    return table;
}

// ---------------------------------------------------------------------------
// Columns

Ref AnnotationColumn::item(long long row) const {
    if (row < 0 || (size_t)row >= cells_.size()) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        throw PyError();
    }
    switch (cells_.kind_at((size_t)row)) {
    case Kind::integer:
        return new_int(cells_.integer((size_t)row));
    case Kind::real:
        return new_float(cells_.real((size_t)row));
    case Kind::text:
        break;
    }
    return decode_stored_text(cells_.text((size_t)row));
}

Ref AnnotationColumn::list() const {
    Ref values = Ref::check(PyList_New((Py_ssize_t)cells_.size()));
    for (size_t i = 0; i < cells_.size(); ++i) PyList_SET_ITEM(values.get(), (Py_ssize_t)i, item((long long)i).release());
    return values;
}

AnnotationColumn AnnotationTable::column(const char* name) const {
    const AnnotationCells* cells = find(name);
    if (!cells) raise_key_error(new_str(name).get());
    return AnnotationColumn(*cells);
}

}  // namespace vellkit::py
