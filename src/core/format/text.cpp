#include "core/format/text.hpp"

namespace vellkit {

static bool is_ascii(const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] & 0x80) return false;
    return true;
}

bool is_valid_utf8(const unsigned char* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        unsigned lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (i + len > n) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (size_t k = 2; k < len; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
        i += len;
    }
    return true;
}

TextEncoding classify_text(const unsigned char* p, size_t n) {
    if (is_ascii(p, n)) return TextEncoding::ascii;
    if (is_valid_utf8(p, n)) return TextEncoding::utf8;
    return TextEncoding::latin1;
}

}  // namespace vellkit
