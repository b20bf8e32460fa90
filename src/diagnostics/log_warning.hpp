// The one route by which the engine tells the user about a problem: a warning on the Python logger
// "quib", with the exception attached as exc_info. Logging must never disturb the traced program,
// so every failure of it falls back to quieter channels instead of raising:
// - the interpreter's unraisable hook, with a text "Quib: " + the first line of the message;
// - when logging fails with RecursionError (the stack is nearly exhausted), one fixed line on
//   standard error, written at most once per process.
#pragma once

#include "py/error.hpp"

#include <optional>
#include <string_view>

namespace quib::diagnostics {

// `args` are the positional arguments of the logging call (a tuple, consumed), the first being the
// message or its %-format; `error` is attached as exc_info. Needs the interpreter lock; never
// raises, and leaves any exception that was already set as it was.
void log_warning(py::Ref args, std::optional<py::PyError> error = std::nullopt) noexcept;
// The same with a plain message (no % placeholders are interpreted).
void log_warning(std::string_view message, std::optional<py::PyError> error = std::nullopt) noexcept;

// What is written to standard error the first time logging fails for lack of stack.
inline constexpr std::string_view STACK_EXHAUSTED_TEXT =
    "Quib: an internal error could not be logged because the stack is nearly exhausted; further such errors "
    "are not reported.\n";

}  // namespace quib::diagnostics
