// Finding a request's blocks in the directory, by directory fields alone.
#pragma once

#include <array>

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

    // The parameter blocks of the data, in the order they are merged (a
    // later value wins): its own, acquisition, instrument, sample, FT.
    std::array<int64_t, 5> merge_order() const { return {params, acquisition, instrument, sample, fourier_transform}; }
};

// One pass over the directory; for every kind of block the last matching
// entry wins. The first rule that applies to an entry is the only one tried.
LocatedBlocks locate_blocks(const std::vector<DirectoryEntry>& directory, const BlockRequest& request);

}  // namespace vellkit
