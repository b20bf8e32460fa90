// Shared references: within one value, a list or dict met again after it was completely written
// is written as extension 11 (fixext 4) holding the distance d back to it: the container completed
// d + 1 completions earlier. Completions are counted, in post-order, for every exact list or dict
// (and dict written for a dict subclass) that ends while no extension is open, so a reader can
// replay them without knowing which ones the writer remembered.
//
// Tracking starts only at the value's 1024th plain container: small values pay nothing.
#pragma once

#include "py/ref.hpp"
#include "values/byte_buffer.hpp"

#include <cstdint>
#include <vector>

namespace quib::values {

inline constexpr std::uint64_t TRACKING_START = 1024;     // plain containers before tracking starts
inline constexpr std::size_t MAX_REMEMBERED = 262144;     // containers kept for references
inline constexpr std::uint64_t MAX_DISTANCE = 0xffffffffULL;

// Container address to completion ordinal: open addressing, linear probing, no allocation per
// entry (a value with tracking on may complete hundreds of thousands of containers).
class AddressIndex {
public:
    const std::uint64_t* find(PyObject* key) const noexcept;
    void insert_or_assign(PyObject* key, std::uint64_t value);

private:
    struct Slot {
        PyObject* key = nullptr;
        std::uint64_t value = 0;
    };
    std::size_t slot_of(PyObject* key) const noexcept {
        const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key) >> 4);
        return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ULL) >> shift_);
    }
    void grow();
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    unsigned shift_ = 64;
};

class SharedContainers {
public:
    // Writes the reference when `container` was remembered and is close enough.
    bool write_reference(PyObject* container, ByteBuffer& out) const;
    // Counts a completed container and remembers it when eligible and there is room.
    void record_completed(PyObject* container, bool eligible);
    std::uint64_t completed() const noexcept { return completed_; }
    // Forgets completions of output that was cut away again (only containers that were never
    // remembered can be completed there).
    void rewind_completed(std::uint64_t completed) noexcept { completed_ = completed; }

private:
    std::vector<py::Ref> kept_;  // keeps remembered addresses from being reused
    AddressIndex index_;
    std::uint64_t completed_ = 0;
};

// Exact lists and dicts reachable from `value` through list items and dict values, each
// occurrence counted, at most `limit` (a limit below 1 counts as 1); 0 when `value` is not an exact
// list or dict. Runs no Python code and touches no reference count. A value that contains itself
// counts as `limit`.
std::uint64_t count_plain_containers(PyObject* value, std::uint64_t limit);

}  // namespace quib::values
