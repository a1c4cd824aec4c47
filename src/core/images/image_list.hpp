// The image block: where it is, how its images are numbered, and how its
// image list blocks are found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/format/cursor.hpp"
#include "core/format/directory.hpp"

namespace vellkit {

// The first directory entry whose extendType is 20, or nullptr.
const DirectoryEntry* first_image_block(const std::vector<DirectoryEntry>& directory);

// End of the image block as the walk compares positions with it: its offset
// plus four bytes per word, exact for any 64-bit entry.
inline wide image_block_end(const DirectoryEntry& block) {
    return (wide)block.byte_offset + (wide)block.size_in_words * 4;
}


// The suffix that numbers image n in parameter names (F00, ZAA, H01):
// 00 to 99, then "A" and the letter name of n - 100 up to 125 (AA to AZ),
// then the letter name of n - 74 (126 -> BA, 775 -> ZZ, 776 -> AAA); a
// negative n is written as its decimal text.
std::string image_suffix(long long n);

// An image list block begins with the name "BID", which must lie wholly
// within the layout::kImageListWindow bytes read at the walk's position.
// Reads the window at the cursor's position and looks for the first "BID"
// in what was delivered; `found` is false when there is none (also when
// fewer bytes are left). `list_offset` is the absolute offset of the "BID".
Status find_image_list(Cursor& cursor, bool& found, int64_t& list_offset);

// The number of bytes a read of `requested` bytes delivers at the cursor:
// a negative count reads to the end of the file, others are cut there.
int64_t image_read_count(const Cursor& cursor, int64_t requested);

}  // namespace vellkit
