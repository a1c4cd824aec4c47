// The one table from core failures to the Python exceptions both extension
// modules raise, with one wording for each failure.
#pragma once

#include "core/common/status.hpp"
#include "pyglue/pyref.hpp"

namespace vellkit::py {

// Sets the Python exception for a failed status. `file` (a str, or NULL)
// names the file: an OSError takes it as its filename, other messages start
// with "<file>: ". A failure that is not the file's (the memory limit
// setting, an interrupt) is worded the same either way; the memory limit's
// message names the file through the budget's subject.
void set_error(const Status& status, PyObject* file = nullptr);

// Throws PyError after setting the exception, when `status` failed.
inline void check(const Status& status, PyObject* file = nullptr) {
    if (!status.ok()) {
        set_error(status, file);
        throw PyError();
    }
}

// Raises KeyError(key) as a dict lookup does.
[[noreturn]] void raise_key_error(PyObject* key);

}  // namespace vellkit::py
