#include "core/extract/spectrum.hpp"

#include <cstring>

#include "core/format/byte_order.hpp"
#include "core/format/layout.hpp"

namespace vellkit {

Status locate_spectrum(Cursor& cursor, int64_t offset, int64_t npt, int64_t& count) {
    VELLKIT_TRY(cursor.seek(offset));
    const int64_t available = cursor.remaining() / layout::kValueBytes;
    count = npt < 0 || npt > available ? available : npt;
    return Status();
}

Status read_spectrum_values(const FileSource& source, int64_t offset, size_t count, float* out) {
    const size_t bytes = count * (size_t)layout::kValueBytes;
    size_t got = 0;
    VELLKIT_TRY(source.read_at(offset, out, bytes, got));
    if (got < bytes) std::memset(reinterpret_cast<char*>(out) + got, 0, bytes - got);
    little_endian_to_host(out, count, (size_t)layout::kValueBytes);
    return Status();
}

}  // namespace vellkit
