// What one call of either extension module may allocate for its results:
// the memory limit setting (VELLKIT_MEMORY_LIMIT) read from the environment
// here, and parsed by the core (parse_byte_size), in this one place.
#pragma once

#include <cstdint>
#include <string>

#include "core/common/limits.hpp"
#include "pyglue/pyref.hpp"

namespace vellkit::py {

// The budget of a call on a file of `file_size` bytes (negative: unknown),
// whose failure names the file as `subject`; raises ValueError (PyError) for
// a setting that is not a size.
MemoryBudget call_budget(int64_t file_size, const std::string& subject);

// The file as messages name it: str(path), or its repr when that fails.
std::string describe_path(PyObject* path);

// os.environ[name] as UTF-8 ("?" when it cannot be encoded); false when
// unset.
bool environment_variable(const char* name, std::string& out);

}  // namespace vellkit::py
