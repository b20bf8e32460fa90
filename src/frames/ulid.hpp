// ULIDs: 48 bits of milliseconds since the Unix epoch followed by 80 random bits, written as 26
// characters of Crockford base32 (upper case), so that their text sorts by creation time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quib::frames {

inline constexpr std::size_t ULID_LENGTH = 26;
inline constexpr char CROCKFORD_ALPHABET[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

// Writes a fresh ULID (clock now, random bits from this thread's source) to out[0..26).
void write_ulid(char* out) noexcept;
// The same for a clock reading the caller already made (milliseconds since the epoch).
void write_ulid(char* out, std::uint64_t millis) noexcept;
// Writes the ULID of the given parts; milliseconds beyond 48 bits are clamped.
void write_ulid(char* out, std::uint64_t millis, std::uint16_t random_high, std::uint64_t random_low) noexcept;

}  // namespace quib::frames
