// The few MessagePack writes the container itself needs (its header and index) into a byte vector:
// maps, arrays, unsigned integers, strings and float 64. The encodings are the value encoder's
// (values/msgpack_writer.hpp); these adapters only put its output into the container's vectors.
#pragma once

#include "values/byte_buffer.hpp"
#include "values/msgpack_writer.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

namespace quib::storage::mp {

using Bytes = std::vector<std::uint8_t>;

namespace detail {
// Runs one header or scalar write of the value encoder on a stack buffer and appends the result.
template <class Write>
inline void append_written(Bytes& out, Write&& write) {
    std::uint8_t storage[16];  // the largest header or scalar is 9 bytes
    values::ByteBuffer buffer(storage, sizeof storage);
    write(buffer);
    out.insert(out.end(), buffer.data(), buffer.data() + buffer.size());
}
}  // namespace detail

inline void write_uint(Bytes& out, std::uint64_t value) {
    detail::append_written(out, [value](values::ByteBuffer& b) { values::msgpack::write_uint(b, value); });
}
inline void write_map(Bytes& out, std::uint32_t count) {
    detail::append_written(out, [count](values::ByteBuffer& b) { values::msgpack::write_map_header(b, count); });
}
inline void write_array(Bytes& out, std::uint32_t count) {
    detail::append_written(out, [count](values::ByteBuffer& b) { values::msgpack::write_array_header(b, count); });
}
inline void write_str_header(Bytes& out, std::size_t length) {
    detail::append_written(out, [length](values::ByteBuffer& b) { values::msgpack::write_str_header(b, length); });
}
inline void write_bin_header(Bytes& out, std::size_t length) {
    detail::append_written(out, [length](values::ByteBuffer& b) { values::msgpack::write_bin_header(b, length); });
}
// The caller guarantees that the text is shorter than 4 GiB.
inline void write_str(Bytes& out, std::string_view text) {
    write_str_header(out, text.size());
    out.insert(out.end(), text.begin(), text.end());
}
inline void write_f64(Bytes& out, double value) {
    detail::append_written(out, [value](values::ByteBuffer& b) { values::msgpack::write_double(b, value); });
}

}  // namespace quib::storage::mp
