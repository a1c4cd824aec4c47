// Reads of chosen records of a 3D data block (points, info-record times,
// labels) for lazy readers, at the offsets a BlockPlan gives. Reads poll the
// source's interrupt hook in long loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/common/limits.hpp"
#include "core/format/byte_source.hpp"

namespace vellkit {

// Whether `count` records of `npt` values starting at these offsets lie
// wholly inside the file; `bad` is the first that does not.
bool records_inside(int64_t file_size, const int64_t* offsets, size_t count, int64_t npt, size_t& bad);

// Reads points [start, start + length) of each record into `out` in host
// order, record k at out + k * length; the caller has checked the records
// with records_inside.
Status read_points(const FileSource& source, const int64_t* offsets, size_t count, int64_t start, int64_t length,
                   float* out);

// The info-record time of each record, through the core's record readers:
// 0.0 where the file ends before it, as a failed field read yields.
Status read_times(const FileSource& source, const int64_t* offsets, size_t count, int64_t npt, double* out);

// The label bytes of each record before the first NUL (an info size below
// the label's position reads to the end of the file). Each label is charged
// to `budget` as it is located, before anything is read.
Status read_labels(const FileSource& source, const int64_t* offsets, size_t count, int64_t npt, int32_t info_size,
                   MemoryBudget& budget, std::vector<std::string>& out);

}  // namespace vellkit
