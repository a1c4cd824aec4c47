// A file position over a FileSource with the semantics of a binary file
// object: seeks may go anywhere the OS allows, reads deliver what is there.
// Small reads are served from a read-ahead window.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/common/checked.hpp"
#include "core/format/byte_source.hpp"

namespace vellkit {

class Cursor {
public:
    explicit Cursor(const FileSource& source) : source_(source) {}

    const FileSource& source() const { return source_; }
    int64_t position() const { return position_; }
    int64_t file_size() const { return source_.size(); }

    // Absolute seek to an exact (possibly out-of-range) position.
    Status seek(wide target);

    // Reads `n` bytes (fewer only where the file ends), advancing by what
    // was delivered.
    Status read(void* dst, size_t n, size_t& delivered);
    // Reads `n` bytes of text (fewer at the end of the file; a negative `n`
    // reads to the end) and keeps only those before the first NUL; reading
    // stops there, while the position still advances by the full count.
    Status read_text(int64_t n, std::string& out);

    // The bytes at the position as held in the read-ahead window: up to `n`
    // of them (fewer only at the end of the file), without moving. Callers
    // that use them move on with skip().
    const unsigned char* peek(size_t n, size_t& available);
    void skip(size_t n) { position_ += (int64_t)n; }
    // The next `n` bytes when the window already holds them all (the common
    // case of a small read), else nullptr; inline for the field readers.
    const unsigned char* buffered(size_t n) const {
        if (position_ < window_start_ || position_ + (int64_t)n > window_start_ + (int64_t)window_length_) return nullptr;
        return bytes_ + (position_ - window_start_);
    }

    // Bytes from the position to the end of the file (0 when beyond it).
    int64_t remaining() const { return position_ >= file_size() ? 0 : file_size() - position_; }

private:
    Status fill_window(int64_t at);
    // The window's bytes at the position, filling it when `n` bytes from
    // there are not all in it; `available` may exceed `n`.
    Status window_at(size_t n, const unsigned char*& bytes, size_t& available);

    const FileSource& source_;
    int64_t position_ = 0;
    std::unique_ptr<unsigned char[]> window_;
    const unsigned char* bytes_ = nullptr;  // the window's bytes: window_, or the file's held copy
    size_t window_capacity_ = 0;
    size_t fill_length_ = 0;
    int64_t window_start_ = 0;
    size_t window_length_ = 0;
};

}  // namespace vellkit
