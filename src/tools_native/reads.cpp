// The record-level reads of vellkit_tools._native: each charges its result
// to the call's memory budget, makes it once at its final size, and fills
// it without the GIL.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/extract/spectrum.hpp"
#include "core/format/layout.hpp"
#include "tools_native/functions.hpp"
#include "pyglue/objects.hpp"
#include "tools_native/native_call.hpp"
#include "core/plans/record_reads.hpp"

namespace vellkit::tools {

namespace {

using py::guarded;
using py::PyError;
using py::Ref;

// The int64 record offsets of an argument: any contiguous buffer of 8-byte
// signed integers.
class Offsets {
public:
    explicit Offsets(PyObject* object) : buffer_(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) {
        const Py_buffer& v = buffer_.view();
        const char* f = v.format ? v.format : "B";
        if (*f == '<' || *f == '=' || *f == '@') ++f;
        if (v.itemsize != 8 || (std::strcmp(f, "q") != 0 && std::strcmp(f, "l") != 0)) {
            PyErr_SetString(PyExc_TypeError, "record offsets must be a contiguous int64 array");
            throw PyError();
        }
    }
    const int64_t* data() const { return static_cast<const int64_t*>(buffer_.view().buf); }
    size_t size() const { return (size_t)(buffer_.view().len / 8); }

private:
    py::BufferView buffer_;
};

// numpy.empty(shape, dtype) and its memory, to be filled in place.
struct NewArray {
    Ref array;
    void* data = nullptr;
};

NewArray new_array(NativeState* st, std::initializer_list<long long> dims, PyObject* dtype) {
    Ref shape = py::shape_tuple(dims);
    NewArray out;
    out.array = Ref::check(PyObject_CallFunctionObjArgs(st->np_empty, shape.get(), dtype, nullptr));
    py::WritableView view(out.array.get());
    out.data = view.data();  // the array keeps its memory while it lives
    return out;
}

// ValueError naming the file unless every record holds its `npt` values.
void check_records(const NativeCall& call, const Offsets& offsets, long long npt) {
    size_t bad = 0;
    const int64_t size = call.source().size();
    if (records_inside(size, offsets.data(), offsets.size(), npt, bad)) return;
    PyErr_Format(PyExc_ValueError,
                 "%U: the record at offset %lld does not hold its %lld values (the file ends at %lld bytes)",
                 call.shown(), (long long)offsets.data()[bad], npt, (long long)size);
    throw PyError();
}

void check_npt(long long npt) {
    if (npt < 0 || npt > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "npt must be a count of points below 2**31, not %lld", npt);
        throw PyError();
    }
}

}  // namespace

PyObject* fn_read_points(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", "offsets", "npt", "start", "length", "identity", nullptr};
        PyObject *path, *offsets_object, *identity = Py_None;
        long long npt, start, length;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOLLL|O:read_points", const_cast<char**>(keywords), &path,
                                         &offsets_object, &npt, &start, &length, &identity))
            return nullptr;
        check_npt(npt);
        if (start < 0 || length < 0 || start > npt || length > npt - start) {
            PyErr_Format(PyExc_ValueError, "points [%lld, %lld + %lld) lie outside a record of %lld points", start,
                         start, length, npt);
            throw PyError();
        }
        Offsets offsets(offsets_object);
        NativeCall call(path);
        call.open(identity);
        call.charge(offsets.size(), (uint64_t)length * layout::kValueBytes);
        check_records(call, offsets, npt);
        NativeState* st = native_state(module);
        NewArray out = new_array(st, {(long long)offsets.size(), length}, st->np_float32);
        call.run([&] {
            return read_points(call.source(), offsets.data(), offsets.size(), start, length,
                               static_cast<float*>(out.data));
        });
        call.check_unchanged();
        st->records_read += offsets.size();
        st->bytes_read += (unsigned long long)offsets.size() * (unsigned long long)length * layout::kValueBytes;
        return out.array.release();
    });
}

PyObject* fn_read_values(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", "offset", "npt", "identity", nullptr};
        PyObject *path, *identity = Py_None;
        long long offset, npt;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OLL|O:read_values", const_cast<char**>(keywords), &path,
                                         &offset, &npt, &identity))
            return nullptr;
        check_npt(npt);
        NativeCall call(path);
        call.open(identity);
        int64_t count = 0;
        {
            Cursor cursor(call.source());
            call.check(locate_spectrum(cursor, offset, npt, count));
        }
        call.charge((uint64_t)count, layout::kValueBytes);
        NativeState* st = native_state(module);
        NewArray out = new_array(st, {(long long)count}, st->np_float32);
        call.run([&] {
            return read_spectrum_values(call.source(), offset, (size_t)count, static_cast<float*>(out.data));
        });
        call.check_unchanged();
        st->records_read += 1;
        st->bytes_read += (unsigned long long)count * layout::kValueBytes;
        return out.array.release();
    });
}

PyObject* fn_read_times(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", "offsets", "npt", "identity", nullptr};
        PyObject *path, *offsets_object, *identity = Py_None;
        long long npt;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOL|O:read_times", const_cast<char**>(keywords), &path,
                                         &offsets_object, &npt, &identity))
            return nullptr;
        check_npt(npt);
        Offsets offsets(offsets_object);
        NativeCall call(path);
        call.open(identity);
        call.charge(offsets.size(), sizeof(double));
        NativeState* st = native_state(module);
        NewArray out = new_array(st, {(long long)offsets.size()}, st->np_float64);
        call.run([&] {
            return read_times(call.source(), offsets.data(), offsets.size(), npt, static_cast<double*>(out.data));
        });
        call.check_unchanged();
        st->bytes_read += (unsigned long long)offsets.size() * sizeof(double);
        return out.array.release();
    });
}

PyObject* fn_read_labels(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", "offsets", "npt", "info_size", "identity", nullptr};
        PyObject *path, *offsets_object, *identity = Py_None;
        long long npt;
        int info_size;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOLi|O:read_labels", const_cast<char**>(keywords), &path,
                                         &offsets_object, &npt, &info_size, &identity))
            return nullptr;
        check_npt(npt);
        Offsets offsets(offsets_object);
        NativeCall call(path);
        call.open(identity);
        call.charge(offsets.size(), sizeof(PyObject*));  // the list
        std::vector<std::string> labels;
        MemoryBudget& budget = call.budget();
        call.run([&] { return read_labels(call.source(), offsets.data(), offsets.size(), npt, info_size, budget, labels); });
        call.check_unchanged();
        Ref list = Ref::check(PyList_New((Py_ssize_t)labels.size()));
        for (size_t k = 0; k < labels.size(); ++k) {
            // With the GIL held: signal handlers run here, as the hook runs them.
            if (k % kInterruptPollEvery == kInterruptPollEvery - 1 && PyErr_CheckSignals() < 0) throw PyError();
            PyList_SET_ITEM(list.get(), (Py_ssize_t)k, py::decode_stored_text(labels[k]).release());
            std::string().swap(labels[k]);  // each label is held once at a time
        }
        return list.release();
    });
}

PyObject* fn_counters(PyObject* module, PyObject*) {
    NativeState* st = native_state(module);
    return Py_BuildValue("(KK)", st->records_read.load(), st->bytes_read.load());
}

PyObject* fn_reset_counters(PyObject* module, PyObject*) {
    NativeState* st = native_state(module);
    st->records_read = 0;
    st->bytes_read = 0;
    Py_RETURN_NONE;
}

}  // namespace vellkit::tools
