// The encoder's fast path for small plain values: a scalar (None, booleans, ints in 64 signed
// bits, floats, ASCII str under 32 characters), or exact dicts and lists of fewer than 16 items
// each, nested at most three deep, with at most 32 containers in all and scalars at the bottom,
// such as the locals of a small function or a record of a few fields. The bytes are exactly what
// a full encoding job writes for them: no Python code runs, nothing is interned (the strings are
// too short), a value this shallow cannot contain itself or reach the nesting limit, every
// container counts towards shared-reference tracking as it does there (and the fast path stands
// aside before tracking could start), and a value over the budget is cut out again and left to
// the full path, which writes the truncation marker.
//
// A frame record runs its values through this before it makes an encoder at all; the encoder
// that takes over when a value is not plain starts from the container count reached here.
#pragma once

#include "values/byte_buffer.hpp"
#include "values/msgpack_writer.hpp"
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
    static constexpr int MAX_LEVELS = 3;
    static constexpr std::uint64_t MAX_CONTAINERS = 32;
    // Containers may be written here only while shared-reference tracking cannot start within
    // the value, and the nesting limit is out of reach.
    bool containers_allowed() const noexcept {
        return plain_containers_ + MAX_CONTAINERS < TRACKING_START && nest_limit_ >= MAX_LEVELS;
    }

    // A plain scalar, without budget checks; false (nothing written) for anything else. The
    // encoder's own item writer uses it too.
    [[gnu::always_inline]] static bool scalar(PyObject* item, ByteBuffer& out) {
        PyTypeObject* type = Py_TYPE(item);
        if (type == &PyUnicode_Type) {
            if (!PyUnicode_IS_COMPACT_ASCII(item)) return false;
            const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
            if (length >= 32) return false;
            msgpack::write_fixstr(out, static_cast<const char*>(PyUnicode_DATA(item)), length);
            return true;
        }
        if (type == &PyLong_Type) {
            long long number = 0;
            if (!py::compat::long_long_of(item, number)) return false;
            msgpack::write_int(out, number);
            return true;
        }
        if (type == &PyFloat_Type) {
            msgpack::write_double(out, PyFloat_AS_DOUBLE(item));
            return true;
        }
        if (item == Py_None || item == Py_True || item == Py_False) {
            out.push(item == Py_None ? 0xc0 : (item == Py_True ? 0xc3 : 0xc2));
            return true;
        }
        return false;
    }

private:
    // An item at most `levels` containers deep; false (partly written) when not plain.
    bool item(PyObject* item, ByteBuffer& out, int levels);
    bool container(PyObject* value, ByteBuffer& out, int levels);
    // A value written from `start`: kept and its containers counted when it fits the budget,
    // cut out otherwise.
    bool finish(std::size_t start, ByteBuffer& out);

    std::optional<std::uint64_t> budget_;
    int nest_limit_;
    std::uint64_t plain_containers_ = 0;
    std::uint64_t containers_ = 0;  // in the value being written
};

}  // namespace quib::values
