#include "core/format/cursor.hpp"

#include <algorithm>
#include <cstring>

namespace vellkit {

namespace {
constexpr size_t kWindowSize = 64 * 1024;
constexpr size_t kFirstFill = 4 * 1024;
}

Status Cursor::seek(wide target) {
    // A file object refuses any seek on a pipe before it looks at the target.
    if (!source_.seekable()) return Status::error(ErrorCode::not_seekable);
    if (!fits_offset(target)) return Status::error(ErrorCode::seek_overflow);
    if (target < 0) return Status::error(ErrorCode::seek_negative, (int64_t)target);
    VELLKIT_TRY(source_.check_position((int64_t)target));
    position_ = (int64_t)target;
    return Status();
}

Status Cursor::fill_window(int64_t at) {
    const int64_t size = file_size();
    if (const unsigned char* whole = source_.held_bytes()) {
        // The file is in memory already: the window is all of it.
        bytes_ = whole;
        window_start_ = 0;
        window_length_ = (size_t)size;
        return Status();
    }
    if (!window_) {
        // No larger than the file: small files are read whole, once.
        window_capacity_ = size > 0 && size < (int64_t)kWindowSize ? (size_t)size : kWindowSize;
        window_.reset(new unsigned char[window_capacity_]);
        bytes_ = window_.get();
    }
    size_t length = window_capacity_;
    if (size > (int64_t)window_capacity_) {
        // Reads that go on where the window ends grow the next fill; a jump
        // elsewhere (a label, an image entry) reads a small window only.
        bool sequential = window_length_ && at == window_start_ + (int64_t)window_length_;
        fill_length_ = sequential ? std::min(fill_length_ * 2, window_capacity_) : kFirstFill;
        length = fill_length_;
    } else {
        at = 0;
    }
    // Nothing is read past the end: reads never deliver bytes from there,
    // and asking would cost a system call that finds none.
    if (at >= size) length = 0;
    else if ((int64_t)length > size - at) length = (size_t)(size - at);
    size_t got = 0;
    VELLKIT_TRY(source_.read_at(at, window_.get(), length, got));
    window_start_ = at;
    window_length_ = got;
    return Status();
}

Status Cursor::read(void* dst, size_t n, size_t& delivered) {
    delivered = 0;
    if (n == 0 || position_ >= file_size()) return Status();
    int64_t left = file_size() - position_;
    if ((int64_t)n > left) n = (size_t)left;
    if (const unsigned char* held = buffered(n)) {  // the common case: all in the window
        std::memcpy(dst, held, n);
        delivered = n;
        position_ += (int64_t)n;
        return Status();
    }
    auto* out = static_cast<unsigned char*>(dst);
    // Bytes the window already holds are taken from it; the rest goes
    // straight from the file when it is large, else through a refill. Either
    // way the loop ends only with `n` bytes delivered or the file ended.
    while (delivered < n) {
        const size_t want = n - delivered;
        size_t got = 0;
        if (want >= kWindowSize / 2 && !buffered(1)) {
            VELLKIT_TRY(source_.read_at(position_, out + delivered, want, got));
        } else {
            size_t available = 0;
            const unsigned char* bytes = nullptr;
            VELLKIT_TRY(window_at(std::min(want, kWindowSize / 2), bytes, available));
            got = std::min(want, available);
            if (got) std::memcpy(out + delivered, bytes, got);
        }
        if (got == 0) break;
        delivered += got;
        position_ += (int64_t)got;
    }
    return Status();
}

Status Cursor::window_at(size_t n, const unsigned char*& bytes, size_t& available) {
    bytes = nullptr;
    available = 0;
    bool inside = position_ >= window_start_ && position_ + (int64_t)n <= window_start_ + (int64_t)window_length_;
    if (!inside) VELLKIT_TRY(fill_window(position_));
    size_t offset = (size_t)(position_ - window_start_);
    if (offset >= window_length_) return Status();
    bytes = bytes_ + offset;
    available = window_length_ - offset;
    return Status();
}

const unsigned char* Cursor::peek(size_t n, size_t& available) {
    available = 0;
    if (position_ >= file_size() || n > kWindowSize / 2) return nullptr;
    int64_t left = file_size() - position_;
    if ((int64_t)n > left) n = (size_t)left;
    const unsigned char* bytes = nullptr;
    if (!window_at(n, bytes, available).ok()) available = 0;
    return available ? bytes : nullptr;
}

Status Cursor::read_text(int64_t n, std::string& out) {
    out.clear();
    int64_t left = remaining();
    if (n < 0 || n > left) n = left;
    int64_t end = position_ + n;
    if (const unsigned char* held = buffered((size_t)n)) {  // the common case: all in the window
        const void* nul = std::memchr(held, 0, (size_t)n);
        const size_t keep = nul ? (size_t)(static_cast<const unsigned char*>(nul) - held) : (size_t)n;
        out.assign(reinterpret_cast<const char*>(held), keep);
        position_ = end;
        return Status();
    }
    char chunk[4096];
    while (position_ < end) {
        size_t want = (size_t)std::min<int64_t>(end - position_, (int64_t)sizeof chunk);
        size_t got = 0;
        VELLKIT_TRY(read(chunk, want, got));
        if (got == 0) break;
        const void* nul = std::memchr(chunk, 0, got);
        if (nul) {
            out.append(chunk, (const char*)nul - chunk);
            position_ = end;
            return Status();
        }
        out.append(chunk, got);
    }
    position_ = end;
    return Status();
}

}  // namespace vellkit
