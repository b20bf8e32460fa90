// Attribute and key names interned once per process. `get()` is a pointer test after the first use,
// so hot code never builds a string per event. The strings live until the process ends.
#pragma once

#include "py/compat.hpp"

namespace quib::py {

class InternedName {
public:
    constexpr explicit InternedName(const char* text) noexcept : text_(text) {}
    InternedName(const InternedName&) = delete;
    InternedName& operator=(const InternedName&) = delete;

    // Borrowed; nullptr with an exception set only when the first interning runs out of memory.
    // Needs the interpreter lock.
    PyObject* get() noexcept {
        if (object_ == nullptr) object_ = PyUnicode_InternFromString(text_);
        return object_;
    }
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    PyObject* object_ = nullptr;
};

}  // namespace quib::py
