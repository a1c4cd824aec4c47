// The GIL and signals around the core's work. One CallInterrupt serves a
// whole call: the core asks it whether to stop (after a system call cut
// short by a signal, and now and then in long loops), and it runs the
// interpreter's signal handlers to answer, taking the GIL back for that
// moment when the core runs without it.
#pragma once

#include "pyglue/pyref.hpp"
#include "core/common/interrupt.hpp"

namespace vellkit::py {

class CallInterrupt final : public Interrupt {
public:
    CallInterrupt() = default;
    CallInterrupt(const CallInterrupt&) = delete;
    CallInterrupt& operator=(const CallInterrupt&) = delete;

    bool requested() override {
        if (!released_) return PyErr_CheckSignals() < 0;
        PyEval_RestoreThread(released_);
        const bool stop = PyErr_CheckSignals() < 0;  // the handler's exception stays set
        released_ = PyEval_SaveThread();
        return stop;
    }

private:
    friend class GilReleased;
    friend class GilTaken;
    PyThreadState* released_ = nullptr;
};

// Runs the enclosing scope without the GIL (when `release`: work too short
// to be worth it keeps it): nothing in it may touch a Python object. Scopes
// do not nest.
class GilReleased {
public:
    explicit GilReleased(CallInterrupt& interrupt, bool release = true) : interrupt_(interrupt), release_(release) {
        if (release_) interrupt_.released_ = PyEval_SaveThread();
    }
    ~GilReleased() {
        if (!release_) return;
        PyEval_RestoreThread(interrupt_.released_);
        interrupt_.released_ = nullptr;
    }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    CallInterrupt& interrupt_;
    bool release_;
};

// Takes the GIL back for the enclosing scope, inside a GilReleased scope of
// the same call (or does nothing where the call holds it): the moment a
// consumer's callback needs Python.
class GilTaken {
public:
    explicit GilTaken(CallInterrupt& interrupt) : interrupt_(interrupt), thread_(interrupt.released_) {
        if (thread_) {
            PyEval_RestoreThread(thread_);
            interrupt_.released_ = nullptr;
        }
    }
    ~GilTaken() {
        if (thread_) interrupt_.released_ = PyEval_SaveThread();
    }
    GilTaken(const GilTaken&) = delete;
    GilTaken& operator=(const GilTaken&) = delete;

private:
    CallInterrupt& interrupt_;
    PyThreadState* thread_;
};

}  // namespace vellkit::py
