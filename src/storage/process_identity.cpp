#include "storage/process_identity.hpp"

#include <array>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace quib::storage {

namespace {

std::atomic<std::uint64_t> PROCESS_FORK_GENERATION{0};
// 0 not yet tried, 1 registering, 2 registered, 3 registration failed.
std::atomic<int> PROCESS_ATFORK_STATUS{0};

constexpr std::size_t MAX_CHILD_HOOKS = 8;
std::array<std::atomic<void (*)()>, MAX_CHILD_HOOKS> CHILD_HOOKS{};

// Guards the swap of a ForkAwareMutex's inner lock; rebuilt in every child.
std::mutex& replace_mutex() {
    alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
    static std::mutex* mutex = new (storage) std::mutex();
    return *mutex;
}

void child_after_fork() {
    advance_process_fork_generation();
    new (&replace_mutex()) std::mutex();
    for (auto& hook : CHILD_HOOKS) {
        if (auto* run = hook.load(std::memory_order_acquire)) run();
    }
}

int register_once() noexcept {
    int status = PROCESS_ATFORK_STATUS.load(std::memory_order_acquire);
    if (status >= 2) return status;
    int expected = 0;
    if (PROCESS_ATFORK_STATUS.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
        (void)replace_mutex();
        int registered = pthread_atfork(nullptr, nullptr, &child_after_fork);
        PROCESS_ATFORK_STATUS.store(registered == 0 ? 2 : 3, std::memory_order_release);
    }
    while ((status = PROCESS_ATFORK_STATUS.load(std::memory_order_acquire)) < 2) sched_yield();
    return status;
}

std::uint64_t packed(ProcessIdentity identity) noexcept {
    return identity.is_generation ? identity.value : (identity.value | (std::uint64_t{1} << 63));
}

}  // namespace

bool fork_handler_registered() noexcept { return register_once() == 2; }

ProcessIdentity current_process_identity() noexcept {
    if (register_once() == 2) return {PROCESS_FORK_GENERATION.load(std::memory_order_acquire), true};
    return {static_cast<std::uint64_t>(getpid()), false};
}

std::uint64_t process_fork_generation() noexcept { return PROCESS_FORK_GENERATION.load(std::memory_order_acquire); }

void advance_process_fork_generation() noexcept { PROCESS_FORK_GENERATION.fetch_add(1, std::memory_order_acq_rel); }

void run_in_fork_child(void (*hook)()) noexcept {
    (void)register_once();
    for (auto& slot : CHILD_HOOKS) {
        void (*expected)() = nullptr;
        if (slot.load() == hook) return;
        if (slot.compare_exchange_strong(expected, hook)) return;
    }
}

ForkAwareMutex::ForkAwareMutex() : identity_(packed(current_process_identity())), inner_(new std::mutex()) {}

ForkAwareMutex::~ForkAwareMutex() { delete inner_.load(); }

std::mutex& ForkAwareMutex::for_this_process() {
    std::uint64_t now = packed(current_process_identity());
    if (identity_.load(std::memory_order_acquire) != now) {
        std::lock_guard<std::mutex> guard(replace_mutex());
        if (identity_.load(std::memory_order_acquire) != now) {
            // The previous inner mutex is intentionally leaked: it may be locked for ever.
            inner_.store(new std::mutex(), std::memory_order_release);
            identity_.store(now, std::memory_order_release);
        }
    }
    return *inner_.load(std::memory_order_acquire);
}

void ForkAwareMutex::lock() {
    std::mutex& inner = for_this_process();
    inner.lock();
    locked_ = &inner;
}

bool ForkAwareMutex::try_lock() {
    std::mutex& inner = for_this_process();
    if (!inner.try_lock()) return false;
    locked_ = &inner;
    return true;
}

void ForkAwareMutex::unlock() { locked_->unlock(); }

}  // namespace quib::storage
