// Time-resolved series: one record per time step (spectra with their times)
// or per trace (traces with their names), counted first and then read into
// one 2D array, row k from the k-th record in store-table order.
#include <vector>

#include "bindings/common/arrays.hpp"
#include "pyglue/errors.hpp"
#include "bindings/extract/readers_3d.hpp"
#include "bindings/extract/records.hpp"
#include "core/extract/gather.hpp"

namespace vellkit::py {

namespace {

// Stacks records into a (records, length) array, read in one pass with the
// pieces `behind` them, with numpy's errors for no records and for records
// of different lengths.
Ref stack_rows(ExtractContext& ctx, const std::vector<RecordValues>& rows, const std::vector<ReadPiece>* behind) {
    const int64_t length = stacked_row_length(ctx, rows);
    charge(ctx, rows.size() * (uint64_t)length, 4);
    Ref shape = shape_tuple({(long long)rows.size(), (long long)length});
    Ref stacked = np_empty(ctx.st, shape.get(), ctx.st->np_float32);
    WritableView view(stacked.get());
    read_rows(ctx, rows, length, static_cast<float*>(view.data()), behind);
    return stacked;
}

}  // namespace

Ref read_time_resolved(ExtractContext& ctx) {
    RecordLayout layout = record_layout(ctx);
    const size_t count = layout.size();
    charge(ctx, count, sizeof(double));
    Ref z_length = new_int((long long)count);
    Ref z = np_empty(ctx.st, z_length.get(), ctx.st->np_float64);
    WritableView z_view(z.get());
    auto* times = static_cast<double*>(z_view.data());

    std::vector<RecordValues> rows;
    rows.reserve(count);
    std::vector<ReadPiece> time_pieces(count, ReadPiece{0, 0, nullptr});
    for (size_t k = 0; k < count; ++k) {
        poll(ctx, k);
        RecordValues rv = locate_values(ctx, layout.offsets[k], ctx.npt_value);
        rows.push_back(rv);
        check(locate_time(ctx.cursor, ctx.reporter, rv.end, &times[k], time_pieces[k]));
    }
    Ref spectra = stack_rows(ctx, rows, &time_pieces);
    pieces_to_host(time_pieces, sizeof(double));
    return build_result(ctx, kTimeResolvedDataReturn, {{"z", z.get()}, {"spectra", spectra.get()}});
}

Ref read_time_resolved_traces(ExtractContext& ctx) {
    RecordLayout layout = record_layout(ctx);
    TraceRecords records = locate_trace_records(ctx, layout);
    std::vector<ReadPiece> behind(records.rows.size());
    for (size_t k = 0; k < behind.size(); ++k) behind[k] = records.labels.piece(k);
    Ref traces = stack_rows(ctx, records.rows, &behind);
    Ref labels = decode_labels(ctx, records.labels);
    return build_result(ctx, kTimeResolvedTRCDataReturn, {{"labels", labels.get()}, {"traces", traces.get()}});
}

}  // namespace vellkit::py
