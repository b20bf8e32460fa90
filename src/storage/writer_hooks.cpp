#include "storage/writer_hooks.hpp"

#include "storage/detach.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace quib::storage {

namespace {

struct Gate {
    std::atomic<bool> closed{false};
    std::mutex mutex;
    std::condition_variable opened;
};

Gate& gate() {
    static Gate* made = new Gate();
    return *made;
}

}  // namespace

void set_writers_blocked(bool blocked) {
    Gate& g = gate();
    {
        lock_storage(g.mutex);
        std::lock_guard<std::mutex> guard(g.mutex, std::adopt_lock);
        g.closed.store(blocked);
    }
    g.opened.notify_all();
}

void wait_while_writers_blocked() {
    Gate& g = gate();
    if (!g.closed.load(std::memory_order_relaxed)) return;
    std::unique_lock<std::mutex> lock(g.mutex);
    g.opened.wait(lock, [&] { return !g.closed.load(); });
}

}  // namespace quib::storage
