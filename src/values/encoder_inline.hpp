// The encoder's innermost steps, inline: list and dict items that need no Python code are written
// here without a call per item. Included by the files that write items.
#pragma once

#include "values/encoder.hpp"
#include "values/msgpack_writer.hpp"

#include <cstring>

namespace quib::values {

static_assert(INTERN_MIN > 32, "fixstr text is written without asking the interning hook");

inline bool interning_may_apply(const ValueInterningHook* hook, std::size_t length) noexcept {
    return hook != nullptr && length >= INTERN_MIN && length <= INTERN_MAX;
}

// Copies fewer than 32 bytes without calling memcpy: two overlapping fixed-size copies.
[[gnu::always_inline]] inline void copy_short(std::uint8_t* to, const char* from, std::size_t length) noexcept {
    if (length >= 16) {
        std::memcpy(to, from, 16);
        std::memcpy(to + length - 16, from + length - 16, 16);
    } else if (length >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + length - 8, from + length - 8, 8);
    } else if (length >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + length - 4, from + length - 4, 4);
    } else if (length != 0) {
        to[0] = static_cast<std::uint8_t>(from[0]);
        to[length / 2] = static_cast<std::uint8_t>(from[length / 2]);
        to[length - 1] = static_cast<std::uint8_t>(from[length - 1]);
    }
}

// A fixstr (fewer than 32 bytes of text).
[[gnu::always_inline]] inline bool NativeMsgpackEncoder::write_fixstr(const char* data, std::size_t length,
                                                                    ByteBuffer& out) {
    if (!check_budget(out, length)) return false;
    out.reserve_more(length + 1);
    std::uint8_t* at = out.tail();
    at[0] = static_cast<std::uint8_t>(0xa0 | length);
    copy_short(at + 1, data, length);
    out.commit(length + 1);
    return true;
}

// Items that are written without running any Python code (and without the interning hook, which
// may have to wait for the trace writer and so let other threads run): None, booleans, exact ints
// in 64 signed bits, floats, str, bytes.
[[gnu::always_inline]] inline NativeMsgpackEncoder::Inert NativeMsgpackEncoder::pack_inert(PyObject* item,
                                                                                         ByteBuffer& out) {
    PyTypeObject* type = Py_TYPE(item);
    if (type == &PyUnicode_Type) {
        if (PyUnicode_IS_COMPACT_ASCII(item)) {
            // ASCII text is its own UTF-8, and short text is never interned.
            const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
            if (length < 32) {
                return write_fixstr(static_cast<const char*>(PyUnicode_DATA(item)), length, out) ? Inert::Written
                                                                                                   : Inert::Failed;
            }
            if (interning_may_apply(interning_, length)) return Inert::NotInert;
        } else if (interning_ != nullptr) {
            Py_ssize_t size = 0;
            if (PyUnicode_AsUTF8AndSize(item, &size) == nullptr) {
                PyErr_Clear();  // the snapshot path reports it
                return Inert::NotInert;
            }
            if (interning_may_apply(interning_, static_cast<std::size_t>(size))) return Inert::NotInert;
        }
        return pack_str(item, out) ? Inert::Written : Inert::Failed;
    }
    if (type == &PyLong_Type) {
        long long number = 0;
        if (!py::compat::long_long_of(item, number)) return Inert::NotInert;
        msgpack::write_int(out, number);
        return Inert::Written;
    }
    if (type == &PyFloat_Type) {
        msgpack::write_double(out, PyFloat_AS_DOUBLE(item));
        return Inert::Written;
    }
    if (item == Py_None) {
        msgpack::write_nil(out);
        return Inert::Written;
    }
    if (item == Py_True || item == Py_False) {
        msgpack::write_bool(out, item == Py_True);
        return Inert::Written;
    }
    if (type == &PyBytes_Type) {
        if (interning_may_apply(interning_, static_cast<std::size_t>(PyBytes_GET_SIZE(item)))) return Inert::NotInert;
        return pack_bytes(item, out) ? Inert::Written : Inert::Failed;
    }
    return Inert::NotInert;
}

}  // namespace quib::values
