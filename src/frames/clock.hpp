// The system clock, as records and identifiers use it.
#pragma once

#include <cstdint>

namespace quib::frames {

// Seconds since the Unix epoch: whole seconds plus nanoseconds / 1e9. Negative if the system clock
// is set before the epoch.
double timestamp() noexcept;

// Milliseconds since the Unix epoch, 0 if the clock is before it.
std::uint64_t unix_millis() noexcept;

// One reading of the clock in both forms, for an event whose record and frame id share it.
struct ClockReading {
    double timestamp;
    std::uint64_t millis;
};
ClockReading read_clock() noexcept;

}  // namespace quib::frames
