#include "core/format/directory.hpp"

#include "core/format/layout.hpp"

namespace vellkit {

namespace {

// Counts the entries that start at or beyond the end of the file.
struct PastEndBudget {
    const Cursor& cursor;
    int used = 0;
    // True when the next entry may still be read.
    bool allow() {
        if (cursor.position() < cursor.file_size()) return true;
        return used++ < kEntriesPastEndRead;
    }
};

}  // namespace

Status read_directory(Cursor& cursor, FieldReadObserver& observer, std::vector<DirectoryEntry>& out) {
    out.clear();
    VELLKIT_TRY(cursor.seek(layout::kHeaderFieldsAt));
    (void)read_float64(cursor, observer);  // version number, not used
    int32_t offset_to_directory = read_int32(cursor, observer);
    (void)read_int32(cursor, observer);    // capacity of the directory, not used
    int32_t dir_size = read_int32(cursor, observer);

    VELLKIT_TRY(cursor.seek(offset_to_directory));
    PastEndBudget budget{cursor};
    int64_t sixfour_offset = 0;
    bool has_sixfour = false;
    int64_t entries_in_file = cursor.remaining() / layout::kDirectoryEntryBytes;
    if (dir_size > 0) out.reserve((size_t)std::min<int64_t>(dir_size, entries_in_file + 1));
    for (int32_t i = 0; i < dir_size && budget.allow(); ++i) {
        int32_t code = read_int32(cursor, observer);
        int32_t size_in_words = read_int32(cursor, observer);
        int32_t byte_offset = read_int32(cursor, observer);
        DirectoryEntry e;
        e.fields = decode_block_type(code);
        e.size_in_words = size_in_words;
        e.byte_offset = byte_offset;
        out.push_back(e);
        if (e.fields.extend_type == extend_type::directory_64) {
            sixfour_offset = byte_offset;
            has_sixfour = true;
        }
    }

    if (has_sixfour && sixfour_offset != 0) {
        VELLKIT_TRY(cursor.seek(sixfour_offset));
        int64_t count = read_int64(cursor, observer);
        (void)read_int64(cursor, observer);
        PastEndBudget extension_budget{cursor};
        for (int64_t i = 0; i < count && extension_budget.allow(); ++i) {
            int64_t code = read_int64(cursor, observer);
            int64_t size_in_words = read_int64(cursor, observer);
            int64_t byte_offset = read_int64(cursor, observer);
            (void)read_int64(cursor, observer);
            DirectoryEntry e;
            e.fields = decode_block_type(code);
            e.size_in_words = size_in_words;
            e.byte_offset = byte_offset;
            out.push_back(e);
        }
    }
    return Status();
}

}  // namespace vellkit
