#include "frames/frame_id.hpp"

#include "frames/clock.hpp"

#include <cstring>

namespace quib::frames {

FrameId FrameId::fresh() noexcept { return fresh(unix_millis()); }

FrameId FrameId::fresh(std::uint64_t millis) noexcept {
    FrameId id;
    std::memcpy(id.bytes.data(), "frm_", 4);
    write_ulid(id.bytes.data() + 4, millis);
    return id;
}

std::string trace_id() {
    std::string id(FRAME_ID_LENGTH, '\0');
    std::memcpy(id.data(), "trc_", 4);
    write_ulid(id.data() + 4);
    return id;
}

}  // namespace quib::frames
