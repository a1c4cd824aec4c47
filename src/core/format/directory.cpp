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

Status read_directory(Cursor& cursor, FieldReadObserver& observer, std::vector<DirectoryEntry>& out,
                      DirectoryFrame* frame) {
    out.clear();
    const int64_t size = cursor.file_size();
    if (frame) {
        *frame = DirectoryFrame();
        if (size < layout::kHeaderBytes) {
            frame->header_cut = true;
            return Status();
        }
    }
    VELLKIT_TRY(cursor.seek(layout::kHeaderFieldsAt));
    (void)read_float64(cursor, observer);  // version number, not used
    int32_t offset_to_directory = read_int32(cursor, observer);
    (void)read_int32(cursor, observer);    // capacity of the directory, not used
    int32_t dir_size = read_int32(cursor, observer);

    // Stopping early, the entries wholly in the file.
    int64_t whole = dir_size;
    if (frame) {
        frame->offset = offset_to_directory;
        frame->claimed = dir_size;
        frame->end = (wide)offset_to_directory + (wide)layout::kDirectoryEntryBytes * dir_size;
        if (dir_size <= 0 || offset_to_directory < 0) return Status();
        whole = offset_to_directory >= size ? 0 : (size - offset_to_directory) / layout::kDirectoryEntryBytes;
        if (whole > dir_size) whole = dir_size;
    }

    VELLKIT_TRY(cursor.seek(offset_to_directory));
    PastEndBudget budget{cursor};
    int64_t sixfour_offset = 0;
    bool has_sixfour = false;
    int64_t entries_in_file = cursor.remaining() / layout::kDirectoryEntryBytes;
    if (dir_size > 0) out.reserve((size_t)std::min<int64_t>(dir_size, entries_in_file + 1));
    for (int64_t i = 0; i < whole && (frame || budget.allow()); ++i) {
        int32_t code = read_int32(cursor, observer);
        int32_t size_in_words = read_int32(cursor, observer);
        int32_t byte_offset = read_int32(cursor, observer);
        DirectoryEntry e;
        e.code = code;
        e.fields = decode_block_type(code);
        e.size_in_words = size_in_words;
        e.byte_offset = byte_offset;
        out.push_back(e);
        if (e.fields.extend_type == extend_type::directory_64) {
            sixfour_offset = byte_offset;
            has_sixfour = true;
        }
    }

    if (frame) frame->main_entries = out.size();

    if (has_sixfour && sixfour_offset != 0) {
        if (frame) {
            frame->extension_at = sixfour_offset;
            if (sixfour_offset < 0 || sixfour_offset > size - layout::kExtensionHeaderBytes) {
                frame->extension_outside = true;
                return Status();
            }
        }
        VELLKIT_TRY(cursor.seek(sixfour_offset));
        int64_t count = read_int64(cursor, observer);
        (void)read_int64(cursor, observer);
        if (frame) {
            frame->extension_claimed = count;
            frame->extension_end = (wide)sixfour_offset + layout::kExtensionHeaderBytes +
                                   (wide)layout::kDirectory64EntryBytes * (count > 0 ? count : 0);
            const int64_t room =
                (size - sixfour_offset - layout::kExtensionHeaderBytes) / layout::kDirectory64EntryBytes;
            count = count < 0 ? 0 : count > room ? room : count;
        }
        PastEndBudget extension_budget{cursor};
        for (int64_t i = 0; i < count && (frame || extension_budget.allow()); ++i) {
            int64_t code = read_int64(cursor, observer);
            int64_t size_in_words = read_int64(cursor, observer);
            int64_t byte_offset = read_int64(cursor, observer);
            (void)read_int64(cursor, observer);
            DirectoryEntry e;
            e.code = code;
            e.fields = decode_block_type(code);
            e.size_in_words = size_in_words;
            e.byte_offset = byte_offset;
            out.push_back(e);
        }
    }
    return Status();
}

}  // namespace vellkit
