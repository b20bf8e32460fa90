#include "selection/substring_finder.hpp"

#include <cstring>

namespace quib::selection {

std::optional<std::size_t> SubstringFinder::find(std::string_view haystack, std::size_t from) const noexcept {
    if (from > haystack.size()) return std::nullopt;
    if (needle_.empty()) return from;
    // glibc's memmem is a two-way search: linear, and fast for the short needles used here.
    const void* hit = memmem(haystack.data() + from, haystack.size() - from, needle_.data(), needle_.size());
    if (hit == nullptr) return std::nullopt;
    return static_cast<std::size_t>(static_cast<const char*>(hit) - haystack.data());
}

}  // namespace quib::selection
