#include "frames/ulid.hpp"

#include "frames/clock.hpp"
#include "frames/random.hpp"

#include <array>
#include <cstring>

namespace quib::frames {

namespace {

// Every 10-bit value as its two base32 characters: the 80 random bits take 8 lookups.
constexpr std::array<char, 2048> make_pairs() {
    std::array<char, 2048> pairs{};
    for (int value = 0; value < 1024; ++value) {
        pairs[2 * value] = CROCKFORD_ALPHABET[value >> 5];
        pairs[2 * value + 1] = CROCKFORD_ALPHABET[value & 31];
    }
    return pairs;
}
constexpr std::array<char, 2048> PAIRS = make_pairs();

void write_time(char* out, std::uint64_t millis) noexcept {
    constexpr std::uint64_t MAX_MILLIS = (std::uint64_t{1} << 48) - 1;
    std::uint64_t time = millis > MAX_MILLIS ? MAX_MILLIS : millis;
    // 10 characters carry the 48 time bits (the first one only 3 of its 5).
    for (int i = 9; i >= 0; --i) {
        out[i] = CROCKFORD_ALPHABET[time & 31];
        time >>= 5;
    }
}

// 40 bits as 8 characters.
void write_forty_bits(char* out, std::uint64_t bits) noexcept {
    for (int i = 3; i >= 0; --i) {
        std::memcpy(out + 2 * i, &PAIRS[2 * (bits & 1023)], 2);
        bits >>= 10;
    }
}

// The time characters of the last millisecond this thread asked for: ids made in the same
// millisecond share them.
struct TimeText {
    std::uint64_t millis = UINT64_MAX;
    char text[10] = {};
};
constinit thread_local TimeText LAST_TIME{};

}  // namespace

void write_ulid(char* out, std::uint64_t millis, std::uint16_t random_high, std::uint64_t random_low) noexcept {
    TimeText& last = LAST_TIME;
    if (last.millis != millis) {
        write_time(last.text, millis);
        last.millis = millis;
    }
    std::memcpy(out, last.text, 10);
    // The 80 random bits as two 40-bit halves, 8 characters each.
    write_forty_bits(out + 10, (std::uint64_t{random_high} << 24) | (random_low >> 40));
    write_forty_bits(out + 18, random_low & ((std::uint64_t{1} << 40) - 1));
}

void write_ulid(char* out, std::uint64_t millis) noexcept {
    std::uint64_t high = random_u64();
    write_ulid(out, millis, static_cast<std::uint16_t>(high), random_u64());
}

void write_ulid(char* out) noexcept { write_ulid(out, unix_millis()); }

}  // namespace quib::frames
