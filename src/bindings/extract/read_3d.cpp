// 3D data blocks: the choice of reader for the block's kind.
#include "bindings/extract/readers_3d.hpp"

namespace vellkit::py {

namespace {

bool has_all_mapping_names(PyObject* parameters) {
    for (const char* name : {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"}) {
        Ref key = new_str(name);
        int r = PyDict_Contains(parameters, key.get());
        check_status(r);
        if (!r) return false;
    }
    return true;
}

}  // namespace

Ref read_3d_block(ExtractContext& ctx) {
    if (has_all_mapping_names(ctx.parameters.get())) return ctx.is_trace ? read_image_trace_map(ctx) : read_image_map(ctx);
    if (ctx.blocks.annotation != -1) return read_multi_region(ctx);
    return ctx.is_trace ? read_time_resolved_traces(ctx) : read_time_resolved(ctx);
}

Ref base_keywords(ExtractContext& ctx) {
    Ref kwargs = Ref::check(PyDict_New());
    check_status(PyDict_SetItemString(kwargs.get(), "dimension", ctx.dimensions.get()));
    check_status(PyDict_SetItemString(kwargs.get(), "dataType", ctx.data_block_type.get()));
    check_status(PyDict_SetItemString(kwargs.get(), "deriv", ctx.deriv.get()));
    check_status(PyDict_SetItemString(kwargs.get(), "x", ctx.abscissa.get()));
    check_status(PyDict_SetItemString(kwargs.get(), "minY", ctx.mny.get()));
    check_status(PyDict_SetItemString(kwargs.get(), "maxY", ctx.mxy.get()));
    check_status(PyDict_SetItemString(kwargs.get(), "parameters", ctx.parameters.get()));
    return kwargs;
}

Ref build_result(ExtractContext& ctx, ResultClass kind, std::initializer_list<std::pair<const char*, PyObject*>> own) {
    Ref kwargs = base_keywords(ctx);
    for (const auto& kw : own) check_status(PyDict_SetItemString(kwargs.get(), kw.first, kw.second));
    Ref cls = result_class(ctx.module, kind);
    Ref args = Ref::check(PyTuple_New(0));
    return Ref::check(PyObject_Call(cls.get(), args.get(), kwargs.get()));
}

long long as_count(PyObject* value) {
    Ref index = Ref::check(PyNumber_Index(value));
    long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw PyError();
    return v;
}

}  // namespace vellkit::py
