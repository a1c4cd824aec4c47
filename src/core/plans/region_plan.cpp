#include "core/plans/region_plan.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

namespace vellkit {

RegionColumns region_columns(const AnnotationBlock& block) {
    auto find = [&](const char* name) { return block.find(name); };
    return {find("Group"), find("Type"), find("AryNX"), find("AryNY"),
            find("AryType"), find("Fileindex"), find("X"), find("Y")};
}

namespace {

using Kind = AnnotationCells::Kind;

// The number in a row (false for text or a row past the column's end).
bool number_in(const AnnotationCells* column, long long row, double& out) {
    return column && column->number_at(row, out);
}

bool integer_in(const AnnotationCells* column, long long row, int32_t& out) {
    return column && column->integer_at(row, out);
}

// The group value as str.format prints it: an int in decimal, a float by
// its repr (an integral value here, below 2**31 in magnitude).
std::string group_text(const GroupTally& tally) {
    if (!tally.real) return std::to_string((long long)tally.value);
    if (tally.value == 0 && std::signbit(tally.value)) return "-0.0";
    return std::to_string((long long)tally.value) + ".0";
}

// Spectrum index -> record, as the offsets map finds it: a plain table
// when the indices are dense (the usual 1..n), else the map itself.
class RecordIndex {
public:
    RecordIndex(const std::vector<int64_t>* indices, const std::unordered_map<int64_t, size_t>* map) : map_(map) {
        if (!indices || indices->empty()) return;
        const auto range = std::minmax_element(indices->begin(), indices->end());
        const int64_t low = *range.first;
        const uint64_t span = (uint64_t)*range.second - (uint64_t)low;
        if (span >= 4 * (uint64_t)indices->size() + 16) return;
        low_ = low;
        dense_.assign((size_t)span + 1, -1);
        for (size_t k = 0; k < indices->size(); ++k) {
            int64_t& slot = dense_[(size_t)((uint64_t)(*indices)[k] - (uint64_t)low)];
            if (slot < 0) slot = (int64_t)k;
        }
    }

    bool find(int64_t key, int64_t& out) const {
        if (!dense_.empty() || !map_) {
            // Without a map, the indices were all there is.
            if (key < low_ || (uint64_t)key - (uint64_t)low_ >= dense_.size()) return false;
            out = dense_[(size_t)((uint64_t)key - (uint64_t)low_)];
            return out >= 0;
        }
        auto it = map_->find(key);
        if (it == map_->end()) return false;
        out = (int64_t)it->second;
        return true;
    }

private:
    const std::unordered_map<int64_t, size_t>* map_;
    int64_t low_ = 0;
    std::vector<int64_t> dense_;
};

// Whether the column has the row (the module's lookup and item fail there).
bool has_row(const AnnotationCells* column, long long row) { return column && (size_t)row < column->size(); }

// One position's coordinate: a number, or a text left to the consumer.
bool plan_coordinate(const AnnotationCells* column, long long row, size_t cell, std::vector<double>& out,
                     RegionPlan& region) {
    if (!has_row(column, row)) return false;
    double d = 0;
    if (!column->number_at(row, d)) region.text_cells.push_back(cell);
    out.push_back(d);
    return true;
}

// The leading positions whose rows all three columns hold, with numbers
// for both coordinates, planned column by column rather than position by
// position; how many were planned (0: none, the plan goes step by step).
// `ok` is false where a position's target stops the plan, with the
// coordinates the step-by-step order would have taken up to there.
long long plan_in_bulk(const RegionPlanInput& in, const RecordIndex& records, RegionPlan& region, size_t room,
                       bool& ok) {
    const RegionColumns& c = in.columns;
    ok = true;
    if (!c.x || !c.y || room == 0) return 0;
    const long long first = region.first_row;
    const size_t n = std::min({room, c.x->size() - std::min(c.x->size(), (size_t)first),
                               c.y->size() - std::min(c.y->size(), (size_t)first)});
    if (n == 0) return 0;
    region.map_x.resize(n);
    region.map_y.resize(n);
    // A text coordinate among them: numpy decides what it is, step by step.
    if (!c.x->numbers(first, n, region.map_x.data()) || !c.y->numbers(first, n, region.map_y.data())) {
        region.map_x.clear();
        region.map_y.clear();
        return 0;
    }
    const AnnotationCells& fileindex = *c.fileindex;
    size_t k = 0;
    if (in.target == PositionTarget::record) {
        region.targets.resize(n);
        for (; k < n; ++k) {
            double d = 0;
            if (!fileindex.number_at(first + (long long)k, d) || std::trunc(d) != d || std::fabs(d) > 9.0e18 ||
                !records.find((int64_t)d, region.targets[k]))
                break;
        }
        // The record is looked up before the coordinates are taken.
        if (k < n) region.map_x.resize(k), region.map_y.resize(k);
    } else {
        region.targets.resize(n);
        if (fileindex.integers(first, n, region.targets.data())) {
            for (int64_t& t : region.targets) t -= 1;
            k = n;
        } else {
            for (; k < n; ++k) {
                int32_t v = 0;
                if (!fileindex.integer_at(first + (long long)k, v)) break;
                region.targets[k] = (int64_t)v - 1;
            }
        }
        // The coordinates are taken before the column is.
        if (k < n) region.map_x.resize(k + 1), region.map_y.resize(k + 1);
    }
    region.targets.resize(k);
    ok = k == n;
    return (long long)k;
}

// The positions of a region, each step in the reader's order: for spectra
// Fileindex (a record a dict lookup by its value finds), X, Y; for traces
// X and Y before Fileindex (an integer; its range is the reader's).
bool plan_positions(const RegionPlanInput& in, const RecordIndex& records, RegionPlan& region) {
    const RegionColumns& c = in.columns;
    const bool by_record = in.target == PositionTarget::record;
    // Room for the positions the table's rows hold, never for more: a
    // claimed count past them stops at the first missing row.
    const long long rows = c.fileindex ? (long long)c.fileindex->size() - region.first_row : 0;
    const size_t room = (size_t)std::max(0LL, std::min(region.count, rows));
    region.map_x.reserve(room);
    region.map_y.reserve(room);
    region.targets.reserve(room);
    bool ok = true;
    long long k = plan_in_bulk(in, records, region, room, ok);
    if (!ok) return false;
    for (; k < region.count; ++k) {
        const long long row = region.first_row + k;
        int64_t target = 0;
        if (!has_row(c.fileindex, row)) return false;
        const AnnotationCells& fileindex = *c.fileindex;
        if (by_record) {
            double d = 0;
            if (!fileindex.number_at(row, d) || std::trunc(d) != d || std::fabs(d) > 9.0e18) return false;
            if (!records.find((int64_t)d, target)) return false;
        }
        if (!plan_coordinate(c.x, row, 2 * (size_t)k, region.map_x, region) ||
            !plan_coordinate(c.y, row, 2 * (size_t)k + 1, region.map_y, region))
            return false;
        int32_t v = 0;
        if (!by_record) {
            if (!fileindex.integer_at(row, v)) return false;
            target = (int64_t)v - 1;
        }
        // A coordinate of a position that stops is the replay's.
        region.targets.push_back(target);
    }
    return true;
}

// Forms one region from its group's tally into `out`; the step it stops at.
RegionStop::Step plan_region(const RegionPlanInput& in, const RecordIndex& records, const GroupTally& tally,
                             uint64_t& positions_left, std::vector<RegionPlan>& out, uint64_t& past_limit) {
    using Step = RegionStop::Step;
    const long long first = tally.first_row;
    const RegionColumns& c = in.columns;
    double type = 0, nx = 0, ny = 0, ary_type = 0;
    out.push_back(RegionPlan());
    RegionPlan& region = out.back();
    region.group = (int32_t)tally.value;
    region.first_row = first;
    if (!has_row(c.type, first)) return Step::shape;
    // A text is not 0: no region, as for any other type.
    if (!number_in(c.type, first, type) || type != 0) return out.pop_back(), Step::none;

    // Text sizes fail in the product or in numpy, float ones in numpy
    // unless a point list (the product 0, AryType 0) takes the group's count.
    int32_t whole_x = 0, whole_y = 0;
    if (!number_in(c.nx, first, nx) || !number_in(c.ny, first, ny)) return Step::shape;
    const bool whole = integer_in(c.nx, first, whole_x) && integer_in(c.ny, first, whole_y);
    bool points = false;
    if (nx * ny == 0) {
        if (!has_row(c.ary_type, first)) return Step::shape;
        points = number_in(c.ary_type, first, ary_type) && ary_type == 0;
    }
    region.title = "Region " + group_text(tally);
    if (points) {
        region.count = tally.count;
        region.title += " (" + std::to_string(region.count) + " points)";
    } else {
        region.count = (long long)whole_x * whole_y;
        // A float or negative size fails in numpy.
        if (!whole || region.count < 0) return Step::shape;
        region.title += " (" + std::to_string(whole_x) + " x " + std::to_string(whole_y) + ")";
    }
    if ((uint64_t)region.count > positions_left) {
        past_limit = in.max_positions - positions_left + (uint64_t)region.count;
        return Step::past_limit;
    }
    positions_left -= (uint64_t)region.count;
    // Grown with the positions planned: the claimed count is only trusted
    // as far as the table's rows go.
    return plan_positions(in, records, region) ? Step::none : Step::position;
}

}  // namespace

bool tally_groups(const AnnotationCells& groups, std::vector<GroupTally>& out) {
    out.clear();
    // -0.0 and 0.0 are one key, as they are one set member.
    std::unordered_map<double, size_t> index;
    size_t previous = 0;
    double previous_value = 0;
    // A chunk at a time: no buffer the size of the column to fill.
    constexpr size_t kChunk = 512;
    double values[kChunk];
    const size_t rows = groups.size();
    for (size_t at = 0; at < rows; at += kChunk) {
        const size_t m = std::min(kChunk, rows - at);
        if (!groups.numbers((long long)at, m, values)) return false;
        for (size_t j = 0; j < m; ++j) {
            // Rows of one group mostly follow one another: one lookup a run
            // (NaN equals nothing, so it never joins one).
            if (!out.empty() && values[j] == previous_value) {
                size_t end = j + 1;
                while (end < m && values[end] == previous_value) ++end;
                out[previous].count += (long long)(end - j);
                j = end - 1;
                continue;
            }
            double v = values[j];
            if (v != v) return false;
            v += 0.0;
            auto inserted = index.emplace(v, out.size());
            const size_t i = at + j;
            if (inserted.second) out.push_back(GroupTally{v, groups.kind_at(i) == Kind::real, (long long)i, 0});
            previous = inserted.first->second;
            previous_value = v;
            ++out[previous].count;
        }
    }
    // The first row's own value, as the table holds it (-0.0 stays -0.0).
    for (GroupTally& t : out) {
        if (t.real) t.value = groups.real((size_t)t.first_row);
    }
    return true;
}

RegionStop plan_regions(const RegionPlanInput& in, std::vector<RegionPlan>& out) {
    out.clear();
    RegionStop stop;
    if (!in.tallies || (in.target == PositionTarget::record && !in.position_of)) {
        stop.step = RegionStop::Step::order;
        return stop;
    }
    std::unordered_map<double, size_t> by_value;
    for (size_t i = 0; i < in.tallies->size(); ++i) by_value.emplace((*in.tallies)[i].value + 0.0, i);
    // Every member's first row (list.index) is found before any region is formed.
    std::vector<const GroupTally*> members;
    for (int32_t g : in.order) {
        auto it = by_value.find((double)g);
        if (it == by_value.end()) {
            stop.step = RegionStop::Step::order;
            return stop;
        }
        members.push_back(&(*in.tallies)[it->second]);
    }
    uint64_t positions_left = in.max_positions;
    const bool by_record = in.target == PositionTarget::record;
    const RecordIndex records(by_record ? in.indices : nullptr, by_record ? in.position_of : nullptr);
    for (const GroupTally* tally : members) {
        stop.step = plan_region(in, records, *tally, positions_left, out, stop.past_limit);
        if (stop.stopped()) break;
    }
    return stop;
}

}  // namespace vellkit
