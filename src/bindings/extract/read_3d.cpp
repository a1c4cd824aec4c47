// 3D data blocks: dispatch to the reader of the block's kind.
#include "bindings/extract/context.hpp"

namespace vellkit::py {

Ref read_3d_block(ExtractContext& ctx) {
    PyErr_SetString(PyExc_NotImplementedError, "3D data blocks are not supported yet");
    throw PyError();
}

}  // namespace vellkit::py
