#include "core/format/byte_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>

namespace vellkit {

FileSource::~FileSource() { close(); }

FileSource::FileSource(FileSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), owned_(std::exchange(other.owned_, false)), size_(other.size_) {}

FileSource& FileSource::operator=(FileSource&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        owned_ = std::exchange(other.owned_, false);
        size_ = other.size_;
    }
    return *this;
}

void FileSource::close() {
    if (fd_ >= 0 && owned_) ::close(fd_);
    fd_ = -1;
    owned_ = false;
}

static Status stat_size(int fd, int64_t& size) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return Status::from_errno(errno);
    if (S_ISDIR(st.st_mode)) return Status::from_errno(EISDIR);
    size = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : INT64_MAX;
    return Status();
}

Status FileSource::open_path(const char* path, FileSource& out) {
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Status::from_errno(errno);
    FileSource src;
    src.fd_ = fd;
    src.owned_ = true;
    VELLKIT_TRY(stat_size(fd, src.size_));
    out = std::move(src);
    return Status();
}

Status FileSource::borrow_descriptor(int fd, FileSource& out) {
    FileSource src;
    src.fd_ = fd;
    src.owned_ = false;
    VELLKIT_TRY(stat_size(fd, src.size_));
    out = std::move(src);
    return Status();
}

Status FileSource::read_at(int64_t offset, void* dst, size_t n, size_t& delivered) const {
    delivered = 0;
    auto* out = static_cast<unsigned char*>(dst);
    while (delivered < n) {
        size_t want = n - delivered;
        if (want > (size_t)1 << 30) want = (size_t)1 << 30;
        ssize_t got = ::pread(fd_, out + delivered, want, offset + (int64_t)delivered);
        if (got < 0) {
            if (errno == EINTR) continue;
            return Status::from_errno(errno);
        }
        if (got == 0) break;
        delivered += (size_t)got;
    }
    return Status();
}

Status FileSource::read_vector_at(int64_t offset, const struct iovec* iov, int count, size_t& delivered) const {
    size_t wanted = 0;
    for (int i = 0; i < count; ++i) wanted += iov[i].iov_len;
    delivered = 0;
    for (;;) {
        ssize_t got = ::preadv(fd_, iov, count, offset);
        if (got < 0) {
            if (errno == EINTR) continue;
            return Status::from_errno(errno);
        }
        delivered = (size_t)got;
        break;
    }
    if (delivered >= wanted || delivered == 0) return Status();
    // A partial vectored read: finish the remainder piece by piece.
    size_t skip = delivered;
    for (int i = 0; i < count; ++i) {
        if (skip >= iov[i].iov_len) {
            skip -= iov[i].iov_len;
            continue;
        }
        size_t got = 0;
        VELLKIT_TRY(read_at(offset + (int64_t)delivered, (char*)iov[i].iov_base + skip, iov[i].iov_len - skip, got));
        delivered += got;
        if (got < iov[i].iov_len - skip) break;
        skip = 0;
    }
    return Status();
}

Status FileSource::check_position(int64_t position) const {
    if (position <= size_) return Status();
    off_t saved = ::lseek(fd_, 0, SEEK_CUR);
    off_t r = ::lseek(fd_, (off_t)position, SEEK_SET);
    int err = errno;
    if (saved >= 0) ::lseek(fd_, saved, SEEK_SET);
    if (r < 0) return Status::from_errno(err);
    return Status();
}

}  // namespace vellkit
