// A growable byte buffer for encoded output. Appends are inline and check capacity once per
// write; growth doubles. A buffer may start on caller-provided storage (a stack array), so that
// encoding a small value allocates nothing; it moves to the heap only when it outgrows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace quib::values {

class ByteBuffer {
public:
    ByteBuffer() noexcept = default;
    // Starts on `storage` (not owned, must outlive the buffer's use of it).
    ByteBuffer(std::uint8_t* storage, std::size_t capacity) noexcept : data_(storage), capacity_(capacity) {}
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer();

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }
    std::string_view view() const noexcept { return {reinterpret_cast<const char*>(data_), size_}; }

    // Room for `n` more bytes; throws std::bad_alloc when memory runs out.
    void reserve_more(std::size_t n) {
        if (capacity_ - size_ < n) grow(n);
    }
    // The end of the written bytes; write at most what reserve_more promised, then commit.
    std::uint8_t* tail() noexcept { return data_ + size_; }
    void commit(std::size_t n) noexcept { size_ += n; }

    void push(std::uint8_t byte) {
        reserve_more(1);
        data_[size_++] = byte;
    }
    void append(const void* bytes, std::size_t n) {
        reserve_more(n);
        if (n != 0) std::memcpy(data_ + size_, bytes, n);
        size_ += n;
    }
    void append(std::string_view text) { append(text.data(), text.size()); }
    // Cuts the buffer back to `n` bytes (n <= size).
    void truncate(std::size_t n) noexcept {
        if (n < size_) size_ = n;
    }
    void clear() noexcept { size_ = 0; }
    // Drops heap storage above `keep` bytes of capacity (for long-lived scratch buffers).
    void shrink_to(std::size_t keep) noexcept;

private:
    void grow(std::size_t n);
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool owned_ = false;
};

}  // namespace quib::values
