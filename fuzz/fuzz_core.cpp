// Fuzz target for the reading core: any bytes, read as a VELL file, must give
// results or errors, never a crash, an out-of-bounds access or a hang.
// Built with libFuzzer under clang, or with the standalone driver below.
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
#include <vector>

#include "core/extract/gather.hpp"
#include "core/extract/locate.hpp"
#include "core/extract/store_table.hpp"
#include "core/format/catalogue.hpp"
#include "core/format/directory.hpp"
#include "core/parameter_blocks/parser.hpp"

namespace {

struct QuietObserver final : vellkit::FieldReadObserver {
    size_t reports = 0;
    void short_read(vellkit::FieldKind, const unsigned char*, size_t) override { ++reports; }
};

// The input as a file: in memory on Linux, a temporary file elsewhere.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputFile input(data, size);
    if (input.descriptor() < 0) return 0;
    vellkit::FileSource source;
    if (!vellkit::FileSource::borrow_descriptor(input.descriptor(), source).ok()) return 0;
    QuietObserver observer;
    vellkit::Cursor cursor(source);
    std::vector<vellkit::DirectoryEntry> directory;
    if (vellkit::read_directory(cursor, observer, directory).ok()) {
        (void)vellkit::list_contents(directory);
        for (int name = 0; name < vellkit::kBlockNameCount; ++name) {
            for (int extend : {0, 10}) {
                vellkit::BlockRequest request{vellkit::kBlockNames[name].data_type, vellkit::kBlockNames[name].sample_type,
                                              0, extend};
                (void)vellkit::locate_blocks(directory, request);
            }
        }
        size_t visited = 0;
        for (const vellkit::DirectoryEntry& entry : directory) {
            if (++visited > 64) break;
            std::vector<vellkit::ParamRecord> params;
            (void)vellkit::parse_parameter_block(cursor, entry.byte_offset, observer, params);
            vellkit::StoreTable table;
            if (!vellkit::read_store_table(cursor, entry.byte_offset, observer, table).ok()) continue;
            vellkit::RecordLayout layout;
            if (!vellkit::lay_out_records(table, source.size(), entry.byte_offset, layout).ok()) continue;
            std::vector<float> values(16 * 4);
            std::vector<vellkit::ReadPiece> pieces;
            for (size_t k = 0; k < layout.size() && k < 16; ++k) {
                vellkit::wide at = layout.offsets[k];
                if (at < 0 || at + 16 > source.size()) continue;
                pieces.push_back({(int64_t)at, 16, &values[k * 4]});
            }
            (void)vellkit::gather_read(source, pieces);
        }
    }
    return 0;
}
