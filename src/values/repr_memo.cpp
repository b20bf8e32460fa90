#include "values/repr_memo.hpp"

namespace quib::values {

const MemoText* ReprMemo::find(PyObject* object) const {
    if (size_ <= INDEX_FROM) {
        for (std::size_t i = 0; i < size_; ++i) {
            if (entry(i).object.get() == object) return &entry(i).text;
        }
        return nullptr;
    }
    auto found = index_->find(object);
    return found == index_->end() ? nullptr : &entry(found->second).text;
}

void ReprMemo::insert(PyObject* object, MemoText text) {
    if (size_ >= LIMIT) return;
    Entry added{py::Ref::take(object), std::move(text)};
    if (size_ < INLINE) {
        inline_.construct(size_, std::move(added));
    } else {
        heap_.push_back(std::move(added));
    }
    ++size_;
    if (size_ == INDEX_FROM + 1) {
        index_ = std::make_unique<std::unordered_map<PyObject*, std::uint32_t>>();
        for (std::size_t i = 0; i < size_; ++i) (*index_)[entry(i).object.get()] = static_cast<std::uint32_t>(i);
    } else if (size_ > INDEX_FROM + 1) {
        (*index_)[object] = static_cast<std::uint32_t>(size_ - 1);
    }
}

ReprMemo::~ReprMemo() {
    // Newest first, as the entries would go if they were members.
    heap_.clear();
    for (std::size_t i = size_ < INLINE ? size_ : INLINE; i > 0; --i) inline_.destroy(i - 1);
}

}  // namespace quib::values
