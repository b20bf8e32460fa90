// The two size settings, given in MiB by the host: "max_value_mb" caps the encoded size of one
// captured value, "flush_subtree_mb" is the number of buffered bytes that triggers flushing a
// finished subtree. Both accept a number, or None / False for "no limit". They read the host's dict
// directly (a plain dict lookup: an overridden lookup of a dict subclass is not consulted).
#pragma once

#include "py/error.hpp"

#include <cstdint>
#include <optional>

namespace quib::config {

inline constexpr std::uint64_t DEFAULT_MAX_VALUE_BYTES = 64ull * 1024 * 1024;
inline constexpr std::uint64_t DEFAULT_FLUSH_SUBTREE_BYTES = 500ull * 1024 * 1024;

// The per-value cap in bytes; nullopt means no cap. A bad value fails with ValueError
// "max_value_mb must be a non-negative number or false".
py::Result<std::optional<std::uint64_t>> resolve_max_value_bytes(PyObject* settings);
// The subtree-flush threshold in bytes; nullopt means flushing is disabled. A bad value fails
// with a ValueError that says what is wrong.
py::Result<std::optional<std::uint64_t>> resolve_flush_subtree_bytes(PyObject* settings);

}  // namespace quib::config
