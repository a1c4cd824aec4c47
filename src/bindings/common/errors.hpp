// Turning core failures into the Python exceptions the module raises.
#pragma once

#include "bindings/common/pyref.hpp"
#include "core/common/status.hpp"

namespace vellkit::py {

// Sets the Python exception for a failed status.
void set_error(const Status& status);

// Throws PyError after setting the exception, when `status` failed.
inline void check(const Status& status) {
    if (!status.ok()) {
        set_error(status);
        throw PyError();
    }
}

// Raises KeyError(key) as a dict lookup does.
[[noreturn]] void raise_key_error(PyObject* key);

}  // namespace vellkit::py
