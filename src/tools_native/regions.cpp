// The regions of a multi-region map or trace map for vellkit_tools: the
// annotation table read and the regions planned in the core, on plain
// numbers; the order of the regions taken from a set of the group values
// built here, as the `vellkit` module builds it.
#include "pyglue/pyref.hpp"  // includes Python.h first

#include <cmath>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/extract/annotations.hpp"
#include "core/plans/region_plan.hpp"
#include "pyglue/group_order.hpp"
#include "tools_native/functions.hpp"
#include "tools_native/native_call.hpp"
#include "tools_native/regions.hpp"

namespace vellkit::tools {

namespace {

using py::PyError;
using py::Ref;

[[noreturn]] void raise(PyObject* type, const char* format, PyObject* shown) {
    PyErr_Format(type, format, shown);
    throw PyError();
}

Ref bytes_of(const void* data, size_t bytes) {
    return Ref::check(PyBytes_FromStringAndSize(static_cast<const char*>(data), (Py_ssize_t)bytes));
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
    if (PyDict_SetItemString(dict, key, value) < 0) throw PyError();
}

}  // namespace

PyObject* regions_list(NativeCall& call, const RegionsSource& source) {
    PyObject* shown = call.shown();
    MemoryBudget& budget = call.budget();
    AnnotationBlock block;
    AnnotationGap gap;
    CountingObserver observer;
    call.run([&] {
        Cursor cursor(call.source());
        return read_annotation_block(cursor, observer, source.annotation_offset, budget, block, gap);
    });
    if (gap.kind == AnnotationGap::Kind::missing) {
        Ref key = Ref::check(PyUnicode_DecodeLatin1(gap.name.data(), (Py_ssize_t)gap.name.size(), "strict"));
        PyErr_Format(PyExc_ValueError, "%U: the annotation table has no parameter or column %R", shown, key.get());
        throw PyError();
    }
    if (gap.kind == AnnotationGap::Kind::not_plain)
        raise(PyExc_ValueError, "%U: a parameter of the annotation table is not an integer", shown);

    RegionPlanInput in;
    in.columns = region_columns(block);
    std::vector<GroupTally> tallies;
    if (!in.columns.group) raise(PyExc_ValueError, "%U: the annotation table has no column 'Group'", shown);
    // The module fails on these tables too: getVellData names the fault.
    const char* unplanned = "%U: the regions of the annotation table cannot be formed (vellkit.getVellData says why)";
    if (!tally_groups(*in.columns.group, tallies) || !py::group_set_order(tallies, in.order))
        raise(PyExc_ValueError, unplanned, shown);
    in.tallies = &tallies;
    in.indices = source.indices;
    in.position_of = source.position_of;
    in.target = source.traces ? PositionTarget::trace_column : PositionTarget::record;
    // Each position hands over its x, y and record: 24 bytes.
    const int64_t left = budget.limit() - budget.used();
    in.max_positions = left > 0 ? (uint64_t)left / 24 : 0;
    std::vector<RegionPlan> regions;
    uint64_t past_limit = 0;
    if (!plan_regions(in, regions, &past_limit)) {
        // The memory limit's own error, as the module raises it for these regions.
        if (past_limit) call.charge(past_limit, 3 * sizeof(int64_t));
        raise(PyExc_ValueError, unplanned, shown);
    }

    const int64_t npt = source.npt;
    uint64_t positions = 0;
    Ref list = Ref::check(PyList_New(0));
    for (const RegionPlan& region : regions) {
        call.charge(region.targets.size(), 3 * sizeof(int64_t));
        // A map's positions each read a record of NPT values, as the module
        // holds them.
        if (!source.traces) call.charge(region.targets.size(), (uint64_t)npt * sizeof(float));
        if (source.traces) {
            for (int64_t c : region.targets) {
                // A damaged table, as every other fault of its values.
                if (c < 0 || c >= npt) {
                    PyErr_Format(PyExc_ValueError, "%U: Fileindex %lld is out of bounds: spectra are numbered 1 to %lld",
                                 shown, (long long)c + 1, (long long)npt);
                    throw PyError();
                }
            }
        }
        Ref entry = Ref::check(PyDict_New());
        Ref group = Ref::check(PyLong_FromLong(region.group));
        Ref title = Ref::check(PyUnicode_FromStringAndSize(region.title.data(), (Py_ssize_t)region.title.size()));
        Ref xs = bytes_of(region.map_x.data(), region.map_x.size() * sizeof(double));
        Ref ys = bytes_of(region.map_y.data(), region.map_y.size() * sizeof(double));
        Ref records = bytes_of(region.targets.data(), region.targets.size() * sizeof(int64_t));
        set_item(entry.get(), "group", group.get());
        set_item(entry.get(), "title", title.get());
        set_item(entry.get(), "map_x", xs.get());
        set_item(entry.get(), "map_y", ys.get());
        // The table has no time column: times are in the records.
        set_item(entry.get(), "start_time", Py_None);
        set_item(entry.get(), "records", records.get());
        if (PyList_Append(list.get(), entry.get()) < 0) throw PyError();
        positions += region.targets.size();
    }
    // Traces: one value of each record at each position.
    if (source.traces) call.charge(source.indices ? source.indices->size() : 0, positions * sizeof(float));
    return list.release();
}

// ---------------------------------------------------------------------------
// _native.plan_regions(path, block): the "regions" of plan_block(path, block).

PyObject* fn_plan_regions(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "block", nullptr};
    PyObject *path = nullptr, *block = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:plan_regions", const_cast<char**>(keywords), &path, &block))
        return nullptr;
    Ref pair = Ref::steal(PyTuple_Pack(2, path, block));
    if (!pair) return nullptr;
    Ref plan = Ref::steal(fn_plan_block(module, pair.get()));
    if (!plan) return nullptr;
    PyObject* regions = PyDict_GetItemString(plan.get(), "regions");  // borrowed
    if (!regions || regions == Py_None) {
        PyErr_Format(PyExc_ValueError, "%S: %S is not a multi-region block", path, block);
        return nullptr;
    }
    Py_INCREF(regions);
    return regions;
}

}  // namespace vellkit::tools
