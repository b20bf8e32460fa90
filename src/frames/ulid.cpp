#include "frames/ulid.hpp"

#include "frames/clock.hpp"
#include "frames/random.hpp"

namespace quib::frames {

void write_ulid(char* out, std::uint64_t millis, std::uint16_t random_high, std::uint64_t random_low) noexcept {
    constexpr std::uint64_t MAX_MILLIS = (std::uint64_t{1} << 48) - 1;
    std::uint64_t time = millis > MAX_MILLIS ? MAX_MILLIS : millis;
    // 10 characters carry the 48 time bits (the first one only 3 of its 5), 16 the 80 random bits.
    for (int i = 9; i >= 0; --i) {
        out[i] = CROCKFORD_ALPHABET[time & 31];
        time >>= 5;
    }
    // The 80 random bits as two 40-bit halves, 8 characters each.
    std::uint64_t halves[2] = {(std::uint64_t{random_high} << 24) | (random_low >> 40),
                               random_low & ((std::uint64_t{1} << 40) - 1)};
    for (int half = 0; half < 2; ++half) {
        std::uint64_t bits = halves[half];
        for (int i = 17 + 8 * half; i >= 10 + 8 * half; --i) {
            out[i] = CROCKFORD_ALPHABET[bits & 31];
            bits >>= 5;
        }
    }
}

void write_ulid(char* out) noexcept {
    std::uint64_t high = random_u64();
    write_ulid(out, unix_millis(), static_cast<std::uint16_t>(high), random_u64());
}

}  // namespace quib::frames
