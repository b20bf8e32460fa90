// Where the calling thread's native stack ends, as the operating system reports it.
#pragma once

#include <cstdint>

namespace quib::diagnostics {

// The lowest usable address of the calling thread's stack (stacks grow down), or
// UNKNOWN_STACK_LIMIT when the system does not say (platforms other than Linux, or a failing query).
inline constexpr std::uintptr_t UNKNOWN_STACK_LIMIT = UINTPTR_MAX;
std::uintptr_t stack_limit_of_this_thread() noexcept;

// The current stack position of the caller, close enough for budgeting in kibibytes.
#define QUIB_STACK_POSITION() (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)))

}  // namespace quib::diagnostics
