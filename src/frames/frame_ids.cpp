#include "frames/frame_ids.hpp"

#include "frames/clock.hpp"

namespace quib::frames {

FrameId FrameIds::get_or_set(EventKind event, std::uintptr_t frame) { return get_or_set(event, frame, unix_millis()); }

FrameId FrameIds::get_or_set(EventKind event, std::uintptr_t frame, std::uint64_t millis) {
    if (is_closing(event)) {
        if (const FrameId* stored = ids_.find(frame)) return *stored;
        return FrameId::fresh(millis);
    }
    if (!abandoned_.empty()) abandoned_.erase(frame);
    FrameId id = FrameId::fresh(millis);
    ids_.insert_or_assign(frame, id);
    return id;
}

std::optional<FrameId> FrameIds::get_option(std::uintptr_t frame) const noexcept {
    if (const FrameId* stored = ids_.find(frame)) return *stored;
    return std::nullopt;
}

void FrameIds::abandon(std::uintptr_t frame, bool remember) {
    ids_.erase(frame);
    if (remember) abandoned_.insert(frame);
}

bool FrameIds::take_abandoned(std::uintptr_t frame) {
    if (abandoned_.empty()) return false;
    return abandoned_.erase(frame) != 0;
}

void FrameIds::clear() noexcept {
    ids_.clear();
    abandoned_.clear();
}

}  // namespace quib::frames
