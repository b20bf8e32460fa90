// Identifiers of traces and frame activations. A frame id is "frm_" + a ULID, exactly 30 bytes,
// held inline so that it is copied by value into records and stacks without touching the heap.
// A trace id is "trc_" + a ULID.
#pragma once

#include "frames/ulid.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quib::frames {

inline constexpr std::size_t FRAME_ID_LENGTH = 4 + ULID_LENGTH;

struct FrameId {
    std::array<char, FRAME_ID_LENGTH> bytes;

    // A new id from the clock and this thread's random source.
    static FrameId fresh() noexcept;
    // The same for a clock reading the caller already made (milliseconds since the epoch).
    static FrameId fresh(std::uint64_t millis) noexcept;

    std::string_view view() const noexcept { return {bytes.data(), bytes.size()}; }
    // Four overlapping 8-byte loads each: stacks compare ids on every event.
    friend bool operator==(const FrameId& a, const FrameId& b) noexcept {
        static_assert(FRAME_ID_LENGTH > 24 && FRAME_ID_LENGTH <= 32);
        std::uint64_t x = 0;
        std::uint64_t y = 0;
        std::uint64_t differ = 0;
        for (std::size_t at : {std::size_t{0}, std::size_t{8}, std::size_t{16}, FRAME_ID_LENGTH - 8}) {
            std::memcpy(&x, a.bytes.data() + at, 8);
            std::memcpy(&y, b.bytes.data() + at, 8);
            differ |= x ^ y;
        }
        return differ == 0;
    }
};

// A new trace id, 30 characters.
std::string trace_id();

}  // namespace quib::frames
