// A readable file behind one OS descriptor, read at explicit offsets. This
// and its two implementations (file_posix.cpp, file_windows.cpp) are the only
// code of the core that calls the operating system.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/common/status.hpp"

namespace vellkit {

// One destination of a vectored read; laid out as POSIX's struct iovec so
// that it is passed to preadv as it is.
struct IoVec {
    void* iov_base;
    size_t iov_len;
};

class FileSource {
public:
    FileSource() = default;
    ~FileSource() { close(); }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    FileSource(FileSource&& other) noexcept : fd_(other.fd_), owned_(other.owned_), size_(other.size_) {
        other.fd_ = -1;
        other.owned_ = false;
    }
    FileSource& operator=(FileSource&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.fd_;
            owned_ = other.owned_;
            size_ = other.size_;
            other.fd_ = -1;
            other.owned_ = false;
        }
        return *this;
    }

    // Opens `path` (UTF-8 on Windows, bytes elsewhere) read-only, in binary
    // mode, not inherited by child processes. A directory is refused with
    // EISDIR, as reading one would fail anyway.
    static Status open_path(const char* path, FileSource& out);
    // Wraps a descriptor owned by someone else (it is not closed here); on
    // Windows a C runtime descriptor.
    static Status borrow_descriptor(int fd, FileSource& out);

    bool is_open() const { return fd_ >= 0; }
    int descriptor() const { return fd_; }
    int64_t size() const { return size_; }

    // Reads up to `n` bytes at `offset`; `delivered` is short only at the end
    // of the file.
    Status read_at(int64_t offset, void* dst, size_t n, size_t& delivered) const;
    // One positioned scatter read; the vectors are filled in order, and
    // `delivered` is short only at the end of the file.
    Status read_vector_at(int64_t offset, const IoVec* iov, int count, size_t& delivered) const;
    // Whether the OS accepts `position` as a file position (positions past
    // the end of the file are accepted only up to the file system's limit).
    Status check_position(int64_t position) const;

    void close();

private:
    // The size of the file behind `fd_`: regular files their length, other
    // readable things (pipes, devices) unbounded; directories refused.
    Status read_size();

    int fd_ = -1;
    bool owned_ = false;
    int64_t size_ = 0;
};

}  // namespace vellkit
