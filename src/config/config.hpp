// A tracer's settings: the host's config dict copied into a map from key text to the Python value,
// built once when the tracer is created. Values are kept unchanged and converted only when a key is
// looked up, so a bad value fails the lookup that needs it, not the copy.
#pragma once

#include "py/error.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quib::config {

// Default of "sqlite_busy_timeout", in seconds.
inline constexpr std::uint64_t DEFAULT_SQLITE_BUSY_TIMEOUT = 60;

class Config {
public:
    // `settings` must be a dict (subclasses accepted). Keys must be str: another key fails with a
    // TypeError. A later key equal to an earlier one replaces it.
    static py::Result<Config> create(PyObject* settings);

    // A bool setting: false when absent; True, False (or numpy.bool_) when present, else TypeError.
    py::Result<bool> get_or(std::string_view key) const;
    // An unsigned setting: `fallback` when absent; an int from 0 to 2**64 - 1 when present, else
    // the conversion's OverflowError or TypeError.
    py::Result<std::uint64_t> get_or(std::string_view key, std::uint64_t fallback) const;

    // Borrowed value of `key`, nullptr when absent.
    PyObject* find(std::string_view key) const;
    std::size_t size() const noexcept { return values_.size(); }

private:
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };
    // The references are released with the interpreter lock held: a Config belongs to a tracer
    // object, which Python destroys.
    std::unordered_map<std::string, py::Ref, TextHash, std::equal_to<>> values_;
};

}  // namespace quib::config
