// The exception type that stands for an internal failure when one reaches Python. It derives from
// BaseException, not Exception, so that code catching Exception does not swallow an engine defect.
#pragma once

#include "py/compat.hpp"

namespace quib::diagnostics {

// Borrowed; created once per process. nullptr with an exception set if it cannot be created.
PyObject* internal_panic_type();
// Sets InternalPanic(message) as the current exception (or whatever prevented creating it).
void raise_internal_panic(const char* message) noexcept;

}  // namespace quib::diagnostics
