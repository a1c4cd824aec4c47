// The frame of every function of vellkit_tools._native: the path argument
// (or a byte source object of vellkit_tools.remote), the file opened without
// the GIL (a FIFO's wait for a writer, and every read after it, ended by a
// signal handler's exception), the check that it is still the file a plan
// was made of, the call's memory budget, and failures raised through the one
// table of both modules, naming the file.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "core/common/limits.hpp"
#include "core/format/byte_source.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/gil.hpp"
#include "pyglue/python_ranges.hpp"

namespace vellkit::tools {

class NativeCall {
public:
    // Takes a path argument (str, bytes or path-like), or a byte source: an
    // object with `name`, `size`, `read_into` and `identity` (see
    // python_ranges.hpp; `identity()` returns what tells this object from
    // another, compared with ==). Raises (PyError) as os.fsencode does for
    // anything else.
    explicit NativeCall(PyObject* path);
    ~NativeCall();
    NativeCall(const NativeCall&) = delete;
    NativeCall& operator=(const NativeCall&) = delete;

    // Opens the file (reported to audit hooks as open(path, "rb") is); when
    // `identity` is not None (a (device, inode, size, modification time
    // in ns) tuple, or a byte source's identity()), raises OSError unless
    // the open file has that identity.
    void open(PyObject* identity = Py_None);
    // The open file's identity, as open() takes it.
    py::Ref identity();

    // Raises OSError naming the file when it is no longer as it was opened
    // (cut short or rewritten while it was read): what a read delivered
    // from it may hold zeros for bytes that went. Called after each read.
    void check_unchanged();

    // What the call may allocate for its results (made on first use, from
    // the memory limit setting and the open file's size).
    MemoryBudget& budget();
    // Counts memory the call is about to allocate; MemoryError past the limit.
    void charge(uint64_t count, uint64_t item_bytes) { check(budget().charge(count, item_bytes)); }

    // Raises a core failure, naming the file: first a byte source's own,
    // which the readers may have taken for a file cut short.
    void check(const Status& status) {
        py::check(source_.reader_failure().ok() ? status : source_.reader_failure(), shown_.get());
    }
    // Runs `work` (core only, no Python object) without the GIL, then
    // raises its failure.
    template <typename Work>
    void run(Work&& work) {
        Status status;
        {
            py::GilReleased released(interrupt_);
            status = work();
        }
        check(status);
    }

    const FileSource& source() const { return source_; }
    // The file as messages name it (a str).
    PyObject* shown() const { return shown_.get(); }

private:
    void check_identity(PyObject* identity);
    void open_source(PyObject* identity);

    PyObject* path_;   // as the caller gave it (borrowed for the call)
    py::Ref encoded_;  // bytes for the system
    py::Ref shown_;    // str for messages
    py::CallInterrupt interrupt_;  // outlives the file, whose reads ask it
    // A byte source object: its ranges, or the memory it lends (`memory`).
    PyObject* ranges_object_ = nullptr;
    std::unique_ptr<py::PythonRanges> ranges_;
    Py_buffer memory_{};
    bool memory_held_ = false;
    FileSource source_;
    FileIdentity opened_;  // as the file was when it was opened
    MemoryBudget budget_;
    bool budget_made_ = false;
};

}  // namespace vellkit::tools
