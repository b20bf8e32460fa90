// A small cache of line numbers by (code object, instruction offset). Working out a frame's line
// means walking its code's line table, the largest single cost of a frame record; a tracer's
// thread keeps one of these and asks it first. Entries hold their code object, so that an address
// is never mistaken for a later code object's; the cache is created, used and destroyed with the
// interpreter lock held, on one thread.
#pragma once

#include "py/ref.hpp"

#include <array>
#include <cstdint>

namespace quib::frames {

class LineCache {
public:
    // PyFrame_GetLineNumber(frame), from the cache when possible (negative: unknown).
    int line_of(PyFrameObject* frame);

private:
    struct Entry {
        py::Ref code;
        int offset = -1;
        int line = -1;
    };
    static constexpr std::size_t SIZE = 256;
    std::array<Entry, SIZE> entries_{};
};

}  // namespace quib::frames
