// What one getVellData call has found and built before it reads its data
// block: the request words, the located blocks, the open file, the merged
// parameters and the spectral axis.
#pragma once

#include "bindings/common/module_state.hpp"
#include "bindings/common/objects.hpp"
#include "bindings/format/field_reports.hpp"
#include "core/extract/locate.hpp"
#include "core/format/cursor.hpp"

namespace vellkit::py {

struct ExtractContext {
    ExtractContext(PyObject* module_, const FileSource& source_)
        : module(module_), st(state_of(module_)), source(source_), cursor(source_), reporter(st) {}

    PyObject* module;
    ModuleState* st;
    const FileSource& source;
    Cursor cursor;
    FieldReporter reporter;

    Ref data_block_type;  // upper-cased request words
    Ref dimensions;
    Ref deriv;
    bool is_trace = false;  // data block type "TRC"
    LocatedBlocks blocks;

    Ref parameters;
    Ref npt, fxv, lxv, mxy, mny;
    Ref abscissa;
    long long npt_value = 0;  // NPT as a count, once the axis accepted it
};

// Readers of each kind of data block; each returns the result object.
Ref read_single_spectrum(ExtractContext& ctx);
Ref read_3d_block(ExtractContext& ctx);

}  // namespace vellkit::py
