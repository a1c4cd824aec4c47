// vellkit_tools._native: the core's plans handed to Python. describe_file
// describes a whole file from its headers; plan_block says what one block
// is and where its values lie; describe is the older block description the
// engine used before plan_block.
#include "pyglue/pyref.hpp"  // includes Python.h first

#include <cstdint>
#include <string>
#include <vector>

#include "core/format/catalogue.hpp"
#include "core/format/directory.hpp"
#include "core/plans/block_plan.hpp"
#include "core/plans/file_description.hpp"
#include "pyglue/objects.hpp"
#include "tools_native/functions.hpp"
#include "tools_native/regions.hpp"
#include "tools_native/native_call.hpp"

namespace vellkit::tools {

namespace {

using py::PyError;
using py::check_status;
using py::Ref;

Ref check(PyObject* p) { return Ref::check(p); }


[[noreturn]] void value_error(NativeCall& call, const std::string& text) {
    PyErr_Format(PyExc_ValueError, "%U: %s", call.shown(), text.c_str());
    throw PyError();
}


// [(name, value), ...] in order.
Ref records_list(const std::vector<ParamRecord>& records) {
    Ref list = check(PyList_New((Py_ssize_t)records.size()));
    for (size_t i = 0; i < records.size(); ++i) {
        const ParamRecord& rec = records[i];
        Ref name = check(PyUnicode_DecodeUTF8(rec.name.data(), (Py_ssize_t)rec.name.size(), "strict"));
        Ref value = py::parameter_value(rec);
        PyList_SET_ITEM(list.get(), (Py_ssize_t)i, check(PyTuple_Pack(2, name.get(), value.get())).release());
    }
    return list;
}

void set(PyObject* dict, const char* key, const Ref& value) { check_status(PyDict_SetItemString(dict, key, value.get())); }

Ref text(const char* s) { return check(PyUnicode_FromString(s)); }
Ref text(const std::string& s) { return check(PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), "replace")); }
Ref none() { return Ref::from_borrowed(Py_None); }
Ref boolean(bool v) { return Ref::from_borrowed(v ? Py_True : Py_False); }

Ref int64_bytes(const int64_t* values, size_t count) {
    return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values), (Py_ssize_t)(count * sizeof(int64_t))));
}

Ref triple(const char* name, bool three_d, const char* deriv) {
    return check(Py_BuildValue("(sss)", name, three_d ? "3D" : "2D", deriv));
}

// The request words of a block argument: a sequence of three strings.
PlanRequest request_argument(NativeCall& call, PyObject* block) {
    Ref items = check(PySequence_Fast(block, "block must be a (name, dimensions, derivative) triple"));
    std::string words[3];
    if (PySequence_Fast_GET_SIZE(items.get()) != 3) {
        PyErr_SetString(PyExc_ValueError, "block must be a (name, dimensions, derivative) triple");
        throw PyError();
    }
    for (int i = 0; i < 3; ++i) {
        PyObject* word = PySequence_Fast_GET_ITEM(items.get(), i);
        Ref upper = check(PyObject_CallMethod(word, "upper", nullptr));
        Py_ssize_t length = 0;
        const char* s = PyUnicode_AsUTF8AndSize(upper.get(), &length);
        if (!s) throw PyError();
        words[i].assign(s, (size_t)length);
    }
    PlanRequest request;
    if (!parse_plan_request(words[0], words[1], words[2], request))
        value_error(call, "invalid data block request (" + words[0] + ", " + words[1] + ", " + words[2] + ")");
    return request;
}

void raise_plan_problem(NativeCall& call, const BlockPlan& plan) {
    const PlanRequest& r = plan.request;
    // As the module's own message words a missing block: "AB 3D NONE".
    const std::string block = std::string(kBlockNames[r.name_index].name) + " " + (r.three_d ? "3D" : "2D") + " " +
                              request_deriv_word(r.deriv_type);
    switch (plan.problem) {
    case PlanProblem::none:
        return;
    case PlanProblem::not_vell:
        PyErr_Format(PyExc_ValueError, "%U is not a VELL data file", call.shown());
        throw PyError();
    case PlanProblem::bad_request:
        value_error(call, "invalid data block request (" + block + ")");
    case PlanProblem::no_block:
        value_error(call, "no data block " + block + " in the file");
    case PlanProblem::value:
        value_error(call, "block " + block + ": " + describe_stop(plan.stop));
    case PlanProblem::offset_range:
        value_error(call, "a record of the block " + block + " lies beyond any file position");
    }
}

Ref grid_dict(const GridPlan& g) {
    Ref d = check(PyDict_New());
    set(d.get(), "aox", py::new_float(g.aox));
    set(d.get(), "ddx", py::new_float(g.ddx));
    set(d.get(), "npx", py::new_int(g.npx));
    set(d.get(), "aoy", py::new_float(g.aoy));
    set(d.get(), "ddy", py::new_float(g.ddy));
    set(d.get(), "npy", py::new_int(g.npy));
    set(d.get(), "from_original", boolean(g.from_original));
    return d;
}

Ref records_dict(const RecordPlan& r) {
    Ref d = check(PyDict_New());
    std::vector<int64_t> offsets;
    offsets.reserve(r.layout.size());
    for (wide offset : r.layout.offsets) offsets.push_back((int64_t)offset);
    set(d.get(), "offsets", int64_bytes(offsets.data(), offsets.size()));
    set(d.get(), "indices", int64_bytes(r.layout.indices.data(), r.layout.indices.size()));
    set(d.get(), "block_size", py::new_int(r.block_size));
    set(d.get(), "info_size", py::new_int(r.info_size));
    return d;
}

// A problem of the file as text: its words, and the name it is about
// written as Python's repr writes that bytes or str value.
std::string problem_text(const Problem& p) {
    if (p.name == Problem::Name::none) return p.text;
    const Py_ssize_t n = (Py_ssize_t)p.value.size();
    Ref value = check(p.name == Problem::Name::bytes ? PyBytes_FromStringAndSize(p.value.data(), n)
                                                     : PyUnicode_DecodeUTF8(p.value.data(), n, "strict"));
    Ref repr = check(PyObject_Repr(value.get()));
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(repr.get(), &length);
    if (!utf8) throw PyError();
    return p.text + std::string(utf8, (size_t)length) + p.tail;
}

// Builds the entries' dictionaries: the keys made once, and each distinct
// description text once (a directory lists few kinds of blocks, many times).
class EntryDicts {
public:
    EntryDicts() {
        for (int i = 0; i < kKeys; ++i) keys_[i] = check(PyUnicode_InternFromString(kKeyNames[i]));
    }

    Ref make(const EntryDescription& e) {
        Ref d = check(PyDict_New());
        put(d, 0, py::new_int(e.index));
        put(d, 1, boolean(e.in_extension));
        put(d, 2, py::new_int(e.code));
        put(d, 3, what(e.what));
        put(d, 4, py::new_int(e.offset));
        // Bytes: four a word, past 64 bits for a damaged 64-bit entry.
        if (e.size_in_words >= INT64_MIN / 4 && e.size_in_words <= INT64_MAX / 4) {
            put(d, 5, py::new_int(e.size_in_words * 4));
        } else {
            Ref words = py::new_int(e.size_in_words);
            Ref four = py::new_int(4);
            put(d, 5, check(PyNumber_Multiply(words.get(), four.get())));
        }
        if (e.problems.empty()) {
            put(d, 6, none());
        } else {
            std::string joined;
            for (const Problem& p : e.problems) joined += (joined.empty() ? "" : "; ") + problem_text(p);
            put(d, 6, text(joined));
        }
        return d;
    }

private:
    static constexpr int kKeys = 7;
    static constexpr const char* kKeyNames[kKeys] = {"index", "in_extension", "code", "what",
                                                     "offset", "size", "problem"};

    void put(const Ref& d, int key, const Ref& value) { check_status(PyDict_SetItem(d.get(), keys_[key].get(), value.get())); }

    Ref what(const std::string& s) {
        auto known = whats_.find(s);
        if (known == whats_.end()) known = whats_.emplace(s, text(s)).first;
        return Ref::from_borrowed(known->second.get());
    }

    Ref keys_[kKeys];
    std::unordered_map<std::string, Ref> whats_;
};


Ref image_dict(const ImageDescription& image) {
    Ref d = check(PyDict_New());
    Ref title = image.has_title ? py::parameter_value(image.title) : text("");
    if (!PyUnicode_Check(title.get())) title = check(PyObject_Str(title.get()));
    set(d.get(), "title", title);
    set(d.get(), "type", image.has_type ? py::new_int(image.type) : none());
    set(d.get(), "size", py::new_int(image.size));
    set(d.get(), "stored", py::new_int(image.stored));
    return d;
}

Ref description_dict(NativeCall& call, const FileDescription& f) {
    Ref d = check(PyDict_New());
    set(d.get(), "file_size", py::new_int(f.file_size));
    set(d.get(), "identity", call.identity());
    // What a call on this file may allocate: the bound of what the tools
    // decode from it in Python (images) too.
    set(d.get(), "memory_limit", py::new_int(call.budget().limit()));
    Ref problems = check(PyList_New(0));
    for (const Problem& p : f.problems) check_status(PyList_Append(problems.get(), text(problem_text(p)).get()));
    set(d.get(), "problems", problems);
    Ref entries = check(PyList_New(0));
    EntryDicts entry_dicts;
    for (const EntryDescription& e : f.entries) check_status(PyList_Append(entries.get(), entry_dicts.make(e).get()));
    set(d.get(), "entries", entries);

    // Repeated listings of a block share one parameter list.
    Ref blocks = check(PyList_New(0));
    std::vector<std::pair<const std::vector<ParamRecord>*, PyObject*>> made;
    for (const BlockDescription& b : f.blocks) {
        Ref block = check(PyDict_New());
        const char* name = kBlockNames[b.listed.name_index].name;
        set(block.get(), "listed", triple(name, b.listed.three_d, listing_deriv_word(b.listed.deriv_type)));
        set(block.get(), "request", triple(name, b.listed.three_d, request_deriv_word(b.listed.deriv_type)));
        set(block.get(), "kind", b.has_kind ? text(block_kind_name(b.kind)) : none());
        set(block.get(), "shape", b.has_shape ? py::shape_tuple(b.shape) : none());
        // The axes of a shaped block: x (first, last, count) and, for a map,
        // each map axis (origin, end, count, step).
        set(block.get(), "x", b.has_shape ? Ref::check(Py_BuildValue("(ddL)", b.x.first, b.x.last, (long long)b.x.count))
                                          : none());
        const bool map = b.has_shape && is_image_kind(b.kind);
        set(block.get(), "map_x", map ? Ref::check(Py_BuildValue("(ddLd)", b.grid.aox, b.grid.end_x,
                                                                 (long long)b.grid.npx, b.grid.ddx)) : none());
        set(block.get(), "map_y", map ? Ref::check(Py_BuildValue("(ddLd)", b.grid.aoy, b.grid.end_y,
                                                                 (long long)b.grid.npy, b.grid.ddy)) : none());
        PyObject* parameters = nullptr;
        for (const auto& m : made)
            if (m.first == b.parameters.get()) parameters = m.second;
        if (!parameters) {
            Ref list = records_list(*b.parameters);
            set(block.get(), "parameters", list);
            made.emplace_back(b.parameters.get(), list.get());  // the block dict holds it
        } else {
            check_status(PyDict_SetItemString(block.get(), "parameters", parameters));
        }
        set(block.get(), "problem", b.problem.empty() ? none() : text(problem_text(b.problem)));
        check_status(PyList_Append(blocks.get(), block.get()));
    }
    set(d.get(), "blocks", blocks);
    Ref images = check(PyList_New(0));
    for (const ImageDescription& i : f.images) check_status(PyList_Append(images.get(), image_dict(i).get()));
    set(d.get(), "images", images);
    return d;
}

// The regions of a multi-region block, in the module's region order.
Ref region_plan(NativeCall& call, const BlockPlan& plan) {
    // The offsets map as the module reads it: a repeated spectrum index
    // keeps its first record.
    RegionsSource source;
    source.annotation_offset = plan.blocks.annotation;
    source.indices = &plan.records.layout.indices;
    source.position_of = &plan.records.layout.position_of;
    source.traces = is_trace_kind(plan.kind);
    source.npt = plan.x.count;
    return Ref::steal(regions_list(call, source));
}

}  // namespace

PyObject* fn_describe_file(PyObject*, PyObject* path) {
    return py::guarded([&]() -> PyObject* {
        NativeCall call(path);
        call.open();
        FileDescription description;
        call.run([&] { return describe_file(call.source(), description); });
        if (!description.vell) {
            PyErr_Format(PyExc_ValueError, "%U is not a VELL data file", call.shown());
            throw PyError();
        }
        return description_dict(call, description).release();
    });
}

PyObject* fn_plan_block(PyObject*, PyObject* args) {
    return py::guarded([&]() -> PyObject* {
        PyObject *path, *block;
        if (!PyArg_ParseTuple(args, "OO:plan_block", &path, &block)) return nullptr;
        NativeCall call(path);
        PlanRequest request = request_argument(call, block);
        call.open();
        MemoryBudget& budget = call.budget();
        BlockPlan plan;
        CountingObserver observer;
        call.run([&] { return plan_block(call.source(), observer, request, &budget, plan); });
        raise_plan_problem(call, plan);
        // The plan charged what the module holds; xarray keeps each index
        // (the x axis, the map axes) a second time.
        call.charge((uint64_t)plan.x.count, sizeof(double));
        if (is_image_kind(plan.kind)) call.charge((uint64_t)plan.grid.npx + (uint64_t)plan.grid.npy, sizeof(double));

        Ref d = check(PyDict_New());
        set(d.get(), "kind", text(block_kind_name(plan.kind)));
        set(d.get(), "request", triple(kBlockNames[request.name_index].name, request.three_d,
                                       request_deriv_word(request.deriv_type)));
        set(d.get(), "identity", call.identity());
        set(d.get(), "file_size", py::new_int(plan.file_size));
        set(d.get(), "memory_limit", py::new_int(budget.limit()));
        set(d.get(), "parameters", records_list(plan.parameters.records()));
        set(d.get(), "original_parameters", plan.has_original ? records_list(plan.original_parameters) : none());
        set(d.get(), "npt", py::new_int(plan.x.count));
        set(d.get(), "x", check(Py_BuildValue("(ddL)", plan.x.first, plan.x.last, (long long)plan.x.count)));
        set(d.get(), "values_offset", py::new_int(request.three_d ? -1 : plan.values_offset));
        set(d.get(), "grid", is_image_kind(plan.kind) ? grid_dict(plan.grid) : none());
        set(d.get(), "records", request.three_d ? records_dict(plan.records) : none());
        set(d.get(), "regions", is_region_kind(plan.kind) ? region_plan(call, plan) : none());
        return d.release();
    });
}

}  // namespace vellkit::tools
