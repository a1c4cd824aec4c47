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

// The record (or trace column) of each row from `first` on, as a dict
// lookup by the "Fileindex" value would find it; false for anything a
// lookup would not find.
bool targets_of(const RegionPlanInput& in, const RecordIndex& records, long long first, std::vector<int64_t>& out) {
    const AnnotationCells& column = *in.columns.fileindex;
    const size_t n = out.size();
    if (first < 0 || (size_t)first > column.size() || n > column.size() - (size_t)first) return false;
    if (column.integers(first, n, out.data())) {
        // The usual column of integers, taken at once.
        if (in.target == PositionTarget::trace_column) {
            for (int64_t& v : out) v -= 1;
            return true;
        }
        for (int64_t& v : out)
            if (!records.find(v, v)) return false;
        return true;
    }
    // A float indexes a numpy array only to fail there.
    if (in.target == PositionTarget::trace_column) return false;
    for (size_t k = 0; k < n; ++k) {
        const size_t row = (size_t)first + k;
        int64_t key = 0;
        switch (column.kind_at(row)) {
        case Kind::integer:
            key = column.integer(row);
            break;
        case Kind::real: {
            const double d = column.real(row);
            if (!(std::trunc(d) == d) || std::fabs(d) > 9.0e18) return false;
            key = (int64_t)d;
            break;
        }
        case Kind::text:
            return false;
        }
        if (!records.find(key, out[k])) return false;
    }
    return true;
}

// Forms one region from its group's tally; false to give up.
bool plan_region(const RegionPlanInput& in, const RecordIndex& records, const GroupTally& tally, uint64_t& positions_left,
                 std::vector<RegionPlan>& out, uint64_t* past_limit) {
    const long long first = tally.first_row;
    double type = 0;
    if (!number_in(in.columns.type, first, type)) return false;
    if (type != 0) return true;  // skipped: no region

    int32_t nx = 0, ny = 0;
    if (!integer_in(in.columns.nx, first, nx) || !integer_in(in.columns.ny, first, ny)) return false;
    long long count = (long long)nx * ny;
    RegionPlan region;
    region.group = (int32_t)tally.value;
    region.first_row = first;
    double ary_type = 0;
    if (count == 0 && !number_in(in.columns.ary_type, first, ary_type)) return false;
    region.title = "Region " + group_text(tally);
    if (count == 0 && ary_type == 0) {
        count = tally.count;
        region.title += " (" + std::to_string(count) + " points)";
    } else {
        region.title += " (" + std::to_string(nx) + " x " + std::to_string(ny) + ")";
    }
    // A negative size fails in numpy; a count past the rows, at the first
    // row that is not there.
    if (count < 0) return false;
    if ((uint64_t)count > positions_left) {
        if (past_limit) *past_limit = in.max_positions - positions_left + (uint64_t)count;
        return false;
    }
    positions_left -= (uint64_t)count;

    // A region without positions reads none of the position columns, so
    // they need not be there.
    if (count == 0) {
        out.push_back(std::move(region));
        return true;
    }
    const AnnotationCells* xs = in.columns.x;
    const AnnotationCells* ys = in.columns.y;
    if (!xs || !ys || !in.columns.fileindex) return false;
    const size_t n = (size_t)count;
    region.map_x.resize(n);
    region.map_y.resize(n);
    region.targets.resize(n);
    if (!xs->numbers(first, n, region.map_x.data()) || !ys->numbers(first, n, region.map_y.data())) return false;
    if (!targets_of(in, records, first, region.targets)) return false;
    out.push_back(std::move(region));
    return true;
}

}  // namespace

bool tally_groups(const AnnotationCells& groups, std::vector<GroupTally>& out) {
    out.clear();
    // -0.0 and 0.0 are one key, as they are one set member.
    std::vector<double> values(groups.size());
    if (!groups.numbers(0, values.size(), values.data())) return false;
    std::unordered_map<double, size_t> index;
    size_t previous = 0;
    double previous_value = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        double v = values[i];
        if (v != v) return false;
        v += 0.0;
        // Rows of one group mostly follow one another: one lookup a run.
        if (!out.empty() && v == previous_value) {
            ++out[previous].count;
            continue;
        }
        auto inserted = index.emplace(v, out.size());
        if (inserted.second) out.push_back(GroupTally{v, groups.kind_at(i) == Kind::real, (long long)i, 0});
        previous = inserted.first->second;
        previous_value = v;
        ++out[previous].count;
    }
    // The first row's own value, as the table holds it (-0.0 stays -0.0).
    for (GroupTally& t : out) {
        if (t.real) t.value = groups.real((size_t)t.first_row);
    }
    return true;
}

bool plan_regions(const RegionPlanInput& in, std::vector<RegionPlan>& out, uint64_t* past_limit) {
    out.clear();
    if (past_limit) *past_limit = 0;
    if (!in.tallies || (in.target == PositionTarget::record && !in.position_of)) return false;
    std::unordered_map<double, size_t> by_value;
    for (size_t i = 0; i < in.tallies->size(); ++i) by_value.emplace((*in.tallies)[i].value + 0.0, i);
    uint64_t positions_left = in.max_positions;
    const bool by_record = in.target == PositionTarget::record;
    const RecordIndex records(by_record ? in.indices : nullptr, by_record ? in.position_of : nullptr);
    for (int32_t g : in.order) {
        // The first row equal to the member as an integer (list.index).
        auto it = by_value.find((double)g);
        if (it == by_value.end()) return false;
        if (!plan_region(in, records, (*in.tallies)[it->second], positions_left, out, past_limit)) return false;
    }
    return true;
}

}  // namespace vellkit
