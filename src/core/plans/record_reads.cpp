#include "core/plans/record_reads.hpp"

#include "core/extract/gather.hpp"
#include "core/extract/records.hpp"
#include "core/format/layout.hpp"

namespace vellkit {

namespace {

// A field read cut short by the end of the file yields zero, as it does for
// the `vellkit` module; nobody is told.
class QuietObserver final : public FieldReadObserver {
public:
    void short_read(FieldKind, const unsigned char*, size_t) override {}
};

// Asks the interrupt hook now and then in a loop over records.
Status poll_every(const FileSource& source, size_t step) {
    if (step % (size_t)kInterruptPollEvery == (size_t)kInterruptPollEvery - 1) return source.poll();
    return Status();
}

}  // namespace

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
    // Records given in file order are merged into few vectored reads, a
    // slice of them at a time, asking the interrupt hook between slices.
    const size_t slice = (size_t)kInterruptPollEvery;
    std::vector<RecordValues> rows;
    for (size_t first = 0; first < count; first += slice) {
        if (first) VELLKIT_TRY(source.poll());
        const size_t n = count - first < slice ? count - first : slice;
        rows.assign(n, RecordValues());
        for (size_t k = 0; k < n; ++k) {
            rows[k].offset = offsets[first + k] + start * layout::kValueBytes;
            rows[k].count = length;
        }
        VELLKIT_TRY(read_rows(source, rows, length, out + first * (size_t)length, nullptr));
    }
    return Status();
}

Status read_times(const FileSource& source, const int64_t* offsets, size_t count, int64_t npt, double* out) {
    Cursor cursor(source);
    QuietObserver observer;  // a time past the end of the file reads as 0.0
    std::vector<ReadPiece> pieces(count);
    for (size_t k = 0; k < count; ++k) {
        VELLKIT_TRY(poll_every(source, k));
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
                   MemoryBudget& budget, std::vector<std::string>& out) {
    Cursor cursor(source);
    LabelReads labels;
    for (size_t k = 0; k < count; ++k) {
        VELLKIT_TRY(poll_every(source, k));
        RecordValues values;
        VELLKIT_TRY(locate_values(cursor, offsets[k], npt, values));
        VELLKIT_TRY(labels.locate(cursor, values.end, info_size));
        // Records stacked on one offset can each name the rest of the file
        // as their label: refused here, before a byte of them is read.
        VELLKIT_TRY(budget.charge(labels.bytes(k)));
    }
    std::vector<ReadPiece> reads;
    for (size_t k = 0; k < count; ++k) {
        ReadPiece p = labels.piece(k);
        if (p.length) reads.push_back(p);
    }
    VELLKIT_TRY(gather_read(source, reads));
    out.assign(count, std::string());
    for (size_t k = 0; k < count; ++k) {
        VELLKIT_TRY(poll_every(source, k));
        VELLKIT_TRY(labels.text(cursor, k, out[k]));
    }
    return Status();
}

}  // namespace vellkit
