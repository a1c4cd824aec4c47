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
    bytes_ = other.bytes_;
    reader_ = other.reader_;
    reader_failure_ = other.reader_failure_;
    other.fd_ = -1;
    other.owned_ = false;
    other.bytes_ = nullptr;
    other.reader_ = nullptr;
}

FileSource FileSource::from_memory(const unsigned char* bytes, int64_t size) {
    FileSource src;
    src.bytes_ = bytes;
    src.size_ = size;
    return src;
}

FileSource FileSource::from_reader(RangeReader* reader, int64_t size, Interrupt* interrupt) {
    FileSource src;
    src.reader_ = reader;
    src.size_ = size;
    src.interrupt_ = interrupt;
    return src;
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

Status FileSource::identity(FileIdentity& out) const {
    if (fd_ >= 0) return identity_os(out);
    // Memory or ranges: the consumer knows their identity; the size is all here.
    out = FileIdentity();
    out.size = size_;
    return Status();
}

Status FileSource::poll() const {
    if (interrupt_ && interrupt_->requested()) return Status::error(ErrorCode::interrupted);
    return Status();
}

void FileSource::hold_if_small(size_t limit) {
    if (bytes_ || (fd_ < 0 && !reader_) || !seekable_ || !size_known_ || size_ < 0 || (uint64_t)size_ > limit) return;
    // One byte more than the file system reports: a read that stops short
    // of it finds the end where the size puts it, so the size is settled too.
    const size_t want = (size_t)size_ + 1;
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[want]);
    size_t got = 0;
    const Status read = reader_ ? read_reader(0, bytes.get(), want, got) : read_once(0, bytes.get(), want, got);
    if (!read.ok() || got != (size_t)size_) return;
    held_ = std::move(bytes);
    bytes_ = held_.get();
    size_settled_ = true;
}

Status FileSource::read_held(int64_t offset, void* dst, size_t n, size_t& delivered) const {
    delivered = 0;
    if (offset >= size_) return Status();
    const size_t left = (size_t)(size_ - offset);
    delivered = n < left ? n : left;
    if (delivered) std::memcpy(dst, bytes_ + offset, delivered);
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

Status FileSource::read_reader(int64_t offset, void* dst, size_t n, size_t& delivered) const {
    delivered = 0;
    if (!reader_failure_.ok()) return reader_failure_;
    if (offset < 0) return Status::error(ErrorCode::seek_negative);
    if (offset >= size_ || n == 0) return Status();
    const uint64_t left = (uint64_t)(size_ - offset);
    const size_t want = (uint64_t)n < left ? n : (size_t)left;
    Status status = poll();  // each request is a moment to stop
    if (status.ok()) status = reader_->read_range(offset, dst, want, delivered);
    if (!status.ok()) {
        delivered = 0;
        reader_failure_ = status;
        return status;
    }
    if (delivered > want) delivered = want;  // never trust a count past the buffer
    return Status();
}

Status FileSource::read_reader_vector(int64_t offset, const IoVec* iov, int count, size_t& delivered) const {
    delivered = 0;
    size_t wanted = 0;
    for (int i = 0; i < count; ++i) {
        if (iov[i].iov_len > SIZE_MAX - wanted) return Status::error(ErrorCode::seek_overflow);
        wanted += iov[i].iov_len;
    }
    if (count == 1) return read_reader(offset, iov[0].iov_base, iov[0].iov_len, delivered);
    // One request for the whole span: records and the gaps between them are
    // fetched together, then scattered.
    std::unique_ptr<unsigned char[]> span(new unsigned char[wanted ? wanted : 1]);
    size_t got = 0;
    VELLKIT_TRY(read_reader(offset, span.get(), wanted, got));
    for (int i = 0; i < count && delivered < got; ++i) {
        const size_t take = got - delivered < iov[i].iov_len ? got - delivered : iov[i].iov_len;
        std::memcpy(iov[i].iov_base, span.get() + delivered, take);
        delivered += take;
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
