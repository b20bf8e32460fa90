// Where value interning plugs into the encoder. An encoder made with a hook asks it about every
// exact str or bytes whose encoded text is INTERN_MIN to INTERN_MAX bytes long; the hook decides
// whether the value is written, written and cached, or replaced by a reference it writes itself.
// The interning tables and publication live with the trace writer, behind this interface.
#pragma once

#include "py/compat.hpp"
#include "values/byte_buffer.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quib::values {

enum class InternKind : std::uint8_t { Str, Bytes };

inline constexpr std::size_t INTERN_MIN = 4096;
inline constexpr std::size_t INTERN_MAX = 16 * 1024 * 1024;

enum class InternAnswer : std::uint8_t {
    ReferenceWritten,  // the hook appended the value reference to the output
    WriteNormally,     // the encoder writes the value
    WriteAndCache,     // the encoder writes the value, then hands it to cache_current_value
    Failed,            // the value fails with OSError(message)
};

class ValueInterningHook {
public:
    // `text` is the value's UTF-8 text (str) or contents (bytes).
    virtual InternAnswer lookup_value(PyObject* object, InternKind kind, std::string_view text, ByteBuffer& out,
                                      std::string& message) = 0;
    // After WriteAndCache: `encoded` is the value as just written (header and text).
    virtual void cache_current_value(PyObject* object, InternKind kind, std::size_t text_length,
                                     std::span<const std::uint8_t> encoded) = 0;

protected:
    ~ValueInterningHook() = default;
};

}  // namespace quib::values
