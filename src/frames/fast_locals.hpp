// A function frame's locals read straight from its fast-locals array, without building the
// frame's locals dict (3.11, 3.12) or copying its locals proxy (3.13). For a record that is most of
// the cost of its locals, and a dict made per frame is also freed per frame.
//
// The result is exactly the mapping dict(frame.f_locals) would give, in the same order: the bound
// locals, cells and free variables in the code's order, a cell's contents in place of the cell.
// The read is refused (and the caller asks f_locals) whenever that equivalence is not certain:
// before 3.11, for code that is not a function body, when the frame's locals were already asked
// for by anyone (their dict or the extra locals a debugger wrote may hold more), when a slot holds
// something its kind does not explain, or when the frame does not look the way this interpreter
// version lays frames out.
#pragma once

#include "py/compat.hpp"
#include "values/plain_values.hpp"

#include <cstddef>
#include <span>

namespace quib::frames {

// A name (borrowed from the code object) and its value (borrowed from the frame or the cell;
// valid until Python code runs).
using FastLocal = values::MapItem;

class FastLocals {
public:
    static constexpr std::size_t CAPACITY = 32;

    // Reads the locals of `frame` (whose code is `code`); false when the read is refused or there
    // are more than CAPACITY locals. `__builtins__` is left out, as records leave it out.
    bool read(PyFrameObject* frame, PyCodeObject* code) noexcept;

    std::size_t size() const noexcept { return size_; }
    const FastLocal& operator[](std::size_t index) const noexcept { return entries_[index]; }
    const FastLocal* begin() const noexcept { return entries_; }
    const FastLocal* end() const noexcept { return entries_ + size_; }
    std::span<const FastLocal> items() const noexcept { return {entries_, size_}; }

private:
    FastLocal entries_[CAPACITY];
    std::size_t size_ = 0;
};

}  // namespace quib::frames
