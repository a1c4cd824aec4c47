// Reports of failed field reads, made as the module's readers report them:
// the struct error that decoding the delivered bytes raises is printed with
// its traceback (which records it as the last exception) and then handed to
// the unraisable-exception hook under the reader's name.
#pragma once

#include "bindings/common/module_state.hpp"
#include "core/format/field_readers.hpp"

namespace vellkit::py {

class FieldReporter final : public FieldReadObserver {
public:
    explicit FieldReporter(ModuleState* state) : state_(state) {}
    void short_read(FieldKind kind, const unsigned char* delivered, size_t count) override;
    ModuleState* state() const { return state_; }

private:
    ModuleState* state_;
};

}  // namespace vellkit::py
