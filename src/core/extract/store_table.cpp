#include "core/extract/store_table.hpp"

#include "core/format/layout.hpp"

namespace vellkit {

Status read_store_table(Cursor& cursor, wide offset_to_data, FieldReadObserver& observer, StoreTable& out,
                        StoreTableFit* fit) {
    out = StoreTable();
    const int64_t header_bytes = layout::kStoreHeaderFields * 4;
    if (fit) {
        *fit = StoreTableFit();
        if (offset_to_data > (wide)cursor.file_size() - header_bytes) {
            fit->header_cut = true;
            return Status();
        }
    }
    VELLKIT_TRY(cursor.seek(offset_to_data));
    (void)read_int32(cursor, observer);  // version
    (void)read_int32(cursor, observer);  // stored blocks
    int32_t block_offset = read_int32(cursor, observer);
    out.block_size = read_int32(cursor, observer);
    out.info_size = read_int32(cursor, observer);
    int32_t entries = read_int32(cursor, observer);
    out.record_area = offset_to_data + block_offset;
    if (fit) {
        fit->entries = entries;
        fit->rows_cut = entries < 0 || offset_to_data + header_bytes + (wide)layout::kStoreRowBytes * entries >
                                           (wide)cursor.file_size();
        if (fit->rows_cut) return Status();
    }
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
    const wide step = (wide)table.block_size + table.info_size;
    // Asks the interrupt hook every so many records: a table may name millions.
    int64_t walked = 0;
    auto poll_now = [&]() { return source && ++walked % kInterruptPollEvery == 0 ? source->poll() : Status(); };
    if (!index_positions && ascending) {
        return walk_runs(table, [&](int64_t first, int64_t last, wide at) {
            for (int64_t n = first; n <= last; ++n, at += step) {
                VELLKIT_TRY(poll_now());
                out.indices.push_back(n);
                out.offsets.push_back(at);
            }
            return Status();
        });
    }
    out.position_of.reserve((size_t)named);
    return walk_runs(table, [&](int64_t first, int64_t last, wide at) {
        for (int64_t n = first; n <= last; ++n, at += step) {
            VELLKIT_TRY(poll_now());
            auto inserted = out.position_of.emplace(n, out.offsets.size());
            if (inserted.second) {
                out.indices.push_back(n);
                out.offsets.push_back(at);
            } else {
                out.offsets[inserted.first->second] = at;
            }
        }
        return Status();
    });
}

}  // namespace vellkit
