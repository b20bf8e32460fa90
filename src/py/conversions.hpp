// Conversions of Python values to C++ values, with the TypeError texts the engine uses everywhere
// for a value of the wrong kind.
#pragma once

#include "py/error.hpp"

#include <cstdint>
#include <string_view>

namespace quib::py {

// TypeError "'<type>' object cannot be converted to '<target>'".
PyError conversion_error(PyObject* value, const char* target);
// True or False, or a numpy.bool_ (taken by its truth value); TypeError otherwise.
Result<bool> to_bool(PyObject* value);
// The UTF-8 text of a str, valid as long as the str lives (the interpreter caches it); the
// UnicodeEncodeError of a str with lone surrogates otherwise.
Result<std::string_view> utf8_view(PyObject* text);
// An int (or an object with __index__) from 0 to 2**64 - 1, with the interpreter's
// OverflowError or TypeError otherwise.
Result<std::uint64_t> to_u64(PyObject* value);

}  // namespace quib::py
