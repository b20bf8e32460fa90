// A small MessagePack reader for the few records the engine reads back (trace naming). It decodes
// one value into a tree of views over the input bytes, with a nesting limit, and never throws on
// malformed input: it returns nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quib::naming {

struct MsgValue {
    enum class Kind : std::uint8_t { Nil, Bool, Int, UInt, Float, Str, Bin, Array, Map, Ext };
    Kind kind = Kind::Nil;
    bool boolean = false;
    std::int64_t integer = 0;        // Int (negative or small values)
    std::uint64_t unsigned_int = 0;  // UInt
    double real = 0;
    std::string_view bytes;          // Str, Bin, Ext payload
    std::int8_t ext_type = 0;
    std::vector<MsgValue> items;     // Array items; Map keys and values alternating

    bool is_str() const noexcept { return kind == Kind::Str; }
    bool is_integer() const noexcept { return kind == Kind::Int || kind == Kind::UInt; }
    std::size_t map_size() const noexcept { return items.size() / 2; }
    // The value of the first map entry whose key is the string `key`, or nullptr.
    const MsgValue* map_get(std::string_view key) const noexcept;
};

// Decodes one value from the start of `data`; nothing when the bytes are not a complete value or
// nest deeper than `depth_limit`.
std::optional<MsgValue> decode_one(std::span<const std::uint8_t> data, int depth_limit = 1024);

}  // namespace quib::naming
