// Printing failed-read reports where signal handlers cannot run. The
// interpreter runs a signal handler at the next check for signals, and
// printing a report checks for them itself (each flush of sys.stderr does):
// a handler's exception raised there is swallowed by the printing, and a
// flood of reports would lose every Ctrl-C. Handlers run only on the main
// thread, so the reports are printed on a helper thread while the calling
// thread waits without the GIL, then checks for signals itself.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "pyglue/pyref.hpp"

namespace vellkit::py {

class ReportPrinter {
public:
    ReportPrinter() = default;
    ReportPrinter(const ReportPrinter&) = delete;
    ReportPrinter& operator=(const ReportPrinter&) = delete;
    // With the GIL held: ends the helper thread, if it was started.
    ~ReportPrinter();

    // With the GIL held: runs `print(argument)` on the helper thread (started
    // on first use, in the caller's interpreter) and waits for it. `print`
    // must leave no exception set.
    void run(void (*print)(void*), void* argument);

private:
    void serve(PyInterpreterState* interpreter);

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    void (*job_)(void*) = nullptr;
    void* argument_ = nullptr;
    bool stop_ = false;
};

}  // namespace vellkit::py
