// Time-resolved series: one record per time step (spectra with their times)
// or per trace (traces with their names), counted first and then read into
// one 2D array, row k from the k-th record in store-table order.
#include <vector>

#include "bindings/common/arrays.hpp"
#include "pyglue/errors.hpp"
#include "bindings/extract/readers_3d.hpp"
#include "bindings/extract/records.hpp"
#include "core/extract/gather.hpp"
#include "core/format/layout.hpp"

namespace vellkit::py {

namespace {

// A (records, length) float32 array for the rows, charged to the budget,
// with numpy's errors for no records and for records of different lengths.
Ref empty_stack(ExtractContext& ctx, const std::vector<RecordValues>& rows, int64_t& length) {
    length = stacked_row_length(ctx, rows);
    charge(ctx, rows.size() * (uint64_t)length, layout::kValueBytes);
    Ref shape = shape_tuple({(long long)rows.size(), (long long)length});
    return np_empty(ctx.st, shape.get(), ctx.st->np_float32);
}

// The MemoryError empty_stack would raise for these rows, raised before the
// reports of their times; nothing is counted.
void check_stack_fits(ExtractContext& ctx, const std::vector<RecordValues>& rows) {
    size_t mismatch = 0;
    const int64_t length = first_row_length(rows, mismatch);
    if (rows.empty() || mismatch < rows.size()) return;  // numpy's errors come first
    MemoryBudget probe = ctx.budget;
    check(probe.charge(rows.size() * (uint64_t)length, layout::kValueBytes));
}

}  // namespace

Ref read_time_resolved(ExtractContext& ctx) {
    RecordLayout layout = record_layout(ctx, false);
    const size_t count = layout.size();
    // A damaged store table is refused before its records are located.
    uint64_t past_end = 0;
    check(count_times_past_end(ctx.cursor, layout.offsets, ctx.npt_value, past_end));
    check_damage(ctx, check_reports_past_end(past_end, ctx.blocks.data));
    charge(ctx, count, sizeof(double));
    Ref z_length = new_int((long long)count);
    Ref z = np_empty(ctx.st, z_length.get(), ctx.st->np_float64);
    WritableView z_view(z.get());
    auto* times = static_cast<double*>(z_view.data());

    // Every record and time is located before any time is read or
    // reported, so that a call refused for its memory prints nothing. A
    // record that cannot be sought ends the locating: the times before it
    // are reported, then its seek's error raised.
    std::vector<RecordValues> rows;
    rows.reserve(count);
    std::vector<ReadPiece> time_pieces(count, ReadPiece{0, 0, nullptr});
    Status located;
    for (size_t k = 0; k < count && located.ok(); ++k) {
        poll(ctx, k);
        RecordValues rv;
        if (!locate_record_in_file(ctx.cursor, layout.offsets[k], ctx.npt_value, rv, &times[k], time_pieces[k])) {
            located = vellkit::locate_values(ctx.cursor, layout.offsets[k], ctx.npt_value, rv);
            if (located.ok()) located = locate_time_piece(ctx.cursor, rv.end, &times[k], time_pieces[k]);
        }
        if (located.ok()) rows.push_back(rv);
    }
    if (located.ok()) check_stack_fits(ctx, rows);
    // Counted again as located: the count above skips files of unknown size.
    uint64_t apart = 0;
    for (size_t k = 0; k < rows.size(); ++k) apart += time_pieces[k].length == 0;
    check_damage(ctx, check_reports_past_end(apart, ctx.blocks.data));
    for (size_t k = 0; k < rows.size(); ++k) {
        if (time_pieces[k].length == 0) check(read_time_apart(ctx.cursor, ctx.reporter, rows[k].end, &times[k]));
    }
    check(located);
    int64_t length = 0;
    Ref spectra = empty_stack(ctx, rows, length);
    WritableView view(spectra.get());
    read_rows_and_times(ctx, rows, length, static_cast<float*>(view.data()), time_pieces);
    return build_result(ctx, kTimeResolvedDataReturn, {{"z", z.get()}, {"spectra", spectra.get()}});
}

Ref read_time_resolved_traces(ExtractContext& ctx) {
    RecordLayout layout = record_layout(ctx);
    TraceRecords records = locate_trace_records(ctx, layout);
    std::vector<ReadPiece> behind(records.rows.size());
    for (size_t k = 0; k < behind.size(); ++k) behind[k] = records.labels.piece(k);
    int64_t length = 0;
    Ref traces = empty_stack(ctx, records.rows, length);
    WritableView view(traces.get());
    read_rows(ctx, records.rows, length, static_cast<float*>(view.data()), &behind);
    Ref labels = decode_labels(ctx, records.labels);
    return build_result(ctx, kTimeResolvedTRCDataReturn, {{"labels", labels.get()}, {"traces", traces.get()}});
}

}  // namespace vellkit::py
