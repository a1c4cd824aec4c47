// 3D data blocks: the choice of reader for the block's kind.
#include "bindings/extract/readers_3d.hpp"
#include "core/extract/block_kind.hpp"
#include "core/format/layout.hpp"

namespace vellkit::py {

namespace {

bool has_all_mapping_names(PyObject* parameters) {
    for (const char* name : layout::kMappingNames) {
        Ref key = new_str(name);
        int r = PyDict_Contains(parameters, key.get());
        check_status(r);
        if (!r) return false;
    }
    return true;
}

}  // namespace

Ref read_3d_block(ExtractContext& ctx) {
    switch (kind_of_3d_block(has_all_mapping_names(ctx.parameters.get()), ctx.blocks.annotation != -1, ctx.is_trace)) {
    case Block3D::image_map:
        return read_image_map(ctx);
    case Block3D::image_traces:
        return read_image_trace_map(ctx);
    case Block3D::multi_region:
    case Block3D::multi_region_traces:
        return read_multi_region(ctx);
    case Block3D::series:
        return read_time_resolved(ctx);
    case Block3D::series_traces:
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
