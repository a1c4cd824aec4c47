#include "core/extract/store_table.hpp"

#include "core/format/layout.hpp"

namespace vellkit {

Status read_store_table(Cursor& cursor, wide offset_to_data, FieldReadObserver& observer, StoreTable& out) {
    out = StoreTable();
    VELLKIT_TRY(cursor.seek(offset_to_data));
    (void)read_int32(cursor, observer);  // version
    (void)read_int32(cursor, observer);  // stored blocks
    int32_t block_offset = read_int32(cursor, observer);
    out.block_size = read_int32(cursor, observer);
    out.info_size = read_int32(cursor, observer);
    int32_t entries = read_int32(cursor, observer);
    out.record_area = offset_to_data + block_offset;
    if (entries <= 0) return Status();

    const int64_t row_bytes = layout::kStoreRowBytes;
    int64_t rows_in_file = cursor.remaining() / row_bytes + (cursor.remaining() % row_bytes ? 1 : 0);
    if ((int64_t)entries > rows_in_file + kStoreRowsPastEndRead) {
        int64_t at = fits_offset(offset_to_data) ? (int64_t)offset_to_data : 0;
        return Status::error(ErrorCode::store_table_too_large, entries, at);
    }
    out.rows.reserve((size_t)entries);
    for (int32_t i = 0; i < entries; ++i) {
        if (i % kInterruptPollEvery == kInterruptPollEvery - 1) VELLKIT_TRY(cursor.source().poll());
        StoreTableRow row;
        row.first = read_int32(cursor, observer);
        row.second = read_int32(cursor, observer);
        out.rows.push_back(row);
    }
    return Status();
}

int32_t read_info_size(Cursor& cursor, wide offset_to_data, FieldReadObserver& observer, Status& status) {
    status = cursor.seek(offset_to_data);
    if (!status.ok()) return 0;
    for (int i = 0; i < layout::kInfoSizeField; ++i) (void)read_int32(cursor, observer);
    return read_int32(cursor, observer);
}

Status lay_out_records(const StoreTable& table, int64_t file_size, int64_t offset_to_data, RecordLayout& out,
                       bool index_positions, const FileSource* source) {
    out = RecordLayout();
    // Saturating: a device or pipe reports no size, and the sum must not wrap.
    const int64_t limit = file_size > INT64_MAX - kRecordSlack ? INT64_MAX : file_size + kRecordSlack;
    int64_t named = 0;
    bool ascending = true;  // every run starts past all indices before it
    int64_t highest = 0;
    for (const StoreTableRow& row : table.rows) {
        if (row.first == -1 || row.second < row.first) continue;
        if (named && row.first <= highest) ascending = false;
        highest = named && highest > row.second ? highest : row.second;
        named += (int64_t)row.second - row.first + 1;
        if (named > limit) return Status::error(ErrorCode::records_too_many, named, offset_to_data);
    }
    out.indices.reserve((size_t)named);
    out.offsets.reserve((size_t)named);
    int64_t walked = 0;
    if (!index_positions && ascending) {
        const wide step = (wide)table.block_size + table.info_size;
        wide at = table.record_area;
        for (const StoreTableRow& row : table.rows) {
            if (row.first == -1) {
                at += row.second;
                continue;
            }
            for (int64_t n = row.first; n <= row.second; ++n) {
                if (source && ++walked % kInterruptPollEvery == 0) VELLKIT_TRY(source->poll());
                out.indices.push_back(n);
                out.offsets.push_back(at);
                at += step;
            }
        }
        return Status();
    }
    out.position_of.reserve((size_t)named);

    const wide total_block_size = (wide)table.block_size + table.info_size;
    wide offset = table.record_area;
    for (const StoreTableRow& row : table.rows) {
        if (row.first == -1) {
            offset += row.second;
            continue;
        }
        for (int64_t n = row.first; n <= row.second; ++n) {
            if (source && ++walked % kInterruptPollEvery == 0) VELLKIT_TRY(source->poll());
            auto inserted = out.position_of.emplace(n, out.offsets.size());
            if (inserted.second) {
                out.indices.push_back(n);
                out.offsets.push_back(offset);
            } else {
                out.offsets[inserted.first->second] = offset;
            }
            offset += total_block_size;
        }
    }
    return Status();
}

}  // namespace vellkit
