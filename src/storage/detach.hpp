// Blocking in trace storage without holding the interpreter lock. Storage code runs on traced
// threads (which hold the lock), on threads that released it, and on the writer threads, which
// never had a Python thread state. Writer threads say so through `ON_WRITER_THREAD`, so that
// nothing there ever asks the interpreter about its lock.
#pragma once

#include "py/compat.hpp"
#include "py/gil_mutex.hpp"

namespace quib::storage {

inline constinit thread_local bool ON_WRITER_THREAD = false;

inline bool holds_interpreter_lock() noexcept { return !ON_WRITER_THREAD && PyGILState_Check() != 0; }

// Releases the interpreter lock for a scope if the calling thread holds it.
class DetachedFromInterpreter {
public:
    DetachedFromInterpreter() noexcept : saved_(holds_interpreter_lock() ? PyEval_SaveThread() : nullptr) {}
    ~DetachedFromInterpreter() {
        if (saved_ != nullptr) PyEval_RestoreThread(saved_);
    }
    DetachedFromInterpreter(const DetachedFromInterpreter&) = delete;
    DetachedFromInterpreter& operator=(const DetachedFromInterpreter&) = delete;

private:
    PyThreadState* saved_;
};

// Takes a mutex the interpreter-aware way from any storage thread.
template <class Mutex>
void lock_storage(Mutex& mutex) {
    if (ON_WRITER_THREAD) {
        mutex.lock();
    } else {
        py::lock_attached(mutex);
    }
}

template <class T, class Mutex>
typename py::Guarded<T, Mutex>::Lock lock_guarded(py::Guarded<T, Mutex>& guarded) {
    return ON_WRITER_THREAD ? guarded.lock_detached() : guarded.lock();
}

}  // namespace quib::storage
