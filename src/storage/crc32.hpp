// CRC-32 as zlib and PNG compute it (reflected polynomial 0xEDB88320, initial value and final XOR
// all ones). `crc32(b, crc32(a))` equals the CRC of a followed by b.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quib::storage {

std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t previous = 0) noexcept;

}  // namespace quib::storage
