#include "diagnostics/stack_guard.hpp"

#include "py/error.hpp"

#include <algorithm>

namespace quib::diagnostics {

constinit thread_local ThreadStackState STACK_STATE{};

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t sum = a + b;
    return sum < a ? UINT64_MAX : sum;
}

// Releases the thread's entry stack when the thread exits. Touched only when the entry stack is
// first allocated, so threads that never come near their stack's end never register it.
struct GuardReaper {
    bool armed = false;
    ~GuardReaper() {
        delete STACK_STATE.guard;
        STACK_STATE.guard = nullptr;
        STACK_STATE.gone = true;
        STACK_STATE.fast_limit = UINTPTR_MAX;  // every later check reaches the teardown test
    }
};
thread_local GuardReaper REAPER;

std::uintptr_t known_floor(ThreadStackState& state) noexcept {
    if (state.floor == 0) {
        std::uintptr_t limit = stack_limit_of_this_thread();
        // 0 means "not computed yet", so a (theoretical) limit at address 0 is stored as 1.
        state.floor = limit == UNKNOWN_STACK_LIMIT ? UNKNOWN_STACK_LIMIT : std::max<std::uintptr_t>(1, limit);
    }
    return state.floor;
}

bool entries_empty(const ThreadStackState& state) noexcept {
    return state.guard == nullptr || state.guard->entries.empty();
}

// Re-arms the fast path when the thread has nothing tracked and is not omitting values.
void refresh_fast_limit(ThreadStackState& state) noexcept {
    if (state.gone || state.floor == 0 || state.omitting_values || !entries_empty(state)) {
        state.fast_limit = UINTPTR_MAX;
    } else if (state.floor == UNKNOWN_STACK_LIMIT) {
        state.fast_limit = 0;
    } else {
        state.fast_limit = state.floor + FAST_PATH;
    }
}

// Exclusive use of the thread's guard, created on first need.
class GuardBorrow {
public:
    explicit GuardBorrow(ThreadStackState& state) : state_(state) {
        if (state.gone) throw py::InternalFailure("stack guard used during thread teardown");
        if (state.borrowed) throw py::InternalFailure("stack guard already borrowed");
        if (state.guard == nullptr) {
            REAPER.armed = true;
            state.guard = new StackGuard();
        }
        state.borrowed = true;
    }
    ~GuardBorrow() { state_.borrowed = false; }
    GuardBorrow(const GuardBorrow&) = delete;
    GuardBorrow& operator=(const GuardBorrow&) = delete;
    StackGuard& guard() const noexcept { return *state_.guard; }

private:
    ThreadStackState& state_;
};

}  // namespace

StackDecision decide(StackGuard& guard, StackEvent event, std::uintptr_t key, std::uint64_t remaining) {
    std::vector<StackEntry>& entries = guard.entries;
    // Frames whose exit was never seen (a longjmp-like unwind, a tracer installed mid-call) leave
    // entries behind; once the stack is clearly shallower than where they were made, drop them.
    while (!entries.empty() && saturating_add(entries.back().remaining, STALE_SLACK) < remaining) entries.pop_back();
    guard.boundary = std::min(guard.boundary, entries.size());

    switch (event) {
    case StackEvent::Enter:
        if (entries.size() > guard.boundary || remaining < ENTER_SKIP) {
            entries.push_back({key, remaining});
            return StackDecision::Skip;
        }
        if (remaining < TRACKING_ZONE) {
            entries.push_back({key, remaining});
            guard.boundary = entries.size();
        }
        return StackDecision::Record;
    case StackEvent::Exit: {
        auto found = std::find_if(entries.rbegin(), entries.rend(),
                                  [key](const StackEntry& entry) { return entry.key == key; });
        if (found != entries.rend()) {
            std::size_t index = static_cast<std::size_t>(entries.rend() - found) - 1;
            entries.resize(index);
            std::size_t old_boundary = guard.boundary;
            guard.boundary = std::min(index, old_boundary);
            if (index >= old_boundary) return StackDecision::Skip;
        } else if (entries.size() > guard.boundary) {
            return StackDecision::Skip;
        }
        if (remaining >= EXIT_WITHOUT_VALUES) return StackDecision::Record;
        if (remaining < EXIT_SKIP) return StackDecision::Skip;
        return StackDecision::RecordWithoutValues;
    }
    case StackEvent::Within:
        if (entries.size() > guard.boundary || remaining < ENTER_SKIP) return StackDecision::Skip;
        return StackDecision::Record;
    }
    return StackDecision::Skip;
}

void OmittingValues::restore() const noexcept {
    ThreadStackState& state = STACK_STATE;
    state.omitting_values = previous;
    refresh_fast_limit(state);
}

std::uint64_t remaining_stack_at(std::uintptr_t position) noexcept {
    std::uintptr_t floor = known_floor(STACK_STATE);
    if (floor == UNKNOWN_STACK_LIMIT) return REMAINING_UNKNOWN;
    return position > floor ? position - floor : 0;
}

std::uint64_t remaining_stack() noexcept { return remaining_stack_at(QUIB_STACK_POSITION()); }

StackCheck check_stack_at(StackEvent event, std::uintptr_t key, std::uintptr_t position) {
    return check_stack_remaining(event, key, remaining_stack_at(position));
}

StackCheck check_stack_remaining(StackEvent event, std::uintptr_t key, std::uint64_t remaining) {
    ThreadStackState& state = STACK_STATE;
    (void)known_floor(state);
    if (remaining >= FAST_PATH && !state.omitting_values && entries_empty(state) && !state.gone) {
        refresh_fast_limit(state);
        return StackCheck{key, StackDecision::Record, std::nullopt};
    }
    StackDecision decision;
    {
        GuardBorrow borrow(state);
        decision = decide(borrow.guard(), event, key, remaining);
    }
    std::optional<OmittingValues> restore;
    if (decision == StackDecision::RecordWithoutValues) {
        restore = OmittingValues{state.omitting_values};
        state.omitting_values = true;
    } else if (decision == StackDecision::Record && state.omitting_values) {
        restore = OmittingValues{true};
        state.omitting_values = false;
    }
    refresh_fast_limit(state);
    return StackCheck{key, decision, restore};
}

void forget_entry(std::uintptr_t key) noexcept {
    ThreadStackState& state = STACK_STATE;
    if (state.guard == nullptr || state.borrowed) return;
    StackGuard& guard = *state.guard;
    if (guard.entries.empty() || guard.entries.size() > guard.boundary || guard.entries.back().key != key) return;
    guard.entries.pop_back();
    guard.boundary = guard.entries.size();
    refresh_fast_limit(state);
}

bool room_to_flush() noexcept { return remaining_stack() >= EXIT_WITHOUT_VALUES; }

void override_stack_floor(std::uintptr_t floor) noexcept {
    ThreadStackState& state = STACK_STATE;
    state.floor = floor;
    refresh_fast_limit(state);
}

}  // namespace quib::diagnostics
