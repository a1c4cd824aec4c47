// Decoding stored text into str, as decode_string does with its defaults.
#pragma once

#include <string>

#include "pyglue/pyref.hpp"

namespace vellkit::py {

// ASCII when it is, else UTF-8 when valid, else Latin-1.
Ref decode_stored_text(const char* data, size_t size);
inline Ref decode_stored_text(const std::string& s) { return decode_stored_text(s.data(), s.size()); }

}  // namespace vellkit::py
