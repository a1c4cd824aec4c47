// The parts of FileSource that are the same on every system.
#include <cstdint>

#include "core/platform/file.hpp"

namespace vellkit {

void FileSource::take(FileSource& other) {
    fd_ = other.fd_;
    owned_ = other.owned_;
    size_ = other.size_;
    size_known_ = other.size_known_;
    seekable_ = other.seekable_;
    interrupt_ = other.interrupt_;
    stream_position_ = other.stream_position_;
    other.fd_ = -1;
    other.owned_ = false;
}

Status FileSource::poll() const {
    if (interrupt_ && interrupt_->requested()) return Status::error(ErrorCode::interrupted);
    return Status();
}

Status FileSource::settle_size(int64_t reported) {
    size_ = reported;
    unsigned char probe[1];
    size_t got = 0;
    VELLKIT_TRY(read_at(size_, probe, 1, got));
    if (got == 0) return Status();
    // More bytes than the file system reported: read on to the end.
    unsigned char chunk[64 * 1024];
    int64_t end = size_ + 1;
    for (;;) {
        VELLKIT_TRY(read_at(end, chunk, sizeof chunk, got));
        if (got == 0) break;
        end += (int64_t)got;
        VELLKIT_TRY(poll());
    }
    size_ = end;
    return Status();
}

}  // namespace vellkit
