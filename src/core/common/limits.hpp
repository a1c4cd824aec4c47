// How much work and memory a file may ask for. A damaged file can claim
// anything; these bounds keep a file of a few kilobytes from taking the time
// or the memory of the process that reads it, while every real file stays
// far inside them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "core/common/status.hpp"

namespace vellkit {

// Directory entries, store-table rows and annotation rows that start past
// the end of the file read as zeros: a few are read like any other (and
// reported), more fail the call or end the listing.
constexpr int kEntriesPastEndRead = 16;
constexpr int64_t kStoreRowsPastEndRead = 16;
constexpr int64_t kRowsPastEndRead = 16;
// Records named beyond the size of the file in bytes (each takes at least a
// byte in any real file) mark a damaged store table: the call fails before
// they are laid out, with no slack. Annotation rows fail the same way past
// the size of the file and the slack.
constexpr int64_t kRecordSlack = 0;
constexpr int64_t kRowSlack = 4096;
// A file cut short loses its last few records; a call whose records past
// the end of the file would report more failed reads than this reads a
// damaged store table, and fails before the first report.
constexpr int64_t kReportsPastEnd = 4096;

// Labels up to this long are read in the same vectored pass as the values.
constexpr int64_t kLabelReadWithValues = 4096;

// Work worth letting other threads run during: reads of this many bytes or
// more, and parsing files of this size or more (directories, tables). Less
// is done in microseconds, about what letting go of a lock costs.
constexpr uint64_t kUnlockedReadBytes = 64 * 1024;
constexpr int64_t kUnlockedParseFileBytes = 1024 * 1024;

// Long loops ask the consumer whether to stop (a signal) this often.
constexpr int64_t kInterruptPollEvery = 4096;

// A call may allocate max(1 GiB, 64 x the file's size) for its results; the
// environment variable raises (or lowers) that to a number of bytes, with an
// optional K, M, G or T suffix (powers of 1024); 0 lifts the limit.
constexpr int64_t kMemoryFloor = int64_t(1) << 30;
constexpr int64_t kMemoryPerFileByte = 64;
constexpr const char* kMemoryLimitVariable = "VELLKIT_MEMORY_LIMIT";

// What one call has allocated so far against its limit.
class MemoryBudget {
public:
    // The limit for a file of `file_size` bytes (negative: unknown), or the
    // one `setting` gives (the environment variable's text, read by the
    // consumer; nullptr when it is not set); fails on a setting that is not
    // a size.
    static Status for_file(int64_t file_size, const char* setting, MemoryBudget& out);

    // Counts `count` items of `item_bytes` each; fails with memory_limit when
    // the total would pass the limit (nothing is counted then).
    Status charge(uint64_t count, uint64_t item_bytes);
    Status charge(uint64_t bytes) { return charge(bytes, 1); }

    int64_t limit() const { return limit_; }
    int64_t used() const { return used_; }
    // How the file is named in a failure's message.
    void set_subject(std::string subject) { subject_ = std::move(subject); }
    const std::string& subject() const { return subject_; }

private:
    int64_t limit_ = kMemoryFloor;
    int64_t used_ = 0;
    int64_t file_size_ = 0;
    std::string subject_;
};

// Parses a size such as "4096", "512M" or "2G" (whitespace around it and
// before the suffix ignored); false when it is not one.
bool parse_byte_size(const std::string& text, int64_t& out);

}  // namespace vellkit
