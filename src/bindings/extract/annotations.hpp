// Annotation blocks in the binding: the tables' parameter blocks resolved
// with Python's semantics for their values, the rows read by the core, and
// the operations readers use on a column (first index, count, set of
// values) giving what the same operations on lists of the values give.
#pragma once

#include <vector>

#include "bindings/extract/context.hpp"
#include "core/extract/annotations.hpp"

namespace vellkit::py {

class AnnotationColumn : public AnnotationCells {
public:
    // The value of a row as a list would hold it (IndexError past the end).
    Ref item(long long row) const;
    // list.index(value) for an int, with list.index's ValueError.
    long long index_of(long long value) const;
    // list.count(value) where `value` is one of this column's own values.
    long long count_of(PyObject* value, long long row_of_value) const;
    // The values in row order, as PySet_New(list) would take them in.
    Ref as_set() const;
};

class AnnotationTable {
public:
    // The column bound to `name` (KeyError when there is none).
    const AnnotationColumn& column(const char* name) const;
    // The column bound to `name`, or nullptr when there is none.
    const AnnotationColumn* find(const char* name) const;

    Ref names;  // column name -> index into columns (the binding now in force)
    // Stable addresses: the core fills columns while others are added.
    std::vector<std::unique_ptr<AnnotationColumn>> columns;
};

// Every table of the block at `offset`; a later table's column replaces an
// earlier one of the same name.
AnnotationTable read_annotation_table(ExtractContext& ctx, PyObject* offset);

}  // namespace vellkit::py
