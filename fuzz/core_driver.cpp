// Reads each file named on the command line through the reading core alone
// and prints what it found: the directory, the named data blocks, every
// parameter block, the store tables and record layouts of 3D blocks, a
// checksum of the data bytes (read with vectored reads) and the image lists.
// The text is the same on every platform for the same files, so builds for
// different systems (a cross-build run under an emulator among them) are
// compared by comparing what they print.
//     core_driver FILE...
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#endif

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/extract/gather.hpp"
#include "core/extract/locate.hpp"
#include "core/extract/store_table.hpp"
#include "core/format/catalogue.hpp"
#include "core/format/directory.hpp"
#include "core/images/image_kind.hpp"
#include "core/images/image_list.hpp"
#include "core/parameter_blocks/parser.hpp"

namespace {

using namespace vellkit;

// Data bytes summed per block are capped so that a damaged size cannot make
// a run long.
constexpr int64_t kMaxDataBytes = 64 * 1024 * 1024;
constexpr size_t kPieceBytes = 4096;
constexpr size_t kMaxRecordsShown = 8;

struct CountingObserver final : FieldReadObserver {
    size_t reports = 0;
    void short_read(FieldKind, const unsigned char*, size_t) override { ++reports; }
};

std::string describe(const Status& s) {
    if (s.ok()) return "ok";
    char text[160];
    std::snprintf(text, sizeof text, "error code=%d value=%" PRId64 " offset=%" PRId64 " errno=%d bytes=%zu",
                  (int)s.code, s.value, s.offset, s.sys_errno, s.bytes.size());
    return text;
}

// FNV-1a, 64-bit: a checksum that needs no library and reads the same
// everywhere.
struct Checksum {
    uint64_t value = 14695981039346656037u;
    void add(const unsigned char* p, size_t n) {
        for (size_t i = 0; i < n; ++i) value = (value ^ p[i]) * 1099511628211u;
    }
};

// Text bytes as printable ASCII, others escaped, so output never depends on
// the console's encoding.
std::string escaped(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += (char)c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// A double by its bits: exact, and free of the C library's formatting.
uint64_t bits_of(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

void print_parameters(Cursor& cursor, const DirectoryEntry& entry, CountingObserver& observer) {
    std::vector<ParamRecord> records;
    Status st = parse_parameter_block(cursor, entry.byte_offset, observer, records);
    std::printf("  parameters at %" PRId64 ": %s, %zu records\n", entry.byte_offset, describe(st).c_str(),
                records.size());
    for (const ParamRecord& r : records) {
        switch (r.kind) {
        case ParamRecord::Kind::integer:
            std::printf("    %s int %" PRId32 "\n", escaped(r.name).c_str(), r.integer);
            break;
        case ParamRecord::Kind::real:
            std::printf("    %s real 0x%016" PRIx64 "\n", escaped(r.name).c_str(), bits_of(r.real));
            break;
        case ParamRecord::Kind::text:
            std::printf("    %s text \"%s\"\n", escaped(r.name).c_str(), escaped(r.text).c_str());
            break;
        }
    }
}

// Reads [start, start + length) in pieces of kPieceBytes, merged into
// vectored reads, and returns the checksum of what was read.
Status checksum_range(const FileSource& source, int64_t start, int64_t length, Checksum& sum) {
    std::vector<unsigned char> buffer((size_t)length);
    std::vector<ReadPiece> pieces;
    for (int64_t at = 0; at < length; at += (int64_t)kPieceBytes) {
        size_t n = length - at < (int64_t)kPieceBytes ? (size_t)(length - at) : kPieceBytes;
        pieces.push_back({start + at, n, buffer.data() + at});
    }
    VELLKIT_TRY(gather_read(source, pieces));
    sum.add(buffer.data(), buffer.size());
    return Status();
}

void print_data_block(Cursor& cursor, const DirectoryEntry& entry, CountingObserver& observer) {
    const FileSource& source = cursor.source();
    if (entry.fields.extend_type == extend_type::three_d) {
        StoreTable table;
        Status st = read_store_table(cursor, entry.byte_offset, observer, table);
        std::printf("  store table at %" PRId64 ": %s", entry.byte_offset, describe(st).c_str());
        if (!st.ok()) {
            std::printf("\n");
            return;
        }
        std::printf(", records at %" PRId64 ", block %" PRId32 ", info %" PRId32 ", %zu rows\n",
                    (int64_t)table.record_area, table.block_size, table.info_size, table.rows.size());
        RecordLayout layout;
        st = lay_out_records(table, source.size(), entry.byte_offset, layout);
        std::printf("  layout: %s, %zu records\n", describe(st).c_str(), layout.size());
        if (!st.ok()) return;
        // Each record's data bytes that lie in the file, read in one gather.
        std::vector<unsigned char> data;
        std::vector<ReadPiece> pieces;
        std::vector<size_t> starts;
        int64_t total = 0;
        for (size_t k = 0; k < layout.size(); ++k) {
            const wide at = layout.offsets[k];
            if (k < kMaxRecordsShown) {
                std::printf("    record %" PRId64 " at %" PRId64 "\n", layout.indices[k], (int64_t)at);
            }
            if (at < 0 || at >= source.size() || table.block_size <= 0) continue;
            wide length = (wide)table.block_size;
            if (at + length > source.size()) length = (wide)source.size() - at;
            if (total + (int64_t)length > kMaxDataBytes) break;
            starts.push_back((size_t)total);
            pieces.push_back({(int64_t)at, (size_t)length, nullptr});
            total += (int64_t)length;
        }
        data.resize((size_t)total);
        for (size_t k = 0; k < pieces.size(); ++k) pieces[k].destination = data.data() + starts[k];
        st = gather_read(source, pieces);
        Checksum sum;
        sum.add(data.data(), data.size());
        std::printf("  record data: %s, %" PRId64 " bytes, checksum %016" PRIx64 "\n", describe(st).c_str(), total,
                    sum.value);
        return;
    }
    int64_t start = entry.byte_offset, length = entry.size_in_words * 4;
    if (start < 0 || start >= source.size() || length <= 0) {
        std::printf("  data at %" PRId64 ": outside the file\n", start);
        return;
    }
    if (length > source.size() - start) length = source.size() - start;
    if (length > kMaxDataBytes) length = kMaxDataBytes;
    Checksum sum;
    Status st = checksum_range(source, start, length, sum);
    std::printf("  data at %" PRId64 ": %s, %" PRId64 " bytes, checksum %016" PRIx64 "\n", start, describe(st).c_str(),
                length, sum.value);
}

void print_images(Cursor& cursor, const std::vector<DirectoryEntry>& directory) {
    const DirectoryEntry* block = first_image_block(directory);
    if (!block) return;
    std::printf("image block at %" PRId64 ", ends at %" PRId64 "\n", block->byte_offset,
                (int64_t)image_block_end(*block));
    Status st = cursor.seek(block->byte_offset);
    bool found = false;
    int64_t list_offset = -1;
    if (st.ok()) st = find_image_list(cursor, found, list_offset);
    std::printf("  image list: %s, %s at %" PRId64 "\n", describe(st).c_str(), found ? "found" : "none",
                list_offset);
    // The kind of whatever image bytes follow the block's start.
    unsigned char head[32] = {};
    size_t got = 0;
    if (cursor.seek(block->byte_offset).ok() && cursor.read(head, sizeof head, got).ok()) {
        const char* kind = image_kind(head, got);
        std::printf("  first bytes: %zu, kind %s\n", got, kind ? kind : "none");
    }
}

void print_file(const char* path) {
    std::printf("file %s\n", path);
    FileSource source;
    Status st = FileSource::open_path(path, source);
    if (!st.ok()) {
        std::printf("  open: %s\n", describe(st).c_str());
        return;
    }
    std::printf("size %" PRId64 "\n", source.size());
    Cursor cursor(source);
    CountingObserver observer;
    std::vector<DirectoryEntry> directory;
    st = read_directory(cursor, observer, directory);
    std::printf("directory: %s, %zu entries\n", describe(st).c_str(), directory.size());
    for (size_t i = 0; i < directory.size(); ++i) {
        const DirectoryEntry& e = directory[i];
        const BlockFields& f = e.fields;
        std::printf("  entry %zu: complex %d sample %d param %d data %d deriv %d extend %d, %" PRId64
                    " words at %" PRId64 "\n",
                    i, f.complex_type, f.sample_type, f.param_type, f.data_type, f.deriv_type, f.extend_type,
                    e.size_in_words, e.byte_offset);
    }
    if (!st.ok()) return;
    for (const ListedBlock& b : list_contents(directory)) {
        std::printf("contents: %s %s deriv %d\n", kBlockNames[b.name_index].name, b.three_d ? "3D" : "2D",
                    b.deriv_type);
        BlockRequest request{kBlockNames[b.name_index].data_type, kBlockNames[b.name_index].sample_type, b.deriv_type,
                             b.three_d ? extend_type::three_d : extend_type::two_d};
        LocatedBlocks found = locate_blocks(directory, request);
        std::printf("  located: data %" PRId64 " params %" PRId64 " acquisition %" PRId64 " instrument %" PRId64
                    " sample %" PRId64 " transform %" PRId64 " annotation %" PRId64 "\n",
                    found.data, found.params, found.acquisition, found.instrument, found.sample,
                    found.fourier_transform, found.annotation);
    }
    for (size_t i = 0; i < directory.size(); ++i) {
        const DirectoryEntry& e = directory[i];
        std::printf("block %zu\n", i);
        if (e.fields.param_type != param_type::data) {
            print_parameters(cursor, e, observer);
        } else if (e.fields.data_type != 0 && e.fields.extend_type != extend_type::directory_64) {
            print_data_block(cursor, e, observer);
        }
    }
    print_images(cursor, directory);
    // Seeks past the end are the OS's to accept; below zero and beyond any
    // offset are refused by the core itself.
    std::printf("seek past the end: %s\n", describe(cursor.seek((wide)source.size() + 4096)).c_str());
    std::printf("seek below zero: %s\n", describe(cursor.seek(-1)).c_str());
    std::printf("seek beyond offsets: %s\n", describe(cursor.seek(kOffsetMax + 1)).c_str());
    std::printf("short field reads: %zu\n", observer.reports);
}

// The arguments as UTF-8, the core's encoding of paths. On Windows the
// narrow argv is in the ANSI code page, so they come from the wide command
// line instead, and output is switched to binary so lines end as elsewhere.
std::vector<std::string> utf8_arguments(int argc, char** argv) {
    std::vector<std::string> out;
#if defined(_WIN32)
    (void)argc;
    (void)argv;
    _setmode(_fileno(stdout), _O_BINARY);
    int count = 0;
    LPWSTR* wide_args = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wide_args && i < count; ++i) {
        int n = WideCharToMultiByte(CP_UTF8, 0, wide_args[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(n > 0 ? (size_t)n : 1, '\0');
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide_args[i], -1, &arg[0], n, nullptr, nullptr);
        arg.resize(arg.size() - 1);
        out.push_back(arg);
    }
    if (wide_args) LocalFree(wide_args);
#else
    for (int i = 1; i < argc; ++i) out.push_back(argv[i]);
#endif
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> paths = utf8_arguments(argc, argv);
    if (paths.empty()) {
        std::fprintf(stderr, "usage: core_driver FILE...\n");
        return 2;
    }
    for (const std::string& path : paths) print_file(path.c_str());
    return 0;
}
