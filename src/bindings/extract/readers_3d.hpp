// The readers of 3D data blocks, one per kind, and what they share.
#pragma once

#include "bindings/extract/context.hpp"
#include "bindings/results/result_classes.hpp"

namespace vellkit::py {

Ref read_image_map(ExtractContext& ctx);
Ref read_image_trace_map(ExtractContext& ctx);
Ref read_time_resolved(ExtractContext& ctx);
Ref read_time_resolved_traces(ExtractContext& ctx);
Ref read_multi_region(ExtractContext& ctx);

// Builds a result object from the base keywords and the class's own ones.
Ref build_result(ExtractContext& ctx, ResultClass kind, std::initializer_list<std::pair<const char*, PyObject*>> own);

}  // namespace vellkit::py
