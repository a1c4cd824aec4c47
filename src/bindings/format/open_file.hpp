// Opening a file by path as the built-in open(path, "rb") would, but reading
// it through one native descriptor.
#pragma once

#include "pyglue/gil.hpp"
#include "bindings/common/module_state.hpp"
#include "core/format/byte_source.hpp"

namespace vellkit::py {

class OpenFile {
public:
    OpenFile() = default;
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    // Raises exactly what open(path, "rb") raises when the path cannot be
    // opened. str, bytes and path-like objects are opened natively; other
    // arguments (descriptors among them) go through the built-in open, whose
    // file object is kept and closed with this object.
    void open(ModuleState* state, PyObject* path);
    // Closes now; a failure of the file object's close() is raised.
    void close();

    const FileSource& source() const { return source_; }
    // Signals and the GIL for the call that opened the file.
    CallInterrupt& interrupt() { return interrupt_; }
    // True when the file was opened natively (not through the built-in open).
    bool is_native() const;
    // A small file opened natively is read whole now, in one system call,
    // and every later read of the call is served from memory.
    void hold_if_small() {
        if (is_native()) source_.hold_if_small(kHeldFileBytes);
    }
    static constexpr size_t kHeldFileBytes = 64 * 1024;

private:
    void open_with_builtin(ModuleState* state, PyObject* path);

    CallInterrupt interrupt_;
    FileSource source_;
    Ref file_object_;
};

}  // namespace vellkit::py
