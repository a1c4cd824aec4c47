// 2D data blocks: NPT float32 values from the block's offset.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/format/cursor.hpp"

namespace vellkit {

// Seeks to the block (failing as the seek fails) and counts the values a
// bulk read of `npt` values delivers there: all the file holds when `npt`
// is negative or more than that.
Status locate_spectrum(Cursor& cursor, int64_t offset, int64_t npt, int64_t& count);

// Reads `count` values at `offset` into `out` in host order; values a file
// that shrank meanwhile no longer holds read as zeros.
Status read_spectrum_values(const FileSource& source, int64_t offset, size_t count, float* out);

}  // namespace vellkit
