// The native stack guard. A traced program may run close to the end of its thread's C stack, and
// recording an event (encoding values, calling into Python) needs stack of its own. For every tracer
// event the guard measures what is left and decides: record normally, record without values, or
// skip. Frames entered close to the end are tracked on a small per-thread entry stack, so that a
// skipped frame's whole subtree and its exit are skipped with it and a recorded frame's exit is
// still recorded.
//
// Cost: with plenty of stack left, no tracked entries and values not being omitted (nearly every
// event), `check_stack_with` reads one thread-local word and compares it with the stack position.
// Everything else happens only within 544 KiB of the stack's end.
#pragma once

#include "diagnostics/stack_bounds.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quib::diagnostics {

inline constexpr std::uint64_t KIB = 1024;
// An entry whose remaining + this is still below the current remaining was left behind.
inline constexpr std::uint64_t STALE_SLACK = 32 * KIB;
inline constexpr std::uint64_t EXIT_SKIP = 128 * KIB;
inline constexpr std::uint64_t EXIT_WITHOUT_VALUES = 192 * KIB;
inline constexpr std::uint64_t ENTER_SKIP = 256 * KIB;
inline constexpr std::uint64_t TRACKING_ZONE = 512 * KIB;
inline constexpr std::uint64_t FAST_PATH = 544 * KIB;
// "Remaining" when the thread's stack bounds are unknown: larger than every threshold.
inline constexpr std::uint64_t REMAINING_UNKNOWN = UINT64_MAX;

enum class StackEvent : std::uint8_t { Enter = 0, Exit = 1, Within = 2 };
enum class StackDecision : std::uint8_t { Record = 0, RecordWithoutValues = 1, Skip = 2 };

struct StackEntry {
    std::uintptr_t key;
    std::uint64_t remaining;
};

// One thread's tracked frames. Entries below `boundary` belong to recorded frames, entries at or
// above it to skipped ones.
struct StackGuard {
    std::vector<StackEntry> entries;
    std::size_t boundary = 0;
};

// The decision proper, on a given guard with a given remaining stack (pure bookkeeping).
StackDecision decide(StackGuard& guard, StackEvent event, std::uintptr_t key, std::uint64_t remaining);

// The omitting-values flag as it was before `check_stack_with` changed it.
struct OmittingValues {
    bool previous;
    // Puts the calling thread's flag back to `previous`.
    void restore() const noexcept;
};

struct StackCheck {
    std::uintptr_t key;
    StackDecision decision;
    std::optional<OmittingValues> restore;
};

// Per-thread state. Plain values only, so that reading it costs no lazy initialisation; the entry
// stack lives behind a pointer, released when the thread exits.
struct ThreadStackState {
    // Stack positions at or above this take the fast path; UINTPTR_MAX sends every check through
    // the slow path (floor not known yet, entries tracked, or values being omitted).
    std::uintptr_t fast_limit = UINTPTR_MAX;
    // Lowest usable address: 0 not computed yet, UNKNOWN_STACK_LIMIT when the system did not say.
    std::uintptr_t floor = 0;
    StackGuard* guard = nullptr;
    bool omitting_values = false;
    bool borrowed = false;
    bool gone = false;  // the thread is exiting and its guard has been released
};
extern constinit thread_local ThreadStackState STACK_STATE;

// Measures and decides with the remaining stack `remaining` (the slow path of `check_stack_with`).
// Throws InternalFailure on a nested use or a use during thread teardown.
StackCheck check_stack_remaining(StackEvent event, std::uintptr_t key, std::uint64_t remaining);
StackCheck check_stack_at(StackEvent event, std::uintptr_t key, std::uintptr_t position);

// The per-event entry point, called first thing in each tracer callback. On a `restore`, the
// caller puts the flag back after handling the event; on `Skip` it counts the skip and returns.
inline StackCheck check_stack_with(StackEvent event, std::uintptr_t key) {
    std::uintptr_t position = QUIB_STACK_POSITION();
    if (position >= STACK_STATE.fast_limit) return StackCheck{key, StackDecision::Record, std::nullopt};
    return check_stack_at(event, key, position);
}

// Puts the flag back when the event's handling ends, however it ends.
class RestoreOmitting {
public:
    explicit RestoreOmitting(std::optional<OmittingValues> previous) noexcept : previous_(previous) {}
    ~RestoreOmitting() {
        if (previous_) previous_->restore();
    }
    RestoreOmitting(const RestoreOmitting&) = delete;
    RestoreOmitting& operator=(const RestoreOmitting&) = delete;

private:
    std::optional<OmittingValues> previous_;
};

// While set, records written on this thread carry no argument, local or return values.
inline bool omitting_values() noexcept { return STACK_STATE.omitting_values; }

// Remaining stack of the calling thread in bytes, REMAINING_UNKNOWN when its bounds are unknown.
std::uint64_t remaining_stack() noexcept;
std::uint64_t remaining_stack_at(std::uintptr_t position) noexcept;

// Drops the top entry when it is a recorded frame's with this key: the frame the guard tracked
// as recorded turned out not to be recorded after all.
void forget_entry(std::uintptr_t key) noexcept;

// Whether there is stack enough to flush finished subtrees now.
bool room_to_flush() noexcept;

// Replaces the calling thread's stack floor (UNKNOWN_STACK_LIMIT: bounds unknown). For tests of
// threads whose bounds the system does not report.
void override_stack_floor(std::uintptr_t floor) noexcept;

}  // namespace quib::diagnostics
