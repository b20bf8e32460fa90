// A run of small writes into room reserved once, for output whose size is bounded up front (the
// fixed parts of a frame record). Nothing is checked per write: the caller's reservation must
// cover everything written before the writer commits, at its destruction.
#pragma once

#include "values/byte_buffer.hpp"
#include "values/msgpack_writer.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quib::values {

class ReservedWriter {
public:
    ReservedWriter(ByteBuffer& out, std::size_t room) : out_(out) {
        out.reserve_more(room);
        start_ = at_ = out.tail();
    }
    ~ReservedWriter() { out_.commit(static_cast<std::size_t>(at_ - start_)); }
    ReservedWriter(const ReservedWriter&) = delete;
    ReservedWriter& operator=(const ReservedWriter&) = delete;

    void byte(std::uint8_t value) noexcept { *at_++ = value; }
    void bytes(const void* data, std::size_t length) noexcept {
        std::memcpy(at_, data, length);
        at_ += length;
    }
    void text(std::string_view value) noexcept { bytes(value.data(), value.size()); }
    // A fixstr key (a literal of fewer than 32 bytes).
    template <std::size_t N>
    void key(const char (&name)[N]) noexcept {
        static_assert(N - 1 < 32, "keys are fixstr");
        byte(static_cast<std::uint8_t>(0xa0 | (N - 1)));
        bytes(name, N - 1);
    }
    // At most 5 bytes; `length` is at most msgpack::MAX_LENGTH.
    void str_header(std::size_t length) noexcept {
        if (length < 32) {
            byte(static_cast<std::uint8_t>(0xa0 | length));
        } else if (length <= 0xff) {
            byte(0xd9);
            byte(static_cast<std::uint8_t>(length));
        } else if (length <= 0xffff) {
            byte(0xda);
            msgpack::detail::store_be16(at_, static_cast<std::uint16_t>(length));
            at_ += 2;
        } else {
            byte(0xdb);
            msgpack::detail::store_be32(at_, static_cast<std::uint32_t>(length));
            at_ += 4;
        }
    }
    // At most 5 + value.size() bytes.
    void str(std::string_view value) noexcept {
        str_header(value.size());
        text(value);
    }
    // 9 bytes.
    void f64(double value) noexcept {
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        byte(0xcb);
        msgpack::detail::store_be64(at_, bits);
        at_ += 8;
    }

private:
    ByteBuffer& out_;
    std::uint8_t* start_;
    std::uint8_t* at_;
};

}  // namespace quib::values
