#include "module/thread_hooks.hpp"

#include <algorithm>

namespace quib::hooks {

constinit thread_local std::uint8_t STATE = 0;

namespace {

std::atomic<std::uint64_t> NEXT_OWNER{1};

struct WaitingEntry {
    std::uint64_t number;
    AliveFlag alive;
    std::uint8_t bits;
};

// Set by the list's destructor at thread exit: from then on nothing may touch the list, and every
// operation quietly does nothing.
constinit thread_local bool WAITING_GONE = false;

struct WaitingList {
    std::vector<WaitingEntry> entries;
    bool borrowed = false;
    ~WaitingList() { WAITING_GONE = true; }
};

// Touched only on threads and events with pending work, so its lazy initialisation costs the hot
// path nothing.
thread_local WaitingList WAITING;

// Exclusive access to the list, or nothing when it is gone or already borrowed (a re-entrant call).
class WaitingBorrow {
public:
    WaitingBorrow() noexcept {
        if (WAITING_GONE || WAITING.borrowed) return;
        list_ = &WAITING;
        list_->borrowed = true;
    }
    ~WaitingBorrow() {
        if (list_ != nullptr) list_->borrowed = false;
    }
    WaitingBorrow(const WaitingBorrow&) = delete;
    WaitingBorrow& operator=(const WaitingBorrow&) = delete;
    WaitingList* get() const noexcept { return list_; }

private:
    WaitingList* list_ = nullptr;
};

bool is_alive(const WaitingEntry& entry) noexcept { return entry.alive->load(std::memory_order_acquire); }

void remove_dead(WaitingList& list) {
    std::erase_if(list.entries, [](const WaitingEntry& entry) { return !is_alive(entry); });
}

void recompute_pending_bit(const WaitingList& list) noexcept {
    bool pending = std::any_of(list.entries.begin(), list.entries.end(),
                               [](const WaitingEntry& entry) { return entry.bits != 0; });
    if (pending) {
        STATE |= ASSIGNMENTS_PENDING;
    } else {
        STATE &= static_cast<std::uint8_t>(~ASSIGNMENTS_PENDING);
    }
}

}  // namespace

bool set_worker_mark(bool value) noexcept {
    bool previous = (STATE & WORKER_MARK) != 0;
    if (value) {
        STATE |= WORKER_MARK;
    } else {
        STATE &= static_cast<std::uint8_t>(~WORKER_MARK);
    }
    return previous;
}

bool reset_after_fork() noexcept {
    bool previous = (STATE & WORKER_MARK) != 0;
    STATE &= static_cast<std::uint8_t>(~HOOKS_OFF);
    return previous;
}

AssignmentOwner AssignmentOwner::create() {
    return AssignmentOwner{std::make_shared<std::atomic<bool>>(true),
                           NEXT_OWNER.fetch_add(1, std::memory_order_relaxed)};
}

void set_assignment(const AliveFlag& alive, std::uint64_t number, std::uint8_t bits, bool set) {
    WaitingBorrow borrow;
    WaitingList* list = borrow.get();
    if (list == nullptr) return;
    auto found = std::find_if(list->entries.begin(), list->entries.end(),
                              [number](const WaitingEntry& entry) { return entry.number == number; });
    if (found != list->entries.end()) {
        found->bits = set ? static_cast<std::uint8_t>(found->bits | bits)
                          : static_cast<std::uint8_t>(found->bits & ~bits);
    } else if (set) {
        remove_dead(*list);
        list->entries.push_back(WaitingEntry{number, alive, bits});
    }
    recompute_pending_bit(*list);
}

void drop_dead_assignments() {
    WaitingBorrow borrow;
    WaitingList* list = borrow.get();
    if (list == nullptr) return;
    remove_dead(*list);
    recompute_pending_bit(*list);
}

std::uint8_t assignment_bits(std::uint64_t number) {
    WaitingBorrow borrow;
    WaitingList* list = borrow.get();
    if (list == nullptr) return 0;
    for (const WaitingEntry& entry : list->entries) {
        if (entry.number == number) return entry.bits;
    }
    return 0;
}

std::vector<WaitingEntryView> waiting_snapshot() {
    std::vector<WaitingEntryView> copy;
    WaitingBorrow borrow;
    if (WaitingList* list = borrow.get()) {
        for (const WaitingEntry& entry : list->entries) copy.push_back({entry.number, is_alive(entry), entry.bits});
    }
    return copy;
}

}  // namespace quib::hooks
