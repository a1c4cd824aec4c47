// 3D data blocks: the reader of the block's kind, as the core's plan decides it.
#include "bindings/extract/readers_3d.hpp"
#include "core/plans/block_plan.hpp"

namespace vellkit::py {

Ref read_3d_block(ExtractContext& ctx) {
    const BlockKind kind = kind_of_block(true, has_mapping_names(ctx.merged), ctx.blocks.annotation != -1, ctx.is_trace);
    switch (kind) {
    case BlockKind::image_map:
        return read_image_map(ctx);
    case BlockKind::image_traces:
        return read_image_trace_map(ctx);
    case BlockKind::multi_region:
    case BlockKind::multi_region_traces:
        return read_multi_region(ctx);
    case BlockKind::series:
        return read_time_resolved(ctx);
    case BlockKind::series_traces:
    case BlockKind::spectrum:  // not a 3D kind
        break;
    }
    return read_time_resolved_traces(ctx);
}

Ref build_result(ExtractContext& ctx, ResultClass kind, std::initializer_list<std::pair<const char*, PyObject*>> own) {
    Ref kwargs = Ref::check(PyDict_New());
    add_keywords(kwargs.get(), {{"dimension", ctx.dimensions.get()},
                                {"dataType", ctx.data_block_type.get()},
                                {"deriv", ctx.deriv.get()},
                                {"x", ctx.abscissa.get()},
                                {"minY", ctx.mny.get()},
                                {"maxY", ctx.mxy.get()},
                                {"parameters", ctx.parameters.get()}});
    add_keywords(kwargs.get(), own);
    Ref cls = result_class(ctx.module, kind);
    return call_with_keywords(cls.get(), kwargs.get());
}

}  // namespace vellkit::py
