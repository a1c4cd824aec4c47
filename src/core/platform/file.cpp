// The parts of FileSource that are the same on every system.
#include <cstdint>
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
