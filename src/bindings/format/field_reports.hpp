// Reports of failed field reads, made as the module's readers report them:
// the struct error that decoding the delivered bytes raises is printed with
// its traceback (which records it as the last exception) and then handed to
// the unraisable-exception hook under the reader's name. Signal handlers run
// before and after each report; one that raises ends the read by throwing
// PyError through the core reader (which holds nothing that needs more than
// unwinding, as for a failed allocation), and nothing more is printed.
#pragma once

#include <vector>

#include "pyglue/gil.hpp"
#include "bindings/common/module_state.hpp"
#include "bindings/format/report_printer.hpp"
#include "core/common/limits.hpp"
#include "core/format/field_readers.hpp"

namespace vellkit::py {

class FieldReporter final : public FieldReadObserver {
public:
    // Core work run through run_core() goes without the GIL when the call
    // has an `interrupt` (every call that opened a file has one).
    FieldReporter(ModuleState* state, CallInterrupt* interrupt) : state_(state), interrupt_(interrupt) {}
    void short_read(FieldKind kind, const unsigned char* delivered, size_t count) override;
    ModuleState* state() const { return state_; }

    // Runs `work(observer)` (core readers only, no Python) without the GIL,
    // keeping its failed-read reports, then makes them in order once the
    // GIL is back and before anything else the caller can see; returns the
    // work's status.
    template <typename Work>
    Status run_core(const FileSource& source, Work&& work) {
        // Small files are parsed in microseconds: less than letting go of
        // the GIL would cost.
        const bool worth_it = !source.seekable() || source.size() >= kUnlockedParseFileBytes;
        if (!interrupt_ || !worth_it) return work(static_cast<FieldReadObserver&>(*this));
        Deferred deferred;
        Status status;
        {
            GilReleased released(*interrupt_);
            status = work(static_cast<FieldReadObserver&>(deferred));
        }
        // A signal handler's exception (status interrupted) ends the call
        // before anything more is printed.
        if (status.code == ErrorCode::interrupted) return status;
        for (const Deferred::Report& r : deferred.reports) short_read(r.kind, r.bytes, r.count);
        return status;
    }

private:
    struct Deferred final : FieldReadObserver {
        struct Report {
            FieldKind kind;
            size_t count;
            unsigned char bytes[8];
        };
        std::vector<Report> reports;
        void short_read(FieldKind kind, const unsigned char* delivered, size_t count) override {
            Report r{kind, count < 8 ? count : 8, {}};
            for (size_t i = 0; i < r.count; ++i) r.bytes[i] = delivered[i];
            reports.push_back(r);
        }
    };

    ModuleState* state_;
    CallInterrupt* interrupt_;
    ReportPrinter printer_;
};

}  // namespace vellkit::py
