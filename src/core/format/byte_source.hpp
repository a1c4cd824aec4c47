// A readable file behind one OS descriptor, read with positioned reads.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "core/common/status.hpp"

namespace vellkit {

class FileSource {
public:
    FileSource() = default;
    ~FileSource();
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    FileSource(FileSource&& other) noexcept;
    FileSource& operator=(FileSource&& other) noexcept;

    // Opens `path` read-only. A directory is refused with EISDIR, as reading
    // one would fail anyway.
    static Status open_path(const char* path, FileSource& out);
    // Wraps a descriptor owned by someone else (it is not closed here).
    static Status borrow_descriptor(int fd, FileSource& out);

    bool is_open() const { return fd_ >= 0; }
    int descriptor() const { return fd_; }
    int64_t size() const { return size_; }

    // Reads up to `n` bytes at `offset`; `delivered` is short only at the end
    // of the file.
    Status read_at(int64_t offset, void* dst, size_t n, size_t& delivered) const;
    // One positioned scatter read; iovecs are filled in order.
    Status read_vector_at(int64_t offset, const struct iovec* iov, int count, size_t& delivered) const;
    // Whether the OS accepts `position` as a file position (positions past
    // the end of the file are accepted only up to the file system's limit).
    Status check_position(int64_t position) const;

    void close();

private:
    int fd_ = -1;
    bool owned_ = false;
    int64_t size_ = 0;
};

}  // namespace vellkit
