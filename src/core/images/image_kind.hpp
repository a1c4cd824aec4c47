// The kind of an image, told from its first bytes. The names and the order
// of the tests are those of the standard library's former `imghdr` module.
#pragma once

#include <cstddef>

namespace vellkit {

// "jpeg", "png", "gif", "tiff", "rgb", "pbm", "pgm", "ppm", "rast", "xbm",
// "bmp", "webp", "exr", or nullptr when none matches.
const char* image_kind(const unsigned char* head, size_t size);

}  // namespace vellkit
