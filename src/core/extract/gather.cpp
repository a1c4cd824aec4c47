#include "core/extract/gather.hpp"

#include <climits>
#include <cstring>
#include <memory>

namespace vellkit {

namespace {
constexpr int kMaxVectors = 1024;  // IOV_MAX on the systems we build for
}

Status gather_read(const FileSource& source, const std::vector<ReadPiece>& pieces, size_t max_gap) {
    std::unique_ptr<unsigned char[]> discard;  // gap bytes land here, unread
    std::vector<IoVec> vectors;
    vectors.reserve(kMaxVectors);
    size_t i = 0;
    while (i < pieces.size()) {
        vectors.clear();
        const int64_t start = pieces[i].offset;
        int64_t end = start;
        size_t first = i;
        while (i < pieces.size() && (int)vectors.size() + 2 <= kMaxVectors) {
            const ReadPiece& p = pieces[i];
            if (i > first) {
                if (p.offset < end || (uint64_t)(p.offset - end) > max_gap) break;
                size_t gap = (size_t)(p.offset - end);
                if (gap) {
                    if (!discard) discard.reset(new unsigned char[max_gap]);
                    vectors.push_back({discard.get(), gap});
                }
            }
            if (p.length) vectors.push_back({p.destination, p.length});
            end = p.offset + (int64_t)p.length;
            ++i;
        }
        if (vectors.empty()) continue;
        size_t delivered = 0;
        VELLKIT_TRY(source.read_vector_at(start, vectors.data(), (int)vectors.size(), delivered));
        // A file that shrank while being read: what is missing reads as zeros.
        size_t skip = delivered;
        for (const IoVec& v : vectors) {
            if (skip >= v.iov_len) {
                skip -= v.iov_len;
                continue;
            }
            std::memset((char*)v.iov_base + skip, 0, v.iov_len - skip);
            skip = 0;
        }
    }
    return Status();
}

}  // namespace vellkit
