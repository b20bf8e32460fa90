// Argument handling for METH_FASTCALL | METH_KEYWORDS entry points, with the interpreter's usual
// TypeError texts, and typed conversions whose errors name the offending argument.
#pragma once

#include "py/error.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quib::py {

struct Signature {
    const char* function;     // for messages: "name() ..."
    const char* const* names;  // parameter names, positional-or-keyword, in order
    std::size_t count;
    std::size_t required;      // the first `required` parameters have no default
};

// Fills `out[0..count)` with borrowed arguments, nullptr for omitted optional ones.
Status parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** out);

template <std::size_t N>
struct Arguments {
    std::array<PyObject*, N> values{};
    PyObject* operator[](std::size_t index) const noexcept { return values[index]; }
    bool given(std::size_t index) const noexcept { return values[index] != nullptr; }
};

template <std::size_t N>
Result<Arguments<N>> parse(const char* function, const std::array<const char*, N>& names,
                           std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    Arguments<N> parsed;
    Signature signature{function, names.data(), N, required};
    Status status = parse_arguments(signature, args, nargs, kwnames, parsed.values.data());
    if (!status) return std::move(status).error();
    return parsed;
}

// A TypeError "f() argument 'x' must be <expected>, not <type>".
PyError argument_type_error(const char* function, const char* argument, const char* expected, PyObject* got);

// Exactly True or False.
Result<bool> bool_argument(const char* function, const char* argument, PyObject* value);
// None (or omitted: pass nullptr) gives nullopt; otherwise as bool_argument.
Result<std::optional<bool>> optional_bool_argument(const char* function, const char* argument, PyObject* value);
// An int from 0 to 2**64 - 1; OverflowError or TypeError naming the argument otherwise.
Result<std::uint64_t> u64_argument(const char* function, const char* argument, PyObject* value);
// A str (subclasses accepted).
Status str_argument(const char* function, const char* argument, PyObject* value);
// A dict (subclasses accepted).
Status dict_argument(const char* function, const char* argument, PyObject* value);
// None or a str.
Status optional_str_argument(const char* function, const char* argument, PyObject* value);

}  // namespace quib::py
