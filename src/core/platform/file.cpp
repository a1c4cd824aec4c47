// The parts of FileSource that are the same on every system.
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "core/platform/file.hpp"

namespace vellkit {

void FileSource::take(FileSource& other) {
    fd_ = other.fd_;
    owned_ = other.owned_;
    size_ = other.size_;
    size_settled_ = other.size_settled_;
    size_known_ = other.size_known_;
    seekable_ = other.seekable_;
    interrupt_ = other.interrupt_;
    stream_position_ = other.stream_position_;
    held_ = std::move(other.held_);
    other.fd_ = -1;
    other.owned_ = false;
}

Status FileSource::adopt(int fd, bool owned, Interrupt* interrupt, FileSource& out) {
    FileSource src;
    src.interrupt_ = interrupt;
    src.fd_ = fd;
    src.owned_ = owned;  // closed here if the file is refused
    VELLKIT_TRY(src.read_size());
    out = std::move(src);
    return Status();
}

Status FileSource::borrow_descriptor(int fd, FileSource& out, Interrupt* interrupt) {
    return adopt(fd, false, interrupt, out);
}

Status FileSource::poll() const {
    if (interrupt_ && interrupt_->requested()) return Status::error(ErrorCode::interrupted);
    return Status();
}

void FileSource::hold_if_small(size_t limit) {
    if (held_ || fd_ < 0 || !seekable_ || !size_known_ || size_ < 0 || (uint64_t)size_ > limit) return;
    // One byte more than the file system reports: a read that stops short
    // of it finds the end where the size puts it, so the size is settled too.
    const size_t want = (size_t)size_ + 1;
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[want]);
    size_t got = 0;
    if (!read_once(0, bytes.get(), want, got).ok() || got != (size_t)size_) return;
    held_ = std::move(bytes);
    size_settled_ = true;
}

Status FileSource::read_held(int64_t offset, void* dst, size_t n, size_t& delivered) const {
    delivered = 0;
    if (offset >= size_) return Status();
    const size_t left = (size_t)(size_ - offset);
    delivered = n < left ? n : left;
    if (delivered) std::memcpy(dst, held_.get() + offset, delivered);
    return Status();
}

Status FileSource::read_held_vector(int64_t offset, const IoVec* iov, int count, size_t& delivered) const {
    delivered = 0;
    for (int i = 0; i < count; ++i) {
        size_t got = 0;
        read_held(offset + (int64_t)delivered, iov[i].iov_base, iov[i].iov_len, got);
        delivered += got;
        if (got < iov[i].iov_len) break;
    }
    return Status();
}

void FileSource::settle_size() const {
    size_settled_ = true;
    unsigned char probe[1];
    size_t got = 0;
    // A read that fails here fails again where the bytes are needed.
    if (!read_at(size_, probe, 1, got).ok() || got == 0) return;
    // More bytes than the file system reported: read on to the end.
    std::vector<unsigned char> chunk(64 * 1024);
    int64_t end = size_ + 1;
    for (;;) {
        if (!read_at(end, chunk.data(), chunk.size(), got).ok() || got == 0) break;
        end += (int64_t)got;
    }
    size_ = end;
}

}  // namespace vellkit
