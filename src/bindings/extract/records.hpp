// Records of 3D data blocks in the binding: the core's record readers with
// their failures raised, label texts decoded, and the errors numpy raises
// when records do not fit the arrays they go into.
#pragma once

#include <vector>

#include "bindings/extract/context.hpp"
#include "core/extract/gather.hpp"
#include "core/extract/records.hpp"
#include "core/extract/store_table.hpp"

namespace vellkit::py {

// Raises a failed status; one that says the file is damaged (too many
// records) names the file, as the memory limit's message names it.
void check_damage(ExtractContext& ctx, const Status& status);

// The offsets map of the 3D data block (store-table order); position_of is
// filled only when `index_positions` (see lay_out_records).
RecordLayout record_layout(ExtractContext& ctx, bool index_positions = true);
// The header's infoSize, read again from the block header by the trace
// readers (a damaged header reports its failed reads a second time).
int32_t info_size(ExtractContext& ctx);

// Seeks to a record (raising the seek's error) and sizes a read of `npt`
// 32-bit floats there.
RecordValues locate_values(ExtractContext& ctx, wide offset, long long npt);

// The records of a trace block in store-table order, with their labels.
struct TraceRecords {
    std::vector<RecordValues> rows;
    LabelReads labels;
};
TraceRecords locate_trace_records(ExtractContext& ctx, const RecordLayout& layout);
// The labels, in record order, once their pieces have been read.
Ref decode_labels(ExtractContext& ctx, const LabelReads& labels);

// The common length of rows about to be stacked; numpy's errors for no rows
// and for rows of different lengths.
int64_t stacked_row_length(ExtractContext& ctx, const std::vector<RecordValues>& rows);

// Reads `length` values of each row to `base` + k * length floats, each row
// followed in the same pass by its piece of `behind`; without the GIL.
void read_rows(ExtractContext& ctx, const std::vector<RecordValues>& rows, int64_t length, float* base,
               const std::vector<ReadPiece>* behind);
// read_rows for rows each followed by its time piece (see the core's
// read_rows_and_times): values and times end in host order.
void read_rows_and_times(ExtractContext& ctx, const std::vector<RecordValues>& rows, int64_t length, float* base,
                         const std::vector<ReadPiece>& times);

// numpy's errors, raised by numpy itself where it would raise them.
[[noreturn]] void raise_row_mismatch(ExtractContext& ctx, long long got, long long expected);
[[noreturn]] void raise_nothing_to_stack(ExtractContext& ctx, const char* function);
[[noreturn]] void raise_stack_mismatch(ExtractContext& ctx, long long first_length, size_t index, long long length);
[[noreturn]] void raise_reshape_error(ExtractContext& ctx, long long size, PyObject* rows, PyObject* columns);

}  // namespace vellkit::py
