#include "naming/msgpack_reader.hpp"

#include <cstring>

namespace quib::naming {

namespace {

class Reader {
public:
    Reader(std::span<const std::uint8_t> data, int depth_limit) : data_(data), depth_limit_(depth_limit) {}

    bool read(MsgValue& out, int depth) {
        if (depth > depth_limit_) return false;
        std::uint8_t marker;
        if (!byte(marker)) return false;
        if (marker <= 0x7f) return integer(out, marker);
        if (marker >= 0xe0) return signed_integer(out, static_cast<std::int8_t>(marker));
        if ((marker & 0xf0) == 0x80) return map(out, marker & 0x0f, depth);
        if ((marker & 0xf0) == 0x90) return array(out, marker & 0x0f, depth);
        if ((marker & 0xe0) == 0xa0) return blob(out, MsgValue::Kind::Str, marker & 0x1f);
        switch (marker) {
            case 0xc0: out.kind = MsgValue::Kind::Nil; return true;
            case 0xc2: out.kind = MsgValue::Kind::Bool; out.boolean = false; return true;
            case 0xc3: out.kind = MsgValue::Kind::Bool; out.boolean = true; return true;
            case 0xc4: return sized_blob<std::uint8_t>(out, MsgValue::Kind::Bin);
            case 0xc5: return sized_blob<std::uint16_t>(out, MsgValue::Kind::Bin);
            case 0xc6: return sized_blob<std::uint32_t>(out, MsgValue::Kind::Bin);
            case 0xc7: return sized_ext<std::uint8_t>(out);
            case 0xc8: return sized_ext<std::uint16_t>(out);
            case 0xc9: return sized_ext<std::uint32_t>(out);
            case 0xca: {
                std::uint32_t bits;
                if (!big_endian(bits)) return false;
                float value;
                std::memcpy(&value, &bits, sizeof value);
                out.kind = MsgValue::Kind::Float;
                out.real = value;
                return true;
            }
            case 0xcb: {
                std::uint64_t bits;
                if (!big_endian(bits)) return false;
                out.kind = MsgValue::Kind::Float;
                std::memcpy(&out.real, &bits, sizeof out.real);
                return true;
            }
            case 0xcc: return unsigned_of<std::uint8_t>(out);
            case 0xcd: return unsigned_of<std::uint16_t>(out);
            case 0xce: return unsigned_of<std::uint32_t>(out);
            case 0xcf: return unsigned_of<std::uint64_t>(out);
            case 0xd0: return signed_of<std::uint8_t, std::int8_t>(out);
            case 0xd1: return signed_of<std::uint16_t, std::int16_t>(out);
            case 0xd2: return signed_of<std::uint32_t, std::int32_t>(out);
            case 0xd3: return signed_of<std::uint64_t, std::int64_t>(out);
            case 0xd4: return ext(out, 1);
            case 0xd5: return ext(out, 2);
            case 0xd6: return ext(out, 4);
            case 0xd7: return ext(out, 8);
            case 0xd8: return ext(out, 16);
            case 0xd9: return sized_blob<std::uint8_t>(out, MsgValue::Kind::Str);
            case 0xda: return sized_blob<std::uint16_t>(out, MsgValue::Kind::Str);
            case 0xdb: return sized_blob<std::uint32_t>(out, MsgValue::Kind::Str);
            case 0xdc: return sized_container<std::uint16_t>(out, depth, false);
            case 0xdd: return sized_container<std::uint32_t>(out, depth, false);
            case 0xde: return sized_container<std::uint16_t>(out, depth, true);
            case 0xdf: return sized_container<std::uint32_t>(out, depth, true);
            default: return false;  // 0xc1 is never used
        }
    }

private:
    bool byte(std::uint8_t& out) {
        if (position_ >= data_.size()) return false;
        out = data_[position_++];
        return true;
    }
    template <class T>
    bool big_endian(T& out) {
        if (data_.size() - position_ < sizeof(T)) return false;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) value = (value << 8) | data_[position_ + i];
        position_ += sizeof(T);
        out = static_cast<T>(value);
        return true;
    }
    bool take(std::size_t length, std::string_view& out) {
        if (data_.size() - position_ < length) return false;
        out = std::string_view(reinterpret_cast<const char*>(data_.data() + position_), length);
        position_ += length;
        return true;
    }
    bool integer(MsgValue& out, std::uint64_t value) {
        out.kind = MsgValue::Kind::UInt;
        out.unsigned_int = value;
        return true;
    }
    bool signed_integer(MsgValue& out, std::int64_t value) {
        out.kind = MsgValue::Kind::Int;
        out.integer = value;
        return true;
    }
    template <class T>
    bool unsigned_of(MsgValue& out) {
        T value;
        return big_endian(value) && integer(out, value);
    }
    template <class U, class S>
    bool signed_of(MsgValue& out) {
        U value;
        return big_endian(value) && signed_integer(out, static_cast<S>(value));
    }
    bool blob(MsgValue& out, MsgValue::Kind kind, std::size_t length) {
        out.kind = kind;
        return take(length, out.bytes);
    }
    template <class T>
    bool sized_blob(MsgValue& out, MsgValue::Kind kind) {
        T length;
        return big_endian(length) && blob(out, kind, length);
    }
    bool ext(MsgValue& out, std::size_t length) {
        std::uint8_t type;
        if (!byte(type)) return false;
        out.kind = MsgValue::Kind::Ext;
        out.ext_type = static_cast<std::int8_t>(type);
        return take(length, out.bytes);
    }
    template <class T>
    bool sized_ext(MsgValue& out) {
        T length;
        return big_endian(length) && ext(out, length);
    }
    bool array(MsgValue& out, std::size_t count, int depth) { return items(out, MsgValue::Kind::Array, count, depth); }
    bool map(MsgValue& out, std::size_t count, int depth) { return items(out, MsgValue::Kind::Map, count * 2, depth); }
    template <class T>
    bool sized_container(MsgValue& out, int depth, bool is_map) {
        T count;
        if (!big_endian(count)) return false;
        return is_map ? map(out, count, depth) : array(out, count, depth);
    }
    bool items(MsgValue& out, MsgValue::Kind kind, std::size_t count, int depth) {
        out.kind = kind;
        // Every item takes at least one byte: a count beyond the input is malformed, and checking
        // first keeps a hostile count from reserving memory.
        if (count > data_.size() - position_) return false;
        out.items.resize(count);
        for (MsgValue& item : out.items) {
            if (!read(item, depth + 1)) return false;
        }
        return true;
    }

    std::span<const std::uint8_t> data_;
    std::size_t position_ = 0;
    int depth_limit_;
};

}  // namespace

const MsgValue* MsgValue::map_get(std::string_view key) const noexcept {
    if (kind != Kind::Map) return nullptr;
    for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
        if (items[i].is_str() && items[i].bytes == key) return &items[i + 1];
    }
    return nullptr;
}

std::optional<MsgValue> decode_one(std::span<const std::uint8_t> data, int depth_limit) {
    MsgValue value;
    Reader reader(data, depth_limit);
    if (!reader.read(value, 1)) return std::nullopt;
    return value;
}

}  // namespace quib::naming
