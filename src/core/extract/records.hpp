// The records of a 3D data block as readers walk them: where a record's
// values lie and how many of them the file holds, the info record behind
// them (a time, a label), and bulk reads of rows of values in host order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/extract/gather.hpp"
#include "core/format/cursor.hpp"
#include "core/format/field_readers.hpp"

namespace vellkit {

struct RecordValues {
    int64_t offset = 0;  // where the values start
    int64_t count = 0;   // values the file holds there, at most NPT
    wide end = 0;        // file position after reading them
};

// Seeks to a record (failing as the seek fails) and sizes a read of `npt`
// float32 values there, as a bulk read from the file delivers them.
Status locate_values(Cursor& cursor, wide offset, int64_t npt, RecordValues& out);

// The time in the info record of a record whose values end at `values_end`:
// seeks there (failing as the seek fails); when all eight bytes are in the
// file, `piece` reads them in bulk into `*destination`, else it is empty and
// the time is read (and reported) as a field now.
Status locate_time(Cursor& cursor, FieldReadObserver& observer, wide values_end, double* destination,
                   ReadPiece& piece);
// locate_time without the read: an empty `piece` leaves the time to
// read_time_apart, so that records can all be located before any report.
Status locate_time_piece(Cursor& cursor, wide values_end, double* destination, ReadPiece& piece);
// locate_values and locate_time_piece at once for a record whose `npt`
// values and time all lie in a seekable file (nearly every record, where the
// seeks cannot fail and need not be made); false, with nothing set, otherwise.
bool locate_record_in_file(const Cursor& cursor, wide offset, int64_t npt, RecordValues& out, double* time,
                           ReadPiece& piece);
// Reads (and reports) as a field a time that is not all in the file.
Status read_time_apart(Cursor& cursor, FieldReadObserver& observer, wide values_end, double* destination);
// The records at `offsets` (up to the first below zero, where a seek fails)
// whose `npt` values and time do not all lie in the file: those whose time
// a series read reports. Counted without a seek, before any is located; 0
// for a file that cannot seek or whose size is not known.
Status count_times_past_end(const Cursor& cursor, const std::vector<wide>& offsets, int64_t npt, uint64_t& out);
// Fails (reports_past_end) when `reports` failed reads of records past the
// end of the file, about to be reported, are more than a file cut short
// gives (kReportsPastEnd): the store table of the block at `data_offset` is
// damaged. Called before the first of them is reported.
Status check_reports_past_end(uint64_t reports, wide data_offset);

// Labels read in the same vectored pass as the records' values: each is
// located (failing with its seek's status, in record order) before anything
// is read; long ones are read apart afterwards.
class LabelReads {
public:
    Status locate(Cursor& cursor, wide values_end, int32_t info_size);
    // The piece that reads label k (zero length when it is read apart).
    ReadPiece piece(size_t k);
    // The stored bytes of label k before its first NUL, once the pieces
    // were read (long labels are read here).
    Status text(Cursor& cursor, size_t k, std::string& out) const;
    size_t size() const { return spans_.size(); }
    // Bytes label k takes in memory (at most; the text ends at a NUL).
    uint64_t bytes(size_t k) const { return (uint64_t)spans_[k].length; }
    // Bytes the labels take in memory.
    uint64_t bytes() const;

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

// Reads `length` values of each row to `base` + k * length floats, each row
// followed in the same pass by its piece of `behind` (a time, a label; zero
// lengths for none). The values end in host order; pieces behind are left
// as stored (see read_rows_and_times, pieces_to_host).
Status read_rows(const FileSource& source, const std::vector<RecordValues>& rows, int64_t length, float* base,
                 const std::vector<ReadPiece>* behind);

// read_rows for records each followed by the time of its info record:
// `times[k]` is the piece locate_time (or locate_record_in_file) gave record
// k, empty when the time was read apart. Values and times end in host order.
Status read_rows_and_times(const FileSource& source, const std::vector<RecordValues>& rows, int64_t length,
                           float* base, const std::vector<ReadPiece>& times);

// Turns what bulk-read pieces of `width`-byte values hold into host order.
void pieces_to_host(const std::vector<ReadPiece>& pieces, size_t width);

// Row lengths of rows about to be stacked: the first row's length, and the
// index of the first row of another length (rows.size() when all agree).
int64_t first_row_length(const std::vector<RecordValues>& rows, size_t& mismatch);

}  // namespace vellkit
