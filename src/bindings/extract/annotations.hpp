// Annotation blocks in the binding: the core reads the tables on plain
// values; the binding replays with objects only a step the core stops at,
// and gives a replay a column's values as the list the module holds.
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
    // The list of the values.
    Ref list() const;

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
