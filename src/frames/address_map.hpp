// A flat hash map keyed by an object's address, for the per-thread tables that hot tracer paths
// consult on every event. Open addressing with linear probing in one array: a lookup touches one
// or two cache lines, and an insert allocates only when the table grows. Key 0 marks a free slot
// (no object lives at address 0). Values are small plain values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quib::frames {

template <class V>
class AddressMap {
public:
    V* find(std::uintptr_t key) noexcept {
        if (size_ == 0) return nullptr;
        for (std::size_t i = home(key);; i = next(i)) {
            Slot& slot = slots_[i];
            if (slot.key == key) return &slot.value;
            if (slot.key == 0) return nullptr;
        }
    }
    const V* find(std::uintptr_t key) const noexcept { return const_cast<AddressMap*>(this)->find(key); }

    void insert_or_assign(std::uintptr_t key, const V& value) {
        if ((size_ + 1) * 4 > slots_.size() * 3) grow();
        for (std::size_t i = home(key);; i = next(i)) {
            Slot& slot = slots_[i];
            if (slot.key == key) {
                slot.value = value;
                return;
            }
            if (slot.key == 0) {
                slot = Slot{key, value};
                ++size_;
                return;
            }
        }
    }

    // Removes the key; false if it was absent. Later entries of the probe run move back into the
    // hole, so lookups never need tombstones.
    bool erase(std::uintptr_t key) noexcept {
        if (size_ == 0) return false;
        std::size_t hole = home(key);
        while (slots_[hole].key != key) {
            if (slots_[hole].key == 0) return false;
            hole = next(hole);
        }
        for (std::size_t i = next(hole);; i = next(i)) {
            Slot& slot = slots_[i];
            if (slot.key == 0) break;
            std::size_t ideal = home(slot.key);
            // The entry may fill the hole only if the hole lies on its probe path (ideal..i).
            if (((i - ideal) & mask()) >= ((i - hole) & mask())) {
                slots_[hole] = slot;
                hole = i;
            }
        }
        slots_[hole].key = 0;
        --size_;
        return true;
    }

    void clear() noexcept {
        slots_.clear();
        size_ = 0;
        shift_ = 64;
    }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

private:
    struct Slot {
        std::uintptr_t key;
        V value;
    };

    std::size_t mask() const noexcept { return slots_.size() - 1; }
    std::size_t next(std::size_t index) const noexcept { return (index + 1) & mask(); }
    // Fibonacci hashing: addresses are aligned, so their low bits say little; the multiply spreads
    // every bit into the top ones, which pick the slot.
    std::size_t home(std::uintptr_t key) const noexcept {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        std::size_t capacity = old.empty() ? 16 : old.size() * 2;
        slots_.assign(capacity, Slot{0, V{}});
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
        size_ = 0;
        for (const Slot& slot : old) {
            if (slot.key != 0) insert_or_assign(slot.key, slot.value);
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    unsigned shift_ = 64;
};

}  // namespace quib::frames
