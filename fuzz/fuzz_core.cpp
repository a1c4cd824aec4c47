// Fuzz target for the reading core: any bytes, read as a VELL file, must give
// results or errors, never a crash, an out-of-bounds access or a hang.
// Built with libFuzzer under clang, or with the standalone driver below.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <memory>
#include <string>

#include "core/extract/annotations.hpp"
#include "core/extract/gather.hpp"
#include "core/extract/locate.hpp"
#include "core/extract/records.hpp"
#include "core/extract/spectrum.hpp"
#include "core/extract/store_table.hpp"
#include "core/format/catalogue.hpp"
#include "core/format/directory.hpp"
#include "core/images/image_list.hpp"
#include "core/images/image_walk.hpp"
#include "core/parameter_blocks/parser.hpp"
#include "core/plans/region_plan.hpp"
#include "core/common/limits.hpp"
#include "input_file.hpp"

namespace {

struct QuietObserver final : vellkit::FieldReadObserver {
    size_t reports = 0;
    void short_read(vellkit::FieldKind, const unsigned char*, size_t) override { ++reports; }
};

using fuzzing::InputFile;

using Records = std::vector<vellkit::ParamRecord>;

// A 2D data block read as a spectrum of up to 4,096 values.
void read_spectrum(vellkit::Cursor& cursor, int64_t offset) {
    int64_t count = 0;
    if (!vellkit::locate_spectrum(cursor, offset, 4096, count).ok() || count <= 0) return;
    std::vector<float> values((size_t)count);
    (void)vellkit::read_spectrum_values(cursor.source(), offset, values.size(), values.data());
}

// A 3D data block: its records, their times and labels.
void read_records(vellkit::Cursor& cursor, vellkit::FieldReadObserver& observer, int64_t offset) {
    vellkit::StoreTable table;
    if (!vellkit::read_store_table(cursor, offset, observer, table).ok()) return;
    vellkit::RecordLayout layout;
    if (!vellkit::lay_out_records(table, cursor.file_size(), offset, layout).ok()) return;
    const int64_t npt = 8;
    const size_t count = layout.size() < 64 ? layout.size() : 64;
    std::vector<vellkit::RecordValues> rows;
    std::vector<double> times(count);
    std::vector<vellkit::ReadPiece> behind(count, vellkit::ReadPiece{0, 0, nullptr});
    vellkit::LabelReads labels;
    for (size_t k = 0; k < count; ++k) {
        vellkit::RecordValues rv;
        if (!vellkit::locate_values(cursor, layout.offsets[k], npt, rv).ok()) return;
        rows.push_back(rv);
        if (!vellkit::locate_time(cursor, observer, rv.end, &times[k], behind[k]).ok()) return;
        if (!labels.locate(cursor, rv.end, table.info_size).ok()) return;
    }
    size_t mismatch = 0;
    const int64_t length = vellkit::first_row_length(rows, mismatch);
    if (mismatch == rows.size() && length > 0) {
        std::vector<float> values(rows.size() * (size_t)length);
        (void)vellkit::read_rows(cursor.source(), rows, length, values.data(), &behind);
        vellkit::pieces_to_host(behind, sizeof(double));
    }
    std::vector<vellkit::ReadPiece> label_pieces;
    for (size_t k = 0; k < labels.size(); ++k) label_pieces.push_back(labels.piece(k));
    (void)vellkit::gather_read(cursor.source(), label_pieces);
    std::string text;
    for (size_t k = 0; k < labels.size(); ++k) (void)labels.text(cursor, k, text);
}

// An annotation block read through the plan the consumers use (its
// parameters as plain values), and the regions planned from it (in the
// groups' order of first appearance: any order must do).
void plan_regions_of(vellkit::Cursor& cursor, vellkit::FieldReadObserver& observer, int64_t offset) {
    vellkit::MemoryBudget budget;
    if (!vellkit::MemoryBudget::for_file(cursor.file_size(), nullptr, budget).ok()) return;
    vellkit::AnnotationBlock block;
    vellkit::AnnotationGap gap;
    if (!vellkit::read_annotation_block(cursor, observer, offset, budget, block, gap).ok()) return;
    vellkit::RegionPlanInput in;
    in.columns = region_columns(block);
    std::vector<vellkit::GroupTally> tallies;
    if (!in.columns.group || !vellkit::tally_groups(*in.columns.group, tallies)) return;
    for (const vellkit::GroupTally& t : tallies) {
        if (!(t.value >= -2147483648.0 && t.value <= 2147483647.0)) return;
        in.order.push_back((int32_t)t.value);
    }
    in.tallies = &tallies;
    in.target = vellkit::PositionTarget::trace_column;
    in.max_positions = (uint64_t)cursor.file_size() + 4096;
    std::vector<vellkit::RegionPlan> regions;
    (void)vellkit::plan_regions(in, regions);
}

// An image block: its image list blocks walked and merged, then every
// image entry and its data located.
void read_images(vellkit::Cursor& cursor, vellkit::FieldReadObserver& observer, const vellkit::DirectoryEntry& block) {
    vellkit::ParamMap lists;
    vellkit::ImageStop stop;
    if (!vellkit::walk_image_lists(cursor, observer, block, lists, stop).ok()) return;
    long long count = 0;
    if (!vellkit::image_count(lists, count, stop).ok()) return;
    for (long long n = 0; n < count && n < 64; ++n) {
        vellkit::wide entry = 0;
        if (!vellkit::locate_image_entry(lists, block.byte_offset, n, entry, stop).ok()) return;
        Records records;
        if (!vellkit::parse_parameter_block(cursor, entry, observer, records).ok()) return;
        vellkit::ParamMap params;
        params.merge(records);
        bool has_data = false;
        if (!vellkit::locate_image_data(cursor, params, entry, has_data, stop).ok()) return;
        if (has_data) {
            std::vector<unsigned char> bytes((size_t)vellkit::image_read_count(cursor, 1 << 16));
            size_t got = 0;
            (void)cursor.read(bytes.data(), bytes.size(), got);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputFile input(data, size);
    if (input.descriptor() < 0) return 0;
    vellkit::FileSource source;
    if (!vellkit::FileSource::borrow_descriptor(input.descriptor(), source).ok()) return 0;
    QuietObserver observer;
    vellkit::Cursor cursor(source);
    std::vector<vellkit::DirectoryEntry> directory;
    if (vellkit::read_directory(cursor, observer, directory).ok()) {
        (void)vellkit::list_contents(directory);
        for (int name = 0; name < vellkit::kBlockNameCount; ++name) {
            for (int extend : {0, 10}) {
                vellkit::BlockRequest request{vellkit::kBlockNames[name].data_type, vellkit::kBlockNames[name].sample_type,
                                              0, extend};
                (void)vellkit::locate_blocks(directory, request);
            }
        }
        size_t visited = 0;
        for (const vellkit::DirectoryEntry& entry : directory) {
            if (++visited > 64) break;
            // Every reader on every block, whatever its type code says: the
            // readers must cope with any bytes.
            std::vector<vellkit::ParamRecord> params;
            (void)vellkit::parse_parameter_block(cursor, entry.byte_offset, observer, params);
            read_spectrum(cursor, entry.byte_offset);
            read_records(cursor, observer, entry.byte_offset);
            plan_regions_of(cursor, observer, entry.byte_offset);
            read_images(cursor, observer, entry);
        }
    }
    return 0;
}
