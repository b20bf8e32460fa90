// The two process-wide switches of the objects-under-construction check, read from the
// environment each time the module is executed. A switch is on only when its variable is exactly
// "0": QUIB_CONSTRUCTION_CHECK=0 turns the check off, QUIB_CONSTRUCTION_NATIVE=0 turns off the
// native shortcut.
#pragma once

#include <atomic>

namespace quib::values {

extern std::atomic<bool> CHECK_OFF;
extern std::atomic<bool> NATIVE_OFF;

void read_construction_switches() noexcept;

}  // namespace quib::values
