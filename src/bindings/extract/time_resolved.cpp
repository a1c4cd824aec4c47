// Time-resolved series: one record per time step (spectra with their times)
// or per trace (traces with their names), counted first and then read into
// one 2D array, row k from the k-th record in store-table order.
#include <vector>

#include "bindings/common/arrays.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/extract/readers_3d.hpp"
#include "bindings/extract/records.hpp"
#include "core/extract/gather.hpp"

namespace vellkit::py {

namespace {

// Stacks records whose lengths are known into a (records, length) array,
// with numpy's errors for no records and for records of different lengths.
// `behind` holds, per record, a piece read in the same pass right after the
// record's values (its time; a zero length for none).
Ref stack_rows(ExtractContext& ctx, const std::vector<RecordValues>& rows, const std::vector<ReadPiece>* behind) {
    if (rows.empty()) raise_nothing_to_stack(ctx, "vstack");
    const int64_t length = rows[0].count;
    for (size_t k = 1; k < rows.size(); ++k)
        if (rows[k].count != length) raise_stack_mismatch(ctx, length, k, rows[k].count);

    Ref shape = shape_tuple({(long long)rows.size(), (long long)length});
    Ref stacked = np_empty(ctx.st, shape.get(), ctx.st->np_float32);
    WritableView view(stacked.get());
    auto* base = static_cast<unsigned char*>(view.data());
    const size_t row_bytes = (size_t)length * 4;
    std::vector<ReadPiece> pieces;
    pieces.reserve(rows.size() * 2);
    for (size_t k = 0; k < rows.size(); ++k) {
        if (row_bytes) pieces.push_back({rows[k].offset, row_bytes, base + k * row_bytes});
        if (behind && (*behind)[k].length) pieces.push_back((*behind)[k]);
    }
    check(gather_read(ctx.source, pieces));
    little_endian_to_host(base, rows.size() * (size_t)length, 4);
    return stacked;
}

}  // namespace

Ref read_time_resolved(ExtractContext& ctx) {
    RecordLayout layout = record_layout(ctx);
    const size_t count = layout.size();
    Ref z_length = new_int((long long)count);
    Ref z = np_empty(ctx.st, z_length.get(), ctx.st->np_float64);
    WritableView z_view(z.get());
    auto* times = static_cast<double*>(z_view.data());

    std::vector<RecordValues> rows;
    rows.reserve(count);
    std::vector<ReadPiece> time_pieces(count, ReadPiece{0, 0, nullptr});
    const int64_t size = ctx.source.size();
    for (size_t k = 0; k < count; ++k) {
        RecordValues rv = locate_values(ctx, layout.offsets[k], ctx.npt_value);
        rows.push_back(rv);
        wide at = rv.end + 136;
        check(ctx.cursor.seek(at));
        if (at + 8 <= size) {
            time_pieces[k] = ReadPiece{(int64_t)at, 8, &times[k]};
        } else {
            times[k] = read_float64(ctx.cursor, ctx.reporter);  // reported as a failed read
        }
    }
    Ref spectra = stack_rows(ctx, rows, &time_pieces);
    little_endian_to_host(times, count, 8);  // only the bulk-read ones were stored little-endian
    return build_result(ctx, kTimeResolvedDataReturn, {{"z", z.get()}, {"spectra", spectra.get()}});
}

Ref read_time_resolved_traces(ExtractContext& ctx) {
    RecordLayout layout = record_layout(ctx);
    int32_t info = info_size(ctx);
    LabelReads label_reads;
    std::vector<RecordValues> rows;
    rows.reserve(layout.size());
    for (size_t k = 0; k < layout.size(); ++k) {
        RecordValues rv = locate_values(ctx, layout.offsets[k], ctx.npt_value);
        rows.push_back(rv);
        label_reads.locate(ctx, rv.end, info);
    }
    std::vector<ReadPiece> behind(rows.size());
    for (size_t k = 0; k < rows.size(); ++k) behind[k] = label_reads.piece(k);
    Ref traces = stack_rows(ctx, rows, &behind);
    Ref labels = label_reads.decode(ctx);
    return build_result(ctx, kTimeResolvedTRCDataReturn, {{"labels", labels.get()}, {"traces", traces.get()}});
}

}  // namespace vellkit::py
