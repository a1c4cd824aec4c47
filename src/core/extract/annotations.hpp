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
#include "core/parameter_blocks/parser.hpp"

namespace vellkit {

// A column's type as its table declares it (any code but the three: unknown).
enum class ColumnKind { int32, float32, text, unknown };

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
    void take_table(std::shared_ptr<const unsigned char[]> bytes, size_t offset, size_t stride, size_t count,
                    Kind kind);

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
    // The same for rows that all hold integers (widened); false when one
    // does not.
    bool integers(long long first, size_t count, int64_t* out) const;

private:
    static float as_float(uint32_t b) {
        float v;
        std::memcpy(&v, &b, sizeof v);
        return v;
    }
    uint32_t table_bits(size_t row) const {
        const unsigned char* p = table_.bytes.get() + table_.offset + row * table_.stride;
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
        std::shared_ptr<const unsigned char[]> bytes;
        size_t offset = 0;
        size_t stride = 0;
        size_t count = 0;
        Kind kind = Kind::integer;
    };
    std::vector<Cell> cells_;
    std::vector<std::string> texts_;
    bool in_table_ = false;
    TableValues table_;
};

// ---------------------------------------------------------------------------
// A whole annotation block read with its parameters as plain values, step
// by step in the module's order. Where a parameter is missing, the reading
// stops naming it (the module raises KeyError for it there); where a value
// is not one plain arithmetic can use (a text or float where an integer
// goes), it stops at that step with the values it holds, for a consumer
// with objects to replay that step alone. A row length or text position
// that is a float reads on as far as the module's arithmetic with it goes.

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
    // The step that stopped (not_plain), as the module computes it: count:
    // range(value); offset: `at` + value, sought; room: other (the row
    // length) - value (a text column's position); row_position: `at` + 0 x
    // value (the row length), sought; text_length: read(value), the greatest
    // room, a float; column_type: value, a column's unknown type code.
    enum class Step { count, offset, room, row_position, text_length, column_type } step = Step::count;
    std::string name;  // the parameter missing or not plain
    ParamRecord value;
    ParamRecord other;
    int64_t at = 0;
};

class MemoryBudget;

// Reads the block at `offset`; rows are charged to `budget` as the module
// charges them (eight bytes a cell). Fails as read_annotation_rows fails.
Status read_annotation_block(Cursor& cursor, FieldReadObserver& observer, int64_t offset, MemoryBudget& budget,
                             AnnotationBlock& out, AnnotationGap& gap);

}  // namespace vellkit
