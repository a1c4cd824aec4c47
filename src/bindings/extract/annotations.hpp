// Annotation blocks: small tables with one row per measured position, read
// into typed columns. Values become Python objects only where a reader needs
// one; the operations readers use (first index, count, set of values) give
// what the same operations on lists of those objects would give.
#pragma once

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "bindings/extract/context.hpp"

namespace vellkit::py {

class AnnotationColumn {
public:
    enum class Kind : unsigned char { integer, real, text };

    size_t size() const { return cells_.size(); }
    void reserve(size_t more) { cells_.reserve(cells_.size() + more); }
    void append_integer(int32_t v) {
        cells_.push_back(Cell::make((uint32_t)v, Kind::integer));
        ++integer_count_;
    }
    void append_real(float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        cells_.push_back(Cell::make(bits, Kind::real));
    }
    void append_text(std::string bytes);

    bool all_integers() const { return integer_count_ == cells_.size(); }
    // The value of a row as a list would hold it (IndexError past the end).
    Ref item(long long row) const;
    // Integer value of a row, when the row holds an integer.
    bool integer_at(long long row, int32_t& out) const;
    // Numeric value of a row (integer or real), when it holds a number.
    bool number_at(long long row, double& out) const;
    // list.index(value) for an int, with list.index's ValueError.
    long long index_of(long long value) const;
    // list.count(value) where `value` is one of this column's own values.
    long long count_of(PyObject* value, long long row_of_value) const;
    // The values in row order, as PySet_New(list) would take them in.
    Ref as_set() const;

private:
    // First row and number of rows of each value of an all-integer column.
    struct Occurrences {
        long long first;
        long long count;
    };
    const std::unordered_map<int32_t, Occurrences>& occurrences() const;

    // Eight bytes a cell, packed in one integer (built in a register, not
    // pieced together in memory): the value's bits (an int32, a float32, or
    // an index into texts_) and, above them, its kind.
    struct Cell {
        uint64_t packed;
        static Cell make(uint32_t bits, Kind kind) { return Cell{bits | ((uint64_t)kind << 32)}; }
        Kind kind() const { return (Kind)(packed >> 32); }
        uint32_t bits() const { return (uint32_t)packed; }
        int32_t integer() const { return (int32_t)bits(); }
        float real() const {
            uint32_t b = bits();
            float v;
            std::memcpy(&v, &b, sizeof v);
            return v;
        }
        uint32_t text() const { return bits(); }
    };
    std::vector<Cell> cells_;
    std::vector<std::string> texts_;
    size_t integer_count_ = 0;
    mutable std::unordered_map<int32_t, Occurrences> occurrences_;
    mutable bool occurrences_built_ = false;
};

class AnnotationTable {
public:
    // The column bound to `name` (KeyError when there is none).
    const AnnotationColumn& column(const char* name) const;

    Ref names;  // column name -> index into columns (the binding now in force)
    std::vector<AnnotationColumn> columns;
};

// Every table of the block at `offset`; a later table's column replaces an
// earlier one of the same name.
AnnotationTable read_annotation_table(ExtractContext& ctx, PyObject* offset);

}  // namespace vellkit::py
