#include "bindings/extract/records.hpp"

#include <cstring>

#include "bindings/common/arrays.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/objects.hpp"

namespace vellkit::py {

void check_damage(ExtractContext& ctx, const Status& status) {
    if (status.ok()) return;
    const bool damaged = status.code == ErrorCode::records_too_many || status.code == ErrorCode::reports_past_end;
    if (!damaged) check(status);  // the module's own messages name no file
    Ref file = Ref::check(PyUnicode_DecodeUTF8(ctx.budget.subject().data(), (Py_ssize_t)ctx.budget.subject().size(),
                                               "replace"));
    check(status, file.get());
}

RecordLayout record_layout(ExtractContext& ctx, bool index_positions) {
    RecordPlan plan;
    check_damage(ctx, ctx.reporter.run_core(ctx.cursor.source(), [&](FieldReadObserver& observer) {
        return plan_records(ctx.cursor, observer, ctx.blocks.data, nullptr, plan, index_positions);
    }));
    charge(ctx, plan.layout.size(), kRecordPlanBytes);
    return std::move(plan.layout);
}

int32_t info_size(ExtractContext& ctx) {
    Status status;
    int32_t size = read_info_size(ctx.cursor, ctx.blocks.data, ctx.reporter, status);
    check(status);
    return size;
}

RecordValues locate_values(ExtractContext& ctx, wide offset, long long npt) {
    RecordValues r;
    check(vellkit::locate_values(ctx.cursor, offset, npt, r));
    return r;
}

TraceRecords locate_trace_records(ExtractContext& ctx, const RecordLayout& layout) {
    int32_t info = info_size(ctx);
    TraceRecords records;
    records.rows.reserve(layout.size());
    for (size_t k = 0; k < layout.size(); ++k) {
        poll(ctx, k);
        RecordValues rv = locate_values(ctx, layout.offsets[k], ctx.npt_value);
        records.rows.push_back(rv);
        check(records.labels.locate(ctx.cursor, rv.end, info));
    }
    charge(ctx, records.labels.bytes(), 1);
    return records;
}

Ref decode_labels(ExtractContext& ctx, const LabelReads& labels) {
    Ref list = Ref::check(PyList_New((Py_ssize_t)labels.size()));
    std::string text;
    for (size_t k = 0; k < labels.size(); ++k) {
        poll(ctx, k);
        check(labels.text(ctx.cursor, k, text));
        PyList_SET_ITEM(list.get(), (Py_ssize_t)k, decode_stored_text(text).release());
    }
    return list;
}

int64_t stacked_row_length(ExtractContext& ctx, const std::vector<RecordValues>& rows) {
    if (rows.empty()) raise_nothing_to_stack(ctx, "vstack");
    size_t mismatch = 0;
    const int64_t length = first_row_length(rows, mismatch);
    if (mismatch < rows.size()) raise_stack_mismatch(ctx, length, mismatch, rows[mismatch].count);
    return length;
}

void read_rows(ExtractContext& ctx, const std::vector<RecordValues>& rows, int64_t length, float* base,
               const std::vector<ReadPiece>* behind) {
    Status status;
    {
        GilReleased released(ctx.interrupt, rows.size() * (uint64_t)length * sizeof(float) >= kUnlockedReadBytes);
        status = vellkit::read_rows(ctx.source, rows, length, base, behind);
    }
    check(status);
}

void read_rows_and_times(ExtractContext& ctx, const std::vector<RecordValues>& rows, int64_t length, float* base,
                         const std::vector<ReadPiece>& times) {
    Status status;
    {
        GilReleased released(ctx.interrupt, rows.size() * (uint64_t)length * sizeof(float) >= kUnlockedReadBytes);
        status = vellkit::read_rows_and_times(ctx.source, rows, length, base, times);
    }
    check(status);
}

namespace {

Ref float32_vector(ExtractContext& ctx, long long length) {
    Ref n = new_int(length);
    return np_empty(ctx.st, n.get(), ctx.st->np_float32);
}

Ref numpy_function(const char* name) {
    Ref numpy = Ref::check(PyImport_ImportModule("numpy"));
    return Ref::check(PyObject_GetAttrString(numpy.get(), name));
}

}  // namespace

void raise_row_mismatch(ExtractContext& ctx, long long got, long long expected) {
    Ref source = float32_vector(ctx, got);
    Ref target = float32_vector(ctx, expected);
    Ref all = Ref::check(PySlice_New(nullptr, nullptr, nullptr));
    if (PyObject_SetItem(target.get(), all.get(), source.get()) < 0) throw PyError();
    // numpy would spread a single value over the row; a record that short is
    // as wrong as any other short record.
    PyErr_Format(PyExc_ValueError, "could not broadcast input array from shape (%lld,) into shape (%lld,)", got,
                 expected);
    throw PyError();
}

void raise_nothing_to_stack(ExtractContext& /*ctx*/, const char* function) {
    Ref stack = numpy_function(function);
    Ref empty = Ref::check(PyList_New(0));
    Ref::check(PyObject_CallFunctionObjArgs(stack.get(), empty.get(), nullptr));
    PyErr_SetString(PyExc_ValueError, "need at least one array to concatenate");
    throw PyError();
}

void raise_stack_mismatch(ExtractContext& ctx, long long first_length, size_t index, long long length) {
    Ref first = float32_vector(ctx, first_length);
    Ref odd = float32_vector(ctx, length);
    Ref rows = Ref::check(PyList_New((Py_ssize_t)index + 1));
    for (size_t i = 0; i < index; ++i) PyList_SET_ITEM(rows.get(), (Py_ssize_t)i, Ref::from_borrowed(first.get()).release());
    PyList_SET_ITEM(rows.get(), (Py_ssize_t)index, odd.release());
    Ref::check(PyObject_CallFunctionObjArgs(ctx.st->np_vstack, rows.get(), nullptr));
    PyErr_SetString(PyExc_SystemError, "vellkit: rows of different lengths were stacked");
    throw PyError();
}

void raise_reshape_error(ExtractContext& ctx, long long size, PyObject* rows, PyObject* columns) {
    Ref values = float32_vector(ctx, size);
    Ref::check(PyObject_CallMethod(values.get(), "reshape", "OO", rows, columns));
    PyErr_SetString(PyExc_SystemError, "vellkit: a record of the wrong size was reshaped");
    throw PyError();
}

}  // namespace vellkit::py
