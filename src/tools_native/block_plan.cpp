#include "tools_native/block_plan.hpp"

#include <algorithm>
#include <cstring>

#include "core/extract/records.hpp"
#include "core/format/catalogue.hpp"
#include "core/format/directory.hpp"
#include "core/format/layout.hpp"

namespace vellkit::tools {

namespace {

bool has_magic(const FileSource& source, Status& status) {
    unsigned char head[layout::kMagicBytes] = {};
    size_t delivered = 0;
    status = source.read_at(0, head, sizeof head, delivered);
    return status.ok() && delivered == sizeof head && std::equal(head, head + sizeof head, layout::kMagic);
}

int deriv_code(const std::string& word) {
    static const char* const kWords[] = {"NONE", "1DER", "2DER", "NDER"};
    for (int i = 0; i < 4; ++i)
        if (word == kWords[i]) return i;
    return -1;
}

bool request_of(const std::string& name, const std::string& dimensions, const std::string& deriv, BlockRequest& r) {
    if (dimensions != "2D" && dimensions != "3D") return false;
    r.deriv_type = deriv_code(deriv);
    if (r.deriv_type < 0) return false;
    r.extend_type = dimensions == "3D" ? extend_type::three_d : extend_type::two_d;
    for (const BlockName& known : kBlockNames) {
        if (name == known.name) {
            r.data_type = known.data_type;
            r.sample_type = known.sample_type;
            return true;
        }
    }
    return false;
}

}  // namespace

Status plan_block(const FileSource& source, const std::string& name, const std::string& dimensions,
                  const std::string& deriv, BlockPlan& out) {
    out = BlockPlan();
    out.file_size = source.size();
    BlockRequest request{};
    if (!request_of(name, dimensions, deriv, request)) {
        out.problem = PlanProblem::bad_request;
        return Status();
    }
    Status status;
    if (!has_magic(source, status)) {
        if (status.ok()) out.problem = PlanProblem::not_vell;
        return status;
    }
    Cursor cursor(source);
    CountingObserver observer;
    std::vector<DirectoryEntry> directory;
    VELLKIT_TRY(read_directory(cursor, observer, directory));
    out.blocks = locate_blocks(directory, request);
    if (out.blocks.data == -1 || out.blocks.params == -1) {
        out.problem = PlanProblem::no_block;
        return Status();
    }
    const LocatedBlocks& b = out.blocks;
    for (int64_t offset : {b.params, b.acquisition, b.instrument, b.sample, b.fourier_transform}) {
        if (offset == -1) continue;
        out.parameter_blocks.emplace_back();
        VELLKIT_TRY(parse_parameter_block(cursor, offset, observer, out.parameter_blocks.back()));
    }
    if (request.deriv_type != 0 && b.original_params != -1) {
        out.has_original = true;
        VELLKIT_TRY(parse_parameter_block(cursor, b.original_params, observer, out.original_parameters));
    }
    out.three_d = request.extend_type == extend_type::three_d;
    if (!out.three_d) return Status();

    StoreTable table;
    VELLKIT_TRY(read_store_table(cursor, b.data, observer, table));
    out.block_size = table.block_size;
    out.info_size = table.info_size;
    RecordLayout layout;
    VELLKIT_TRY(lay_out_records(table, source.size(), b.data, layout));
    out.record_indices = layout.indices;
    out.record_offsets.reserve(layout.size());
    for (wide offset : layout.offsets) {
        if (!fits_offset(offset)) {
            out.problem = PlanProblem::offset_range;
            return Status();
        }
        out.record_offsets.push_back((int64_t)offset);
    }
    return Status();
}

}  // namespace vellkit::tools
