#include "values/byte_buffer.hpp"

#include <cstdlib>
#include <new>
#include <utility>

namespace quib::values {

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      owned_(std::exchange(other.owned_, false)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        if (owned_) std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        owned_ = std::exchange(other.owned_, false);
    }
    return *this;
}

ByteBuffer::~ByteBuffer() {
    if (owned_) std::free(data_);
}

void ByteBuffer::grow(std::size_t n) {
    std::size_t needed = size_ + n;
    if (needed < size_) throw std::bad_alloc();
    std::size_t capacity = capacity_ < 256 ? 256 : capacity_;
    while (capacity < needed) {
        std::size_t doubled = capacity * 2;
        capacity = doubled > capacity ? doubled : needed;
    }
    void* moved = nullptr;
    if (owned_) {
        moved = std::realloc(data_, capacity);
    } else {
        moved = std::malloc(capacity);
        if (moved != nullptr && size_ != 0) std::memcpy(moved, data_, size_);
    }
    if (moved == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(moved);
    capacity_ = capacity;
    owned_ = true;
}

void ByteBuffer::shrink_to(std::size_t keep) noexcept {
    if (!owned_ || capacity_ <= keep || size_ > keep) return;
    void* smaller = std::realloc(data_, keep == 0 ? 1 : keep);
    if (smaller == nullptr) return;
    data_ = static_cast<std::uint8_t*>(smaller);
    capacity_ = keep == 0 ? 1 : keep;
}

}  // namespace quib::values
