// FileSource on POSIX systems: pread, and preadv where the system has it.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64  // 64-bit off_t on 32-bit systems too
#endif

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <utility>

#include "core/platform/file.hpp"

// preadv: Linux and the BSDs; macOS only from 11 on, so builds for older
// macOS read vectors one by one. -DVELLKIT_HAVE_PREADV=0 forces that path.
#ifndef VELLKIT_HAVE_PREADV
#if defined(__linux__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__) || \
    defined(__DragonFly__)
#define VELLKIT_HAVE_PREADV 1
#elif defined(__APPLE__) && defined(__ENVIRONMENT_MAC_OS_X_VERSION_MIN_REQUIRED__) && \
    __ENVIRONMENT_MAC_OS_X_VERSION_MIN_REQUIRED__ >= 110000
#define VELLKIT_HAVE_PREADV 1
#else
#define VELLKIT_HAVE_PREADV 0
#endif
#endif

namespace vellkit {

static_assert(sizeof(off_t) == sizeof(int64_t), "file positions need a 64-bit off_t");
static_assert(sizeof(IoVec) == sizeof(struct iovec) && offsetof(IoVec, iov_base) == offsetof(struct iovec, iov_base) &&
                  offsetof(IoVec, iov_len) == offsetof(struct iovec, iov_len),
              "IoVec is passed to preadv as struct iovec");

namespace {
constexpr size_t kMaxReadChunk = (size_t)1 << 30;  // below every system's single-read limit
// How long a wait on a pipe goes without asking whether to stop: a signal
// that lands just before a blocking call would otherwise be lost.
constexpr int kWaitSliceMs = 100;
}

Status FileSource::wait_readable() const {
    struct pollfd watched;
    watched.fd = fd_;
    watched.events = POLLIN;
    for (;;) {
        watched.revents = 0;
        const int ready = ::poll(&watched, 1, kWaitSliceMs);
        if (ready > 0) return Status();  // bytes, or the writer gone (the read then says which)
        if (ready < 0 && errno != EINTR) return Status::from_errno(errno);
        if (!retry_after_signal()) return Status::error(ErrorCode::interrupted);
    }
}

void FileSource::close() {
    if (fd_ >= 0 && owned_) ::close(fd_);
    fd_ = -1;
    owned_ = false;
}

Status FileSource::read_size() {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return Status::from_errno(errno);
    if (S_ISDIR(st.st_mode)) return Status::from_errno(EISDIR);
    if (S_ISREG(st.st_mode)) {
        size_ = static_cast<int64_t>(st.st_size);
        size_settled_ = false;
        return Status();
    }
    // As a file object decides: whatever lseek accepts can seek.
    seekable_ = ::lseek(fd_, 0, SEEK_CUR) >= 0;
    size_ = INT64_MAX;
    size_known_ = false;
    return Status();
}

Status FileSource::identity_os(FileIdentity& out) const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return Status::from_errno(errno);
    out.device = (uint64_t)st.st_dev;
    out.inode = (uint64_t)st.st_ino;
    out.size = (int64_t)st.st_size;
#if defined(__APPLE__)
    const struct timespec& modified = st.st_mtimespec;
#else
    const struct timespec& modified = st.st_mtim;
#endif
    out.mtime_ns = (int64_t)modified.tv_sec * 1000000000 + (int64_t)modified.tv_nsec;
    return Status();
}

// Linux reports a FIFO that no writer has opened yet as not readable, so a
// FIFO can be opened without waiting and the wait for its writer done in
// slices; the BSDs and macOS report it at its end at once.
#ifndef VELLKIT_WAIT_FOR_FIFO_WRITER_IN_SLICES
#if defined(__linux__)
#define VELLKIT_WAIT_FOR_FIFO_WRITER_IN_SLICES 1
#else
#define VELLKIT_WAIT_FOR_FIFO_WRITER_IN_SLICES 0
#endif
#endif

Status FileSource::open_path(const char* path, FileSource& out, Interrupt* interrupt) {
    int flags = O_RDONLY;
#ifdef O_CLOEXEC
    flags |= O_CLOEXEC;
#endif
#if VELLKIT_WAIT_FOR_FIFO_WRITER_IN_SLICES
    // Opened without waiting: a blocking open of a FIFO waits for a writer in
    // one system call, and a signal taken by another thread, or landing just
    // before the call, would leave it waiting.
    flags |= O_NONBLOCK;
    int fd;
    do {
        fd = ::open(path, flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Status::from_errno(errno);
    VELLKIT_TRY(adopt(fd, true, interrupt, out));  // closes `fd` if the file is refused
    // Regular files ignore O_NONBLOCK: they cost no more system calls.
    if (out.size_known()) return Status();
    struct stat st;
    Status status;
    if (::fstat(fd, &st) != 0) {
        status = Status::from_errno(errno);
    } else if (S_ISFIFO(st.st_mode)) {
        // As the blocking open would, wait for a writer (its first bytes, or
        // its going), asking `interrupt` all the while.
        status = out.wait_readable();
    } else {
        // A device is read as a blocking open leaves it.
        const int status_flags = ::fcntl(fd, F_GETFL);
        if (status_flags < 0 || ::fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
            status = Status::from_errno(errno);
        }
    }
    if (!status.ok()) out.close();
    return status;
#else
    FileSource src;  // asks `interrupt` while the open waits
    src.interrupt_ = interrupt;
    int fd;
    for (;;) {
        fd = ::open(path, flags);
        if (fd >= 0 || errno != EINTR) break;
        // A FIFO without a writer blocks here until a signal arrives.
        if (!src.retry_after_signal()) return Status::error(ErrorCode::interrupted);
    }
    if (fd < 0) return Status::from_errno(errno);
    return adopt(fd, true, interrupt, out);
#endif
}

Status FileSource::read_once(int64_t offset, void* dst, size_t n, size_t& got) const {
    got = 0;
    for (;;) {
        ssize_t r = ::pread(fd_, dst, n < kMaxReadChunk ? n : kMaxReadChunk, (off_t)offset);
        if (r >= 0) {
            got = (size_t)r;
            return Status();
        }
        if (errno != EINTR) return Status::from_errno(errno);
        if (!retry_after_signal()) return Status::error(ErrorCode::interrupted);
    }
}

Status FileSource::read_at_os(int64_t offset, void* dst, size_t n, size_t& delivered) const {
    delivered = 0;
    // A pipe is read in order only; the readers never go back on one.
    if (!seekable_ && offset != stream_position_) return Status::error(ErrorCode::not_seekable);
    auto* out = static_cast<unsigned char*>(dst);
    while (delivered < n) {
        size_t want = n - delivered;
        if (want > kMaxReadChunk) want = kMaxReadChunk;
        ssize_t got = seekable_ ? ::pread(fd_, out + delivered, want, (off_t)(offset + (int64_t)delivered))
                                : ::read(fd_, out + delivered, want);
        if (got < 0) {
            if (errno == EINTR) {
                if (!retry_after_signal()) return Status::error(ErrorCode::interrupted);
                continue;
            }
            if (!seekable_ && (errno == EAGAIN || errno == EWOULDBLOCK)) {  // a pipe whose writer is slow
                Status waited = wait_readable();
                if (!waited.ok()) return waited;
                continue;
            }
            return Status::from_errno(errno);
        }
        if (got == 0) break;
        delivered += (size_t)got;
        if (!seekable_) stream_position_ += got;
    }
    return Status();
}

Status FileSource::read_vector_at(int64_t offset, const IoVec* iov, int count, size_t& delivered) const {
    delivered = 0;
    if (bytes_ && offset >= 0) return read_held_vector(offset, iov, count, delivered);
    if (reader_) return read_reader_vector(offset, iov, count, delivered);
#if VELLKIT_HAVE_PREADV
    if (seekable_) {
        size_t wanted = 0;
        for (int i = 0; i < count; ++i) wanted += iov[i].iov_len;
        for (;;) {
            ssize_t got = ::preadv(fd_, reinterpret_cast<const struct iovec*>(iov), count, (off_t)offset);
            if (got < 0) {
                if (errno == EINTR) {
                    if (!retry_after_signal()) return Status::error(ErrorCode::interrupted);
                    continue;
                }
                return Status::from_errno(errno);
            }
            delivered = (size_t)got;
            break;
        }
        if (delivered >= wanted || delivered == 0) return Status();
    }
#endif
    // What is left (all of it without preadv, else the rest of a partial
    // vectored read), piece by piece.
    size_t skip = delivered;
    for (int i = 0; i < count; ++i) {
        if (skip >= iov[i].iov_len) {
            skip -= iov[i].iov_len;
            continue;
        }
        size_t got = 0;
        VELLKIT_TRY(read_at(offset + (int64_t)delivered, static_cast<char*>(iov[i].iov_base) + skip,
                            iov[i].iov_len - skip, got));
        delivered += got;
        if (got < iov[i].iov_len - skip) break;
        skip = 0;
    }
    return Status();
}

Status FileSource::check_position(int64_t position) const {
    if (!seekable_) return Status::error(ErrorCode::not_seekable);
    if (position <= size() || fd_ < 0) return Status();  // memory and ranges read nothing there
    off_t saved = ::lseek(fd_, 0, SEEK_CUR);
    off_t r = ::lseek(fd_, (off_t)position, SEEK_SET);
    int err = errno;
    if (saved >= 0) ::lseek(fd_, saved, SEEK_SET);
    if (r < 0) return Status::from_errno(err);
    return Status();
}

}  // namespace vellkit
