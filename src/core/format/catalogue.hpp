// Data block names and the listing of a file's named data blocks.
#pragma once

#include <vector>

#include "core/format/directory.hpp"

namespace vellkit {

constexpr int kBlockNameCount = 20;
constexpr int kAnySample = -1;

struct BlockName {
    const char* name;
    int data_type;
    int sample_type;  // kAnySample accepts every sample type
    bool primary;     // listed at the front by list_contents
};

// In the order the module holds them.
extern const BlockName kBlockNames[kBlockNameCount];

// Index into kBlockNames of the name of a block, or -1 when it has none.
int block_name_index(const BlockFields& fields);

struct ListedBlock {
    int name_index;
    bool three_d;
    int deriv_type;  // 0..3
};

// The named data blocks, found through their parameter blocks: primary
// names first in reverse directory order, then the others in directory order.
std::vector<ListedBlock> list_contents(const std::vector<DirectoryEntry>& directory);

}  // namespace vellkit
