// The native profile function of QuibProfiler: called by the interpreter on every Python call and
// return of every hooked thread, with the interpreter lock held.
#pragma once

#include "py/compat.hpp"

namespace quib::profiler {

// Returns 0 to continue; -1 with an exception set to raise it into the program at this point
// (only for exceptions that belong to the program, such as KeyboardInterrupt).
int profile_callback(PyObject* object, PyFrameObject* frame, int what, PyObject* arg) noexcept;

}  // namespace quib::profiler
