// The few MessagePack writes the container itself needs (its header and index): maps, arrays,
// unsigned integers in their shortest form, strings and float 64. Values of traced programs go
// through the value encoder instead.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace quib::storage::mp {

using Bytes = std::vector<std::uint8_t>;

inline void put_be(Bytes& out, std::uint64_t value, int width) {
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

inline void write_uint(Bytes& out, std::uint64_t value) {
    if (value < 0x80) {
        out.push_back(static_cast<std::uint8_t>(value));
    } else if (value <= 0xFF) {
        out.push_back(0xcc);
        put_be(out, value, 1);
    } else if (value <= 0xFFFF) {
        out.push_back(0xcd);
        put_be(out, value, 2);
    } else if (value <= 0xFFFFFFFFULL) {
        out.push_back(0xce);
        put_be(out, value, 4);
    } else {
        out.push_back(0xcf);
        put_be(out, value, 8);
    }
}

// Collection headers: fix form up to 15 entries, then 16- and 32-bit counts.
inline void write_collection(Bytes& out, std::uint32_t count, std::uint8_t fix, std::uint8_t marker16) {
    if (count < 16) {
        out.push_back(static_cast<std::uint8_t>(fix | count));
    } else if (count <= 0xFFFF) {
        out.push_back(marker16);
        put_be(out, count, 2);
    } else {
        out.push_back(static_cast<std::uint8_t>(marker16 + 1));
        put_be(out, count, 4);
    }
}
inline void write_map(Bytes& out, std::uint32_t count) { write_collection(out, count, 0x80, 0xde); }
inline void write_array(Bytes& out, std::uint32_t count) { write_collection(out, count, 0x90, 0xdc); }

// The caller guarantees that the text is shorter than 4 GiB.
inline void write_str(Bytes& out, std::string_view text) {
    std::uint64_t size = text.size();
    if (size < 32) {
        out.push_back(static_cast<std::uint8_t>(0xa0 | size));
    } else if (size <= 0xFF) {
        out.push_back(0xd9);
        put_be(out, size, 1);
    } else if (size <= 0xFFFF) {
        out.push_back(0xda);
        put_be(out, size, 2);
    } else {
        out.push_back(0xdb);
        put_be(out, size, 4);
    }
    out.insert(out.end(), text.begin(), text.end());
}

inline void write_f64(Bytes& out, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    out.push_back(0xcb);
    put_be(out, bits, 8);
}

}  // namespace quib::storage::mp
