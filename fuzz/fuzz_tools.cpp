// Fuzz target for the core's plans, as vellkit_tools._native uses them: any
// bytes, read as a VELL file, are described (header-only), every block
// request is planned with the memory budget of a call, and the records of
// each plan are read through the record reads. Results or errors, never a
// crash, an out-of-bounds access, a hang or memory past the budget.
// Built with libFuzzer under clang, or with the standalone driver.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/common/limits.hpp"
#include "core/extract/spectrum.hpp"
#include "core/format/catalogue.hpp"
#include "core/format/cursor.hpp"
#include "core/plans/block_plan.hpp"
#include "core/plans/file_description.hpp"
#include "core/plans/record_reads.hpp"
#include "input_file.hpp"

namespace {

// Records read of each plan, and points of each record: enough to reach
// every path of the reads, little enough to stay fast.
constexpr size_t kRecordsRead = 64;
constexpr int64_t kPointsRead = 256;

void read_planned(const vellkit::FileSource& source, const vellkit::BlockPlan& plan) {
    if (!plan.request.three_d) {
        vellkit::Cursor cursor(source);
        int64_t count = 0;
        if (!vellkit::locate_spectrum(cursor, plan.values_offset, plan.x.count, count).ok()) return;
        std::vector<float> values((size_t)std::min<int64_t>(count, kPointsRead));
        (void)vellkit::read_spectrum_values(source, plan.values_offset, values.size(), values.data());
        return;
    }
    std::vector<int64_t> offsets;
    for (vellkit::wide offset : plan.records.layout.offsets) {
        if (offsets.size() == kRecordsRead) break;
        offsets.push_back((int64_t)offset);
    }
    if (offsets.empty()) return;
    const int64_t npt = plan.x.count;
    std::vector<double> times(offsets.size());
    (void)vellkit::read_times(source, offsets.data(), offsets.size(), npt, times.data());
    std::vector<std::string> labels;
    vellkit::MemoryBudget budget;
    if (!vellkit::MemoryBudget::for_file(source.size(), nullptr, budget).ok()) return;
    (void)vellkit::read_labels(source, offsets.data(), offsets.size(), npt, plan.records.info_size, budget, labels);
    size_t bad = 0;
    if (!vellkit::records_inside(source.size(), offsets.data(), offsets.size(), npt, bad)) return;
    // The last points of each record: a read one point too far would show.
    const int64_t length = std::min<int64_t>(npt, kPointsRead);
    std::vector<float> points(offsets.size() * (size_t)length);
    (void)vellkit::read_points(source, offsets.data(), offsets.size(), npt - length, length, points.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::InputFile input(data, size);
    if (input.descriptor() < 0) return 0;
    vellkit::FileSource source;
    if (!vellkit::FileSource::borrow_descriptor(input.descriptor(), source).ok()) return 0;

    vellkit::FileDescription description;
    (void)vellkit::describe_file(source, description);

    vellkit::CountingObserver observer;
    for (int name = 0; name < vellkit::kBlockNameCount; ++name) {
        for (bool three_d : {false, true}) {
            for (int deriv = 0; deriv < 4; ++deriv) {
                vellkit::PlanRequest request;
                request.name_index = name;
                request.three_d = three_d;
                request.deriv_type = deriv;
                vellkit::MemoryBudget budget;
                if (!vellkit::MemoryBudget::for_file((int64_t)size, nullptr, budget).ok()) return 0;
                vellkit::BlockPlan plan;
                if (!vellkit::plan_block(source, observer, request, &budget, plan).ok()) continue;
                if (plan.problem == vellkit::PlanProblem::not_vell) return 0;
                if (plan.problem == vellkit::PlanProblem::none) read_planned(source, plan);
            }
        }
    }
    return 0;
}
