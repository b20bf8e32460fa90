// Mutexes that never deadlock against the interpreter lock. A thread that holds the interpreter
// lock and finds an engine mutex taken must not block on it: the holder may be waiting for the
// interpreter lock itself. `lock_attached` tries first and, only when the mutex is busy, releases
// the interpreter lock while it blocks.
//
// `Guarded<T>` pairs a value with its mutex and a "poisoned" mark: when a lock is released while a
// C++ exception is unwinding through the critical section, the value may be half-updated, so every
// later lock fails with an internal failure carrying the guard's text (for example "trace capture
// mutex poisoned").
#pragma once

#include "py/compat.hpp"
#include "py/error.hpp"

#include <exception>
#include <mutex>

namespace quib::py {

template <class Mutex>
void lock_attached(Mutex& mutex) {
    if (mutex.try_lock()) return;
    if (PyGILState_Check()) {
        PyThreadState* saved = PyEval_SaveThread();
        mutex.lock();
        PyEval_RestoreThread(saved);
    } else {
        mutex.lock();
    }
}

template <class T, class Mutex = std::mutex>
class Guarded {
public:
    class Lock {
    public:
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        Lock(Lock&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)), unwinding_(other.unwinding_) {}
        ~Lock() {
            if (owner_ == nullptr) return;
            if (std::uncaught_exceptions() > unwinding_) owner_->poisoned_ = true;
            owner_->mutex_.unlock();
        }
        T& operator*() const noexcept { return owner_->value_; }
        T* operator->() const noexcept { return &owner_->value_; }

    private:
        friend class Guarded;
        explicit Lock(Guarded* owner) noexcept : owner_(owner), unwinding_(std::uncaught_exceptions()) {}
        Guarded* owner_;
        int unwinding_;
    };

    template <class... Args>
    explicit Guarded(const char* poisoned_text, Args&&... args)
        : poisoned_text_(poisoned_text), value_(std::forward<Args>(args)...) {}

    // For threads that may hold the interpreter lock.
    Lock lock() {
        lock_attached(mutex_);
        return checked_lock();
    }
    // For threads that never hold it (the writer thread).
    Lock lock_detached() {
        mutex_.lock();
        return checked_lock();
    }
    bool poisoned() const noexcept { return poisoned_; }

private:
    Lock checked_lock() {
        if (poisoned_) {
            mutex_.unlock();
            throw InternalFailure(poisoned_text_);
        }
        return Lock(this);
    }

    const char* poisoned_text_;
    Mutex mutex_;
    bool poisoned_ = false;
    T value_;
};

}  // namespace quib::py
