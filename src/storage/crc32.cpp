#include "storage/crc32.hpp"

#include <array>
#include <cstring>

namespace quib::storage {

namespace {

// Slicing by eight: eight table lookups per eight input bytes instead of one per byte.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
    std::array<std::array<std::uint32_t, 256>, 8> tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1U) ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        tables[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; ++i) {
        for (std::size_t t = 1; t < 8; ++t) tables[t][i] = (tables[t - 1][i] >> 8) ^ tables[0][tables[t - 1][i] & 0xFFU];
    }
    return tables;
}

constexpr auto TABLES = make_tables();

}  // namespace

std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t previous) noexcept {
    std::uint32_t c = ~previous;
    while (size >= 8) {
        std::uint32_t low = 0;
        std::uint32_t high = 0;
        std::memcpy(&low, data, 4);
        std::memcpy(&high, data + 4, 4);
        static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the sliced CRC assumes little-endian loads");
        low ^= c;
        c = TABLES[7][low & 0xFFU] ^ TABLES[6][(low >> 8) & 0xFFU] ^ TABLES[5][(low >> 16) & 0xFFU] ^
            TABLES[4][low >> 24] ^ TABLES[3][high & 0xFFU] ^ TABLES[2][(high >> 8) & 0xFFU] ^
            TABLES[1][(high >> 16) & 0xFFU] ^ TABLES[0][high >> 24];
        data += 8;
        size -= 8;
    }
    while (size-- > 0) c = TABLES[0][(c ^ *data++) & 0xFFU] ^ (c >> 8);
    return ~c;
}

}  // namespace quib::storage
