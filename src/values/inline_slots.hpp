// Room for the first N entries of a small stack, inside the object that owns it. The slots are
// raw storage: nothing is constructed or destroyed until an entry is placed there, so an encoder
// that never needs its stacks (most records) pays nothing for them on creation or destruction.
// The owner tracks how many slots are in use and destroys exactly those.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace quib::values {

template <class T, std::size_t N>
class InlineSlots {
public:
    InlineSlots() noexcept {}  // leaves the storage uninitialised on purpose
    InlineSlots(const InlineSlots&) = delete;
    InlineSlots& operator=(const InlineSlots&) = delete;

    static constexpr std::size_t capacity() noexcept { return N; }
    template <class... Args>
    T& construct(std::size_t index, Args&&... args) {
        return *::new (static_cast<void*>(storage_ + index * sizeof(T))) T(std::forward<Args>(args)...);
    }
    void destroy(std::size_t index) noexcept { std::destroy_at(&at(index)); }
    T& at(std::size_t index) noexcept { return *std::launder(reinterpret_cast<T*>(storage_ + index * sizeof(T))); }
    const T& at(std::size_t index) const noexcept {
        return *std::launder(reinterpret_cast<const T*>(storage_ + index * sizeof(T)));
    }

private:
    alignas(T) unsigned char storage_[N * sizeof(T)];
};

}  // namespace quib::values
