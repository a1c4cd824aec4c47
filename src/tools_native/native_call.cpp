#include "tools_native/native_call.hpp"

#include "pyglue/audit.hpp"
#include "pyglue/memory_limit.hpp"

namespace vellkit::tools {

using py::audit_open;
using py::PyError;
using py::Ref;

namespace {

// Number i of an identity tuple, an exact integer (OverflowError past 64
// bits, or below 0 where `is_signed` is false).
int64_t identity_number(PyObject* identity, Py_ssize_t i, bool is_signed) {
    PyObject* item = PyTuple_GET_ITEM(identity, i);
    if (!PyLong_Check(item)) {
        PyErr_Format(PyExc_TypeError, "identity must hold integers, not %.200s", Py_TYPE(item)->tp_name);
        throw PyError();
    }
    if (is_signed) {
        const long long value = PyLong_AsLongLong(item);
        if (value == -1 && PyErr_Occurred()) throw PyError();
        return (int64_t)value;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(item);
    if (value == (unsigned long long)-1 && PyErr_Occurred()) throw PyError();
    return (int64_t)value;  // the same 64 bits, compared as they are
}

}  // namespace

NativeCall::NativeCall(PyObject* path) : path_(path) {
    if (!PyUnicode_Check(path) && !PyBytes_Check(path) && PyObject_HasAttrString(path, "read_into")) {
        ranges_object_ = path;
        shown_ = Ref::check(PyObject_GetAttrString(path, "name"));
        if (!PyUnicode_Check(shown_.get())) shown_ = Ref::check(PyObject_Str(shown_.get()));
        return;
    }
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) throw PyError();
    encoded_ = Ref::steal(encoded);
    shown_ = Ref::check(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(encoded), PyBytes_GET_SIZE(encoded)));
}

NativeCall::~NativeCall() {
    source_.close();  // before the memory it may borrow goes
    if (memory_held_) PyBuffer_Release(&memory_);
}

void NativeCall::open_source(PyObject* identity) {
    Ref memory = Ref::check(PyObject_GetAttrString(ranges_object_, "memory"));
    if (memory.get() != Py_None) {
        if (PyObject_GetBuffer(memory.get(), &memory_, PyBUF_SIMPLE) < 0) throw PyError();
        memory_held_ = true;
        source_ = FileSource::from_memory(static_cast<const unsigned char*>(memory_.buf), (int64_t)memory_.len);
    } else {
        const int64_t size = py::PythonRanges::size_of(ranges_object_);
        ranges_.reset(new py::PythonRanges(ranges_object_, interrupt_));
        source_ = FileSource::from_reader(ranges_.get(), size, &interrupt_);
    }
    if (identity == Py_None) return;
    Ref now = this->identity();
    const int same = PyObject_RichCompareBool(now.get(), identity, Py_EQ);
    if (same < 0) throw PyError();
    if (!same) {
        PyErr_Format(PyExc_OSError, "%U has changed since it was opened (another object, or the same one rewritten)",
                     shown_.get());
        throw PyError();
    }
}

Ref NativeCall::identity() {
    if (ranges_object_) return Ref::check(PyObject_CallMethod(ranges_object_, "identity", nullptr));
    FileIdentity id;
    check(source_.identity(id));
    return Ref::check(Py_BuildValue("(KKLL)", (unsigned long long)id.device, (unsigned long long)id.inode,
                                    (long long)id.size, (long long)id.mtime_ns));
}

void NativeCall::open(PyObject* identity) {
    if (ranges_object_) return open_source(identity);
    const char* path = PyBytes_AS_STRING(encoded_.get());
    run([&] { return FileSource::open_path(path, source_, &interrupt_); });
    audit_open(path_);
    check(source_.identity(opened_));
    if (identity != Py_None) check_identity(identity);
}

void NativeCall::check_unchanged() {
    // A byte source's identity was checked before the read; it answers for
    // its own ranges (a store's conditional reads).
    if (ranges_object_) return;
    FileIdentity now;
    check(source_.identity(now));
    if (now.size != opened_.size || now.mtime_ns != opened_.mtime_ns) {
        PyErr_Format(PyExc_OSError, "%U changed while it was read (cut short or rewritten): its values are lost",
                     shown_.get());
        throw PyError();
    }
}

void NativeCall::check_identity(PyObject* identity) {
    if (!PyTuple_Check(identity) || PyTuple_GET_SIZE(identity) != 4) {
        PyErr_SetString(PyExc_TypeError, "identity must be a (device, inode, size, mtime_ns) tuple or None");
        throw PyError();
    }
    FileIdentity expected;
    expected.device = (uint64_t)identity_number(identity, 0, false);
    expected.inode = (uint64_t)identity_number(identity, 1, false);
    expected.size = identity_number(identity, 2, true);
    expected.mtime_ns = identity_number(identity, 3, true);
    if (!opened_.matches(expected)) {
        PyErr_Format(PyExc_OSError, "%U has changed since it was opened (another file, or the same one rewritten)",
                     shown_.get());
        throw PyError();
    }
}

MemoryBudget& NativeCall::budget() {
    if (!budget_made_) {
        // A name that is not UTF-8 (undecodable bytes) is shown as its repr.
        PyObject* subject = PyUnicode_AsUTF8(shown_.get()) || !encoded_ ? shown_.get() : encoded_.get();
        PyErr_Clear();
        budget_ = py::call_budget(source_.size_known() ? source_.size() : -1, py::describe_path(subject));
        budget_made_ = true;
    }
    return budget_;
}

}  // namespace vellkit::tools
