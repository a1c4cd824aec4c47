// vellkit_tools._native: record-level reads of VELL data blocks for the
// lazy readers of vellkit_tools (the xarray backend, Dask). Every read runs
// without the GIL; Python objects are made before and after.
#include "bindings/common/pyref.hpp"  // includes Python.h first

#include <atomic>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "core/common/limits.hpp"
#include "core/format/text.hpp"
#include "core/plans/record_reads.hpp"
#include "tools_native/plans.hpp"

namespace vellkit::tools {

namespace {

using py::Ref;

// A buffer held for the length of a call.
class Buffer {
public:
    Buffer() = default;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    bool get(PyObject* object, int flags) {
        held_ = PyObject_GetBuffer(object, &view_, flags) == 0;
        return held_;
    }
    Py_buffer view_{};

private:
    bool held_ = false;
};

// What the reads have delivered, for tests and benchmarks that check that a
// selection reads only what it needs.
std::atomic<unsigned long long> g_records_read{0};
std::atomic<unsigned long long> g_bytes_read{0};

// A path argument: the file system bytes and a text to name the file by.
struct PathArg {
    Ref encoded;  // bytes
    Ref shown;    // str
    const char* c_str() const { return PyBytes_AS_STRING(encoded.get()); }
};

bool path_arg(PyObject* path, PathArg& out) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) return false;
    out.encoded = Ref::steal(encoded);
    Ref fspath = Ref::steal(PyOS_FSPath(path));
    if (!fspath) return false;
    out.shown = Ref::steal(PyObject_Str(fspath.get()));
    return (bool)out.shown;
}

// Sets the Python exception for a failed core operation on `path`.
void set_status_error(const PathArg& path, const Status& s) {
    PyObject* name = path.shown.get();
    switch (s.code) {
    case ErrorCode::os_error:
        errno = s.sys_errno;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
        return;
    case ErrorCode::seek_negative:
        errno = EINVAL;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
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
        PyErr_Format(PyExc_ValueError, "%U: the parameter block at offset %lld reaches the end of the file", name,
                     (long long)s.offset);
        return;
    case ErrorCode::store_table_too_large:
        PyErr_Format(PyExc_ValueError, "%U: the store table at offset %lld claims %lld entries, more than the file holds",
                     name, (long long)s.offset, (long long)s.value);
        return;
    case ErrorCode::records_too_many:
        PyErr_Format(PyExc_ValueError, "%U: the store table at offset %lld names %lld records, more than the file holds",
                     name, (long long)s.offset, (long long)s.value);
        return;
    case ErrorCode::memory_setting:
        PyErr_Format(PyExc_ValueError, "%s holds %s, which is not a size in bytes", kMemoryLimitVariable,
                     s.bytes.c_str());
        return;
    default:
        PyErr_Format(PyExc_ValueError, "%U: damaged file (core error %d)", name, (int)s.code);
        return;
    }
}

bool open_source(const PathArg& path, FileSource& source) {
    Status s;
    Py_BEGIN_ALLOW_THREADS
    s = FileSource::open_path(path.c_str(), source);
    Py_END_ALLOW_THREADS
    if (!s.ok()) {
        set_status_error(path, s);
        return false;
    }
    return true;
}

PyObject* decode_text(const std::string& text) {
    auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const Py_ssize_t n = (Py_ssize_t)text.size();
    switch (classify_text(bytes, text.size())) {
    case TextEncoding::ascii:
        return PyUnicode_DecodeASCII(text.data(), n, "strict");
    case TextEncoding::utf8:
        return PyUnicode_DecodeUTF8(text.data(), n, "strict");
    case TextEncoding::latin1:
        break;
    }
    return PyUnicode_DecodeLatin1(text.data(), n, "strict");
}

// The int64 record offsets of an argument: any contiguous buffer of 8-byte
// signed integers.
bool offsets_arg(PyObject* object, Buffer& buffer, const int64_t*& offsets, size_t& count) {
    if (!buffer.get(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
    const Py_buffer& v = buffer.view_;
    const char* f = v.format ? v.format : "B";
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    if (v.itemsize != 8 || (std::string(f) != "q" && std::string(f) != "l")) {
        PyErr_SetString(PyExc_TypeError, "record offsets must be a contiguous int64 array");
        return false;
    }
    offsets = static_cast<const int64_t*>(v.buf);
    count = (size_t)(v.len / 8);
    return true;
}

bool output_arg(PyObject* object, Buffer& buffer, Py_ssize_t itemsize, size_t needed, void*& out) {
    if (!buffer.get(object, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) return false;
    if (buffer.view_.itemsize != itemsize || (size_t)(buffer.view_.len / itemsize) < needed) {
        PyErr_SetString(PyExc_ValueError, "output buffer has the wrong item size or is too small");
        return false;
    }
    out = buffer.view_.buf;
    return true;
}

bool check_records(const PathArg& path, const FileSource& source, const int64_t* offsets, size_t count,
                   long long npt) {
    size_t bad = 0;
    if (records_inside(source.size(), offsets, count, npt, bad)) return true;
    PyErr_Format(PyExc_ValueError,
                 "%U: the record at offset %lld does not hold its %lld values (the file ends at %lld bytes)",
                 path.shown.get(), (long long)offsets[bad], npt, (long long)source.size());
    return false;
}

// What every record read takes: the file, the records' offsets and the open
// file; the read itself runs without the GIL.
struct RecordRead {
    PathArg path;
    Buffer offsets_buffer;
    const int64_t* offsets = nullptr;
    size_t count = 0;
    FileSource source;

    bool arguments(PyObject* path_object, PyObject* offsets_object) {
        return path_arg(path_object, path) && offsets_arg(offsets_object, offsets_buffer, offsets, count);
    }
    bool open() { return open_source(path, source); }
    // Runs `read` (core only) without the GIL, closes the file, and raises
    // the read's failure naming the file.
    template <typename Read>
    bool run(Read&& read) {
        Status s;
        Py_BEGIN_ALLOW_THREADS
        s = read();
        source.close();
        Py_END_ALLOW_THREADS
        if (s.ok()) return true;
        set_status_error(path, s);
        return false;
    }
};

PyObject* read_points_fn(PyObject*, PyObject* args) {
    PyObject *path_object, *offsets_object, *out_object;
    long long npt, start, length;
    if (!PyArg_ParseTuple(args, "OOLLLO:read_points", &path_object, &offsets_object, &npt, &start, &length,
                          &out_object))
        return nullptr;
    if (npt < 0 || npt > INT32_MAX || start < 0 || length < 0 || start + length > npt) {
        PyErr_SetString(PyExc_ValueError, "points out of the record's range");
        return nullptr;
    }
    RecordRead r;
    Buffer out_buffer;
    void* out;
    if (!r.arguments(path_object, offsets_object)) return nullptr;
    if (!output_arg(out_object, out_buffer, 4, r.count * (size_t)length, out)) return nullptr;
    if (!r.open() || !check_records(r.path, r.source, r.offsets, r.count, npt)) return nullptr;
    if (!r.run([&] { return read_points(r.source, r.offsets, r.count, start, length, static_cast<float*>(out)); }))
        return nullptr;
    g_records_read += r.count;
    g_bytes_read += (unsigned long long)r.count * (unsigned long long)length * 4ULL;
    Py_RETURN_NONE;
}

PyObject* read_times_fn(PyObject*, PyObject* args) {
    PyObject *path_object, *offsets_object, *out_object;
    long long npt;
    if (!PyArg_ParseTuple(args, "OOLO:read_times", &path_object, &offsets_object, &npt, &out_object)) return nullptr;
    RecordRead r;
    Buffer out_buffer;
    void* out;
    if (!r.arguments(path_object, offsets_object)) return nullptr;
    if (!output_arg(out_object, out_buffer, 8, r.count, out)) return nullptr;
    if (!r.open()) return nullptr;
    if (!r.run([&] { return read_times(r.source, r.offsets, r.count, npt, static_cast<double*>(out)); })) return nullptr;
    g_bytes_read += (unsigned long long)r.count * 8ULL;
    Py_RETURN_NONE;
}

PyObject* read_labels_fn(PyObject*, PyObject* args) {
    PyObject *path_object, *offsets_object;
    long long npt;
    int info_size;
    if (!PyArg_ParseTuple(args, "OOLi:read_labels", &path_object, &offsets_object, &npt, &info_size)) return nullptr;
    RecordRead r;
    if (!r.arguments(path_object, offsets_object) || !r.open()) return nullptr;
    std::vector<std::string> labels;
    if (!r.run([&] { return read_labels(r.source, r.offsets, r.count, npt, info_size, labels); })) return nullptr;
    Ref list = Ref::steal(PyList_New((Py_ssize_t)r.count));
    if (!list) return nullptr;
    for (size_t k = 0; k < r.count; ++k) {
        PyObject* text = decode_text(labels[k]);
        if (!text) return nullptr;
        PyList_SET_ITEM(list.get(), (Py_ssize_t)k, text);
    }
    return list.release();
}

PyObject* counters_fn(PyObject*, PyObject*) {
    return Py_BuildValue("(KK)", (unsigned long long)g_records_read, (unsigned long long)g_bytes_read);
}

PyObject* reset_counters_fn(PyObject*, PyObject*) {
    g_records_read = 0;
    g_bytes_read = 0;
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"describe", fn_describe, METH_VARARGS,
     "describe(path, name, dimensions, deriv) -> dict: located blocks, parameter blocks and record layout"},
    {"describe_file", fn_describe_file, METH_O, "describe_file(path) -> dict: the header-only description of a file"},
    {"plan_block", fn_plan_block, METH_VARARGS,
     "plan_block(path, block) -> dict: what one data block is and where its values lie"},
    {"read_points", read_points_fn, METH_VARARGS,
     "read_points(path, offsets, npt, start, length, out): points [start, start+length) of each record"},
    {"read_times", read_times_fn, METH_VARARGS, "read_times(path, offsets, npt, out): info-record times"},
    {"read_labels", read_labels_fn, METH_VARARGS, "read_labels(path, offsets, npt, info_size) -> list of labels"},
    {"counters", counters_fn, METH_NOARGS, "counters() -> (records read, value bytes read)"},
    {"reset_counters", reset_counters_fn, METH_NOARGS, "reset_counters(): set both counters to zero"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_native", "Record-level reads of VELL data blocks for vellkit_tools.", 0, kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace vellkit::tools

// PyMODINIT_FUNC exports the function everywhere from 3.9 on; before that it
// does not on ELF and Mach-O, where the module is built with hidden symbols.
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__)
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native(void)
#else
PyMODINIT_FUNC PyInit__native(void)
#endif
{
    PyObject* module = PyModule_Create(&vellkit::tools::kModule);
    // It holds no state but atomic counters, and reads only from its own
    // arguments: a free-threaded interpreter may keep the GIL off.
#ifdef Py_GIL_DISABLED
    if (module && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
#endif
    return module;
}
