// Why encoding a value failed: a Python exception, a message (raised as OSError), or the budget.
// A value over its budget is not an error for the caller of encode_value (it becomes a truncation
// marker); the variant exists so that the encoder can unwind to where the value started.
#pragma once

#include "py/error.hpp"

#include <string>
#include <utility>
#include <variant>

namespace quib::values {

struct BudgetExceeded {};

class EncodeError {
public:
    static EncodeError python(py::PyError error) { return EncodeError(std::move(error)); }
    static EncodeError message(std::string text) { return EncodeError(std::move(text)); }
    static EncodeError budget() { return EncodeError(BudgetExceeded{}); }

    bool is_python() const noexcept { return cause_.index() == 0; }
    bool is_message() const noexcept { return cause_.index() == 1; }
    bool is_budget() const noexcept { return cause_.index() == 2; }
    py::PyError& python_error() { return std::get<0>(cause_); }
    const std::string& message_text() const { return std::get<1>(cause_); }

    // The exception a caller in Python sees: the exception itself, OSError(message), or
    // ValueError("value exceeds max_value_mb").
    py::PyError into_pyerr() &&;

private:
    template <class Cause>
    explicit EncodeError(Cause cause) : cause_(std::move(cause)) {}
    std::variant<py::PyError, std::string, BudgetExceeded> cause_;
};

// Whether a first attempt that failed with `error` is retried in careful mode: recursion errors,
// msgpack's nesting-limit ValueError, a released memoryview, a string with lone surrogates.
bool needs_careful(const py::PyError& error);
// `error` is exactly a ValueError whose args are exactly (text,).
bool exact_value_error_is(const py::PyError& error, const char* text);

}  // namespace quib::values
