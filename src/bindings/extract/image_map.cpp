// Image maps: records on a regular grid, filled row-major in store-table
// order into one (NPY, NPX, NPT) cube; and trace image maps, one whole map
// per record, stacked along a third axis.
#include <cstring>
#include <vector>

#include "bindings/common/arrays.hpp"
#include "pyglue/errors.hpp"
#include "bindings/extract/readers_3d.hpp"
#include "bindings/extract/records.hpp"
#include "bindings/parameter_blocks/params.hpp"
#include "core/extract/gather.hpp"
#include "core/plans/block_plan.hpp"

namespace vellkit::py {

namespace {

struct MapGrid {
    Ref npx, npy;
    Ref map_x, map_y;
    RecordLayout layout;
};

// Mapping parameters (falling back, as the core's plan decides, to the
// original ones for a derivative map with an empty axis), the two map axes
// and the offsets map.
MapGrid map_grid(ExtractContext& ctx) {
    MapGrid g;
    if (grid_from_original(ctx.request, ctx.merged)) {
        Ref message = new_str("Orignal mapping coordinates used");
        Ref::check(PyObject_CallFunctionObjArgs(ctx.st->builtin_print, message.get(), nullptr));
        ValueStop stop;
        check(ctx.reporter.run_core(ctx.source, [&](FieldReadObserver& observer) {
            return merge_original_grid(ctx.cursor, observer, ctx.blocks, ctx.merged, stop);
        }));
        // No original block: read at its offset (-1) as the module reads any
        // parameter block, which fails as that read fails.
        std::vector<ParamRecord> none;
        if (stop.why == ValueStop::Why::no_original) check(ctx.reporter.run_core(ctx.source, [&](FieldReadObserver& o) {
            return parse_parameter_block(ctx.cursor, ctx.blocks.original_params, o, none);
        }));
        if (stop.why == ValueStop::Why::missing) raise_key_error(new_str(stop.name.c_str()).get());
        // The result's parameters take the original values.
        for (const char* name : layout::kMappingNames) {
            Ref value = parameter_value(*ctx.merged.find(name));
            check_status(PyDict_SetItemString(ctx.parameters.get(), name, value.get()));
        }
    }
    GridPlan plan;
    ValueStop stop;
    plan_grid(ctx.merged, plan, stop);
    if (!stop.stopped()) {
        // Plain numbers: the core's axes.
        g.npx = new_int(plan.npx);
        g.npy = new_int(plan.npy);
        charge(ctx, (uint64_t)plan.npx, sizeof(double));
        g.map_x = linspace(ctx.st, plan.aox, plan.end_x, plan.npx);
        charge(ctx, (uint64_t)plan.npy, sizeof(double));
        g.map_y = linspace(ctx.st, plan.aoy, plan.end_y, plan.npy);
        g.layout = record_layout(ctx);
        return g;
    }
    // Replay with the values as objects, by name: a text or a negative count
    // fails (or, for numpy, succeeds) as the module's arithmetic does:
    // origin + step * (count - 1), then linspace.
    Ref one = new_int(1);
    Ref* counts[2] = {&g.npx, &g.npy};
    Ref* axes[2] = {&g.map_x, &g.map_y};
    const char* names[2][3] = {{"AOX", "DDX", "NPX"}, {"AOY", "DDY", "NPY"}};
    for (int a = 0; a < 2; ++a) {
        Ref origin = lookup(ctx.parameters.get(), names[a][0]);
        Ref step = lookup(ctx.parameters.get(), names[a][1]);
        *counts[a] = lookup(ctx.parameters.get(), names[a][2]);
        Ref last = Ref::check(PyNumber_Subtract(counts[a]->get(), one.get()));
        Ref span = Ref::check(PyNumber_Multiply(step.get(), last.get()));
        Ref end = Ref::check(PyNumber_Add(origin.get(), span.get()));
        charge_axis(ctx, counts[a]->get());
        *axes[a] = np_linspace(ctx.st, origin.get(), end.get(), counts[a]->get());
    }
    g.layout = record_layout(ctx);
    return g;
}

}  // namespace

Ref read_image_map(ExtractContext& ctx) {
    MapGrid g = map_grid(ctx);
    Ref shape = Ref::check(PyTuple_Pack(3, g.npy.get(), g.npx.get(), ctx.npt.get()));
    charge_cube(ctx, {g.npy.get(), g.npx.get(), ctx.npt.get()}, layout::kValueBytes);
    Ref cube = np_zeros(ctx.st, shape.get(), ctx.st->np_float32);
    const long long npx = index_value(g.npx.get()), npy = index_value(g.npy.get()), npt = ctx.npt_value;

    WritableView view(cube.get());
    std::vector<RecordValues> rows;
    rows.reserve(g.layout.size());
    for (size_t i = 0; i < g.layout.size(); ++i) {
        poll(ctx, i);
        RecordValues rv = locate_values(ctx, g.layout.offsets[i], npt);
        if (npx == 0) {
            Ref position = new_int((long long)i);
            Ref::check(PyNumber_Remainder(position.get(), g.npx.get()));
        }
        long long row = (long long)i / npx;
        if (row >= npy) {
            Ref row_index = new_int(row);
            Ref::check(PyObject_GetItem(cube.get(), row_index.get()));
        }
        if (rv.count != npt) raise_row_mismatch(ctx, rv.count, npt);
        rows.push_back(rv);
    }
    // Record i fills the cube's i-th row of NPT values (row-major over the grid).
    read_rows(ctx, rows, npt, static_cast<float*>(view.data()), nullptr);

    return build_result(ctx, kImageDataReturn,
                        {{"mapX", g.map_x.get()}, {"mapY", g.map_y.get()}, {"spectra", cube.get()}});
}

Ref read_image_trace_map(ExtractContext& ctx) {
    MapGrid g = map_grid(ctx);
    int32_t info = info_size(ctx);
    const long long npx = index_value(g.npx.get()), npy = index_value(g.npy.get()), npt = ctx.npt_value;
    const long long cells = npx * npy;  // both below 2^31

    LabelReads label_reads;
    std::vector<RecordValues> rows;
    rows.reserve(g.layout.size());
    for (size_t k = 0; k < g.layout.size(); ++k) {
        poll(ctx, k);
        RecordValues rv = locate_values(ctx, g.layout.offsets[k], npt);
        if (rv.count != cells) raise_reshape_error(ctx, rv.count, g.npy.get(), g.npx.get());
        check(label_reads.locate(ctx.cursor, rv.end, info));
        rows.push_back(rv);
    }
    if (rows.empty()) raise_nothing_to_stack(ctx, "dstack");

    // The maps are read straight into a (records, NPY, NPX) array, one map
    // after another, and returned as its (NPY, NPX, records) view: the values,
    // dtype and shape of the maps stacked along a third axis, without a
    // second copy.
    const size_t count = rows.size();
    charge(ctx, label_reads.bytes(), 1);
    charge(ctx, count * (uint64_t)cells, layout::kValueBytes);
    Ref shape = shape_tuple({(long long)count, npy, npx});
    Ref stacked = np_empty(ctx.st, shape.get(), ctx.st->np_float32);
    {
        WritableView view(stacked.get());
        std::vector<ReadPiece> labels(count);
        for (size_t k = 0; k < count; ++k) labels[k] = label_reads.piece(k);
        read_rows(ctx, rows, cells, static_cast<float*>(view.data()), &labels);
    }
    Ref traces = Ref::check(PyObject_CallMethod(stacked.get(), "transpose", "iii", 1, 2, 0));
    Ref labels = decode_labels(ctx, label_reads);
    return build_result(ctx, kImageTRCDataReturn,
                        {{"mapX", g.map_x.get()}, {"mapY", g.map_y.get()}, {"labels", labels.get()}, {"traces", traces.get()}});
}

}  // namespace vellkit::py
