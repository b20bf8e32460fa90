// The MessagePack byte writer: headers and scalars, each in its smallest encoding, chosen by range
// checks. Headers are built in a small array and appended once; big-endian stores go through
// memcpy. Nothing here touches Python.
#pragma once

#include "values/byte_buffer.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace quib::values::msgpack {

inline constexpr std::uint64_t MAX_LENGTH = 0xffffffffULL;  // the largest 32-bit length field

namespace detail {

inline void store_be16(std::uint8_t* at, std::uint16_t value) noexcept {
    value = __builtin_bswap16(value);
    std::memcpy(at, &value, 2);
}
inline void store_be32(std::uint8_t* at, std::uint32_t value) noexcept {
    value = __builtin_bswap32(value);
    std::memcpy(at, &value, 4);
}
inline void store_be64(std::uint8_t* at, std::uint64_t value) noexcept {
    value = __builtin_bswap64(value);
    std::memcpy(at, &value, 8);
}

// One marker byte followed by a big-endian value of 1, 2, 4 or 8 bytes.
inline void put1(ByteBuffer& out, std::uint8_t marker, std::uint8_t value) {
    out.reserve_more(2);
    std::uint8_t* at = out.tail();
    at[0] = marker;
    at[1] = value;
    out.commit(2);
}
inline void put2(ByteBuffer& out, std::uint8_t marker, std::uint16_t value) {
    out.reserve_more(3);
    std::uint8_t* at = out.tail();
    at[0] = marker;
    store_be16(at + 1, value);
    out.commit(3);
}
inline void put4(ByteBuffer& out, std::uint8_t marker, std::uint32_t value) {
    out.reserve_more(5);
    std::uint8_t* at = out.tail();
    at[0] = marker;
    store_be32(at + 1, value);
    out.commit(5);
}
inline void put8(ByteBuffer& out, std::uint8_t marker, std::uint64_t value) {
    out.reserve_more(9);
    std::uint8_t* at = out.tail();
    at[0] = marker;
    store_be64(at + 1, value);
    out.commit(9);
}

}  // namespace detail

inline void write_nil(ByteBuffer& out) { out.push(0xc0); }
inline void write_bool(ByteBuffer& out, bool value) { out.push(value ? 0xc3 : 0xc2); }

inline void write_uint(ByteBuffer& out, std::uint64_t value) {
    if (value < 0x80) {
        out.push(static_cast<std::uint8_t>(value));
    } else if (value <= 0xff) {
        detail::put1(out, 0xcc, static_cast<std::uint8_t>(value));
    } else if (value <= 0xffff) {
        detail::put2(out, 0xcd, static_cast<std::uint16_t>(value));
    } else if (value <= 0xffffffffULL) {
        detail::put4(out, 0xce, static_cast<std::uint32_t>(value));
    } else {
        detail::put8(out, 0xcf, value);
    }
}

inline void write_int(ByteBuffer& out, std::int64_t value) {
    if (value >= 0) {
        write_uint(out, static_cast<std::uint64_t>(value));
    } else if (value >= -32) {
        out.push(static_cast<std::uint8_t>(value));
    } else if (value >= -128) {
        detail::put1(out, 0xd0, static_cast<std::uint8_t>(value));
    } else if (value >= -32768) {
        detail::put2(out, 0xd1, static_cast<std::uint16_t>(value));
    } else if (value >= -2147483648LL) {
        detail::put4(out, 0xd2, static_cast<std::uint32_t>(value));
    } else {
        detail::put8(out, 0xd3, static_cast<std::uint64_t>(value));
    }
}

// float 64, bit pattern unchanged (NaN payloads and signs included).
inline void write_double(ByteBuffer& out, double value) {
    detail::put8(out, 0xcb, std::bit_cast<std::uint64_t>(value));
}

// Copies fewer than 32 bytes without calling memcpy: two overlapping fixed-size copies.
[[gnu::always_inline]] inline void copy_short(std::uint8_t* to, const char* from, std::size_t length) noexcept {
    if (length >= 16) {
        std::memcpy(to, from, 16);
        std::memcpy(to + length - 16, from + length - 16, 16);
    } else if (length >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + length - 8, from + length - 8, 8);
    } else if (length >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + length - 4, from + length - 4, 4);
    } else if (length != 0) {
        to[0] = static_cast<std::uint8_t>(from[0]);
        to[length / 2] = static_cast<std::uint8_t>(from[length / 2]);
        to[length - 1] = static_cast<std::uint8_t>(from[length - 1]);
    }
}

// A fixstr: fewer than 32 bytes of text.
[[gnu::always_inline]] inline void write_fixstr(ByteBuffer& out, const char* data, std::size_t length) {
    out.reserve_more(length + 1);
    std::uint8_t* at = out.tail();
    at[0] = static_cast<std::uint8_t>(0xa0 | length);
    copy_short(at + 1, data, length);
    out.commit(length + 1);
}

// Lengths must be at most MAX_LENGTH; callers check and fail before.
inline void write_str_header(ByteBuffer& out, std::size_t length) {
    if (length < 32) {
        out.push(static_cast<std::uint8_t>(0xa0 | length));
    } else if (length <= 0xff) {
        detail::put1(out, 0xd9, static_cast<std::uint8_t>(length));
    } else if (length <= 0xffff) {
        detail::put2(out, 0xda, static_cast<std::uint16_t>(length));
    } else {
        detail::put4(out, 0xdb, static_cast<std::uint32_t>(length));
    }
}

inline void write_bin_header(ByteBuffer& out, std::size_t length) {
    if (length <= 0xff) {
        detail::put1(out, 0xc4, static_cast<std::uint8_t>(length));
    } else if (length <= 0xffff) {
        detail::put2(out, 0xc5, static_cast<std::uint16_t>(length));
    } else {
        detail::put4(out, 0xc6, static_cast<std::uint32_t>(length));
    }
}

inline void write_array_header(ByteBuffer& out, std::size_t count) {
    if (count < 16) {
        out.push(static_cast<std::uint8_t>(0x90 | count));
    } else if (count <= 0xffff) {
        detail::put2(out, 0xdc, static_cast<std::uint16_t>(count));
    } else {
        detail::put4(out, 0xdd, static_cast<std::uint32_t>(count));
    }
}

inline void write_map_header(ByteBuffer& out, std::size_t count) {
    if (count < 16) {
        out.push(static_cast<std::uint8_t>(0x80 | count));
    } else if (count <= 0xffff) {
        detail::put2(out, 0xde, static_cast<std::uint16_t>(count));
    } else {
        detail::put4(out, 0xdf, static_cast<std::uint32_t>(count));
    }
}

// The smallest ext header for a payload of `length` bytes (at most MAX_LENGTH), written into
// `header`; returns its size (2 to 6 bytes).
inline std::size_t ext_header(std::uint8_t* header, std::int8_t type, std::size_t length) noexcept {
    const auto type_byte = static_cast<std::uint8_t>(type);
    switch (length) {
        case 1: header[0] = 0xd4; header[1] = type_byte; return 2;
        case 2: header[0] = 0xd5; header[1] = type_byte; return 2;
        case 4: header[0] = 0xd6; header[1] = type_byte; return 2;
        case 8: header[0] = 0xd7; header[1] = type_byte; return 2;
        case 16: header[0] = 0xd8; header[1] = type_byte; return 2;
        default: break;
    }
    if (length <= 0xff) {
        header[0] = 0xc7;
        header[1] = static_cast<std::uint8_t>(length);
        header[2] = type_byte;
        return 3;
    }
    if (length <= 0xffff) {
        header[0] = 0xc8;
        detail::store_be16(header + 1, static_cast<std::uint16_t>(length));
        header[3] = type_byte;
        return 4;
    }
    header[0] = 0xc9;
    detail::store_be32(header + 1, static_cast<std::uint32_t>(length));
    header[5] = type_byte;
    return 6;
}

inline constexpr std::size_t RESERVED_HEADER = 6;

// Ext with a known payload (length at most MAX_LENGTH; callers check).
inline void write_ext_unchecked(ByteBuffer& out, std::int8_t type, const void* payload, std::size_t length) {
    std::uint8_t header[RESERVED_HEADER];
    std::size_t header_length = ext_header(header, type, length);
    out.reserve_more(header_length + length);
    std::memcpy(out.tail(), header, header_length);
    if (length != 0) std::memcpy(out.tail() + header_length, payload, length);
    out.commit(header_length + length);
}

// fixext 4 with a 32-bit big-endian number: shared-container and interned-value references.
inline void write_fixext4(ByteBuffer& out, std::int8_t type, std::uint32_t number) {
    out.reserve_more(6);
    std::uint8_t* at = out.tail();
    at[0] = 0xd6;
    at[1] = static_cast<std::uint8_t>(type);
    detail::store_be32(at + 2, number);
    out.commit(6);
}

}  // namespace quib::values::msgpack
