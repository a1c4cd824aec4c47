#include "core/plans/record_reads.hpp"

#include "core/extract/gather.hpp"
#include "core/extract/records.hpp"
#include "core/format/cursor.hpp"
#include "core/format/field_readers.hpp"
#include "core/format/layout.hpp"

namespace vellkit {

bool records_inside(int64_t file_size, const int64_t* offsets, size_t count, int64_t npt, size_t& bad) {
    // npt is at most a 32-bit parameter, so the product cannot overflow.
    const int64_t bytes = npt * layout::kValueBytes;
    for (size_t k = 0; k < count; ++k) {
        if (offsets[k] < 0 || offsets[k] > file_size || file_size - offsets[k] < bytes) {
            bad = k;
            return false;
        }
    }
    return true;
}

Status read_points(const FileSource& source, const int64_t* offsets, size_t count, int64_t start, int64_t length,
                   float* out) {
    if (length <= 0 || count == 0) return Status();
    std::vector<RecordValues> rows(count);
    for (size_t k = 0; k < count; ++k) {
        rows[k].offset = offsets[k] + start * layout::kValueBytes;
        rows[k].count = length;
    }
    // Records given in file order are merged into few vectored reads.
    return read_rows(source, rows, length, out, nullptr);
}

Status read_times(const FileSource& source, const int64_t* offsets, size_t count, int64_t npt, double* out) {
    Cursor cursor(source);
    CountingObserver observer;  // a time past the end of the file reads as 0.0
    std::vector<ReadPiece> pieces(count);
    for (size_t k = 0; k < count; ++k) {
        RecordValues values;
        VELLKIT_TRY(locate_values(cursor, offsets[k], npt, values));
        VELLKIT_TRY(locate_time(cursor, observer, values.end, out + k, pieces[k]));
    }
    std::vector<ReadPiece> reads;
    for (const ReadPiece& p : pieces)
        if (p.length) reads.push_back(p);
    VELLKIT_TRY(gather_read(source, reads));
    pieces_to_host(reads, (size_t)layout::kInfoTimeBytes);
    return Status();
}

Status read_labels(const FileSource& source, const int64_t* offsets, size_t count, int64_t npt, int32_t info_size,
                   std::vector<std::string>& out) {
    Cursor cursor(source);
    LabelReads labels;
    for (size_t k = 0; k < count; ++k) {
        RecordValues values;
        VELLKIT_TRY(locate_values(cursor, offsets[k], npt, values));
        VELLKIT_TRY(labels.locate(cursor, values.end, info_size));
    }
    std::vector<ReadPiece> reads;
    for (size_t k = 0; k < count; ++k) {
        ReadPiece p = labels.piece(k);
        if (p.length) reads.push_back(p);
    }
    VELLKIT_TRY(gather_read(source, reads));
    out.assign(count, std::string());
    for (size_t k = 0; k < count; ++k) VELLKIT_TRY(labels.text(cursor, k, out[k]));
    return Status();
}

}  // namespace vellkit
