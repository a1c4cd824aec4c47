// A byte source whose ranges a Python object fetches: the remote objects
// and file objects of vellkit_tools.remote. The object's protocol:
//   size            the object's length in bytes (an int)
//   read_into(offset, buffer) -> int
//                   fills the writable buffer from `offset`; fewer bytes
//                   only at the end of the object
// A failure of the object (its exception, KeyboardInterrupt included) ends
// the read and stays set, to be raised as it is once the call is back.
#pragma once

#include "core/platform/file.hpp"
#include "pyglue/gil.hpp"

namespace vellkit::py {

class PythonRanges final : public RangeReader {
public:
    // `source` is borrowed for the call; `interrupt` is the call's.
    PythonRanges(PyObject* source, CallInterrupt& interrupt) : source_(source), interrupt_(interrupt) {}
    Status read_range(int64_t offset, void* dst, size_t n, size_t& delivered) override;

    // The object's `size`, an int of at least 0 (raises PyError otherwise).
    static int64_t size_of(PyObject* source);

private:
    PyObject* source_;
    CallInterrupt& interrupt_;
};

}  // namespace vellkit::py
