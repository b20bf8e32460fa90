// Byte-substring matching on file names: no anchoring, no case folding, no path normalisation.
// Needles are prepared once; a test allocates nothing.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quib::selection {

class SubstringFinder {
public:
    SubstringFinder() = default;
    explicit SubstringFinder(std::string needle) : needle_(std::move(needle)) {}

    // Position of the first occurrence at or after `from`.
    std::optional<std::size_t> find(std::string_view haystack, std::size_t from = 0) const noexcept;
    bool matches(std::string_view haystack) const noexcept { return find(haystack).has_value(); }
    std::string_view needle() const noexcept { return needle_; }

private:
    std::string needle_;
};

// An ordered list of finders; matches when any member does.
class Finders {
public:
    Finders() = default;
    explicit Finders(std::vector<SubstringFinder> finders) : finders_(std::move(finders)) {}

    bool check(std::string_view haystack) const noexcept {
        for (const SubstringFinder& finder : finders_) {
            if (finder.matches(haystack)) return true;
        }
        return false;
    }
    bool empty() const noexcept { return finders_.empty(); }
    const std::vector<SubstringFinder>& items() const noexcept { return finders_; }

private:
    std::vector<SubstringFinder> finders_;
};

}  // namespace quib::selection
