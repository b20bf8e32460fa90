// Which process incarnation an object belongs to. After fork() the child inherits captures, writers
// and locks of threads that do not exist in it; objects remember the identity they were made in and
// treat a different one as inherited.
//
// The identity is the fork generation, which a child handler registered with pthread_atfork
// advances in every child. If registering that handler fails, the process id stands in for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace quib::storage {

struct ProcessIdentity {
    std::uint64_t value = 0;
    bool is_generation = true;
    bool operator==(const ProcessIdentity&) const = default;
};

// Registers the fork handler on first use.
ProcessIdentity current_process_identity() noexcept;
std::uint64_t process_fork_generation() noexcept;
// What the child handler does first; also callable directly (tests).
void advance_process_fork_generation() noexcept;
// Whether the fork handler could be registered (registers it if needed).
bool fork_handler_registered() noexcept;

// Work to redo in a fresh child right after fork(), while it has one thread: reset process-wide
// locks and counters that a parent thread may have been holding. At most a handful are registered
// (by storage's process-wide singletons), with no allocation.
void run_in_fork_child(void (*hook)()) noexcept;

// A mutex that is never inherited locked: in a process incarnation other than the one that last
// used it, it first swaps in a fresh, unlocked inner mutex. The old one is left alone (it may be
// "held" by a thread that does not exist here). Meets the Lockable requirements.
class ForkAwareMutex {
public:
    ForkAwareMutex();
    ~ForkAwareMutex();
    ForkAwareMutex(const ForkAwareMutex&) = delete;
    ForkAwareMutex& operator=(const ForkAwareMutex&) = delete;

    std::mutex& for_this_process();
    void lock();
    bool try_lock();
    void unlock();

private:
    std::atomic<std::uint64_t> identity_;
    std::atomic<std::mutex*> inner_;
    std::mutex* locked_ = nullptr;  // written only by the holder
};

}  // namespace quib::storage
