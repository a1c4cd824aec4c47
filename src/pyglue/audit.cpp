#include "pyglue/audit.hpp"

#include <fcntl.h>

namespace vellkit::py {

namespace {
// The flags the built-in open(path, "rb") reports to audit hooks.
#if defined(_WIN32)
constexpr int kReadOnlyFlags = _O_RDONLY | _O_NOINHERIT | _O_BINARY;
#else
constexpr int kReadOnlyFlags = O_RDONLY | O_CLOEXEC;
#endif
}  // namespace

void audit_open(PyObject* path) {
    if (PySys_Audit("open", "Osi", path, "r", kReadOnlyFlags) < 0) throw PyError();
}

}  // namespace vellkit::py
