#include "tools_native/block_plan.hpp"

#include <algorithm>
#include <cstring>

#include "core/format/catalogue.hpp"
#include "core/format/directory.hpp"
#include "tools_native/info_record.hpp"

namespace vellkit::tools {

namespace {

const unsigned char kMagic[4] = {0x0A, 0x0A, 0xFE, 0xFE};

bool has_magic(const FileSource& source, Status& status) {
    unsigned char head[4] = {0, 0, 0, 0};
    size_t delivered = 0;
    status = source.read_at(0, head, sizeof head, delivered);
    return status.ok() && delivered == sizeof head && std::equal(head, head + 4, kMagic);
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

bool records_inside(int64_t file_size, const int64_t* offsets, size_t count, int64_t npt, size_t& bad) {
    // npt is at most a 32-bit parameter, so npt * 4 cannot overflow.
    const int64_t bytes = npt * kValueBytes;
    for (size_t k = 0; k < count; ++k) {
        if (offsets[k] < 0 || offsets[k] > file_size || file_size - offsets[k] < bytes) {
            bad = k;
            return false;
        }
    }
    return true;
}

Status read_points(const FileSource& source, const int64_t* offsets, size_t count, int64_t start, int64_t length,
                   float* out) {
    if (length <= 0 || count == 0) return Status();
    std::vector<ReadPiece> pieces;
    pieces.reserve(count);
    const size_t piece_bytes = (size_t)length * kValueBytes;
    for (size_t k = 0; k < count; ++k)
        pieces.push_back({offsets[k] + start * kValueBytes, piece_bytes, out + k * (size_t)length});
    // Records given out of file order are read in runs that ascend.
    return gather_read(source, pieces);
}

Status read_times(const FileSource& source, const int64_t* offsets, size_t count, int64_t npt, double* out) {
    std::vector<ReadPiece> pieces;
    pieces.reserve(count);
    unsigned char* raw = reinterpret_cast<unsigned char*>(out);
    for (size_t k = 0; k < count; ++k) {
        std::memset(raw + 8 * k, 0, 8);
        wide at = (wide)offsets[k] + (wide)npt * kValueBytes + kInfoTimeAt;
        if (offsets[k] < 0 || at + 8 > (wide)source.size()) continue;
        pieces.push_back({(int64_t)at, 8, raw + 8 * k});
    }
    VELLKIT_TRY(gather_read(source, pieces));
    // Little-endian on every host.
    for (size_t k = 0; k < count; ++k) {
        uint64_t bits = load_le(raw + 8 * k, 8);
        std::memcpy(out + k, &bits, 8);
    }
    return Status();
}

Status read_label(const FileSource& source, int64_t offset, int64_t npt, int32_t info_size, std::string& out) {
    out.clear();
    wide at = (wide)offset + (wide)npt * kValueBytes + kInfoLabelAt;
    const int64_t size = source.size();
    if (offset < 0 || at >= (wide)size) return Status();
    int64_t position = (int64_t)at;
    int64_t left = info_size >= kInfoLabelAt ? (int64_t)info_size - kInfoLabelAt : size - position;
    left = std::min(left, size - position);
    char chunk[4096];
    while (left > 0) {
        size_t want = (size_t)std::min<int64_t>(left, (int64_t)sizeof chunk);
        size_t delivered = 0;
        VELLKIT_TRY(source.read_at(position, chunk, want, delivered));
        if (delivered == 0) break;
        const char* nul = static_cast<const char*>(std::memchr(chunk, 0, delivered));
        if (nul) {
            out.append(chunk, (size_t)(nul - chunk));
            break;
        }
        out.append(chunk, delivered);
        position += (int64_t)delivered;
        left -= (int64_t)delivered;
    }
    return Status();
}

}  // namespace vellkit::tools
