// The encoder's two stacks. Both keep their first entries inline, so encoding a value that is not
// deeply nested allocates nothing.
//
// InProgressStack: addresses of the containers (and, from some depth on, extensions) being
// encoded right now, for cycle detection. Borrowed: each entry is alive while its own encoding
// runs, and an entry is only ever compared, never dereferenced.
//
// RefStack: strong references to items copied out of a list or dict before Python code can run,
// so that code which changes the container cannot change what is written or free an item still
// to be written. Pushed and popped in nested order.
#pragma once

#include "py/error.hpp"
#include "values/inline_slots.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace quib::values {

class InProgressStack {
public:
    bool contains(PyObject* object) const noexcept {
        const std::size_t inline_count = std::min(size_, INLINE);
        for (std::size_t i = 0; i < inline_count; ++i) {
            if (inline_[i] == object) return true;
        }
        return std::find(heap_.begin(), heap_.end(), object) != heap_.end();
    }
    void push(PyObject* object) {
        if (size_ < INLINE) {
            inline_[size_] = object;
        } else {
            heap_.push_back(object);
        }
        ++size_;
    }
    void pop() noexcept {
        if (size_ == 0) return;
        --size_;
        if (size_ >= INLINE) heap_.pop_back();
    }
    std::size_t size() const noexcept { return size_; }
    void clear() noexcept {
        size_ = 0;
        heap_.clear();
    }

private:
    static constexpr std::size_t INLINE = 32;
    PyObject* inline_[INLINE];  // only the first size_ entries are ever read
    std::vector<PyObject*> heap_;
    std::size_t size_ = 0;
};

class RefStack {
public:
    RefStack() noexcept = default;
    ~RefStack() { truncate(0); }
    RefStack(const RefStack&) = delete;
    RefStack& operator=(const RefStack&) = delete;

    std::size_t size() const noexcept { return size_; }
    [[gnu::always_inline]] void push(PyObject* borrowed) {
        if (size_ < INLINE) {
            inline_.construct(size_, py::Ref::take(borrowed));
        } else {
            heap_.push_back(py::Ref::take(borrowed));
        }
        ++size_;
    }
    // Borrowed; the stack keeps the item alive until it is truncated below `index`.
    PyObject* at(std::size_t index) const {
        if (index >= size_) throw py::InternalFailure("snapshot index out of range");
        return index < INLINE ? inline_.at(index).get() : heap_[index - INLINE].get();
    }
    // Releases every entry above `size` (newest first).
    void truncate(std::size_t size) noexcept {
        while (size_ > size) {
            --size_;
            if (size_ >= INLINE) {
                heap_.pop_back();
            } else {
                inline_.destroy(size_);
            }
        }
    }

private:
    static constexpr std::size_t INLINE = 16;
    InlineSlots<py::Ref, INLINE> inline_;
    std::vector<py::Ref> heap_;
    std::size_t size_ = 0;
};

// Truncates a RefStack back to its height at construction, also when unwinding.
class SnapshotScope {
public:
    explicit SnapshotScope(RefStack& stack) noexcept : stack_(stack), base_(stack.size()) {}
    ~SnapshotScope() { stack_.truncate(base_); }
    SnapshotScope(const SnapshotScope&) = delete;
    SnapshotScope& operator=(const SnapshotScope&) = delete;
    std::size_t base() const noexcept { return base_; }

private:
    RefStack& stack_;
    std::size_t base_;
};

}  // namespace quib::values
