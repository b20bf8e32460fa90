// Reporting internal failures, and telling the program's exceptions from the engine's.
#pragma once

#include "py/error.hpp"

#include <string_view>

namespace quib::diagnostics {

// Reports an internal failure once through the interpreter's unraisable hook, as an InternalPanic
// whose argument is `message`, under the text "Quib stopped tracing after an internal error".
// Callers report at most once per tracer (the first failure also stops the tracer). Needs the
// interpreter lock; never raises, and leaves any exception that was already set as it was.
void report_panic(std::string_view message) noexcept;
// The same for the C++ exception being handled; call it from inside a catch handler.
void report_caught_panic() noexcept;

// Whether an exception raised by the engine's own Python calls during a callback belongs to the
// traced program and must propagate into it: true for BaseExceptions that are not Exceptions
// (KeyboardInterrupt, SystemExit, ...), false for Exceptions and for InternalPanic, which are
// logged and swallowed.
bool reaches_program(const py::PyError& error) noexcept;

}  // namespace quib::diagnostics
