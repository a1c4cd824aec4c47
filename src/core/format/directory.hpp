// The file header and the block directory, with its 64-bit extension.
#pragma once

#include <cstdint>
#include <vector>

#include "core/common/limits.hpp"
#include "core/format/block_type.hpp"
#include "core/format/field_readers.hpp"

namespace vellkit {

struct DirectoryEntry {
    BlockFields fields;
    int64_t size_in_words = 0;
    int64_t byte_offset = 0;
};

// Reads the directory: the 32-bit entries in file order, then the entries of
// the 64-bit extension named by the last entry whose extendType is 64.
// Counts are trusted only as far as the file goes: entries wholly past the
// end of the file are all zero and change nothing, so after a few of them
// (read and reported like any other, which keeps small damaged files exact)
// no further entries are read (kEntriesPastEndRead).

Status read_directory(Cursor& cursor, FieldReadObserver& observer, std::vector<DirectoryEntry>& out);

}  // namespace vellkit
