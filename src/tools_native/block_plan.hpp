// What one data block is, for the lazy readers of `vellkit_tools`: its
// located blocks, parameter records and record layout. Python-free: the
// module layer turns the results into Python objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/extract/gather.hpp"
#include "core/extract/locate.hpp"
#include "core/extract/store_table.hpp"
#include "core/parameter_blocks/parser.hpp"

namespace vellkit::tools {

// A field read cut short by the end of the file yields zero, as it does for
// the `vellkit` module; the count is kept so callers can tell.
class CountingObserver final : public FieldReadObserver {
public:
    void short_read(FieldKind, const unsigned char*, size_t) override { ++count; }
    int64_t count = 0;
};

// Why a block cannot be described, beyond a core Status.
enum class PlanProblem { none, not_vell, bad_request, no_block, offset_range };

struct BlockPlan {
    PlanProblem problem = PlanProblem::none;
    int64_t file_size = 0;
    LocatedBlocks blocks;
    bool three_d = false;
    // Parameter blocks in merge order: own, acquisition, instrument, sample, FT.
    std::vector<std::vector<ParamRecord>> parameter_blocks;
    bool has_original = false;
    std::vector<ParamRecord> original_parameters;
    // 3D blocks only.
    int32_t block_size = 0;
    int32_t info_size = 0;
    std::vector<int64_t> record_indices;  // store-table order
    std::vector<int64_t> record_offsets;
};

// The request words are upper case: a data block name, "2D" or "3D", and
// "NONE", "1DER", "2DER" or "NDER".
Status plan_block(const FileSource& source, const std::string& name, const std::string& dimensions,
                  const std::string& deriv, BlockPlan& out);

}  // namespace vellkit::tools
