// Identifiers of traces and frame activations. A frame id is "frm_" + a ULID, exactly 30 bytes,
// held inline so that it is copied by value into records and stacks without touching the heap.
// A trace id is "trc_" + a ULID.
#pragma once

#include "frames/ulid.hpp"

#include <array>
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
    friend bool operator==(const FrameId&, const FrameId&) = default;
};

// A new trace id, 30 characters.
std::string trace_id();

}  // namespace quib::frames
