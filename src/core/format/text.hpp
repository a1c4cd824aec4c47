// Stored text has no declared encoding: it is read as ASCII when it is,
// else as UTF-8 when valid, else as Latin-1 (which accepts any bytes).
#pragma once

#include <cstddef>
#include <string>

namespace vellkit {

enum class TextEncoding { ascii, utf8, latin1 };

// Strict UTF-8 validity, as the interpreter's codec judges it: no overlong
// forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(const unsigned char* p, size_t n);
TextEncoding classify_text(const unsigned char* p, size_t n);

}  // namespace vellkit
