// Which reader a 3D data block goes to: image maps when the parameters hold
// the whole mapping set, multi-region maps when the measurement has an
// annotation table, time-resolved series otherwise; traces ("TRC") within
// each kind. The first rule that applies wins.
#pragma once

namespace vellkit {

enum class Block3D { image_map, image_traces, multi_region, multi_region_traces, series, series_traces };

inline Block3D kind_of_3d_block(bool has_mapping_names, bool has_annotation_table, bool traces) {
    if (has_mapping_names) return traces ? Block3D::image_traces : Block3D::image_map;
    if (has_annotation_table) return traces ? Block3D::multi_region_traces : Block3D::multi_region;
    return traces ? Block3D::series_traces : Block3D::series;
}

}  // namespace vellkit
