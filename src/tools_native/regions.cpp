// The regions of a multi-region map or trace map for vellkit_tools: the
// annotation table read and the regions planned in the core, on plain
// numbers; the order of the regions taken from a set of the group values
// built here, as the `vellkit` module builds it.
#include "pyglue/pyref.hpp"  // includes Python.h first

#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/extract/annotations.hpp"
#include "core/plans/region_plan.hpp"
#include "pyglue/group_order.hpp"
#include "pyglue/objects.hpp"
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

// The annotation block at `offset` read in the core, its gaps raised as
// ValueError naming the file.
void read_block(NativeCall& call, int64_t offset, AnnotationBlock& block) {
    PyObject* shown = call.shown();
    AnnotationGap gap;
    CountingObserver observer;
    MemoryBudget& budget = call.budget();  // made with the GIL held
    call.run([&] {
        Cursor cursor(call.source());
        return read_annotation_block(cursor, observer, offset, budget, block, gap);
    });
    if (gap.kind == AnnotationGap::Kind::missing) {
        Ref key = Ref::check(PyUnicode_DecodeLatin1(gap.name.data(), (Py_ssize_t)gap.name.size(), "strict"));
        PyErr_Format(PyExc_ValueError, "%U: the annotation table has no parameter or column %R", shown, key.get());
        throw PyError();
    }
    if (gap.kind == AnnotationGap::Kind::not_plain)
        raise(PyExc_ValueError, "%U: a parameter of the annotation table is not an integer", shown);
}

const char* kind_word(ColumnKind kind) {
    switch (kind) {
    case ColumnKind::int32: return "int32";
    case ColumnKind::float32: return "float32";
    case ColumnKind::text: return "text";
    case ColumnKind::unknown: break;
    }
    return "unknown";
}

// One cell as a Python object (a cell of another kind than its column's:
// a name given twice in a table).
Ref cell_object(const AnnotationCells& cells, size_t row) {
    switch (cells.kind_at(row)) {
    case AnnotationCells::Kind::integer: return Ref::check(PyLong_FromLong(cells.integer(row)));
    case AnnotationCells::Kind::real: return Ref::check(PyFloat_FromDouble((double)cells.real(row)));
    case AnnotationCells::Kind::text: break;
    }
    return py::decode_stored_text(cells.text(row));
}

// A column's values: the int32 or float32 bytes when every cell is of the
// column's kind, else a list of Python values.
Ref column_values(const AnnotationCells& cells, ColumnKind kind) {
    const size_t n = cells.size();
    const AnnotationCells::Kind want = kind == ColumnKind::int32 ? AnnotationCells::Kind::integer
                                       : kind == ColumnKind::float32 ? AnnotationCells::Kind::real
                                                                     : AnnotationCells::Kind::text;
    bool uniform = kind != ColumnKind::unknown;
    for (size_t r = 0; uniform && r < n; ++r) uniform = cells.kind_at(r) == want;
    if (uniform && want != AnnotationCells::Kind::text) {
        std::vector<uint32_t> bits(n);
        for (size_t r = 0; r < n; ++r) {
            if (want == AnnotationCells::Kind::integer) bits[r] = (uint32_t)cells.integer(r);
            else {
                const float v = cells.real(r);
                std::memcpy(&bits[r], &v, sizeof v);
            }
        }
        return bytes_of(bits.data(), n * sizeof(uint32_t));
    }
    Ref list = Ref::check(PyList_New((Py_ssize_t)n));
    for (size_t r = 0; r < n; ++r) PyList_SET_ITEM(list.get(), (Py_ssize_t)r, cell_object(cells, r).release());
    return list;
}

}  // namespace

PyObject* annotation_columns(NativeCall& call, int64_t offset) {
    AnnotationBlock block;
    read_block(call, offset, block);
    Ref list = Ref::check(PyList_New(0));
    for (const std::string& name : block.order) {
        const size_t at = block.names.at(name);
        const AnnotationCells& cells = *block.columns[at];
        Ref entry = Ref::check(PyTuple_New(3));
        PyTuple_SET_ITEM(entry.get(), 0, py::decode_stored_text(name).release());
        PyTuple_SET_ITEM(entry.get(), 1, Ref::check(PyUnicode_FromString(kind_word(block.kinds[at]))).release());
        PyTuple_SET_ITEM(entry.get(), 2, column_values(cells, block.kinds[at]).release());
        if (PyList_Append(list.get(), entry.get()) < 0) throw PyError();
    }
    return list.release();
}

PyObject* regions_list(NativeCall& call, const RegionsSource& source) {
    PyObject* shown = call.shown();
    MemoryBudget& budget = call.budget();
    AnnotationBlock block;
    read_block(call, source.annotation_offset, block);

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
    const RegionStop stop = plan_regions(in, regions);
    // The memory limit's own error, as the module raises it for these regions.
    if (stop.step == RegionStop::Step::past_limit) call.charge(stop.past_limit, 3 * sizeof(int64_t));
    if (stop.stopped()) raise(PyExc_ValueError, unplanned, shown);

    const int64_t npt = source.npt;
    uint64_t positions = 0;
    Ref list = Ref::check(PyList_New(0));
    for (const RegionPlan& region : regions) {
        // Coordinates given as text are numbers only as numpy reads them.
        if (!region.text_cells.empty()) raise(PyExc_ValueError, unplanned, shown);
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

// ---------------------------------------------------------------------------
// _native.read_annotations(path, offset, identity=None): every column of the
// annotation block at `offset`, as getVellData's reader forms them.

PyObject* fn_read_annotations(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", "offset", "identity", nullptr};
        PyObject *path, *identity = Py_None;
        long long offset;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OL|O:read_annotations", const_cast<char**>(keywords), &path,
                                         &offset, &identity))
            return nullptr;
        NativeCall call(path);
        call.open(identity);
        if (offset < 0 || (call.source().size_known() && offset >= call.source().size())) {
            PyErr_Format(PyExc_ValueError, "%U: no annotation block at byte %lld: the file holds %lld bytes",
                         call.shown(), offset, (long long)call.source().size());
            throw PyError();
        }
        Ref columns = Ref::steal(annotation_columns(call, offset));
        call.check_unchanged();
        return columns.release();
    });
}

}  // namespace vellkit::tools
