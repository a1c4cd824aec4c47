#include "core/images/image_list.hpp"

#include <algorithm>

#include "core/format/block_type.hpp"
#include "core/format/layout.hpp"

#include <iterator>

namespace vellkit {

const DirectoryEntry* first_image_block(const std::vector<DirectoryEntry>& directory) {
    for (const DirectoryEntry& entry : directory)
        if (entry.fields.extend_type == extend_type::image) return &entry;
    return nullptr;
}

// Bijective base-26 letter name of m >= 0: 0 -> A, 25 -> Z, 26 -> AA,
// 701 -> ZZ, 702 -> AAA.
static std::string letter_name(long long m) {
    // Least significant letter first; each step drops one letter and the
    // bijective carry (d - 1), so the loop ends for every m >= 0.
    std::string reversed;
    for (;;) {
        long long d = m / 26, r = m % 26;
        reversed.push_back((char)('A' + r));
        if (d == 0) break;
        m = d - 1;
    }
    return std::string(reversed.rbegin(), reversed.rend());
}

std::string image_suffix(long long n) {
    if (n < 0) return std::to_string(n);
    if (n < 10) return "0" + std::to_string(n);
    if (n < 100) return std::to_string(n);
    if (n < 126) return "A" + letter_name(n - 100);
    return letter_name(n - 74);
}

Status find_image_list(Cursor& cursor, bool& found, int64_t& list_offset) {
    found = false;
    int64_t start = cursor.position();
    unsigned char window[layout::kImageListWindow];
    size_t got = 0;
    VELLKIT_TRY(cursor.read(window, sizeof window, got));
    const unsigned char* begin = window;
    const unsigned char* end = window + got;
    const unsigned char* at = std::search(begin, end, std::begin(layout::kImageListMarker), std::end(layout::kImageListMarker));
    if (at == end) return Status();
    found = true;
    list_offset = start + (int64_t)(at - begin);
    return Status();
}

int64_t image_read_count(const Cursor& cursor, int64_t requested) {
    int64_t left = cursor.remaining();
    return requested < 0 ? left : std::min(requested, left);
}

}  // namespace vellkit
