// FileSource on Windows: paths are UTF-8, opened through the wide-character
// API in binary mode; reads are ReadFile calls at an explicit 64-bit offset
// (a vectored read is one such call per vector).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <climits>
#include <utility>
#include <vector>

#include "core/platform/file.hpp"

namespace vellkit {

namespace {

constexpr DWORD kMaxReadChunk = (DWORD)1 << 30;

// The errno value the C runtime would give for a failed read.
int errno_from_windows(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_LOCK_VIOLATION:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NEGATIVE_SEEK:
        return EINVAL;
    default:
        return EIO;
    }
}

// UTF-8 to UTF-16; false for bytes that are not UTF-8.
bool widen(const char* path, std::vector<wchar_t>& out) {
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (length <= 0) return false;
    out.resize((size_t)length);
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, out.data(), length) == length;
}

}  // namespace

void FileSource::close() {
    if (fd_ >= 0 && owned_) ::_close(fd_);
    fd_ = -1;
    owned_ = false;
}

Status FileSource::identity_os(FileIdentity& out) const {
    HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd_));
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(handle, &info))
        return Status::from_errno(errno_from_windows(::GetLastError()));
    // As os.stat reports them: the volume serial number, the file index,
    // and the last write time from 100 ns ticks since 1601 to ns since 1970.
    out.device = info.dwVolumeSerialNumber;
    out.inode = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
#if defined(_WIN32_WINNT) && _WIN32_WINNT >= 0x0602
    // Python 3.12 and later report the volume serial number of FILE_ID_INFO,
    // 64 bits wide (the file index is the same where it fits 64 bits).
    FILE_ID_INFO id_info;
    if (::GetFileInformationByHandleEx(handle, FileIdInfo, &id_info, sizeof id_info))
        out.device_alias = id_info.VolumeSerialNumber;
#endif
    out.size = (int64_t)(((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow);
    const int64_t ticks = (int64_t)(((uint64_t)info.ftLastWriteTime.dwHighDateTime << 32) |
                                    info.ftLastWriteTime.dwLowDateTime);
    constexpr int64_t kTicksFrom1601To1970 = 116444736000000000LL;
    out.mtime_ns = (ticks - kTicksFrom1601To1970) * 100;
    return Status();
}

Status FileSource::read_size() {
    struct _stat64 st;
    if (::_fstat64(fd_, &st) != 0) return Status::from_errno(errno);
    if ((st.st_mode & _S_IFMT) == _S_IFDIR) return Status::from_errno(EISDIR);
    HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd_));
    seekable_ = handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) == FILE_TYPE_DISK;
    if ((st.st_mode & _S_IFMT) == _S_IFREG && seekable_) {
        size_ = static_cast<int64_t>(st.st_size);
        size_settled_ = false;
        return Status();
    }
    size_ = INT64_MAX;
    size_known_ = false;
    return Status();
}

Status FileSource::open_path(const char* path, FileSource& out, Interrupt* interrupt) {
    std::vector<wchar_t> wide_path;
    if (!widen(path, wide_path)) return Status::from_errno(EINVAL);
    int fd = -1;
    errno_t err = ::_wsopen_s(&fd, wide_path.data(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0);
    if (err != 0 || fd < 0) return Status::from_errno(err ? err : EINVAL);
    return adopt(fd, true, interrupt, out);
}

Status FileSource::read_once(int64_t offset, void* dst, size_t n, size_t& got) const {
    return read_at_os(offset, dst, n, got);
}

Status FileSource::read_at_os(int64_t offset, void* dst, size_t n, size_t& delivered) const {
    delivered = 0;
    // A pipe is read in order only; the readers never go back on one.
    if (!seekable_ && offset != stream_position_) return Status::error(ErrorCode::not_seekable);
    HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd_));
    if (handle == INVALID_HANDLE_VALUE) return Status::from_errno(EBADF);
    auto* out = static_cast<unsigned char*>(dst);
    while (delivered < n) {
        DWORD want = n - delivered > kMaxReadChunk ? kMaxReadChunk : (DWORD)(n - delivered);
        const uint64_t at = (uint64_t)offset + delivered;
        OVERLAPPED where = {};
        where.Offset = (DWORD)(at & 0xffffffffu);
        where.OffsetHigh = (DWORD)(at >> 32);
        DWORD got = 0;
        if (!::ReadFile(handle, out + delivered, want, &got, seekable_ ? &where : nullptr)) {
            DWORD error = ::GetLastError();
            if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) break;
            return Status::from_errno(errno_from_windows(error));
        }
        if (got == 0) break;
        delivered += got;
        if (!seekable_) stream_position_ += got;
    }
    return Status();
}

Status FileSource::read_vector_at(int64_t offset, const IoVec* iov, int count, size_t& delivered) const {
    delivered = 0;
    if (reader_) return read_reader_vector(offset, iov, count, delivered);
    for (int i = 0; i < count; ++i) {
        size_t got = 0;
        VELLKIT_TRY(read_at(offset + (int64_t)delivered, iov[i].iov_base, iov[i].iov_len, got));
        delivered += got;
        if (got < iov[i].iov_len) break;
    }
    return Status();
}

Status FileSource::check_position(int64_t position) const {
    if (!seekable_) return Status::error(ErrorCode::not_seekable);
    if (position <= size() || fd_ < 0) return Status();  // memory and ranges read nothing there
    int64_t saved = ::_lseeki64(fd_, 0, SEEK_CUR);
    int64_t r = ::_lseeki64(fd_, position, SEEK_SET);
    int err = errno;
    if (saved >= 0) ::_lseeki64(fd_, saved, SEEK_SET);
    if (r < 0) return Status::from_errno(err);
    return Status();
}

}  // namespace vellkit
