#include "module/per_thread.hpp"

#include <mutex>
#include <vector>

namespace quib::threads {

namespace {

std::atomic<std::uint64_t> NEXT_TOKEN{1};

struct IndexPool {
    std::mutex mutex;
    std::vector<std::uint32_t> free;
    std::uint32_t next = 0;
};

IndexPool& pool() {
    static IndexPool* instance = new IndexPool();  // outlives every thread-exit destructor
    return *instance;
}

constinit thread_local ThreadIdentity IDENTITY{0, 0};

// Returns the index when the thread exits. Only constructed once the thread asked for an identity.
struct IndexReturn {
    ~IndexReturn() {
        IndexPool& indices = pool();
        std::lock_guard lock(indices.mutex);
        indices.free.push_back(IDENTITY.index);
        IDENTITY = ThreadIdentity{0, 0};
    }
};

ThreadIdentity assign_identity() {
    static thread_local IndexReturn index_return;
    (void)index_return;
    IndexPool& indices = pool();
    std::uint32_t index;
    {
        std::lock_guard lock(indices.mutex);
        if (!indices.free.empty()) {
            index = indices.free.back();
            indices.free.pop_back();
        } else {
            index = indices.next++;
        }
    }
    IDENTITY = ThreadIdentity{index, NEXT_TOKEN.fetch_add(1, std::memory_order_relaxed)};
    return IDENTITY;
}

}  // namespace

ThreadIdentity current_thread_identity() {
    if (IDENTITY.token != 0) [[likely]] return IDENTITY;
    return assign_identity();
}

}  // namespace quib::threads
