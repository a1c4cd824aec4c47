#include "core/images/image_kind.hpp"

#include <cstring>

namespace vellkit {

namespace {

bool starts_with(const unsigned char* h, size_t n, const char* prefix, size_t len) {
    return n >= len && std::memcmp(h, prefix, len) == 0;
}

bool slice_equals(const unsigned char* h, size_t n, size_t begin, const char* text, size_t len) {
    return n >= begin + len && std::memcmp(h + begin, text, len) == 0;
}

// Portable anymap: "P", one of two digits, then a whitespace byte.
bool anymap(const unsigned char* h, size_t n, char digit_a, char digit_b) {
    if (n < 3 || h[0] != 'P') return false;
    if (h[1] != digit_a && h[1] != digit_b) return false;
    return h[2] == ' ' || h[2] == '\t' || h[2] == '\n' || h[2] == '\r';
}

}  // namespace

const char* image_kind(const unsigned char* h, size_t n) {
    if (slice_equals(h, n, 6, "JFIF", 4) || slice_equals(h, n, 6, "Exif", 4)) return "jpeg";
    if (starts_with(h, n, "\xff\xd8\xff\xdb", 4)) return "jpeg";
    if (starts_with(h, n, "\x89PNG\r\n\x1a\n", 8)) return "png";
    if (starts_with(h, n, "GIF87a", 6) || starts_with(h, n, "GIF89a", 6)) return "gif";
    if (starts_with(h, n, "MM", 2) || starts_with(h, n, "II", 2)) return "tiff";
    if (starts_with(h, n, "\x01\xda", 2)) return "rgb";
    if (anymap(h, n, '1', '4')) return "pbm";
    if (anymap(h, n, '2', '5')) return "pgm";
    if (anymap(h, n, '3', '6')) return "ppm";
    if (starts_with(h, n, "\x59\xa6\x6a\x95", 4)) return "rast";
    if (starts_with(h, n, "#define ", 8)) return "xbm";
    if (starts_with(h, n, "BM", 2)) return "bmp";
    if (starts_with(h, n, "RIFF", 4) && slice_equals(h, n, 8, "WEBP", 4)) return "webp";
    if (starts_with(h, n, "\x76\x2f\x31\x01", 4)) return "exr";
    return nullptr;
}

}  // namespace vellkit
