// A readable source of bytes, read at explicit offsets: a file behind one OS
// descriptor, a buffer in memory, or ranges that the consumer fetches (an
// object store). This and its two implementations (file_posix.cpp,
// file_windows.cpp) are the only code of the core that calls the operating
// system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/common/interrupt.hpp"
#include "core/common/status.hpp"

namespace vellkit {

// One destination of a vectored read; laid out as POSIX's struct iovec so
// that it is passed to preadv as it is.
struct IoVec {
    void* iov_base;
    size_t iov_len;
};

// What tells one file from another, in the numbers os.stat gives for it:
// device, inode (file index on Windows), size and modification time.
struct FileIdentity {
    uint64_t device = 0;
    // The device as other Python versions number it (Windows: the 64-bit
    // volume serial number where the 32-bit one is `device`); 0 for none.
    uint64_t device_alias = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t mtime_ns = 0;  // nanoseconds since 1970-01-01 UTC

    // Whether `claimed` (as os.stat gave it) names this same file, unchanged.
    bool matches(const FileIdentity& claimed) const {
        const bool same_device =
            claimed.device == device || (device_alias != 0 && claimed.device == device_alias);
        return same_device && claimed.inode == inode && claimed.size == size && claimed.mtime_ns == mtime_ns;
    }
};

// Ranges of an object the consumer fetches (over a network, say). Answers
// may be slow: the reads ask for as much as they need at once.
class RangeReader {
public:
    virtual ~RangeReader() = default;
    // Reads up to `n` bytes at `offset` into `dst`; `delivered` is short only
    // at the end of the object. A failure the consumer keeps (its own error)
    // is ErrorCode::interrupted, as the interrupt hook's is.
    virtual Status read_range(int64_t offset, void* dst, size_t n, size_t& delivered) = 0;
};

class FileSource {
public:
    FileSource() = default;
    ~FileSource() { close(); }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    FileSource(FileSource&& other) noexcept { take(other); }
    FileSource& operator=(FileSource&& other) noexcept {
        if (this != &other) {
            close();
            take(other);
        }
        return *this;
    }

    // Opens `path` (UTF-8 on Windows, bytes elsewhere) read-only, in binary
    // mode, not inherited by child processes. A directory is refused with
    // EISDIR, as reading one would fail anyway.
    // A signal that cuts the open short (a FIFO waits for a writer) asks
    // `interrupt` whether to stop; so do the reads of the file later on.
    static Status open_path(const char* path, FileSource& out, Interrupt* interrupt = nullptr);
    // Wraps a descriptor owned by someone else (it is not closed here); on
    // Windows a C runtime descriptor.
    static Status borrow_descriptor(int fd, FileSource& out, Interrupt* interrupt = nullptr);

    // A source over `size` bytes in memory that outlive it (not copied).
    static FileSource from_memory(const unsigned char* bytes, int64_t size);
    // A source over an object of `size` bytes whose ranges `reader` (which
    // outlives the source) fetches.
    static FileSource from_reader(RangeReader* reader, int64_t size, Interrupt* interrupt = nullptr);

    bool is_open() const { return fd_ >= 0 || bytes_ || reader_; }
    // The first failure of the consumer's ranges, or ok. Once a range
    // fails, every later read fails the same way: the readers, which take a
    // failed field read for a file cut short, must not go on to other
    // values; the consumer raises this failure after the call instead.
    const Status& reader_failure() const { return reader_failure_; }
    // Whether an OS descriptor is behind the source (it has an identity).
    bool is_file() const { return fd_ >= 0; }
    int descriptor() const { return fd_; }
    // Where the file ends: found by reading, since some file systems (procfs,
    // sysfs, some network and FUSE ones) report 0 or a wrong size. Pipes and
    // devices, whose end cannot be known ahead, report INT64_MAX.
    int64_t size() const {
        if (!size_settled_) settle_size();
        return size_;
    }
    bool size_known() const { return size_known_; }
    // Pipes cannot seek: they are read once, in order, from the start.
    bool seekable() const { return seekable_; }
    // Whether the consumer asks the call to stop (ErrorCode::interrupted).
    Status poll() const;
    // The identity of the open file, as the system reports it now.
    Status identity(FileIdentity& out) const;

    // Reads up to `n` bytes at `offset`; `delivered` is short only at the end
    // of the file.
    Status read_at(int64_t offset, void* dst, size_t n, size_t& delivered) const {
        if (bytes_ && offset >= 0) return read_held(offset, dst, n, delivered);
        if (reader_) return read_reader(offset, dst, n, delivered);
        return read_at_os(offset, dst, n, delivered);
    }
    // One positioned scatter read; the vectors are filled in order, and
    // `delivered` is short only at the end of the file.
    Status read_vector_at(int64_t offset, const IoVec* iov, int count, size_t& delivered) const;

    // Reads a regular file of at most `limit` bytes whole, in one system
    // call that also finds its end, and serves every later read from that
    // copy. Anything else (a larger file, a pipe, a read that fails or does
    // not end where the file system says the file ends) is left to the
    // reads, which meet it as they would have.
    void hold_if_small(size_t limit);
    // The whole file as hold_if_small kept it, or the memory the source
    // reads (size() bytes), or nullptr.
    const unsigned char* held_bytes() const { return bytes_; }
    // Whether the OS accepts `position` as a file position (positions past
    // the end of the file are accepted only up to the file system's limit).
    Status check_position(int64_t position) const;

    void close();

private:
    // The size and kind of the file behind `fd_`: regular files their
    // length, other readable things (pipes, devices) unbounded; directories
    // refused.
    Status read_size();
    // Moves the end of a regular file to where reads stop delivering bytes,
    // when the file system's size is not that. Done on first use: a call
    // that reads only the first bytes never pays for it.
    void settle_size() const;
    // A system call cut short by a signal: stop, or retry.
    bool retry_after_signal() const { return !(interrupt_ && interrupt_->requested()); }
    // Waits until a pipe has bytes to read or its writer has gone, asking
    // `interrupt` now and then (POSIX only).
    Status wait_readable() const;
    void take(FileSource& other);
    Status read_at_os(int64_t offset, void* dst, size_t n, size_t& delivered) const;
    // The identity of the file behind the descriptor, as the system reports it.
    Status identity_os(FileIdentity& out) const;
    // One read at `offset` (retried only when a signal stops it before any
    // byte): short wherever the system stops.
    Status read_once(int64_t offset, void* dst, size_t n, size_t& got) const;
    Status read_held(int64_t offset, void* dst, size_t n, size_t& delivered) const;
    Status read_held_vector(int64_t offset, const IoVec* iov, int count, size_t& delivered) const;
    // A read from the consumer's ranges, checked against the object's size.
    Status read_reader(int64_t offset, void* dst, size_t n, size_t& delivered) const;
    // A vectored read of the consumer's ranges: one range for all vectors.
    Status read_reader_vector(int64_t offset, const IoVec* iov, int count, size_t& delivered) const;
    // Wraps `fd` (closed with this object when `owned`) once its kind and size
    // are known.
    static Status adopt(int fd, bool owned, Interrupt* interrupt, FileSource& out);

    int fd_ = -1;
    bool owned_ = false;
    mutable int64_t size_ = 0;
    mutable bool size_settled_ = true;
    bool size_known_ = true;
    bool seekable_ = true;
    Interrupt* interrupt_ = nullptr;
    // Where the next read of a pipe starts.
    mutable int64_t stream_position_ = 0;
    // The whole file, when hold_if_small kept it.
    std::unique_ptr<unsigned char[]> held_;
    // The bytes reads are served from: held_, or memory the source borrows.
    const unsigned char* bytes_ = nullptr;
    RangeReader* reader_ = nullptr;
    mutable Status reader_failure_;
};

}  // namespace vellkit
