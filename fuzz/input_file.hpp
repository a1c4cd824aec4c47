// The fuzz input as a file the core can read: in memory on Linux, a
// temporary file elsewhere.
#pragma once

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#elif defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace fuzzing {

class InputFile {
public:
    InputFile(const uint8_t* data, size_t size) {
#if defined(__linux__)
        fd_ = memfd_create("vell", 0);
        if (fd_ >= 0 && size && write(fd_, data, size) != (ssize_t)size) release();
#else
        file_ = std::tmpfile();
        if (!file_) return;
        if ((size && std::fwrite(data, 1, size, file_) != size) || std::fflush(file_) != 0) return;
#if defined(_WIN32)
        fd_ = _fileno(file_);
#else
        fd_ = fileno(file_);
#endif
#endif
    }
    ~InputFile() { release(); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    int descriptor() const { return fd_; }

private:
    void release() {
#if defined(__linux__)
        if (fd_ >= 0) close(fd_);
#else
        if (file_) std::fclose(file_);
        file_ = nullptr;
#endif
        fd_ = -1;
    }
    int fd_ = -1;
#if !defined(__linux__)
    std::FILE* file_ = nullptr;
#endif
};

}  // namespace fuzzing
