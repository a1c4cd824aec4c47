// How the core lets its consumer stop a call: a blocking system call cut
// short by a signal, and long loops every kInterruptPollEvery steps, ask the
// hook; when it says stop, the core returns ErrorCode::interrupted at once.
#pragma once

namespace vellkit {

class Interrupt {
public:
    virtual ~Interrupt() = default;
    // True when the call should stop (the consumer keeps the reason).
    virtual bool requested() = 0;
};

}  // namespace vellkit
