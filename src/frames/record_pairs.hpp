// The key/value pairs that frame records (and the trace metadata) are made of. Keys are fixstr
// literals written as bytes; values take the smallest MessagePack form. They write into memory
// only, so they cannot fail short of running out of memory.
#pragma once

#include "values/byte_buffer.hpp"
#include "values/msgpack_writer.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace quib::frames {

// A fixstr key: the header byte, then the text.
template <std::size_t N>
inline void write_key(values::ByteBuffer& out, const char (&key)[N]) {
    static_assert(N - 1 < 32, "keys are fixstr");
    out.reserve_more(N);
    std::uint8_t* at = out.tail();
    at[0] = static_cast<std::uint8_t>(0xa0 | (N - 1));
    std::memcpy(at + 1, key, N - 1);
    out.commit(N);
}

inline void write_str(values::ByteBuffer& out, std::string_view text) {
    values::msgpack::write_str_header(out, text.size());
    out.append(text);
}

template <std::size_t N>
inline void write_str_pair(values::ByteBuffer& out, const char (&key)[N], std::optional<std::string_view> value) {
    write_key(out, key);
    if (value) {
        write_str(out, *value);
    } else {
        values::msgpack::write_nil(out);
    }
}

template <std::size_t N>
inline void write_f64_pair(values::ByteBuffer& out, const char (&key)[N], double value) {
    write_key(out, key);
    values::msgpack::write_double(out, value);
}

template <std::size_t N>
inline void write_int_pair(values::ByteBuffer& out, const char (&key)[N], std::optional<std::uint64_t> value) {
    write_key(out, key);
    if (value) {
        values::msgpack::write_uint(out, *value);
    } else {
        values::msgpack::write_nil(out);
    }
}

template <std::size_t N>
inline void write_bool_pair(values::ByteBuffer& out, const char (&key)[N], bool value) {
    write_key(out, key);
    values::msgpack::write_bool(out, value);
}

}  // namespace quib::frames
