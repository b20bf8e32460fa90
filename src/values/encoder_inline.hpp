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

// A fixstr (fewer than 32 bytes of text).
[[gnu::always_inline]] inline bool NativeMsgpackEncoder::write_fixstr(const char* data, std::size_t length,
                                                                    ByteBuffer& out) {
    if (!check_budget(out, length)) return false;
    msgpack::write_fixstr(out, data, length);
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
    // Ints in 64 signed bits, floats, None and the booleans (str was handled above).
    if (PlainValues::scalar(item, out)) return Inert::Written;
    if (type == &PyBytes_Type) {
        if (interning_may_apply(interning_, static_cast<std::size_t>(PyBytes_GET_SIZE(item)))) return Inert::NotInert;
        return pack_bytes(item, out) ? Inert::Written : Inert::Failed;
    }
    return Inert::NotInert;
}

}  // namespace quib::values
