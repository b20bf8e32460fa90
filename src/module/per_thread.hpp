// Per-thread slots owned by a tracer. Each OS thread gets a small process-wide index the first
// time it asks (reused after the thread exits) and a token that is never reused. A tracer's
// `PerThread<T>` maps the index to a slot; only the owning thread touches its slot, so lookups take
// no lock. A slot left behind by an exited thread is reset when a later thread inherits its index
// (the tokens differ).
#pragma once

#include "py/error.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quib::threads {

struct ThreadIdentity {
    std::uint32_t index;  // small, reused after the thread exits
    std::uint64_t token;  // unique for the life of the process, never 0
};

// The calling thread's identity, assigned on first use. Thread exit returns the index.
ThreadIdentity current_thread_identity();

template <class T>
class PerThread {
public:
    static constexpr std::size_t BLOCK = 64;
    static constexpr std::size_t BLOCKS = 4096;  // up to 262144 threads alive at once

    PerThread() = default;
    PerThread(const PerThread&) = delete;
    PerThread& operator=(const PerThread&) = delete;
    ~PerThread() {
        for (auto& block : blocks_) delete[] block.load(std::memory_order_acquire);
    }

    // The calling thread's slot, created (or reset after index reuse) on demand.
    T& get() {
        ThreadIdentity self = current_thread_identity();
        Slot& slot = slot_at(self.index);
        if (slot.token != self.token) {
            slot.value = std::make_unique<T>();
            slot.token = self.token;
        }
        return *slot.value;
    }

    // The calling thread's slot if it has one, else nullptr.
    T* find() {
        ThreadIdentity self = current_thread_identity();
        std::size_t block_index = self.index / BLOCK;
        if (block_index >= BLOCKS) return nullptr;
        Slot* block = blocks_[block_index].load(std::memory_order_acquire);
        if (block == nullptr) return nullptr;
        Slot& slot = block[self.index % BLOCK];
        return slot.token == self.token ? slot.value.get() : nullptr;
    }

private:
    struct Slot {
        std::uint64_t token = 0;
        std::unique_ptr<T> value;
    };

    Slot& slot_at(std::uint32_t index) {
        std::size_t block_index = index / BLOCK;
        if (block_index >= BLOCKS) throw py::InternalFailure("too many threads alive for per-thread tracer state");
        std::atomic<Slot*>& cell = blocks_[block_index];
        Slot* block = cell.load(std::memory_order_acquire);
        if (block == nullptr) {
            Slot* fresh = new Slot[BLOCK];
            if (cell.compare_exchange_strong(block, fresh, std::memory_order_acq_rel)) {
                block = fresh;
            } else {
                delete[] fresh;  // another thread installed the block first
            }
        }
        return block[index % BLOCK];
    }

    std::array<std::atomic<Slot*>, BLOCKS> blocks_{};
};

}  // namespace quib::threads
