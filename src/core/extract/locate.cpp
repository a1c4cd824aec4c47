#include "core/extract/locate.hpp"

namespace vellkit {

LocatedBlocks locate_blocks(const std::vector<DirectoryEntry>& directory, const BlockRequest& r) {
    LocatedBlocks found;
    for (const DirectoryEntry& e : directory) {
        const BlockFields& f = e.fields;
        bool sample_fits = f.sample_type == r.sample_type || r.sample_type == -1;
        bool same_data = f.data_type == r.data_type && f.extend_type == r.extend_type && sample_fits;
        if (same_data && f.deriv_type == r.deriv_type) {
            if (f.param_type == param_type::data)
                found.data = e.byte_offset;
            else if (f.param_type == param_type::own_parameters)
                found.params = e.byte_offset;
        } else if (same_data && f.deriv_type == 0) {
            if (f.param_type == param_type::own_parameters) found.original_params = e.byte_offset;
        } else if (f.param_type == param_type::acquisition) {
            found.acquisition = e.byte_offset;
        } else if (f.param_type == param_type::instrument) {
            if (f.sample_type == r.sample_type || (f.sample_type == 0 && (r.sample_type == 1 || r.sample_type == -1)))
                found.instrument = e.byte_offset;
        } else if (f.param_type == param_type::sample) {
            found.sample = e.byte_offset;
        } else if (f.param_type == param_type::fourier_transform) {
            found.fourier_transform = e.byte_offset;
        } else if (f.extend_type == extend_type::annotation) {
            found.annotation = e.byte_offset;
        }
    }
    return found;
}

}  // namespace vellkit
