#include "core/plans/region_plan.hpp"

#include <cmath>
#include <cstdio>

namespace vellkit {

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
    char buf[48];
    if (!tally.real) {
        std::snprintf(buf, sizeof buf, "%d", (int32_t)tally.value);
    } else if (tally.value == 0 && std::signbit(tally.value)) {
        return "-0.0";
    } else {
        std::snprintf(buf, sizeof buf, "%.1f", tally.value);
    }
    return buf;
}

// The record a "Fileindex" cell names, looked up as a dict lookup by the
// value would find it; false for anything a lookup would not find.
bool target_of(const RegionPlanInput& in, long long row, int64_t& out) {
    const AnnotationCells* column = in.columns.fileindex;
    if (!column || row >= (long long)column->size()) return false;
    if (in.target == PositionTarget::trace_column) {
        // A float indexes a numpy array only to fail there.
        int32_t v = 0;
        if (!column->integer_at(row, v)) return false;
        out = (int64_t)v - 1;
        return true;
    }
    int64_t key = 0;
    switch (column->kind_at((size_t)row)) {
    case Kind::integer:
        key = column->integer((size_t)row);
        break;
    case Kind::real: {
        const double d = column->real((size_t)row);
        if (!(std::trunc(d) == d) || std::fabs(d) > 9.0e18) return false;
        key = (int64_t)d;
        break;
    }
    case Kind::text:
        return false;
    }
    auto it = in.position_of->find(key);
    if (it == in.position_of->end()) return false;
    out = (int64_t)it->second;
    return true;
}

// Forms one region from its group's tally; false to give up.
bool plan_region(const RegionPlanInput& in, const GroupTally& tally, uint64_t& positions_left,
                 std::vector<RegionPlan>& out) {
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
    const std::string group = group_text(tally);
    char buf[96];
    double ary_type = 0;
    if (count == 0 && !number_in(in.columns.ary_type, first, ary_type)) return false;
    if (count == 0 && ary_type == 0) {
        count = tally.count;
        std::snprintf(buf, sizeof buf, " (%lld points)", count);
    } else {
        std::snprintf(buf, sizeof buf, " (%d x %d)", nx, ny);
    }
    region.title = "Region " + group + buf;
    // A negative size fails in numpy; a count past the rows, at the first
    // row that is not there.
    if (count < 0 || (uint64_t)count > positions_left) return false;
    positions_left -= (uint64_t)count;

    const AnnotationCells* xs = in.columns.x;
    const AnnotationCells* ys = in.columns.y;
    if (count > 0 && (!xs || !ys)) return false;
    region.map_x.resize((size_t)count);
    region.map_y.resize((size_t)count);
    region.targets.resize((size_t)count);
    for (long long k = 0; k < count; ++k) {
        const long long j = first + k;
        if (!target_of(in, j, region.targets[(size_t)k])) return false;
        if (!xs->number_at(j, region.map_x[(size_t)k]) || !ys->number_at(j, region.map_y[(size_t)k])) return false;
    }
    out.push_back(std::move(region));
    return true;
}

}  // namespace

bool tally_groups(const AnnotationCells& groups, std::vector<GroupTally>& out) {
    out.clear();
    // -0.0 and 0.0 are one key, as they are one set member.
    std::unordered_map<double, size_t> index;
    size_t previous = 0;
    double previous_value = 0;
    for (size_t i = 0; i < groups.size(); ++i) {
        double v = 0;
        if (!groups.number_at((long long)i, v) || v != v) return false;
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

bool plan_regions(const RegionPlanInput& in, std::vector<RegionPlan>& out) {
    out.clear();
    if (!in.tallies || (in.target == PositionTarget::record && !in.position_of)) return false;
    std::unordered_map<double, size_t> by_value;
    for (size_t i = 0; i < in.tallies->size(); ++i) by_value.emplace((*in.tallies)[i].value + 0.0, i);
    uint64_t positions_left = in.max_positions;
    for (int32_t g : in.order) {
        // The first row equal to the member as an integer (list.index).
        auto it = by_value.find((double)g);
        if (it == by_value.end()) return false;
        if (!plan_region(in, (*in.tallies)[it->second], positions_left, out)) return false;
    }
    return true;
}

}  // namespace vellkit
