// Annotation tables: rows of int32, float32 and text fields, one row per
// measured position, read into typed columns. The tables' parameter blocks
// say where the rows are and what the columns hold; a consumer resolves
// them into a RowPlan, and the core reads the rows.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/format/cursor.hpp"
#include "core/format/field_readers.hpp"

namespace vellkit {

enum class ColumnKind { int32, float32, text, unknown };

// The kind of a column from its type code (any number the code equals).
ColumnKind column_kind(double type_code);

// One column's values, held one of two ways:
// - eight bytes a cell: the value's bits (an int32, a float32, or an index
//   into the texts) and its kind, packed in one integer;
// - in place in the table's bytes (a shared copy of its rows), when the
//   column is the only one feeding it and holds numbers of one kind: no
//   decoding of cells nobody asks for.
class AnnotationCells {
public:
    enum class Kind : unsigned char { integer, real, text };

    size_t size() const { return in_table_ ? table_.count : cells_.size(); }
    void reserve(size_t more) { cells_.reserve(cells_.size() + more); }
    void append_integer(int32_t v) {
        settle();
        cells_.push_back(Cell::make((uint32_t)v, Kind::integer));
        ++integer_count_;
    }
    void append_real(float v) {
        settle();
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        cells_.push_back(Cell::make(bits, Kind::real));
    }
    void append_text(std::string bytes);
    // Takes `count` values of one kind (integer or real) from the bytes of a
    // table's rows: value r at `offset` + r * `stride`, little-endian.
    void take_table(std::shared_ptr<const std::vector<unsigned char>> bytes, size_t offset, size_t stride, size_t count,
                    Kind kind);

    bool all_integers() const { return in_table_ ? table_.kind == Kind::integer : integer_count_ == cells_.size(); }
    Kind kind_at(size_t row) const { return in_table_ ? table_.kind : cells_[row].kind(); }
    int32_t integer(size_t row) const { return in_table_ ? (int32_t)table_bits(row) : cells_[row].integer(); }
    float real(size_t row) const { return in_table_ ? as_float(table_bits(row)) : cells_[row].real(); }
    // The stored bytes of a text cell, before the first NUL.
    const std::string& text(size_t row) const { return texts_[cells_[row].text()]; }
    // Integer value of a row, when the row holds an integer. Inline: the
    // readers call these once or more per position.
    bool integer_at(long long row, int32_t& out) const {
        if (row < 0 || (size_t)row >= size() || kind_at((size_t)row) != Kind::integer) return false;
        out = integer((size_t)row);
        return true;
    }
    // Numeric value of a row (integer or real), when it holds a number.
    bool number_at(long long row, double& out) const {
        if (row < 0 || (size_t)row >= size()) return false;
        const Kind kind = kind_at((size_t)row);
        if (kind == Kind::text) return false;
        out = kind == Kind::integer ? (double)integer((size_t)row) : (double)real((size_t)row);
        return true;
    }

    // The numbers of rows [first, first + count) into `out` (ints widened);
    // false when a row is past the end or holds text.
    bool numbers(long long first, size_t count, double* out) const;
    // The same for a column's integers; false also when a row holds a float.
    bool integers(long long first, size_t count, int64_t* out) const;

    // For all-integer columns: the first row holding `value` (false when
    // none does) and how many rows hold it.
    bool first_row_of(int32_t value, long long& row) const;
    long long count_of(int32_t value) const;
    // The rows of numbers (int or real) equal to `value`: the first one, or
    // -1; and how many.
    long long first_number_row(double value) const;
    long long count_numbers(double value) const;

private:
    struct Occurrences {
        long long first;
        long long count;
    };
    const std::unordered_map<int32_t, Occurrences>& occurrences() const;
    static float as_float(uint32_t b) {
        float v;
        std::memcpy(&v, &b, sizeof v);
        return v;
    }
    uint32_t table_bits(size_t row) const {
        const unsigned char* p = table_.bytes->data() + table_.offset + row * table_.stride;
        return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
    }
    // Turns values held in the table's bytes into cells, before more come.
    void settle();

    struct Cell {
        uint64_t packed;
        static Cell make(uint32_t bits, Kind kind) { return Cell{bits | ((uint64_t)kind << 32)}; }
        Kind kind() const { return (Kind)(packed >> 32); }
        uint32_t bits() const { return (uint32_t)packed; }
        int32_t integer() const { return (int32_t)bits(); }
        float real() const { return as_float(bits()); }
        uint32_t text() const { return bits(); }
    };
    struct TableValues {
        std::shared_ptr<const std::vector<unsigned char>> bytes;
        size_t offset = 0;
        size_t stride = 0;
        size_t count = 0;
        Kind kind = Kind::integer;
    };
    std::vector<Cell> cells_;
    std::vector<std::string> texts_;
    size_t integer_count_ = 0;
    bool in_table_ = false;
    TableValues table_;
    mutable std::unordered_map<int32_t, Occurrences> occurrences_;
    mutable bool occurrences_built_ = false;
};

// Where a table's rows are and how to read them.
struct RowPlan {
    struct Column {
        ColumnKind kind;
        AnnotationCells* target;  // a column named twice feeds the one bound last
    };
    wide table_offset = 0;  // of the table's parameter block, for messages
    wide first_row = 0;
    int64_t step = 0;       // row length
    bool native_step = true;  // false: a row length that is not an integer
    long long rows = 0;
    std::vector<Column> columns;
    // Bytes a text field reads (a file's read(n): -1 reads to the end); not
    // known when the count is not an integer, which fails at the first text
    // field read.
    bool text_bytes_known = false;
    int64_t text_bytes = -1;
};

// Fails with rows_too_many when a table claims more rows than the file can
// hold: more rows than start within it (plus a few), or, for rows that do
// not advance, more fields than the file holds bytes for.
Status check_row_count(const RowPlan& plan, int64_t file_size);

// Reads the rows into their columns, row after row, each field as a file
// read would give it (short reads reported through `observer`). Fails with
// annotation_column_type (`value`: the column's index) at a column of
// unknown type and annotation_text_length at a text field whose count is
// not an integer, after the fields before it were read.
Status read_annotation_rows(Cursor& cursor, FieldReadObserver& observer, const RowPlan& plan);

// ---------------------------------------------------------------------------
// A whole annotation block read with its parameters as plain values, for
// consumers without Python objects. Where a parameter is missing, the
// reading stops naming it (the module raises KeyError for it there); where a
// value is not one a plain reading can use (a text or float where an integer
// goes), it stops as not plain.

struct AnnotationBlock {
    // Columns by name: a later table's column replaces an earlier one.
    std::vector<std::unique_ptr<AnnotationCells>> columns;
    std::vector<ColumnKind> kinds;  // the type of each of `columns`, as its table declares it
    std::unordered_map<std::string, size_t> names;  // stored bytes of the name
    std::vector<std::string> order;  // the names in the order first seen
    const AnnotationCells* find(const std::string& name) const {
        auto it = names.find(name);
        return it == names.end() ? nullptr : columns[it->second].get();
    }
};

struct AnnotationGap {
    enum class Kind { none, missing, not_plain } kind = Kind::none;
    std::string name;  // the parameter missing or not plain
};

class MemoryBudget;

// Reads the block at `offset`; rows are charged to `budget` as the module
// charges them (eight bytes a cell). Fails as read_annotation_rows fails.
Status read_annotation_block(Cursor& cursor, FieldReadObserver& observer, int64_t offset, MemoryBudget& budget,
                             AnnotationBlock& out, AnnotationGap& gap);

}  // namespace vellkit
