#include "storage/arena_pool.hpp"

#include <mutex>

namespace quib::storage {

namespace {

constexpr std::size_t POOL_BUFFERS = 4;
constexpr std::size_t LARGEST_POOLED = 4 * 1024 * 1024;  // a buffer a huge frame grew is freed

struct Pool {
    std::mutex mutex;
    std::vector<Bytes> buffers;
};

// Never destroyed: chunks may be released while the process exits.
Pool& pool() {
    static Pool* instance = new Pool();
    return *instance;
}

void give_back(Bytes&& bytes) noexcept {
    if (bytes.capacity() == 0 || bytes.capacity() > LARGEST_POOLED) return;
    Pool& shared = pool();
    std::unique_lock<std::mutex> lock(shared.mutex, std::try_to_lock);
    if (!lock.owns_lock() || shared.buffers.size() >= POOL_BUFFERS) return;
    bytes.clear();
    try {
        shared.buffers.push_back(std::move(bytes));
    } catch (...) {
        // No room to remember it: it is freed with `bytes`.
    }
}

}  // namespace

Bytes take_arena_buffer(std::size_t capacity) {
    Bytes bytes;
    {
        Pool& shared = pool();
        std::unique_lock<std::mutex> lock(shared.mutex, std::try_to_lock);
        if (lock.owns_lock() && !shared.buffers.empty()) {
            bytes = std::move(shared.buffers.back());
            shared.buffers.pop_back();
        }
    }
    bytes.reserve(capacity);
    return bytes;
}

SharedBytes share_arena_buffer(Bytes bytes) {
    auto* owned = new Bytes(std::move(bytes));
    try {
        return SharedBytes(owned, [](const Bytes* shared) {
            auto* mine = const_cast<Bytes*>(shared);  // made non-const above
            give_back(std::move(*mine));
            delete mine;
        });
    } catch (...) {
        delete owned;
        throw;
    }
}

}  // namespace quib::storage
