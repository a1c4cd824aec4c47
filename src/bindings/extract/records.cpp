#include "bindings/extract/records.hpp"

#include <cstring>

#include "bindings/common/arrays.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/format/text.hpp"

namespace vellkit::py {

RecordLayout record_layout(ExtractContext& ctx) {
    StoreTable table;
    check(read_store_table(ctx.cursor, ctx.blocks.data, ctx.reporter, table));
    RecordLayout layout;
    check(lay_out_records(table, ctx.source.size(), ctx.blocks.data, layout));
    return layout;
}

int32_t info_size(ExtractContext& ctx) {
    Status status;
    int32_t size = read_info_size(ctx.cursor, ctx.blocks.data, ctx.reporter, status);
    check(status);
    return size;
}

RecordValues locate_values(ExtractContext& ctx, wide offset, long long npt) {
    check(ctx.cursor.seek(offset));
    RecordValues r;
    r.offset = (int64_t)offset;
    int64_t size = ctx.source.size();
    if (r.offset >= size) {
        r.count = 0;
        r.end = offset;
        return r;
    }
    int64_t available = (size - r.offset) / 4;
    r.count = npt < available ? npt : available;
    wide wanted_end = offset + (wide)npt * 4;
    r.end = wanted_end < size ? wanted_end : (wide)size;
    return r;
}

namespace {
constexpr int64_t kLabelReadWithValues = 4096;
}

void LabelReads::locate(ExtractContext& ctx, wide values_end, int32_t info_size) {
    check(ctx.cursor.seek(values_end + 152));
    int64_t left = ctx.cursor.remaining();
    int64_t length = (int64_t)info_size - 152;
    if (length < 0 || length > left) length = left;
    Span span{ctx.cursor.position(), length, buffer_.size(), length > kLabelReadWithValues};
    if (!span.apart) buffer_.resize(buffer_.size() + (size_t)length);
    spans_.push_back(span);
}

ReadPiece LabelReads::piece(size_t k) {
    const Span& s = spans_[k];
    if (s.apart || s.length == 0) return ReadPiece{s.at, 0, nullptr};
    return ReadPiece{s.at, (size_t)s.length, buffer_.data() + s.buffer_offset};
}

Ref LabelReads::decode(ExtractContext& ctx) {
    Ref labels = Ref::check(PyList_New((Py_ssize_t)spans_.size()));
    for (size_t k = 0; k < spans_.size(); ++k) {
        const Span& s = spans_[k];
        Ref label;
        if (s.apart) {
            check(ctx.cursor.seek(s.at));
            std::string text;
            check(ctx.cursor.read_text(s.length, text));
            label = decode_stored_text(text);
        } else if (s.length == 0) {
            label = decode_stored_text("", 0);
        } else {
            const char* p = reinterpret_cast<const char*>(buffer_.data() + s.buffer_offset);
            const void* nul = std::memchr(p, 0, (size_t)s.length);
            label = decode_stored_text(p, nul ? (size_t)((const char*)nul - p) : (size_t)s.length);
        }
        PyList_SET_ITEM(labels.get(), (Py_ssize_t)k, label.release());
    }
    return labels;
}

TraceRecords locate_trace_records(ExtractContext& ctx, const RecordLayout& layout) {
    int32_t info = info_size(ctx);
    TraceRecords records;
    records.rows.reserve(layout.size());
    for (size_t k = 0; k < layout.size(); ++k) {
        RecordValues rv = locate_values(ctx, layout.offsets[k], ctx.npt_value);
        records.rows.push_back(rv);
        records.labels.locate(ctx, rv.end, info);
    }
    return records;
}

int64_t stacked_row_length(ExtractContext& ctx, const std::vector<RecordValues>& rows) {
    if (rows.empty()) raise_nothing_to_stack(ctx, "vstack");
    const int64_t length = rows[0].count;
    for (size_t k = 1; k < rows.size(); ++k)
        if (rows[k].count != length) raise_stack_mismatch(ctx, length, k, rows[k].count);
    return length;
}

void read_rows(ExtractContext& ctx, const std::vector<RecordValues>& rows, int64_t length, float* base,
               const std::vector<ReadPiece>* behind) {
    std::vector<ReadPiece> pieces;
    pieces.reserve(rows.size() * 2);
    for (size_t k = 0; k < rows.size(); ++k) {
        if (length) pieces.push_back({rows[k].offset, (size_t)length * 4, base + k * (size_t)length});
        if (behind && (*behind)[k].length) pieces.push_back((*behind)[k]);
    }
    check(gather_read(ctx.source, pieces));
    little_endian_to_host(base, rows.size() * (size_t)length, 4);
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

void raise_nothing_to_stack(ExtractContext& ctx, const char* function) {
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
    for (size_t i = 0; i < index; ++i) PyList_SET_ITEM(rows.get(), (Py_ssize_t)i, Ref::borrow(first.get()).release());
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
