// The encoder's fast path for small plain values: a scalar (None, booleans, ints in 64 signed
// bits, floats, ASCII str under 32 characters), or a dict or list of fewer than 16 of them, such
// as the locals of a small function. The bytes are exactly what a full encoding job writes for
// them: no Python code runs, nothing is interned (the strings are too short), each container
// counts towards shared-reference tracking as it does there, and a value over the budget is cut
// out again and left to the full path, which writes the truncation marker.
//
// A frame record runs its values through this before it makes an encoder at all; the encoder
// that takes over when a value is not plain starts from the container count reached here.
#pragma once

#include "values/byte_buffer.hpp"
#include "values/shared_containers.hpp"

#include "py/compat.hpp"

#include <cstdint>
#include <optional>
#include <span>

namespace quib::values {

// A key and its value, both borrowed.
struct MapItem {
    PyObject* key;
    PyObject* value;
};

class PlainValues {
public:
    PlainValues(std::optional<std::uint64_t> budget, int nest_limit) noexcept
        : budget_(budget), nest_limit_(nest_limit) {}

    // False, with the buffer as before, whenever the full path is needed.
    bool value(PyObject* value, ByteBuffer& out);
    // The map of these items as `value` writes an exact dict holding them.
    bool map(std::span<const MapItem> items, ByteBuffer& out);

    std::uint64_t plain_containers() const noexcept { return plain_containers_; }
    void set_plain_containers(std::uint64_t count) noexcept { plain_containers_ = count; }
    void set_budget(std::optional<std::uint64_t> budget) noexcept { budget_ = budget; }
    // Containers may be written here only while shared-reference tracking has not started.
    bool containers_allowed() const noexcept { return plain_containers_ + 1 < TRACKING_START && nest_limit_ >= 1; }

    // What pack_inert writes for a plain scalar, without budget checks; false (nothing written)
    // for anything else.
    static bool scalar(PyObject* item, ByteBuffer& out);

private:
    bool fits(std::size_t start, const ByteBuffer& out) const noexcept {
        return !budget_ || out.size() - start <= *budget_;
    }
    // A container written from `start`: counted when it fits the budget, cut out otherwise.
    bool finish_container(std::size_t start, ByteBuffer& out);

    std::optional<std::uint64_t> budget_;
    int nest_limit_;
    std::uint64_t plain_containers_ = 0;
};

}  // namespace quib::values
