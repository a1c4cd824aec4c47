// The block-type code of a directory entry and its six bit fields.
#pragma once

#include <cstdint>

#include "core/format/layout.hpp"

namespace vellkit {


struct BlockFields {
    int complex_type = 0;
    int sample_type = 0;
    int param_type = 0;
    int data_type = 0;
    int deriv_type = 0;
    int extend_type = 0;
};

// Arithmetic shifts of the two's-complement pattern, so every field of any
// code (negative ones included) lies between 0 and its mask.
inline BlockFields decode_block_type(int64_t code) {
    using namespace layout;
    BlockFields f;
    f.complex_type = (int)((code >> kBlockFieldShifts[0]) & kBlockFieldMasks[0]);
    f.sample_type = (int)((code >> kBlockFieldShifts[1]) & kBlockFieldMasks[1]);
    f.param_type = (int)((code >> kBlockFieldShifts[2]) & kBlockFieldMasks[2]);
    f.data_type = (int)((code >> kBlockFieldShifts[3]) & kBlockFieldMasks[3]);
    f.deriv_type = (int)((code >> kBlockFieldShifts[4]) & kBlockFieldMasks[4]);
    f.extend_type = (int)((code >> kBlockFieldShifts[5]) & kBlockFieldMasks[5]);
    return f;
}

namespace param_type {
constexpr int data = 0;
constexpr int own_parameters = 1;
constexpr int instrument = 2;
constexpr int acquisition = 3;
constexpr int fourier_transform = 4;
constexpr int sample = 10;
}  // namespace param_type

namespace extend_type {
constexpr int two_d = 0;
constexpr int three_d = 10;
constexpr int annotation = 11;
constexpr int image = 20;
constexpr int directory_64 = 64;
}  // namespace extend_type

}  // namespace vellkit
