// A frame's current line number. The C API answers for nearly every frame; when it says "unknown"
// (a negative number), the frame's f_lineno attribute decides, and None there means the frame has no
// line right now.
#pragma once

#include "py/error.hpp"

#include <cstdint>
#include <optional>

namespace quib::frames {

class LineCache;

// `lines` (optional) is the calling thread's cache of line numbers.
py::Result<std::optional<std::uint64_t>> frame_line_number(PyFrameObject* frame, LineCache* lines = nullptr);
// The same as a signed 32-bit number (call sites, plug-ins): a larger line is an OverflowError.
py::Result<std::optional<std::int32_t>> frame_line_number_i32_with(PyFrameObject* frame, LineCache* lines = nullptr);

}  // namespace quib::frames
