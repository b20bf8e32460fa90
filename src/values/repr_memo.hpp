// Repr texts already computed during one encoding job, by object. An object described several
// times in one record (an argument and a local, the self of several bound methods) has its repr
// called once. Each entry keeps the object alive, so its address cannot be reused while the memo
// lives. A text is a Python string, or a range of the encoder's scratch buffer (texts the encoder
// assembles itself).
#pragma once

#include "py/ref.hpp"
#include "values/inline_slots.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace quib::values {

struct MemoText {
    py::Ref text;             // a str; empty for a scratch range
    std::size_t offset = 0;   // scratch range
    std::size_t length = 0;
    bool in_scratch() const noexcept { return !text; }
};

class ReprMemo {
public:
    static constexpr std::size_t LIMIT = 1024;

    ReprMemo() noexcept = default;
    ~ReprMemo();
    ReprMemo(const ReprMemo&) = delete;
    ReprMemo& operator=(const ReprMemo&) = delete;

    const MemoText* find(PyObject* object) const;
    // Ignored once LIMIT entries exist.
    void insert(PyObject* object, MemoText text);
    std::size_t size() const noexcept { return size_; }

private:
    static constexpr std::size_t INLINE = 8;
    static constexpr std::size_t INDEX_FROM = 16;
    struct Entry {
        py::Ref object;
        MemoText text;
    };
    const Entry& entry(std::size_t position) const {
        return position < INLINE ? inline_.at(position) : heap_[position - INLINE];
    }
    InlineSlots<Entry, INLINE> inline_;
    std::vector<Entry> heap_;
    std::size_t size_ = 0;
    std::unique_ptr<std::unordered_map<PyObject*, std::uint32_t>> index_;  // made past INDEX_FROM entries
};

}  // namespace quib::values
