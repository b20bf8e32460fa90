// MessagePack extension type numbers of the value encoding. Readers of traces rely on them.
#pragma once

#include <cstdint>

namespace quib::values::ext {

inline constexpr std::int8_t TEXT = 0;             // repr, placeholder, query-free text
inline constexpr std::int8_t DATETIME = 1;         // isoformat() of a datetime
inline constexpr std::int8_t DATE = 2;             // isoformat() of a date
inline constexpr std::int8_t TIME = 3;             // isoformat() of a time
inline constexpr std::int8_t INTEGER = 4;          // two's complement, big-endian: big or subclassed int
inline constexpr std::int8_t DECIMAL = 5;          // str() of a Decimal
inline constexpr std::int8_t TUPLE = 6;            // an array of the items
inline constexpr std::int8_t SET = 7;              // an array of the items, in iteration order
inline constexpr std::int8_t FROZENSET = 8;        // an array of the items, in iteration order
inline constexpr std::int8_t INTERNED = 9;         // fixext 4: identifier of a published value
inline constexpr std::int8_t UNENCODABLE_STR = 10; // a str with lone surrogates, "surrogatepass" bytes
inline constexpr std::int8_t SHARED = 11;          // fixext 4: distance back to a completed container
inline constexpr std::int8_t TRUNCATED = 12;       // a value over its budget: what and why
inline constexpr std::int8_t TYPE_NAME = 127;      // "module.QualName" of an object that could not be described

}  // namespace quib::values::ext
