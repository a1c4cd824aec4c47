// Finding a request's blocks in the directory, by directory fields alone.
#pragma once

#include <cstdint>
#include <vector>

#include "core/format/directory.hpp"

namespace vellkit {

struct BlockRequest {
    int data_type;
    int sample_type;  // -1 accepts every sample type
    int deriv_type;
    int extend_type;  // 0 for 2D, 10 for 3D
};

// Absolute offsets; -1 where no such block was found.
struct LocatedBlocks {
    int64_t data = -1;
    int64_t params = -1;
    int64_t original_params = -1;
    int64_t acquisition = -1;
    int64_t instrument = -1;
    int64_t sample = -1;
    int64_t fourier_transform = -1;
    int64_t annotation = -1;
};

// One pass over the directory; for every kind of block the last matching
// entry wins. The first rule that applies to an entry is the only one tried.
LocatedBlocks locate_blocks(const std::vector<DirectoryEntry>& directory, const BlockRequest& request);

}  // namespace vellkit
