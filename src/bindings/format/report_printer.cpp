#include "bindings/format/report_printer.hpp"

#include <system_error>

namespace vellkit::py {

ReportPrinter::~ReportPrinter() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    // The helper takes the GIL once more to delete its thread state.
    PyThreadState* saved = PyEval_SaveThread();
    thread_.join();
    PyEval_RestoreThread(saved);
}

void ReportPrinter::run(void (*print)(void*), void* argument) {
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread(&ReportPrinter::serve, this, PyThreadState_Get()->interp);
        } catch (const std::system_error&) {
            // No thread to be had: printed here, as before.
            print(argument);
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = print;
        argument_ = argument;
    }
    changed_.notify_all();
    PyThreadState* saved = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return job_ == nullptr; });
    }
    PyEval_RestoreThread(saved);
}

void ReportPrinter::serve(PyInterpreterState* interpreter) {
    PyThreadState* state = PyThreadState_New(interpreter);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return job_ != nullptr || stop_; });
        if (!job_) break;
        void (*job)(void*) = job_;
        void* argument = argument_;
        lock.unlock();
        PyEval_RestoreThread(state);
        job(argument);
        PyEval_SaveThread();
        lock.lock();
        job_ = nullptr;
        changed_.notify_all();
    }
    lock.unlock();
    PyEval_RestoreThread(state);
    PyThreadState_Clear(state);
    PyThreadState_DeleteCurrent();
}

}  // namespace vellkit::py
