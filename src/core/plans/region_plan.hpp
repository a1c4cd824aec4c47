// The regions of a multi-region map or trace map, planned from the
// annotation table's columns as plain numbers: which rows each region takes,
// its title, its positions' coordinates and the record (or trace column) of
// each position.
//
// The regions come in the order the consumer gives as group numbers, from
// the distinct "Group" values (tally_groups). Planning goes region by region,
// position by position, in the order the module reads them, and stops at the
// first step that plain numbers cannot take (RegionStop): the consumer reads
// what was planned before it and replays that one step with the values as
// objects, which raises the module's exact error there.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/extract/annotations.hpp"

namespace vellkit {

// The columns the regions are formed from (nullptr: the table has none).
struct RegionColumns {
    const AnnotationCells* group = nullptr;
    const AnnotationCells* type = nullptr;
    const AnnotationCells* nx = nullptr;        // "AryNX"
    const AnnotationCells* ny = nullptr;        // "AryNY"
    const AnnotationCells* ary_type = nullptr;  // "AryType"
    const AnnotationCells* fileindex = nullptr;
    const AnnotationCells* x = nullptr;
    const AnnotationCells* y = nullptr;
};

// The columns the regions are formed from (nullptr: the table has none).
RegionColumns region_columns(const AnnotationBlock& block);

// One distinct "Group" value: as stored (an int32 or a float32), the first
// row that holds it and how many rows hold a number equal to it.
struct GroupTally {
    double value;
    bool real;  // stored as a float
    long long first_row;
    long long count;
};

// The distinct group values in order of first appearance (adding them in
// this order builds the same set as adding every row's value); false when a
// value is text or NaN.
bool tally_groups(const AnnotationCells& groups, std::vector<GroupTally>& out);

// What a position's "Fileindex" names: a record of the offsets map (spectra)
// or a column of the trace array (Fileindex - 1; checked by the reader
// against the traces' length).
enum class PositionTarget { record, trace_column };

struct RegionPlan {
    int32_t group = 0;           // the group number
    std::string title;           // "Region 3 (17 points)", "Region 2 (5 x 4)"
    long long first_row = 0;     // positions are the rows from here on
    long long count = 0;         // positions claimed
    std::vector<double> map_x;   // per position planned
    std::vector<double> map_y;
    std::vector<int64_t> targets;  // per position: record number or trace column
    // Coordinates held as text (2 x position + 0 for x, 1 for y), ascending:
    // only numpy knows which texts it takes as numbers.
    std::vector<size_t> text_cells;
};

// Where planning stopped. order: before any region (a group value the
// regions cannot be ordered by); shape: the last region's size or title;
// past_limit: the last region passes max_positions (`past_limit` positions
// claimed up to it); position: the last region's position targets.size().
struct RegionStop {
    enum class Step { none, order, shape, past_limit, position } step = Step::none;
    uint64_t past_limit = 0;
    bool stopped() const { return step != Step::none; }
};

struct RegionPlanInput {
    RegionColumns columns;
    const std::vector<GroupTally>* tallies = nullptr;
    std::vector<int32_t> order;  // the set's members as group numbers, in its order
    PositionTarget target = PositionTarget::record;
    // For records: the spectrum index of each record in store-table order
    // (a repeated index names its first record), and the same as a map.
    const std::vector<int64_t>* indices = nullptr;
    const std::unordered_map<int64_t, size_t>* position_of = nullptr;
    // Planning gives up past this many positions in all (the readers would
    // pass their memory limit first).
    uint64_t max_positions = 0;
};

// The regions in order (groups whose first row's "Type" is not 0 have none);
// after a stop, the last region is the one it stopped in.
RegionStop plan_regions(const RegionPlanInput& in, std::vector<RegionPlan>& out);

}  // namespace vellkit
