// Records of 3D data blocks as a reader walks them: where a record's values
// lie, how many of them the file holds, and the errors numpy raises when
// records do not fit the arrays they go into.
#pragma once

#include "bindings/extract/context.hpp"
#include <vector>

#include "core/extract/gather.hpp"
#include "core/extract/store_table.hpp"

namespace vellkit::py {

// The offsets map of the 3D data block (store-table order).
RecordLayout record_layout(ExtractContext& ctx);
// The header's infoSize, read again as its own reader does.
int32_t info_size(ExtractContext& ctx);

struct RecordValues {
    int64_t offset;   // where the values start
    int64_t count;    // values the file holds there, at most NPT
    wide end;         // file position after reading them
};

// Seeks to a record (raising the seek's error) and sizes a read of `npt`
// 32-bit floats there, as a bulk read from a file would deliver them.
RecordValues locate_values(ExtractContext& ctx, wide offset, long long npt);

// Labels read in the same vectored pass as the records' values: each label
// is located (raising its seek's error in record order) before anything is
// read, then read with the values and decoded afterwards.
class LabelReads {
public:
    // Locates the label of the record whose values end at `values_end`.
    void locate(ExtractContext& ctx, wide values_end, int32_t info_size);
    // The piece that reads label k (zero length when it is read apart).
    ReadPiece piece(size_t k);
    // The labels, in record order, once the pieces have been read.
    Ref decode(ExtractContext& ctx);
    size_t size() const { return spans_.size(); }

private:
    struct Span {
        int64_t at;
        int64_t length;
        size_t buffer_offset;
        bool apart;  // too long to read with the values
    };
    std::vector<Span> spans_;
    std::vector<unsigned char> buffer_;
};

// The records of a trace block in store-table order, with their labels.
struct TraceRecords {
    std::vector<RecordValues> rows;
    LabelReads labels;
};
TraceRecords locate_trace_records(ExtractContext& ctx, const RecordLayout& layout);

// The common length of rows about to be stacked; numpy's errors for no rows
// and for rows of different lengths.
int64_t stacked_row_length(ExtractContext& ctx, const std::vector<RecordValues>& rows);

// Reads `length` values of each row to `base` + k * length floats, each row
// followed in the same pass by its piece of `behind` (a time, a label; zero
// lengths for none).
void read_rows(ExtractContext& ctx, const std::vector<RecordValues>& rows, int64_t length, float* base,
               const std::vector<ReadPiece>* behind);

// numpy's errors, raised by numpy itself where it would raise them.
[[noreturn]] void raise_row_mismatch(ExtractContext& ctx, long long got, long long expected);
[[noreturn]] void raise_nothing_to_stack(ExtractContext& ctx, const char* function);
[[noreturn]] void raise_stack_mismatch(ExtractContext& ctx, long long first_length, size_t index, long long length);
[[noreturn]] void raise_reshape_error(ExtractContext& ctx, long long size, PyObject* rows, PyObject* columns);

}  // namespace vellkit::py
