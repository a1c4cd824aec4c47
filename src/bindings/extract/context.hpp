// What one getVellData call has found and built before it reads its data
// block: the request words, the located blocks, the open file, the merged
// parameters and the spectral axis; and what the call may still spend.
#pragma once

#include "pyglue/gil.hpp"
#include "bindings/common/module_state.hpp"
#include "bindings/common/objects.hpp"
#include "bindings/format/field_reports.hpp"
#include "core/common/limits.hpp"
#include "core/extract/locate.hpp"
#include "core/format/cursor.hpp"
#include "core/plans/block_plan.hpp"

namespace vellkit::py {

struct ExtractContext {
    ExtractContext(PyObject* module_, const FileSource& source_, CallInterrupt& interrupt_)
        : module(module_), st(state_of(module_)), source(source_), cursor(source_), reporter(st, &interrupt_), interrupt(interrupt_) {}

    PyObject* module;
    ModuleState* st;
    const FileSource& source;
    Cursor cursor;
    FieldReporter reporter;
    CallInterrupt& interrupt;
    MemoryBudget budget;

    Ref data_block_type;  // upper-cased request words
    Ref dimensions;
    Ref deriv;
    bool is_trace = false;  // data block type "TRC"
    PlanRequest request;    // the same request, as the core's plans take it
    LocatedBlocks blocks;

    ParamMap merged;  // the block's parameters as the core merged them
    Ref parameters;   // ... and as the result's dictionary
    Ref npt, mxy, mny;
    Ref abscissa;
    long long npt_value = 0;  // NPT as a count, once the axis accepted it
};

// Counts memory the call is about to allocate; MemoryError past the limit.
void charge(ExtractContext& ctx, uint64_t count, uint64_t item_bytes);
// Counts an axis of `count` float64 values, when `count` is a plain count
// (anything else fails in numpy before it allocates).
void charge_axis(ExtractContext& ctx, PyObject* count);
// Counts an array of the given dimensions (plain counts; anything else fails
// in numpy before it allocates) and item size.
void charge_cube(ExtractContext& ctx, std::initializer_list<PyObject*> dims, uint64_t item_bytes);
// Runs signal handlers every so many steps of a long loop; raises what they raise.
inline void poll(ExtractContext& ctx, uint64_t step) {
    if (step % kInterruptPollEvery == kInterruptPollEvery - 1 && ctx.interrupt.requested()) throw PyError();
}

// Readers of each kind of data block; each returns the result object.
Ref read_single_spectrum(ExtractContext& ctx);
Ref read_3d_block(ExtractContext& ctx);

}  // namespace vellkit::py
