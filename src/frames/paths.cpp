#include "frames/paths.hpp"

#include <vector>

namespace quib::frames {

namespace {

// A normalized path: rooted or not, then its names ("..": only at the start of a relative path).
struct Components {
    bool rooted = false;
    std::vector<std::string_view> names;
};

bool is_parent(std::string_view name) noexcept { return name == ".."; }

Components components(std::string_view path) {
    Components result;
    result.rooted = !path.empty() && path.front() == '/';
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") continue;
        if (is_parent(name)) {
            if (!result.names.empty() && !is_parent(result.names.back())) {
                result.names.pop_back();
            } else if (!result.rooted) {
                result.names.push_back(name);
            }
            continue;
        }
        result.names.push_back(name);
    }
    return result;
}

std::string joined(bool rooted, const std::vector<std::string_view>& names, std::size_t from = 0) {
    std::string text = rooted ? "/" : "";
    for (std::size_t i = from; i < names.size(); ++i) {
        if (i > from) text += '/';
        text.append(names[i]);
    }
    if (text.empty()) text.push_back('.');
    return text;
}

// Length of a valid UTF-8 sequence at the start of `bytes`, or 0 with `invalid` set to how many
// bytes the invalid sequence spans (its maximal valid prefix, at least one byte).
std::size_t sequence_length(std::string_view bytes, std::size_t& invalid) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        invalid = 1;
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        unsigned char lower = i == 1 ? low : 0x80, upper = i == 1 ? high : 0xBF;
        if (i >= bytes.size() || byte(i) < lower || byte(i) > upper) {
            invalid = i;
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string lexical_normalize(std::string_view path) {
    Components parts = components(path);
    return joined(parts.rooted, parts.names);
}

bool path_component_eq(std::string_view a, std::string_view b) noexcept { return a == b; }

std::string relative_path(std::string_view filename, std::string_view base) {
    Components file = components(filename);
    if (!file.rooted) return lossy_utf8(joined(false, file.names));
    Components directory = components(base);
    std::size_t shorter = std::min(file.names.size(), directory.names.size());
    std::size_t common = 0;
    while (common < shorter && path_component_eq(file.names[common], directory.names[common])) ++common;
    std::vector<std::string_view> names;
    for (std::size_t i = common; i < directory.names.size(); ++i) {
        if (!is_parent(directory.names[i])) names.emplace_back("..");
    }
    names.insert(names.end(), file.names.begin() + static_cast<std::ptrdiff_t>(common), file.names.end());
    return lossy_utf8(joined(false, names));
}

std::string lossy_utf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        std::size_t invalid = 0;
        std::size_t length = sequence_length(bytes, invalid);
        if (length > 0) {
            text.append(bytes.substr(0, length));
            bytes.remove_prefix(length);
        } else {
            text.append("\xEF\xBF\xBD");
            bytes.remove_prefix(invalid);
        }
    }
    return text;
}

}  // namespace quib::frames
