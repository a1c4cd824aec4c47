// 3D data blocks: a header, a store table of runs and gaps, then records of
// `blockSize` data bytes and `infoSize` info bytes each.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/common/limits.hpp"
#include "core/format/field_readers.hpp"

namespace vellkit {

struct StoreTableRow {
    int32_t first;   // -1 marks a gap of `second` bytes
    int32_t second;  // last index of a run, inclusive
};

struct StoreTable {
    wide record_area = 0;  // absolute offset of the first record
    int32_t block_size = 0;
    int32_t info_size = 0;
    std::vector<StoreTableRow> rows;
};

// With `fit`, the reader stops early instead: nothing that does not lie
// wholly in the file is read, and `fit` says where it stopped.
struct StoreTableFit {
    bool header_cut = false;  // the 3D header is not all in the file: nothing read
    bool rows_cut = false;    // the rows it claims are not all in the file: none read
    int32_t entries = 0;      // rows the header claims
};
Status read_store_table(Cursor& cursor, wide offset_to_data, FieldReadObserver& observer, StoreTable& out,
                        StoreTableFit* fit = nullptr);

// Walks the records a store table names, in its order: `visit(first, last,
// at)` for each run of indices first..last (none when last < first), whose
// first record lies at `at`; a gap moves `at` on by its bytes. The walk
// stops at the first Status of `visit` that is not ok, and returns it.
template <class Visit>
Status walk_runs(const StoreTable& table, Visit visit) {
    const wide step = (wide)table.block_size + table.info_size;
    wide at = table.record_area;
    for (const StoreTableRow& row : table.rows) {
        if (row.first == -1) {
            at += row.second;
            continue;
        }
        VELLKIT_TRY(visit((int64_t)row.first, (int64_t)row.second, at));
        if (row.second >= row.first) at += ((wide)row.second - row.first + 1) * step;
    }
    return Status();
}

// Reads the header up to `infoSize` again, as a reader that needs only that.
int32_t read_info_size(Cursor& cursor, wide offset_to_data, FieldReadObserver& observer, Status& status);

// The records in the order the store table names them; a repeated index
// keeps its first position and takes the later offset.
struct RecordLayout {
    std::vector<int64_t> indices;
    std::vector<wide> offsets;
    std::unordered_map<int64_t, size_t> position_of;  // index -> position (see lay_out_records)

    size_t size() const { return offsets.size(); }
};

// Without `index_positions`, position_of may stay empty: a table whose runs
// each start past every index named before repeats none, and is laid out
// without the map (one node per record). With a `source`, its interrupt
// hook is asked every so many records.
Status lay_out_records(const StoreTable& table, int64_t file_size, int64_t offset_to_data, RecordLayout& out,
                       bool index_positions = true, const FileSource* source = nullptr);

}  // namespace vellkit
