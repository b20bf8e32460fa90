#include "naming/trace_name.hpp"

#include <algorithm>
#include <charconv>

namespace quib::naming {

namespace {

constexpr int RECORD_DEPTH_LIMIT = 1024;
constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

bool continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at `text[i]`, or 0; `valid_prefix` is how many bytes of an
// invalid sequence still looked right (at least 1), so that it is replaced as one unit.
std::size_t sequence_at(std::string_view text, std::size_t i, std::size_t& valid_prefix) noexcept {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    unsigned char lead = byte(0);
    valid_prefix = 1;
    if (lead < 0x80) return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // surrogates are not valid UTF-8
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (i + k >= text.size()) return 0;
        unsigned char next = byte(k);
        bool ok = k == 1 ? (next >= low && next <= high) : continuation(next);
        if (!ok) return 0;
        valid_prefix = k + 1;
    }
    return length;
}

bool valid_utf8(std::string_view text) noexcept {
    std::size_t prefix = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = sequence_at(text, i, prefix);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

const char HEX[] = "0123456789abcdef";

std::string surrogate_escaped(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[i + k]); };
        if (at(0) == 0xED && i + 2 < bytes.size() && at(1) >= 0xA0 && at(1) <= 0xBF) {
            unsigned code = 0xD000u | (static_cast<unsigned>(at(1) & 0x3F) << 6) | (at(2) & 0x3Fu);
            text += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) text += HEX[(code >> shift) & 0xF];
            i += 3;
            continue;
        }
        std::size_t prefix = 1;
        std::size_t length = sequence_at(bytes, i, prefix);
        if (length > 0) {
            text.append(bytes.substr(i, length));
            i += length;
        } else {
            text += REPLACEMENT;
            // An incomplete sequence at the end is one replacement for the rest.
            i = std::min(bytes.size(), i + prefix);
        }
    }
    return text;
}

// Decoded record `index` as a map with its kind (the first "type" entry, when it is valid text).
struct NamingRecord {
    MsgValue map;
    std::optional<std::string> kind;
};

enum class Read : std::uint8_t { Ok, Skip, Unreadable };

Read read_record(const RecordReader& read, std::uint64_t index, NamingRecord& out) {
    auto bytes = read(index);
    if (!bytes) return Read::Unreadable;
    auto value = decode_one(*bytes, RECORD_DEPTH_LIMIT);
    if (!value || value->kind != MsgValue::Kind::Map) return Read::Skip;
    out.map = std::move(*value);
    out.kind.reset();
    if (const MsgValue* type = out.map.map_get("type"); type && type->is_str() && valid_utf8(type->bytes)) {
        out.kind = std::string(type->bytes);
    }
    return Read::Ok;
}

std::optional<std::string> test_name(std::uint64_t count, const RecordReader& read) {
    std::optional<MsgValue> start;
    NamingRecord record;
    for (std::uint64_t index : relevant_frame_indices(count)) {
        Read outcome = read_record(read, index, record);
        if (outcome == Read::Unreadable) return std::nullopt;
        if (outcome == Read::Ok && !start && record.kind == "start_test") start = std::move(record.map);
    }
    if (!start) return std::nullopt;
    std::optional<std::string> name = map_string(*start, "test_name");
    if (!name) return std::nullopt;
    if (std::optional<std::string> test_class = map_string(*start, "test_class")) return *test_class + "." + *name;
    return name;
}

std::optional<std::string> request_name(std::uint64_t count, const RecordReader& read) {
    std::optional<MsgValue> request, response;
    NamingRecord record;
    for (std::uint64_t index : relevant_frame_indices(count)) {
        Read outcome = read_record(read, index, record);
        if (outcome == Read::Unreadable) return std::nullopt;
        if (outcome != Read::Ok) continue;
        if (record.kind == "django_request") {
            if (!request) request = std::move(record.map);
        } else if (record.kind == "django_response") {
            response = std::move(record.map);
        }
    }
    if (!request || !response) return std::nullopt;
    std::optional<std::string> method = map_string(*request, "method");
    std::optional<std::string> path = map_string(*request, "path_info");
    const MsgValue* status_value = response->map_get("status_code");
    std::optional<std::string> status = status_value ? integer_text(*status_value) : std::nullopt;
    if (!method || !path || !status) return std::nullopt;
    return *method + " " + *path + " " + *status;
}

}  // namespace

std::vector<std::uint64_t> relevant_frame_indices(std::uint64_t n) {
    std::vector<std::uint64_t> indices;
    for (std::uint64_t i = 0; i < 3 && i < n; ++i) indices.push_back(i);
    for (std::uint64_t i = n >= 3 ? n - 3 : 0; i < n; ++i) {
        if (indices.empty() || i > indices.back()) indices.push_back(i);
    }
    return indices;
}

std::optional<std::string> name_text(const MsgValue& value) {
    if (value.is_str()) {
        if (!valid_utf8(value.bytes)) return std::nullopt;
        return std::string(value.bytes);
    }
    if (value.kind == MsgValue::Kind::Ext && value.ext_type == 10) return surrogate_escaped(value.bytes);
    return std::nullopt;
}

std::optional<std::string> map_string(const MsgValue& map, std::string_view key) {
    const MsgValue* value = map.map_get(key);
    if (value == nullptr) return std::nullopt;
    return name_text(*value);
}

std::optional<std::string> integer_text(const MsgValue& value) {
    char digits[24];
    std::to_chars_result written;
    if (value.kind == MsgValue::Kind::UInt) {
        written = std::to_chars(digits, digits + sizeof digits, value.unsigned_int);
    } else if (value.kind == MsgValue::Kind::Int) {
        written = std::to_chars(digits, digits + sizeof digits, value.integer);
    } else {
        return std::nullopt;
    }
    return std::string(digits, written.ptr);
}

std::optional<std::string> name_from_records(std::uint64_t record_count, const RecordReader& read) {
    if (record_count > 0) {
        if (std::optional<std::string> name = test_name(record_count, read)) return name;
    }
    return request_name(record_count, read);
}

}  // namespace quib::naming
