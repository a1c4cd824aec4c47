// Multi-region maps: regions formed from the annotation table's "Group"
// column, in the iteration order of the set of group numbers; each region
// reads its positions' spectra (or, for traces, picks their columns out of
// the trace block).
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/group_order.hpp"
#include "bindings/extract/annotations.hpp"
#include "bindings/extract/readers_3d.hpp"
#include "bindings/extract/records.hpp"
#include "bindings/results/result_classes.hpp"
#include "core/extract/gather.hpp"
#include "core/format/layout.hpp"
#include "core/plans/region_plan.hpp"

namespace vellkit::py {

namespace {

// ---------------------------------------------------------------------------
// Replay with objects: where the core's region plan stops (a text or a
// float where it plans on integers, a group order a plain set cannot give),
// the regions are formed again from the table's values as Python objects,
// which fail, or succeed, exactly as the module's arithmetic does.

// The group number as a C int: floats truncated toward zero on every
// interpreter version, anything else an integer or a TypeError.
int group_number(PyObject* value) {
    double d;
    if (PyFloat_Check(value)) {
        d = PyFloat_AS_DOUBLE(value);
        if (std::isnan(d)) {
            PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
            throw PyError();
        }
        if (std::isinf(d)) {
            PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
            throw PyError();
        }
        d = std::trunc(d);
        if (d < INT32_MIN || d > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
            throw PyError();
        }
        return (int)d;
    }
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "an integer is required");
        }
        throw PyError();
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyError();
    if (overflow || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        throw PyError();
    }
    return (int)v;
}

// The first row of each group, in the iteration order of the set of groups.
std::vector<long long> group_first_rows(const AnnotationTable& table) {
    const AnnotationColumn& groups = table.column("Group");
    Ref members = groups.as_set();
    Ref it = Ref::check(PyObject_GetIter(members.get()));
    std::vector<long long> first_rows;
    for (;;) {
        Ref member = Ref::steal(PyIter_Next(it.get()));
        if (!member) {
            if (PyErr_Occurred()) throw PyError();
            break;
        }
        first_rows.push_back(groups.index_of(group_number(member.get())));
    }
    return first_rows;
}

struct RegionShape {
    bool skipped = true;
    Ref title;
    Ref count;  // NSPEC as the file gives it
};

RegionShape region_shape(const AnnotationTable& table, long long first_row) {
    RegionShape shape;
    if (!equals_number(table.column("Type").item(first_row).get(), 0)) return shape;
    shape.skipped = false;
    const AnnotationColumn& groups = table.column("Group");
    Ref group = groups.item(first_row);
    Ref nx = table.column("AryNX").item(first_row);
    Ref ny = table.column("AryNY").item(first_row);
    shape.count = Ref::check(PyNumber_Multiply(nx.get(), ny.get()));
    if (equals_number(shape.count.get(), 0) && equals_number(table.column("AryType").item(first_row).get(), 0)) {
        shape.count = new_int(groups.count_of(group.get(), first_row));
        Ref fmt = new_str("Region {0} ({1} points)");
        shape.title = Ref::check(PyObject_CallMethod(fmt.get(), "format", "OO", group.get(), shape.count.get()));
    } else {
        Ref fmt = new_str("Region {0} ({1} x {2})");
        shape.title = Ref::check(PyObject_CallMethod(fmt.get(), "format", "OOO", group.get(), nx.get(), ny.get()));
    }
    return shape;
}

// The columns a region's positions read, each looked up on first use, so
// that a missing column fails where a lookup per position would first fail.
class PositionColumns {
public:
    explicit PositionColumns(const AnnotationTable& table) : table_(table) {}
    const AnnotationColumn& fileindex() { return get(fileindex_, "Fileindex"); }
    const AnnotationColumn& x() { return get(x_, "X"); }
    const AnnotationColumn& y() { return get(y_, "Y"); }

private:
    const AnnotationColumn& get(std::optional<AnnotationColumn>& slot, const char* name) {
        if (!slot) slot.emplace(table_.column(name));
        return *slot;
    }
    const AnnotationTable& table_;
    std::optional<AnnotationColumn> fileindex_, x_, y_;
};

// Stores a coordinate into a float64 array as numpy's item assignment would.
void store_coordinate(PyObject* array, double* data, long long k, PyObject* value) {
    if (PyFloat_CheckExact(value) || PyLong_CheckExact(value)) {
        double d = PyFloat_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred()) throw PyError();
        data[k] = d;
        return;
    }
    Ref index = new_int(k);
    check_status(PyObject_SetItem(array, index.get(), value));
}

// Stores row `row` of a coordinate column as element k.
void store_coordinate(PyObject* array, double* data, long long k, const AnnotationColumn& column, long long row) {
    double d;
    if (column.number_at(row, d)) {
        data[k] = d;
        return;
    }
    store_coordinate(array, data, k, column.item(row).get());
}

// The spectrum index a "Fileindex" value names in the offsets map, looked up
// as a dict lookup by that value would.
size_t record_position(const RecordLayout& layout, PyObject* findex) {
    long long key;
    if (PyLong_Check(findex)) {
        int overflow = 0;
        key = PyLong_AsLongLongAndOverflow(findex, &overflow);
        if (key == -1 && PyErr_Occurred()) throw PyError();
        if (overflow) raise_key_error(findex);
    } else if (PyFloat_Check(findex)) {
        double d = PyFloat_AS_DOUBLE(findex);
        if (!(std::trunc(d) == d) || std::fabs(d) > 9.0e18) raise_key_error(findex);
        key = (long long)d;
    } else {
        raise_key_error(findex);
    }
    auto it = layout.position_of.find(key);
    if (it == layout.position_of.end()) raise_key_error(findex);
    return it->second;
}

// The record that row `row` of the "Fileindex" column names.
size_t record_at(const RecordLayout& layout, const AnnotationColumn& fileindex, long long row) {
    int32_t number = 0;
    if (fileindex.integer_at(row, number)) {
        auto it = layout.position_of.find(number);
        if (it != layout.position_of.end()) return it->second;
    }
    Ref value = fileindex.item(row);
    return record_position(layout, value.get());
}

// Every element of a region's arrays is written (or the call fails), so they
// need no zero fill.
Ref region_vector(ExtractContext& ctx, PyObject* count) { return np_empty(ctx.st, count, ctx.st->np_float64); }

// Finds where one position's values and start time lie (reading the time
// into `time`), for one vectored read of a whole region afterwards.
void locate_position(ExtractContext& ctx, wide offset, long long npt, double* time, std::vector<RecordValues>& rows,
                     std::vector<ReadPiece>& time_pieces) {
    RecordValues rv = locate_values(ctx, offset, npt);
    if (rv.count != npt) raise_row_mismatch(ctx, rv.count, npt);
    ReadPiece piece;
    check(locate_time(ctx.cursor, ctx.reporter, rv.end, time, piece));
    rows.push_back(rv);
    time_pieces.push_back(piece);
}

Ref read_spectrum_regions(ExtractContext& ctx, const AnnotationTable& annotations, const std::vector<long long>& first_rows,
                          const RecordLayout& layout) {
    Ref regions = Ref::check(PyList_New(0));
    RegionMaker maker(ctx.module);
    const long long npt = ctx.npt_value;
    for (long long first_row : first_rows) {
        RegionShape shape = region_shape(annotations, first_row);
        if (shape.skipped) continue;
        charge_cube(ctx, {shape.count.get()}, 3 * sizeof(double));
        Ref map_x = region_vector(ctx, shape.count.get());
        Ref map_y = region_vector(ctx, shape.count.get());
        Ref start_time = region_vector(ctx, shape.count.get());
        charge_cube(ctx, {shape.count.get(), ctx.npt.get()}, vellkit::layout::kValueBytes);
        Ref spec_shape = Ref::check(PyTuple_Pack(2, shape.count.get(), ctx.npt.get()));
        Ref spectra = np_empty(ctx.st, spec_shape.get(), ctx.st->np_float32);
        const long long positions = index_value(shape.count.get());

        WritableView xs(map_x.get()), ys(map_y.get()), ts(start_time.get()), ss(spectra.get());
        auto* times = static_cast<double*>(ts.data());
        // Grow with the positions actually read: the claimed count is only
        // trusted as far as the annotation table's rows go.
        std::vector<RecordValues> rows;
        std::vector<ReadPiece> time_pieces;
        PositionColumns columns(annotations);
        for (long long k = 0; k < positions; ++k) {
            poll(ctx, (uint64_t)k);
            long long j = first_row + k;
            size_t position = record_at(layout, columns.fileindex(), j);
            store_coordinate(map_x.get(), static_cast<double*>(xs.data()), k, columns.x(), j);
            store_coordinate(map_y.get(), static_cast<double*>(ys.data()), k, columns.y(), j);
            locate_position(ctx, layout.offsets[position], npt, &times[k], rows, time_pieces);
        }
        read_rows_and_times(ctx, rows, npt, static_cast<float*>(ss.data()), time_pieces);

        Ref region = maker.make(shape.title.get(), spectra.get(), map_x.get(), map_y.get(), start_time.get());
        check_status(PyList_Append(regions.get(), region.get()));
    }
    return regions;
}

// All trace records, read once: (traces, values per trace) in a float buffer.
struct TraceBlock {
    Ref labels;
    std::unique_ptr<float[]> values;  // traces x length, row-major; every value is read
    size_t traces = 0;
    long long length = 0;
};

TraceBlock read_trace_block(ExtractContext& ctx, const RecordLayout& layout) {
    TraceBlock block;
    TraceRecords records = locate_trace_records(ctx, layout);
    block.length = stacked_row_length(ctx, records.rows);
    block.traces = records.rows.size();
    charge(ctx, block.traces * (uint64_t)block.length, sizeof(float));
    // Not zero-filled: read_rows writes every value (zeros past a file
    // that shrinks meanwhile).
    block.values.reset(new float[block.traces * (size_t)block.length]);
    std::vector<ReadPiece> behind(block.traces);
    for (size_t k = 0; k < behind.size(); ++k) behind[k] = records.labels.piece(k);
    read_rows(ctx, records.rows, block.length, block.values.get(), &behind);
    block.labels = decode_labels(ctx, records.labels);
    return block;
}

// The column of the traces array that a "Fileindex" value picks.
long long trace_column(ExtractContext& ctx, const TraceBlock& block, PyObject* findex) {
    if (PyLong_Check(findex)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(findex, &overflow);
        if (v == -1 && PyErr_Occurred()) throw PyError();
        if (!overflow && v >= 1 && v <= block.length) return v - 1;
        if (!overflow && v <= 0) {
            // Counting from the end of the traces would pick another
            // spectrum's values.
            PyErr_Format(PyExc_IndexError, "Fileindex %lld is out of bounds: spectra are numbered 1 to %lld", v,
                         block.length);
            throw PyError();
        }
    }
    // Anything else fails as numpy's indexing of the traces array does.
    Ref shape = shape_tuple({(long long)block.traces, block.length});
    Ref traces = np_zeros(ctx.st, shape.get(), ctx.st->np_float32);
    Ref one = new_int(1);
    Ref column_index = Ref::check(PyNumber_Subtract(findex, one.get()));
    Ref all = Ref::check(PySlice_New(nullptr, nullptr, nullptr));
    Ref key = Ref::check(PyTuple_Pack(2, all.get(), column_index.get()));
    Ref::check(PyObject_GetItem(traces.get(), key.get()));
    PyErr_Format(PyExc_IndexError, "Fileindex %S does not name a spectrum", findex);
    throw PyError();
}

long long trace_column(ExtractContext& ctx, const TraceBlock& block, long long findex) {
    if (findex >= 1 && findex <= block.length) return findex - 1;
    Ref value = new_int(findex);
    return trace_column(ctx, block, value.get());
}

Ref read_trace_regions(ExtractContext& ctx, const AnnotationTable& annotations, const std::vector<long long>& first_rows,
                       const TraceBlock& block) {
    Ref regions = Ref::check(PyList_New(0));
    RegionMaker maker(ctx.module);
    for (long long first_row : first_rows) {
        RegionShape shape = region_shape(annotations, first_row);
        if (shape.skipped) continue;
        // Charged before anything is allocated: the claimed count is the
        // file's word, and numpy would try to allocate it.
        Ref trace_count = new_int((long long)block.traces);
        charge_cube(ctx, {shape.count.get(), trace_count.get()}, sizeof(float) + 2 * sizeof(double));
        Ref map_x = region_vector(ctx, shape.count.get());
        Ref map_y = region_vector(ctx, shape.count.get());
        Ref array_shape = Ref::check(PyTuple_Pack(2, shape.count.get(), trace_count.get()));
        Ref trace_array = np_empty(ctx.st, array_shape.get(), ctx.st->np_float32);
        const long long positions = index_value(shape.count.get());
        WritableView xs(map_x.get()), ys(map_y.get()), out(trace_array.get());
        auto* rows = static_cast<float*>(out.data());
        PositionColumns columns(annotations);
        for (long long k = 0; k < positions; ++k) {
            poll(ctx, (uint64_t)k);
            long long j = first_row + k;
            int32_t number = 0;
            const AnnotationColumn& fileindex = columns.fileindex();
            Ref findex = fileindex.integer_at(j, number) ? Ref() : fileindex.item(j);
            store_coordinate(map_x.get(), static_cast<double*>(xs.data()), k, columns.x(), j);
            store_coordinate(map_y.get(), static_cast<double*>(ys.data()), k, columns.y(), j);
            long long c = findex ? trace_column(ctx, block, findex.get()) : trace_column(ctx, block, number);
            for (size_t t = 0; t < block.traces; ++t)
                rows[(size_t)k * block.traces + t] = block.values[t * (size_t)block.length + (size_t)c];
        }
        Ref region = maker.make(shape.title.get(), trace_array.get(), map_x.get(), map_y.get(), Py_None);
        check_status(PyList_Append(regions.get(), region.get()));
    }
    return regions;
}

// ---------------------------------------------------------------------------
// Regions planned in the core: the same steps, in the same order, on plain
// numbers; Python objects only for what the call returns.

// The region plan, or false where the table holds values the plan leaves
// to the object path (which then raises, or reads them, exactly).
bool plan_in_core(ExtractContext& ctx, const AnnotationTable& table, const RecordLayout& layout,
                  std::vector<GroupTally>& tallies, std::vector<RegionPlan>& plan) {
    RegionPlanInput in;
    in.columns = region_columns(table.block);
    if (!in.columns.group || !tally_groups(*in.columns.group, tallies)) return false;

    // The interpreter's set of the distinct values decides the order.
    if (!py::group_set_order(tallies, in.order)) return false;

    in.tallies = &tallies;
    in.target = ctx.is_trace ? PositionTarget::trace_column : PositionTarget::record;
    in.indices = &layout.indices;
    in.position_of = &layout.position_of;
    // Every position costs the readers at least 20 bytes of their limit.
    const int64_t left = ctx.budget.limit() - ctx.budget.used();
    in.max_positions = left > 0 ? (uint64_t)left / 20 : 0;
    return plan_regions(in, plan);
}

void copy_coordinates(const RegionPlan& region, PyObject* map_x, PyObject* map_y) {
    WritableView xs(map_x), ys(map_y);
    const size_t bytes = region.map_x.size() * sizeof(double);
    if (bytes == 0) return;
    std::memcpy(xs.data(), region.map_x.data(), bytes);
    std::memcpy(ys.data(), region.map_y.data(), bytes);
}

Ref read_planned_spectrum_regions(ExtractContext& ctx, const std::vector<RegionPlan>& plan, const RecordLayout& layout) {
    Ref regions = Ref::check(PyList_New(0));
    RegionMaker maker(ctx.module);
    const long long npt = ctx.npt_value;
    std::vector<RecordValues> rows;
    std::vector<ReadPiece> time_pieces;
    // A damaged table pointing many positions past the end of the file is
    // refused before the first of their reports.
    std::vector<wide> targets;
    for (const RegionPlan& region : plan)
        for (long long target : region.targets) targets.push_back(layout.offsets[(size_t)target]);
    uint64_t past_end = 0;
    check(count_times_past_end(ctx.cursor, targets, npt, past_end));
    check_damage(ctx, check_reports_past_end(past_end, ctx.blocks.data));
    for (const RegionPlan& region : plan) {
        const long long positions = (long long)region.targets.size();
        Ref count = new_int(positions);
        charge_cube(ctx, {count.get()}, 3 * sizeof(double));
        Ref map_x = region_vector(ctx, count.get());
        Ref map_y = region_vector(ctx, count.get());
        Ref start_time = region_vector(ctx, count.get());
        charge_cube(ctx, {count.get(), ctx.npt.get()}, vellkit::layout::kValueBytes);
        Ref spec_shape = Ref::check(PyTuple_Pack(2, count.get(), ctx.npt.get()));
        Ref spectra = np_empty(ctx.st, spec_shape.get(), ctx.st->np_float32);
        copy_coordinates(region, map_x.get(), map_y.get());

        WritableView ts(start_time.get()), ss(spectra.get());
        auto* times = static_cast<double*>(ts.data());
        rows.clear();
        rows.reserve((size_t)positions);
        time_pieces.clear();
        time_pieces.reserve((size_t)positions);
        for (long long k = 0; k < positions; ++k) {
            poll(ctx, (uint64_t)k);
            locate_position(ctx, layout.offsets[(size_t)region.targets[(size_t)k]], npt, &times[k], rows,
                            time_pieces);
        }
        read_rows_and_times(ctx, rows, npt, static_cast<float*>(ss.data()), time_pieces);
        Ref title = Ref::check(PyUnicode_FromStringAndSize(region.title.data(), (Py_ssize_t)region.title.size()));
        Ref object = maker.make(title.get(), spectra.get(), map_x.get(), map_y.get(), start_time.get());
        check_status(PyList_Append(regions.get(), object.get()));
    }
    return regions;
}

Ref read_planned_trace_regions(ExtractContext& ctx, const std::vector<RegionPlan>& plan, const TraceBlock& block) {
    Ref regions = Ref::check(PyList_New(0));
    RegionMaker maker(ctx.module);
    Ref trace_count = new_int((long long)block.traces);
    for (const RegionPlan& region : plan) {
        const long long positions = (long long)region.targets.size();
        Ref count = new_int(positions);
        charge_cube(ctx, {count.get(), trace_count.get()}, sizeof(float) + 2 * sizeof(double));
        Ref map_x = region_vector(ctx, count.get());
        Ref map_y = region_vector(ctx, count.get());
        Ref array_shape = Ref::check(PyTuple_Pack(2, count.get(), trace_count.get()));
        Ref trace_array = np_empty(ctx.st, array_shape.get(), ctx.st->np_float32);
        copy_coordinates(region, map_x.get(), map_y.get());
        WritableView out(trace_array.get());
        auto* rows = static_cast<float*>(out.data());
        const size_t traces = block.traces;
        const size_t length = (size_t)block.length;
        // Position by position, each row written once; a position that
        // fails leaves an array nobody sees.
        for (long long k = 0; k < positions; ++k) {
            poll(ctx, (uint64_t)k);
            const int64_t c = region.targets[(size_t)k];
            if (c < 0 || c >= block.length) trace_column(ctx, block, (long long)c + 1);
            const float* column = block.values.get() + c;
            float* row = rows + (size_t)k * traces;
            for (size_t t = 0; t < traces; ++t) row[t] = column[t * length];
        }
        Ref title = Ref::check(PyUnicode_FromStringAndSize(region.title.data(), (Py_ssize_t)region.title.size()));
        Ref object = maker.make(title.get(), trace_array.get(), map_x.get(), map_y.get(), Py_None);
        check_status(PyList_Append(regions.get(), object.get()));
    }
    return regions;
}

}  // namespace

Ref read_multi_region(ExtractContext& ctx) {
    AnnotationTable annotations = read_annotation_table(ctx, ctx.blocks.annotation);
    RecordLayout layout = record_layout(ctx);
    std::vector<GroupTally> tallies;
    std::vector<RegionPlan> plan;
    if (plan_in_core(ctx, annotations, layout, tallies, plan)) {
        if (!ctx.is_trace) {
            Ref regions = read_planned_spectrum_regions(ctx, plan, layout);
            return build_result(ctx, kMultiRegionDataReturn, {{"regions", regions.get()}});
        }
        TraceBlock block = read_trace_block(ctx, layout);
        Ref regions = read_planned_trace_regions(ctx, plan, block);
        return build_result(ctx, kMultiRegionTRCDataReturn,
                            {{"labels", block.labels.get()}, {"regions", regions.get()}});
    }
    std::vector<long long> first_rows = group_first_rows(annotations);
    if (!ctx.is_trace) {
        Ref regions = read_spectrum_regions(ctx, annotations, first_rows, layout);
        return build_result(ctx, kMultiRegionDataReturn, {{"regions", regions.get()}});
    }
    TraceBlock block = read_trace_block(ctx, layout);
    Ref regions = read_trace_regions(ctx, annotations, first_rows, block);
    return build_result(ctx, kMultiRegionTRCDataReturn, {{"labels", block.labels.get()}, {"regions", regions.get()}});
}

}  // namespace vellkit::py
