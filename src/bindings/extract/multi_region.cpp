// Multi-region maps: the regions the core plans from the annotation table,
// in the iteration order of the set of group numbers; each region reads its
// positions' spectra (or, for traces, picks their columns out of the trace
// block). Where the plan stops, the one step it stopped at is replayed with
// the table's values as objects, which raises the module's exact error.
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
#include "core/plans/region_plan.hpp"

namespace vellkit::py {

namespace {

// All trace records, read once: (traces, values per trace) in a float buffer.
struct TraceBlock {
    Ref labels;
    std::unique_ptr<float[]> values;  // traces x length, row-major; every value is read
    size_t traces = 0;
    long long length = 0;
};

// A region's arrays, made as the module makes them from its size.
struct RegionArrays {
    Ref map_x, map_y, start_time, values;
    long long positions = 0;
};

// Every element of a region's arrays is written (or the call fails), so they
// need no zero fill. The size is charged before anything is allocated: it is
// the file's word, and numpy would try to allocate it.
RegionArrays region_arrays(ExtractContext& ctx, PyObject* count, const TraceBlock* block) {
    RegionArrays a;
    Ref columns = block ? new_int((long long)block->traces) : Ref::from_borrowed(ctx.npt.get());
    if (block) charge_cube(ctx, {count, columns.get()}, sizeof(float) + 2 * sizeof(double));
    else charge_cube(ctx, {count}, 3 * sizeof(double));
    a.map_x = np_empty(ctx.st, count, ctx.st->np_float64);
    a.map_y = np_empty(ctx.st, count, ctx.st->np_float64);
    if (!block) {
        a.start_time = np_empty(ctx.st, count, ctx.st->np_float64);
        charge_cube(ctx, {count, columns.get()}, sizeof(float));
    }
    Ref shape = Ref::check(PyTuple_Pack(2, count, columns.get()));
    a.values = np_empty(ctx.st, shape.get(), ctx.st->np_float32);
    a.positions = index_value(count);
    return a;
}

// Stores a coordinate into a float64 array as numpy's item assignment would.
void store_coordinate(PyObject* array, long long k, PyObject* value) {
    if (PyFloat_CheckExact(value) || PyLong_CheckExact(value)) {
        double d = PyFloat_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred()) throw PyError();
        WritableView view(array);
        static_cast<double*>(view.data())[k] = d;
        return;
    }
    Ref index = new_int(k);
    check_status(PyObject_SetItem(array, index.get(), value));
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

[[noreturn]] void replayed_without_error() {
    PyErr_SetString(PyExc_SystemError, "vellkit: a region step the plan refused passed with objects");
    throw PyError();
}

// ---------------------------------------------------------------------------
// Replay: the step the core's region plan stopped at, done again with the
// table's values as Python objects, by the names the module looks them up
// by. Each raises what the module's arithmetic raises there.

// The group number as a C int: floats truncated toward zero on every
// interpreter version, anything else an integer or a TypeError.
int group_number(PyObject* value) {
    if (PyFloat_Check(value)) {
        double d = PyFloat_AS_DOUBLE(value);
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

// The order step: the first row of each member of the set of groups.
[[noreturn]] void replay_order(const AnnotationTable& table) {
    Ref groups = table.column("Group").list();
    Ref members = Ref::check(PySet_New(groups.get()));
    Ref it = Ref::check(PyObject_GetIter(members.get()));
    while (Ref member = Ref::steal(PyIter_Next(it.get()))) {
        Ref number = new_int(group_number(member.get()));
        Ref::check(PyObject_CallMethod(groups.get(), "index", "O", number.get()));
    }
    if (PyErr_Occurred()) throw PyError();
    replayed_without_error();
}

// The shape step: the region's size from its first row, and its arrays.
[[noreturn]] void replay_shape(ExtractContext& ctx, const AnnotationTable& table, long long first_row,
                               const TraceBlock* block) {
    if (!equals_number(table.column("Type").item(first_row).get(), 0)) replayed_without_error();
    Ref groups = table.column("Group").list();
    Ref group = Ref::check(PySequence_GetItem(groups.get(), (Py_ssize_t)first_row));
    Ref nx = table.column("AryNX").item(first_row);
    Ref ny = table.column("AryNY").item(first_row);
    Ref count = Ref::check(PyNumber_Multiply(nx.get(), ny.get()));
    if (equals_number(count.get(), 0) && equals_number(table.column("AryType").item(first_row).get(), 0))
        count = Ref::check(PyObject_CallMethod(groups.get(), "count", "O", group.get()));
    region_arrays(ctx, count.get(), block);
    replayed_without_error();
}

// The position step: position k of the region, each column looked up by
// name on its first use.
[[noreturn]] void replay_position(ExtractContext& ctx, const AnnotationTable& table, const RegionPlan& region,
                                  const RegionArrays& arrays, const RecordLayout& layout, const TraceBlock* block) {
    const long long k = (long long)region.targets.size(), row = region.first_row + k;
    Ref findex = table.column("Fileindex").item(row);
    if (!block) {
        // The record a dict lookup by the value finds.
        Ref records = Ref::check(PyDict_New());
        for (const auto& entry : layout.position_of) {
            Ref key = new_int(entry.first);
            check_status(PyDict_SetItem(records.get(), key.get(), Py_None));
        }
        lookup(records.get(), findex.get());
    }
    store_coordinate(arrays.map_x.get(), k, table.column("X").item(row).get());
    store_coordinate(arrays.map_y.get(), k, table.column("Y").item(row).get());
    if (block) trace_column(ctx, *block, findex.get());
    replayed_without_error();
}

// ---------------------------------------------------------------------------
// The planned regions.

// The coordinates the plan left as text, stored as numpy stores them.
void store_texts(const RegionColumns& columns, const RegionPlan& region, const RegionArrays& arrays, size_t& next,
                 long long k) {
    for (; next < region.text_cells.size() && (long long)(region.text_cells[next] / 2) == k; ++next) {
        const bool y = region.text_cells[next] % 2;
        Ref value = AnnotationColumn(*(y ? columns.y : columns.x)).item(region.first_row + k);
        store_coordinate((y ? arrays.map_y : arrays.map_x).get(), k, value.get());
    }
}

// Finds where one position's values and start time lie (reading the time
// into `time`), for one vectored read of a whole region afterwards.
void locate_position(ExtractContext& ctx, wide offset, double* time, std::vector<RecordValues>& rows,
                     std::vector<ReadPiece>& time_pieces) {
    RecordValues rv = locate_values(ctx, offset, ctx.npt_value);
    if (rv.count != ctx.npt_value) raise_row_mismatch(ctx, rv.count, ctx.npt_value);
    ReadPiece piece;
    check(locate_time(ctx.cursor, ctx.reporter, rv.end, time, piece));
    rows.push_back(rv);
    time_pieces.push_back(piece);
}

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

// One position's row of a trace region: the value of every trace at that
// position, the traces a block's length apart. Four a step: reads that far
// apart are not turned into vector loads, so the loop's own count and test
// are what an unrolled step saves.
void copy_position_traces(float* row, const float* column, size_t traces, size_t length) {
    size_t t = 0;
    for (; t + 4 <= traces; t += 4, column += 4 * length) {
        row[t] = column[0];
        row[t + 1] = column[length];
        row[t + 2] = column[2 * length];
        row[t + 3] = column[3 * length];
    }
    if (t + 2 <= traces) {
        row[t] = column[0];
        row[t + 1] = column[length];
        t += 2;
        column += 2 * length;
    }
    if (t < traces) row[t] = column[0];
}

// A trace region's rows, position by position as copy_position_traces
// makes them. Where at least four positions pick neighbouring columns (as a
// table in store order does), each trace's run of values is read in one
// sweep instead: the same values, a quarter of the loop steps.
void copy_region_traces(float* out, const int64_t* targets, size_t positions, const TraceBlock& block) {
    const size_t traces = block.traces, length = (size_t)block.length;
    for (size_t k = 0; k < positions;) {
        size_t end = k + 1;
        while (end < positions && targets[end] == targets[end - 1] + 1) ++end;
        if (end - k < 4) {
            for (; k < end; ++k)
                copy_position_traces(out + k * traces, block.values.get() + targets[k], traces, length);
            continue;
        }
        const size_t run = end - k;
        for (size_t t = 0; t < traces; ++t) {
            const float* from = block.values.get() + t * length + (size_t)targets[k];
            float* to = out + k * traces + t;
            size_t j = 0;
            for (; j + 4 <= run; j += 4, to += 4 * traces) {
                to[0] = from[j];
                to[traces] = from[j + 1];
                to[2 * traces] = from[j + 2];
                to[3 * traces] = from[j + 3];
            }
            for (; j < run; ++j, to += traces) *to = from[j];
        }
        k = end;
    }
}

Ref read_regions(ExtractContext& ctx, const AnnotationTable& table, const RegionPlanInput& in,
                 const std::vector<RegionPlan>& plan, const RegionStop& stop, const RecordLayout& layout,
                 const TraceBlock* block) {
    Ref regions = Ref::check(PyList_New(0));
    RegionMaker maker(ctx.module);
    std::vector<RecordValues> rows;
    std::vector<ReadPiece> time_pieces;
    if (!block) {
        // A damaged table pointing many positions past the end of the file
        // is refused before the first of their reports.
        std::vector<wide> targets;
        for (const RegionPlan& region : plan)
            for (int64_t target : region.targets) targets.push_back(layout.offsets[(size_t)target]);
        uint64_t past_end = 0;
        check(count_times_past_end(ctx.cursor, targets, ctx.npt_value, past_end));
        check_damage(ctx, check_reports_past_end(past_end, ctx.blocks.data));
    }
    for (size_t r = 0; r < plan.size(); ++r) {
        const RegionPlan& region = plan[r];
        const bool stops_here = stop.stopped() && r + 1 == plan.size();
        if (stops_here && stop.step == RegionStop::Step::shape) replay_shape(ctx, table, region.first_row, block);
        Ref count = new_int(region.count);
        RegionArrays a = region_arrays(ctx, count.get(), block);  // a region past the limit fails here
        const size_t planned = region.targets.size();
        if (planned) {
            WritableView xs(a.map_x.get()), ys(a.map_y.get());
            std::memcpy(xs.data(), region.map_x.data(), planned * sizeof(double));
            std::memcpy(ys.data(), region.map_y.data(), planned * sizeof(double));
        }
        WritableView out(a.values.get());
        size_t text = 0;
        std::optional<WritableView> ts;
        if (!block) {
            ts.emplace(a.start_time.get());
            rows.clear();
            time_pieces.clear();
        }
        // Position by position, each row written (or located) once; a
        // position that fails leaves arrays nobody sees. Trace regions with
        // no text coordinates check every column first and copy afterwards.
        const bool copy_after = block && region.text_cells.empty();
        for (size_t k = 0; copy_after && k < planned; ++k) {
            poll(ctx, k);
            const int64_t c = region.targets[k];
            if (c < 0 || c >= block->length) trace_column(ctx, *block, new_int(c + 1).get());
        }
        if (copy_after) copy_region_traces(static_cast<float*>(out.data()), region.targets.data(), planned, *block);
        for (size_t k = 0; !copy_after && k < planned; ++k) {
            poll(ctx, k);
            store_texts(in.columns, region, a, text, (long long)k);
            const int64_t c = region.targets[k];
            if (!block) {
                locate_position(ctx, layout.offsets[(size_t)c], static_cast<double*>(ts->data()) + k, rows, time_pieces);
                continue;
            }
            if (c < 0 || c >= block->length) trace_column(ctx, *block, new_int(c + 1).get());
            const float* column = block->values.get() + c;
            float* row = static_cast<float*>(out.data()) + k * block->traces;
            copy_position_traces(row, column, block->traces, (size_t)block->length);
        }
        if (stops_here) {
            if (stop.step == RegionStop::Step::position) replay_position(ctx, table, region, a, layout, block);
            replayed_without_error();
        }
        if (!block) read_rows_and_times(ctx, rows, ctx.npt_value, static_cast<float*>(out.data()), time_pieces);
        Ref title = Ref::check(PyUnicode_FromStringAndSize(region.title.data(), (Py_ssize_t)region.title.size()));
        Ref object = maker.make(title.get(), a.values.get(), a.map_x.get(), a.map_y.get(),
                                block ? Py_None : a.start_time.get());
        check_status(PyList_Append(regions.get(), object.get()));
    }
    return regions;
}

}  // namespace

Ref read_multi_region(ExtractContext& ctx) {
    AnnotationTable annotations = read_annotation_table(ctx, ctx.blocks.annotation);
    RecordLayout layout = record_layout(ctx);
    RegionPlanInput in;
    std::vector<GroupTally> tallies;
    in.columns = region_columns(annotations.block);
    // The interpreter's set of the distinct values decides the order.
    if (!in.columns.group || !tally_groups(*in.columns.group, tallies) || !group_set_order(tallies, in.order))
        replay_order(annotations);
    in.tallies = &tallies;
    in.target = ctx.is_trace ? PositionTarget::trace_column : PositionTarget::record;
    in.indices = &layout.indices;
    in.position_of = &layout.position_of;
    // Every position costs the readers at least 20 bytes of their limit.
    const int64_t left = ctx.budget.limit() - ctx.budget.used();
    in.max_positions = left > 0 ? (uint64_t)left / 20 : 0;
    std::vector<RegionPlan> plan;
    const RegionStop stop = plan_regions(in, plan);
    if (stop.step == RegionStop::Step::order) replay_order(annotations);
    if (!ctx.is_trace) {
        Ref regions = read_regions(ctx, annotations, in, plan, stop, layout, nullptr);
        return build_result(ctx, kMultiRegionDataReturn, {{"regions", regions.get()}});
    }
    TraceBlock block = read_trace_block(ctx, layout);
    Ref regions = read_regions(ctx, annotations, in, plan, stop, layout, &block);
    return build_result(ctx, kMultiRegionTRCDataReturn, {{"labels", block.labels.get()}, {"regions", regions.get()}});
}

}  // namespace vellkit::py
