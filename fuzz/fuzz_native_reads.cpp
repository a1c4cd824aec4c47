// Fuzz target for the record reads of vellkit_tools._native (points, times,
// labels) over the records any 3D data block header lays out: any bytes must
// give results or errors, never a crash, an out-of-bounds access, a hang or
// memory past the call's limit. Built with libFuzzer under clang, or with the
// standalone driver.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/common/limits.hpp"
#include "core/extract/store_table.hpp"
#include "core/format/cursor.hpp"
#include "core/format/directory.hpp"
#include "input_file.hpp"
#include "tools_native/record_reads.hpp"

namespace {

struct QuietObserver final : vellkit::FieldReadObserver {
    void short_read(vellkit::FieldKind, const unsigned char*, size_t) override {}
};

// The reads _native offers over the records of the 3D block at `offset`,
// `npt` values each, in file order and reversed.
void read_records(const vellkit::FileSource& source, vellkit::FieldReadObserver& observer, int64_t offset,
                  uint8_t choice) {
    vellkit::Cursor cursor(source);
    vellkit::StoreTable table;
    if (!vellkit::read_store_table(cursor, offset, observer, table).ok()) return;
    vellkit::RecordLayout layout;
    if (!vellkit::lay_out_records(table, source.size(), offset, layout).ok()) return;
    std::vector<int64_t> offsets;
    for (size_t k = 0; k < layout.size() && k < 256; ++k) {
        if (!vellkit::fits_offset(layout.offsets[k])) return;
        offsets.push_back((int64_t)layout.offsets[k]);
    }
    // NPT as the block's record size gives it, or a small one.
    const int64_t npt = (choice & 1) ? (table.block_size / 4) % 4096 : choice % 16;
    if (npt < 0) return;
    vellkit::MemoryBudget budget;
    if (!vellkit::MemoryBudget::for_file(source.size(), nullptr, budget).ok()) return;
    std::vector<std::string> labels;
    (void)vellkit::tools::read_labels(source, offsets.data(), offsets.size(), npt, table.info_size, budget, labels);
    std::vector<double> times(offsets.size());
    (void)vellkit::tools::read_times(source, offsets.data(), offsets.size(), npt, times.data());
    size_t bad = 0;
    if (!vellkit::tools::records_inside(source.size(), offsets.data(), offsets.size(), npt, bad)) return;
    const int64_t start = npt ? (choice >> 1) % npt : 0;
    const int64_t length = npt - start;
    std::vector<float> points(offsets.size() * (size_t)length);
    (void)vellkit::tools::read_points(source, offsets.data(), offsets.size(), start, length, points.data());
    std::vector<int64_t> reversed(offsets.rbegin(), offsets.rend());
    (void)vellkit::tools::read_points(source, reversed.data(), reversed.size(), start, length, points.data());
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
    if (!vellkit::read_directory(cursor, observer, directory).ok()) return 0;
    const uint8_t choice = size ? data[size - 1] : 0;
    size_t visited = 0;
    for (const vellkit::DirectoryEntry& entry : directory) {
        if (++visited > 64) break;
        read_records(source, observer, entry.byte_offset, choice);
    }
    return 0;
}
