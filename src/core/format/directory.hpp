// The file header and the block directory, with its 64-bit extension.
#pragma once

#include <cstdint>
#include <vector>

#include "core/common/limits.hpp"
#include "core/format/block_type.hpp"
#include "core/format/field_readers.hpp"

namespace vellkit {

struct DirectoryEntry {
    int64_t code = 0;  // the block-type code as stored
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
//
// With `frame`, the reader stops early instead: it reads only the entries
// that lie wholly in the file, nothing past a header, directory or
// extension that does not, and says in `frame` what the header claims.
struct DirectoryFrame {
    bool header_cut = false;  // the file ends inside the header: nothing read
    int32_t offset = 0, claimed = 0;  // of the directory and its entries, as the header claims
    wide end = 0;                     // where the claimed entries would end
    size_t main_entries = 0;          // entries read from the 32-bit directory
    int64_t extension_at = 0, extension_claimed = 0;  // 0: no extension named
    bool extension_outside = false;   // its header is not in the file: not read
    wide extension_end = 0;
};

Status read_directory(Cursor& cursor, FieldReadObserver& observer, std::vector<DirectoryEntry>& out,
                      DirectoryFrame* frame = nullptr);

}  // namespace vellkit
