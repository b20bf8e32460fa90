// Source paths as records show them: relative to the working directory when the file is under it,
// climbing out of it with ".." otherwise, computed purely from the text (no file-system access, so
// symbolic links are not resolved). Paths are byte strings, as the OS has them; the final text
// replaces byte sequences that are not UTF-8 by U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace quib::frames {

// Drops repeated separators and "." components and resolves ".." against the preceding name
// (never above the root); an empty result is ".".
std::string lexical_normalize(std::string_view path);
// Whether two path components are the same (byte for byte).
bool path_component_eq(std::string_view a, std::string_view b) noexcept;
// `filename` relative to the directory `base` (absolute). A relative filename such as "<string>"
// is only normalized.
std::string relative_path(std::string_view filename, std::string_view base);

// `bytes` with every maximal invalid UTF-8 sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

}  // namespace quib::frames
