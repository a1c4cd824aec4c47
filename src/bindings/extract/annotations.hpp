// Annotation blocks in the binding: the core reads the tables on plain
// values; the binding replays with objects only a step the core stops at,
// and gives a column the operations readers use on one (first index, count,
// set of values) with what the same operations on lists of the values give.
#pragma once

#include "bindings/extract/context.hpp"
#include "core/extract/annotations.hpp"

namespace vellkit::py {

// A column of a table as a list of its values.
class AnnotationColumn {
public:
    explicit AnnotationColumn(const AnnotationCells& cells) : cells_(cells) {}
    // The value of a row as a list would hold it (IndexError past the end).
    Ref item(long long row) const;
    // list.index(value) for an int, with list.index's ValueError.
    long long index_of(long long value) const;
    // list.count(value) where `value` is one of this column's own values.
    long long count_of(PyObject* value, long long row_of_value) const;
    // The values in row order, as PySet_New(list) would take them in.
    Ref as_set() const;
    bool integer_at(long long row, int32_t& out) const { return cells_.integer_at(row, out); }
    bool number_at(long long row, double& out) const { return cells_.number_at(row, out); }

private:
    using Kind = AnnotationCells::Kind;
    const AnnotationCells& cells_;
};

struct AnnotationTable {
    AnnotationBlock block;
    // The column bound to `name` (KeyError when there is none).
    AnnotationColumn column(const char* name) const;
    // The column bound to `name`, or nullptr when there is none.
    const AnnotationCells* find(const char* name) const { return block.find(name); }
};

// Every table of the block at `offset`; a later table's column replaces an
// earlier one of the same name.
AnnotationTable read_annotation_table(ExtractContext& ctx, wide offset);

}  // namespace vellkit::py
