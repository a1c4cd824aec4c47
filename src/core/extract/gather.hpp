// Bulk reads of many pieces of a file straight into their destinations:
// pieces that follow one another in the file (with small gaps) are read by
// one vectored read, so a block of records costs a few system calls.
#pragma once

#include <cstdint>
#include <vector>

#include "core/format/byte_source.hpp"

namespace vellkit {

struct ReadPiece {
    int64_t offset;  // wholly inside the file
    size_t length;
    void* destination;
};

// Reads every piece; pieces are read in the order given, merged while each
// starts at or after the end of the previous one, at most `max_gap` later.
Status gather_read(const FileSource& source, const std::vector<ReadPiece>& pieces, size_t max_gap = 256 * 1024);

}  // namespace vellkit
