// vellkit_tools._native: the core's plans handed to Python. describe_file
// describes a whole file from its headers; plan_block says what one block
// is and where its values lie; describe is the older block description the
// engine used before plan_block.
#include "bindings/common/gil.hpp"  // includes Python.h first

#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "core/common/limits.hpp"
#include "core/format/catalogue.hpp"
#include "core/format/directory.hpp"
#include "core/format/text.hpp"
#include "core/plans/block_plan.hpp"
#include "core/plans/file_description.hpp"
#include "tools_native/plans.hpp"

namespace vellkit::tools {

namespace {

using py::PyError;
using py::Ref;

Ref check(PyObject* p) { return Ref::check(p); }

void check_status(int r) {
    if (r < 0) throw PyError();
}

// The frame of one call: the path, the file opened without the GIL (a
// signal handler's exception ends a FIFO's wait and long loops), the memory
// budget, and core failures raised naming the file.
class PlanCall {
public:
    explicit PlanCall(PyObject* path) {
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(path, &encoded)) throw PyError();
        encoded_ = Ref::steal(encoded);
        Ref fspath = check(PyOS_FSPath(path));
        shown_ = check(PyObject_Str(fspath.get()));
    }

    void open() {
        Status s;
        {
            py::GilReleased released(interrupt_);
            s = FileSource::open_path(PyBytes_AS_STRING(encoded_.get()), source_, &interrupt_);
        }
        raise_if(s);
    }

    template <typename Work>
    void run(Work&& work) {
        Status s;
        {
            py::GilReleased released(interrupt_);
            s = work();
        }
        raise_if(s);
    }

    MemoryBudget& budget() {
        if (budget_made_) return budget_;
        std::string setting;
        bool present = false;
        memory_setting(setting, present);
        raise_if(MemoryBudget::for_file(source_.size_known() ? source_.size() : -1, present ? setting.c_str() : nullptr,
                                        budget_));
        Ref text = check(PyUnicode_EncodeFSDefault(shown_.get()));
        budget_.set_subject(PyBytes_AS_STRING(text.get()));
        budget_made_ = true;
        return budget_;
    }

    // (device, inode, size, modification time in ns) of the open file.
    Ref identity() const {
        Ref os = check(PyImport_ImportModule("os"));
        Ref st = check(PyObject_CallMethod(os.get(), "fstat", "i", source_.descriptor()));
        Ref dev = check(PyObject_GetAttrString(st.get(), "st_dev"));
        Ref ino = check(PyObject_GetAttrString(st.get(), "st_ino"));
        Ref size = check(PyObject_GetAttrString(st.get(), "st_size"));
        Ref mtime = check(PyObject_GetAttrString(st.get(), "st_mtime_ns"));
        return check(PyTuple_Pack(4, dev.get(), ino.get(), size.get(), mtime.get()));
    }

    void raise_if(const Status& s) {
        if (s.ok()) return;
        set_error(s);
        throw PyError();
    }

    [[noreturn]] void value_error(const std::string& text) {
        PyErr_Format(PyExc_ValueError, "%U: %s", shown_.get(), text.c_str());
        throw PyError();
    }

    const FileSource& source() const { return source_; }
    PyObject* shown() const { return shown_.get(); }

private:
    // The memory limit setting from os.environ (not the C library's
    // environment, which other threads may change meanwhile).
    static void memory_setting(std::string& out, bool& present) {
        present = false;
        Ref os = check(PyImport_ImportModule("os"));
        Ref environ = check(PyObject_GetAttrString(os.get(), "environ"));
        Ref value = Ref::steal(PyMapping_GetItemString(environ.get(), kMemoryLimitVariable));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyError();
            PyErr_Clear();
            return;
        }
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value.get(), &length);
        if (!text) throw PyError();
        out.assign(text, (size_t)length);
        present = true;
    }

    void set_error(const Status& s) {
        PyObject* name = shown_.get();
        switch (s.code) {
        case ErrorCode::interrupted:
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return;
        case ErrorCode::os_error:
            errno = s.sys_errno;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
            return;
        case ErrorCode::seek_negative:
            errno = EINVAL;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
            return;
        case ErrorCode::memory_limit:
            PyErr_Format(PyExc_MemoryError,
                         "%s: reading this file needs %lld bytes of memory or more, past the limit of %lld bytes "
                         "for a file of %lld bytes; set %s to a larger size (such as 64G) to read it",
                         s.bytes.c_str(), (long long)s.value, (long long)s.offset, (long long)s.file_size,
                         kMemoryLimitVariable);
            return;
        case ErrorCode::memory_setting:
            PyErr_Format(PyExc_ValueError,
                         "%s must be a number of bytes with an optional K, M, G or T suffix, not '%s'",
                         kMemoryLimitVariable, s.bytes.c_str());
            return;
        case ErrorCode::seek_overflow:
            PyErr_Format(PyExc_ValueError, "%U: a position in the file is out of range", name);
            return;
        case ErrorCode::param_type:
            PyErr_Format(PyExc_ValueError, "%U: unknown parameter type code %lld", name, (long long)s.value);
            return;
        case ErrorCode::param_name_utf8:
            PyErr_Format(PyExc_ValueError, "%U: a parameter name is not UTF-8", name);
            return;
        case ErrorCode::param_unterminated:
            PyErr_Format(PyExc_ValueError, "%U: the parameter block at offset %lld reaches the end of the file",
                         name, (long long)s.offset);
            return;
        case ErrorCode::store_table_too_large:
            PyErr_Format(PyExc_ValueError,
                         "%U: the store table at offset %lld claims %lld entries, more than the file holds", name,
                         (long long)s.offset, (long long)s.value);
            return;
        case ErrorCode::records_too_many:
            PyErr_Format(PyExc_ValueError,
                         "%U: the store table at offset %lld names %lld records, more than the file holds", name,
                         (long long)s.offset, (long long)s.value);
            return;
        default:
            PyErr_Format(PyExc_ValueError, "%U: damaged file (core error %d)", name, (int)s.code);
            return;
        }
    }

    Ref encoded_;
    Ref shown_;
    py::CallInterrupt interrupt_;  // outlives the file, whose reads ask it
    FileSource source_;
    MemoryBudget budget_;
    bool budget_made_ = false;
};

// Runs an entry point: a Python error comes back as NULL, a failed
// allocation as MemoryError, any other C++ exception as SystemError.
template <typename Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const PyError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "vellkit_tools._native: %s", e.what());
        return nullptr;
    }
}

Ref text_object(const std::string& text) {
    auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const Py_ssize_t n = (Py_ssize_t)text.size();
    switch (classify_text(bytes, text.size())) {
    case TextEncoding::ascii:
        return check(PyUnicode_DecodeASCII(text.data(), n, "strict"));
    case TextEncoding::utf8:
        return check(PyUnicode_DecodeUTF8(text.data(), n, "strict"));
    case TextEncoding::latin1:
        break;
    }
    return check(PyUnicode_DecodeLatin1(text.data(), n, "strict"));
}

Ref value_object(const ParamRecord& rec) {
    switch (rec.kind) {
    case ParamRecord::Kind::integer:
        return check(PyLong_FromLong(rec.integer));
    case ParamRecord::Kind::real:
        return check(PyFloat_FromDouble(rec.real));
    case ParamRecord::Kind::text:
        break;
    }
    return text_object(rec.text);
}

// [(name, value), ...] in order.
Ref records_list(const std::vector<ParamRecord>& records) {
    Ref list = check(PyList_New((Py_ssize_t)records.size()));
    for (size_t i = 0; i < records.size(); ++i) {
        const ParamRecord& rec = records[i];
        Ref name = check(PyUnicode_DecodeUTF8(rec.name.data(), (Py_ssize_t)rec.name.size(), "strict"));
        Ref value = value_object(rec);
        PyList_SET_ITEM(list.get(), (Py_ssize_t)i, check(PyTuple_Pack(2, name.get(), value.get())).release());
    }
    return list;
}

void set(PyObject* dict, const char* key, const Ref& value) { check_status(PyDict_SetItemString(dict, key, value.get())); }

Ref integer(long long v) { return check(PyLong_FromLongLong(v)); }
Ref real(double v) { return check(PyFloat_FromDouble(v)); }
Ref text(const char* s) { return check(PyUnicode_FromString(s)); }
Ref text(const std::string& s) { return check(PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), "replace")); }
Ref none() { return Ref::borrow(Py_None); }
Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

Ref int64_bytes(const int64_t* values, size_t count) {
    return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values), (Py_ssize_t)(count * sizeof(int64_t))));
}

Ref triple(const char* name, bool three_d, const char* deriv) {
    return check(Py_BuildValue("(sss)", name, three_d ? "3D" : "2D", deriv));
}

// The request words of a block argument: a sequence of three strings.
PlanRequest request_argument(PlanCall& call, PyObject* block) {
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
        call.value_error("not a data block request: " + words[0] + "/" + words[1] + "/" + words[2]);
    return request;
}

void raise_plan_problem(PlanCall& call, const BlockPlan& plan) {
    const PlanRequest& r = plan.request;
    const std::string block = std::string(kBlockNames[r.name_index].name) + "/" + (r.three_d ? "3D" : "2D") + "/" +
                              request_deriv_word(r.deriv_type);
    switch (plan.problem) {
    case PlanProblem::none:
        return;
    case PlanProblem::not_vell:
        PyErr_Format(PyExc_ValueError, "%U is not a VELL data file", call.shown());
        throw PyError();
    case PlanProblem::bad_request:
        call.value_error("not a data block request: " + block);
    case PlanProblem::no_block:
        call.value_error("no data block " + block + " in the file");
    case PlanProblem::value:
        call.value_error("block " + block + ": " + describe_stop(plan.stop));
    case PlanProblem::offset_range:
        call.value_error("a record of the block " + block + " lies beyond any file position");
    }
}

Ref grid_dict(const GridPlan& g) {
    Ref d = check(PyDict_New());
    set(d.get(), "aox", real(g.aox));
    set(d.get(), "ddx", real(g.ddx));
    set(d.get(), "npx", integer(g.npx));
    set(d.get(), "aoy", real(g.aoy));
    set(d.get(), "ddy", real(g.ddy));
    set(d.get(), "npy", integer(g.npy));
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
    set(d.get(), "block_size", integer(r.block_size));
    set(d.get(), "info_size", integer(r.info_size));
    return d;
}

Ref entry_dict(const EntryDescription& e) {
    Ref d = check(PyDict_New());
    set(d.get(), "index", integer(e.index));
    set(d.get(), "in_extension", boolean(e.in_extension));
    set(d.get(), "code", integer(e.code));
    set(d.get(), "what", text(e.what));
    set(d.get(), "offset", integer(e.offset));
    Ref words = integer(e.size_in_words);
    Ref four = integer(4);
    set(d.get(), "size", check(PyNumber_Multiply(words.get(), four.get())));
    if (e.problems.empty()) {
        set(d.get(), "problem", none());
    } else {
        std::string joined;
        for (const std::string& p : e.problems) joined += (joined.empty() ? "" : "; ") + p;
        set(d.get(), "problem", text(joined));
    }
    return d;
}

Ref shape_tuple(const std::vector<int64_t>& shape) {
    Ref t = check(PyTuple_New((Py_ssize_t)shape.size()));
    for (size_t i = 0; i < shape.size(); ++i) PyTuple_SET_ITEM(t.get(), (Py_ssize_t)i, integer(shape[i]).release());
    return t;
}

Ref image_dict(const ImageDescription& image) {
    Ref d = check(PyDict_New());
    Ref title = image.has_title ? value_object(image.title) : text("");
    if (!PyUnicode_Check(title.get())) title = check(PyObject_Str(title.get()));
    set(d.get(), "title", title);
    set(d.get(), "type", image.has_type ? integer(image.type) : none());
    set(d.get(), "size", integer(image.size));
    set(d.get(), "stored", integer(image.stored));
    return d;
}

Ref description_dict(PlanCall& call, const FileDescription& f) {
    Ref d = check(PyDict_New());
    set(d.get(), "file_size", integer(f.file_size));
    set(d.get(), "identity", call.identity());
    Ref problems = check(PyList_New(0));
    for (const std::string& p : f.problems) check_status(PyList_Append(problems.get(), text(p).get()));
    set(d.get(), "problems", problems);
    Ref entries = check(PyList_New(0));
    for (const EntryDescription& e : f.entries) check_status(PyList_Append(entries.get(), entry_dict(e).get()));
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
        set(block.get(), "shape", b.has_shape ? shape_tuple(b.shape) : none());
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
        set(block.get(), "problem", b.problem.empty() ? none() : text(b.problem));
        check_status(PyList_Append(blocks.get(), block.get()));
    }
    set(d.get(), "blocks", blocks);
    Ref images = check(PyList_New(0));
    for (const ImageDescription& i : f.images) check_status(PyList_Append(images.get(), image_dict(i).get()));
    set(d.get(), "images", images);
    return d;
}

}  // namespace

PyObject* fn_describe_file(PyObject*, PyObject* path) {
    return guarded([&]() -> PyObject* {
        PlanCall call(path);
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
    return guarded([&]() -> PyObject* {
        PyObject *path, *block;
        if (!PyArg_ParseTuple(args, "OO:plan_block", &path, &block)) return nullptr;
        PlanCall call(path);
        PlanRequest request = request_argument(call, block);
        call.open();
        MemoryBudget& budget = call.budget();
        BlockPlan plan;
        CountingObserver observer;
        call.run([&] { return plan_block(call.source(), observer, request, &budget, plan); });
        raise_plan_problem(call, plan);

        Ref d = check(PyDict_New());
        set(d.get(), "kind", text(block_kind_name(plan.kind)));
        set(d.get(), "request", triple(kBlockNames[request.name_index].name, request.three_d,
                                       request_deriv_word(request.deriv_type)));
        set(d.get(), "identity", call.identity());
        set(d.get(), "file_size", integer(plan.file_size));
        set(d.get(), "memory_limit", integer(budget.limit()));
        set(d.get(), "parameters", records_list(plan.parameters.records()));
        set(d.get(), "original_parameters", plan.has_original ? records_list(plan.original_parameters) : none());
        set(d.get(), "npt", integer(plan.x.count));
        set(d.get(), "x", check(Py_BuildValue("(ddL)", plan.x.first, plan.x.last, (long long)plan.x.count)));
        set(d.get(), "values_offset", integer(request.three_d ? -1 : plan.values_offset));
        set(d.get(), "grid", is_image_kind(plan.kind) ? grid_dict(plan.grid) : none());
        set(d.get(), "records", request.three_d ? records_dict(plan.records) : none());
        set(d.get(), "regions", none());  // the region plan fills this in
        return d.release();
    });
}

PyObject* fn_describe(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* path_object;
        const char *name, *dimensions, *deriv;
        if (!PyArg_ParseTuple(args, "Osss:describe", &path_object, &name, &dimensions, &deriv)) return nullptr;
        PlanCall call(path_object);
        PlanRequest request;
        if (!parse_plan_request(name, dimensions, deriv, request))
            call.value_error(std::string("invalid data block request (") + name + ", " + dimensions + ", " + deriv +
                             ")");
        call.open();
        // The steps of the plan the engine still takes apart itself: the
        // parameter blocks one by one and the record layout, whatever the
        // parameters hold.
        bool vell = false;
        LocatedBlocks blocks;
        std::vector<std::vector<ParamRecord>> parameter_blocks;
        bool has_original = false;
        std::vector<ParamRecord> original;
        RecordPlan records;
        CountingObserver observer;
        Cursor cursor(call.source());
        call.run([&]() -> Status {
            VELLKIT_TRY(has_magic(call.source(), vell));
            if (!vell) return Status();
            std::vector<DirectoryEntry> directory;
            VELLKIT_TRY(read_directory(cursor, observer, directory));
            blocks = locate_blocks(directory, request.block_request());
            if (blocks.data == -1 || blocks.params == -1) return Status();
            for (int64_t offset : {blocks.params, blocks.acquisition, blocks.instrument, blocks.sample,
                                   blocks.fourier_transform}) {
                if (offset == -1) continue;
                parameter_blocks.emplace_back();
                VELLKIT_TRY(parse_parameter_block(cursor, offset, observer, parameter_blocks.back()));
            }
            if (request.deriv_type != 0 && blocks.original_params != -1) {
                has_original = true;
                VELLKIT_TRY(parse_parameter_block(cursor, blocks.original_params, observer, original));
            }
            if (!request.three_d) return Status();
            StoreTable table;
            VELLKIT_TRY(read_store_table(cursor, blocks.data, observer, table));
            records.block_size = table.block_size;
            records.info_size = table.info_size;
            return lay_out_records(table, call.source().size(), blocks.data, records.layout);
        });
        if (!vell) {
            PyErr_Format(PyExc_ValueError, "%U is not a VELL data file", call.shown());
            throw PyError();
        }
        if (blocks.data == -1 || blocks.params == -1)
            call.value_error(std::string("no data block ") + name + " " + dimensions + " " + deriv + " in the file");
        std::vector<int64_t> offsets;
        offsets.reserve(records.layout.size());
        for (wide offset : records.layout.offsets) {
            if (!fits_offset(offset))
                call.value_error(std::string("a record of the ") + name + " " + dimensions + " " + deriv +
                                 " block lies beyond any file position");
            offsets.push_back((int64_t)offset);
        }

        Ref d = check(PyDict_New());
        Ref lists = check(PyList_New(0));
        for (const auto& block : parameter_blocks) check_status(PyList_Append(lists.get(), records_list(block).get()));
        set(d.get(), "parameter_blocks", lists);
        set(d.get(), "original_parameters", has_original ? records_list(original) : none());
        set(d.get(), "file_size", integer(call.source().size()));
        set(d.get(), "memory_limit", integer(call.budget().limit()));
        set(d.get(), "data_offset", integer(blocks.data));
        set(d.get(), "annotation_offset", integer(blocks.annotation));
        if (request.three_d) {
            set(d.get(), "block_size", integer(records.block_size));
            set(d.get(), "info_size", integer(records.info_size));
            set(d.get(), "record_indices", int64_bytes(records.layout.indices.data(), records.layout.indices.size()));
            set(d.get(), "record_offsets", int64_bytes(offsets.data(), offsets.size()));
        }
        return d.release();
    });
}

}  // namespace vellkit::tools
