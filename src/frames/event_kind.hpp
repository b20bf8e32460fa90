// The kinds of frame event both tracers record. Call, resume and throw open a frame's run;
// return, unwind and yield close it. The monitoring tracer numbers its events the same way
// (PY_START, PY_RETURN, PY_UNWIND, PY_RESUME, PY_YIELD, PY_THROW).
#pragma once

#include <cstdint>
#include <string_view>

namespace quib::frames {

enum class EventKind : std::uint8_t { Call = 0, Return = 1, Unwind = 2, Resume = 3, Yield = 4, Throw = 5 };

inline constexpr bool is_closing(EventKind kind) noexcept {
    return kind == EventKind::Return || kind == EventKind::Unwind || kind == EventKind::Yield;
}

inline constexpr bool is_valid_event_kind(std::uint64_t value) noexcept { return value <= 5; }

// "call", "return", "unwind", "resume", "yield", "throw".
inline constexpr std::string_view event_name(EventKind kind) noexcept {
    constexpr std::string_view names[] = {"call", "return", "unwind", "resume", "yield", "throw"};
    return names[static_cast<unsigned>(kind)];
}

}  // namespace quib::frames
