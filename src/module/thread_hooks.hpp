// Per-thread hook state: one byte that every tracer callback reads first to decide whether this
// thread may be recorded at all, and the thread's list of pending work per monitoring tracer.
//
// STATE bits: 1 worker mark (a host-package background thread, never recorded), 2 suspension (the
// engine is running Python code of its own from inside a callback), 4 some WAITING entry has
// pending bits. Everything here belongs to the calling thread; no lock is needed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace quib::hooks {

inline constexpr std::uint8_t WORKER_MARK = 1;
inline constexpr std::uint8_t SUSPENDED = 2;
inline constexpr std::uint8_t ASSIGNMENTS_PENDING = 4;
inline constexpr std::uint8_t HOOKS_OFF = WORKER_MARK | SUSPENDED;

extern constinit thread_local std::uint8_t STATE;

inline std::uint8_t state() noexcept { return STATE; }
// The first test of every callback: nothing is recorded on a worker or while suspended.
inline bool hooks_off() noexcept { return (STATE & HOOKS_OFF) != 0; }

// Sets the worker mark to `value`; returns the previous mark.
bool set_worker_mark(bool value) noexcept;
// Clears the worker mark and the suspension (for the only thread of a forked child); returns the
// previous worker mark. Pending assignments stay.
bool reset_after_fork() noexcept;

// Suspends recording on this thread for the lifetime of the object, around the engine's own
// Python calls made from inside callbacks. Nested suspensions keep the outer one.
class Suspension {
public:
    Suspension() noexcept : was_suspended_((STATE & SUSPENDED) != 0) { STATE |= SUSPENDED; }
    ~Suspension() {
        if (!was_suspended_) STATE &= static_cast<std::uint8_t>(~SUSPENDED);
    }
    Suspension(const Suspension&) = delete;
    Suspension& operator=(const Suspension&) = delete;

private:
    bool was_suspended_;
};

using AliveFlag = std::shared_ptr<std::atomic<bool>>;

// Identity of a tracer that keeps pending work in threads' WAITING lists. Numbers are unique per
// process; the owner clears the alive flag when it goes away, and each thread drops that owner's
// entries lazily.
struct AssignmentOwner {
    AliveFlag alive;
    std::uint64_t number;

    static AssignmentOwner create();
    void retire() const noexcept { alive->store(false, std::memory_order_release); }
};

// Sets (set = true) or clears the given bits of this owner's entry on the calling thread.
void set_assignment(const AliveFlag& alive, std::uint64_t number, std::uint8_t bits, bool set);
// Removes the calling thread's entries whose owner has gone away.
void drop_dead_assignments();
// The bits of this owner's entry on the calling thread (0 when it has none).
std::uint8_t assignment_bits(std::uint64_t number);

struct WaitingEntryView {
    std::uint64_t number;
    bool alive;
    std::uint8_t bits;
};
// A copy of the calling thread's WAITING list, for diagnostics and tests.
std::vector<WaitingEntryView> waiting_snapshot();

}  // namespace quib::hooks
