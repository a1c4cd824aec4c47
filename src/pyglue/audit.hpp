// Audit hooks see a file an extension module opens natively as the built-in
// open(path, "rb") reports it.
#pragma once

#include "pyglue/pyref.hpp"

namespace vellkit::py {

// Raises the "open" audit event for `path` (the object the caller gave);
// throws PyError when a hook raises.
void audit_open(PyObject* path);

}  // namespace vellkit::py
