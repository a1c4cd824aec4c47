#include "core/extract/records.hpp"

#include <cstring>
#include <memory>

#include "core/common/limits.hpp"
#include "core/format/byte_order.hpp"
#include "core/format/layout.hpp"

namespace vellkit {

Status locate_values(Cursor& cursor, wide offset, int64_t npt, RecordValues& out) {
    VELLKIT_TRY(cursor.seek(offset));
    out.offset = (int64_t)offset;
    const int64_t size = cursor.file_size();
    if (out.offset >= size) {
        out.count = 0;
        out.end = offset;
        return Status();
    }
    const int64_t available = (size - out.offset) / layout::kValueBytes;
    out.count = npt < available ? npt : available;
    const wide wanted_end = offset + (wide)npt * layout::kValueBytes;
    out.end = wanted_end < size ? wanted_end : (wide)size;
    return Status();
}

Status locate_time_piece(Cursor& cursor, wide values_end, double* destination, ReadPiece& piece) {
    const wide at = values_end + layout::kInfoTimeAt;
    VELLKIT_TRY(cursor.seek(at));
    if (at + layout::kInfoTimeBytes <= cursor.file_size())
        piece = ReadPiece{(int64_t)at, (size_t)layout::kInfoTimeBytes, destination};
    else
        piece = ReadPiece{0, 0, nullptr};
    return Status();
}

bool locate_record_in_file(const Cursor& cursor, wide offset, int64_t npt, RecordValues& out, double* time,
                           ReadPiece& piece) {
    const int64_t size = cursor.file_size();
    if (!cursor.source().seekable() || !offset.fits_int64() || npt < 0) return false;
    const int64_t at = (int64_t)offset;
    const int64_t tail = layout::kInfoTimeAt + layout::kInfoTimeBytes;
    if (at < 0 || at > size - tail || npt > (size - at - tail) / layout::kValueBytes) return false;
    const int64_t end = at + npt * layout::kValueBytes;
    out.offset = at;
    out.count = npt;
    out.end = end;
    piece = ReadPiece{end + layout::kInfoTimeAt, (size_t)layout::kInfoTimeBytes, time};
    return true;
}

Status read_time_apart(Cursor& cursor, FieldReadObserver& observer, wide values_end, double* destination) {
    VELLKIT_TRY(cursor.seek(values_end + layout::kInfoTimeAt));
    *destination = read_float64(cursor, observer);  // reported as a failed read
    return Status();
}

Status locate_time(Cursor& cursor, FieldReadObserver& observer, wide values_end, double* destination,
                   ReadPiece& piece) {
    VELLKIT_TRY(locate_time_piece(cursor, values_end, destination, piece));
    if (piece.length == 0) *destination = read_float64(cursor, observer);  // reported as a failed read
    return Status();
}

Status LabelReads::locate(Cursor& cursor, wide values_end, int32_t info_size) {
    VELLKIT_TRY(cursor.seek(values_end + layout::kInfoLabelAt));
    const int64_t left = cursor.remaining();
    int64_t length = (int64_t)info_size - layout::kInfoLabelAt;
    if (length < 0 || length > left) length = left;
    Span span{cursor.position(), length, buffer_.size(), length > kLabelReadWithValues};
    if (!span.apart) buffer_.resize(buffer_.size() + (size_t)length);
    spans_.push_back(span);
    return Status();
}

ReadPiece LabelReads::piece(size_t k) {
    const Span& s = spans_[k];
    if (s.apart || s.length == 0) return ReadPiece{s.at, 0, nullptr};
    return ReadPiece{s.at, (size_t)s.length, buffer_.data() + s.buffer_offset};
}

Status LabelReads::text(Cursor& cursor, size_t k, std::string& out) const {
    const Span& s = spans_[k];
    out.clear();
    if (s.apart) {
        VELLKIT_TRY(cursor.seek(s.at));
        return cursor.read_text(s.length, out);
    }
    if (s.length == 0) return Status();
    const char* p = reinterpret_cast<const char*>(buffer_.data() + s.buffer_offset);
    const void* nul = std::memchr(p, 0, (size_t)s.length);
    out.assign(p, nul ? (size_t)((const char*)nul - p) : (size_t)s.length);
    return Status();
}

uint64_t LabelReads::bytes() const {
    uint64_t total = buffer_.size();
    for (const Span& s : spans_)
        if (s.apart) total += (uint64_t)s.length;
    return total;
}

Status count_times_past_end(const Cursor& cursor, const std::vector<wide>& offsets, int64_t npt, uint64_t& out) {
    out = 0;
    if (!cursor.source().seekable() || !cursor.source().size_known()) return Status();
    RecordValues values;
    ReadPiece piece;
    double time = 0;
    for (size_t k = 0; k < offsets.size(); ++k) {
        if (k % kInterruptPollEvery == (size_t)kInterruptPollEvery - 1) VELLKIT_TRY(cursor.source().poll());
        if (!offsets[k].fits_int64() || (int64_t)offsets[k] < 0) break;
        if (!locate_record_in_file(cursor, offsets[k], npt, values, &time, piece)) ++out;
    }
    return Status();
}

Status check_reports_past_end(uint64_t reports, wide data_offset) {
    if (reports <= (uint64_t)kReportsPastEnd) return Status();
    return Status::error(ErrorCode::reports_past_end, (int64_t)reports, fits_offset(data_offset) ? (int64_t)data_offset : 0);
}

namespace {

// Rows read by one vectored read: two pieces each, within the system's limit.
constexpr size_t kRowsPerRead = 500;
// A piece behind a row whose stretch from the row's end to the next row is
// no longer than this is read with that whole stretch into a scratch buffer
// and copied out: one piece per record where the gaps around it would make
// three, and the kernel copies into fewer pieces markedly faster.
constexpr int64_t kStretchBytes = 4096;

}  // namespace

Status read_rows(const FileSource& source, const std::vector<RecordValues>& rows, int64_t length, float* base,
                 const std::vector<ReadPiece>* behind) {
    const size_t row_bytes = (size_t)length * layout::kValueBytes;
    std::vector<ReadPiece> pieces;
    std::vector<int64_t> stretch_end;  // per row of a read: where its stretch ends (0: none)
    std::unique_ptr<unsigned char[]> scratch;  // not zeroed: every byte is read before it is used
    size_t scratch_capacity = 0;
    for (size_t first = 0; first < rows.size(); first += kRowsPerRead) {
        const size_t last = rows.size() - first < kRowsPerRead ? rows.size() : first + kRowsPerRead;
        stretch_end.assign(last - first, 0);
        size_t scratch_bytes = 0;
        for (size_t k = first; behind && k < last; ++k) {
            const ReadPiece& b = (*behind)[k];
            const int64_t from = rows[k].offset + (int64_t)row_bytes;
            int64_t to = b.offset + (int64_t)b.length;
            if (!b.length || b.offset < from || to - from > kStretchBytes) continue;
            if (k + 1 < rows.size()) {
                const int64_t next = rows[k + 1].offset < source.size() ? rows[k + 1].offset : source.size();
                if (next >= to && next - from <= kStretchBytes) to = next;
            }
            stretch_end[k - first] = to;
            scratch_bytes += (size_t)(to - from);
        }
        if (scratch_bytes > scratch_capacity) {
            scratch.reset(new unsigned char[scratch_bytes]);
            scratch_capacity = scratch_bytes;
        }
        pieces.clear();
        size_t at = 0;
        for (size_t k = first; k < last; ++k) {
            if (length) pieces.push_back({rows[k].offset, row_bytes, base + k * (size_t)length});
            if (stretch_end[k - first]) {
                const int64_t from = rows[k].offset + (int64_t)row_bytes;
                pieces.push_back({from, (size_t)(stretch_end[k - first] - from), scratch.get() + at});
                at += (size_t)(stretch_end[k - first] - from);
            } else if (behind && (*behind)[k].length) {
                pieces.push_back((*behind)[k]);
            }
        }
        VELLKIT_TRY(gather_read(source, pieces));
        at = 0;
        for (size_t k = first; k < last; ++k) {
            if (!stretch_end[k - first]) continue;
            const ReadPiece& b = (*behind)[k];
            const int64_t from = rows[k].offset + (int64_t)row_bytes;
            std::memcpy(b.destination, scratch.get() + at + (b.offset - from), b.length);
            at += (size_t)(stretch_end[k - first] - from);
        }
    }
    little_endian_to_host(base, rows.size() * (size_t)length, layout::kValueBytes);
    return Status();
}

Status read_rows_and_times(const FileSource& source, const std::vector<RecordValues>& rows, int64_t length,
                           float* base, const std::vector<ReadPiece>& times) {
    VELLKIT_TRY(read_rows(source, rows, length, base, &times));
    pieces_to_host(times, (size_t)layout::kInfoTimeBytes);
    return Status();
}

void pieces_to_host(const std::vector<ReadPiece>& pieces, size_t width) {
    for (const ReadPiece& p : pieces)
        if (p.length) little_endian_to_host(p.destination, p.length / width, width);
}

int64_t first_row_length(const std::vector<RecordValues>& rows, size_t& mismatch) {
    mismatch = rows.size();
    if (rows.empty()) return 0;
    const int64_t length = rows[0].count;
    for (size_t k = 1; k < rows.size(); ++k) {
        if (rows[k].count != length) {
            mismatch = k;
            break;
        }
    }
    return length;
}

}  // namespace vellkit
