// A stand-in for the standard `imghdr` module on interpreters that no longer
// ship it: `what(file, h=None)` gives the same kind names for the same bytes.
#pragma once

#include "pyglue/pyref.hpp"

namespace vellkit::py {

Ref make_imghdr_module();

}  // namespace vellkit::py
