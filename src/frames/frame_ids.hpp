// The frame ids of one thread's frames, keyed by the frame object's address. An activation's opening
// event (call, resume, throw) makes a fresh id and its closing event (return, unwind, yield) reuses
// it, which is how the viewer pairs the two records. A generator gets a new id each time it
// resumes, and its yield closes that run.
//
// An id stays stored after its frame closes, until an opening event at the same address (a new
// frame object that reuses the memory) replaces it or `abandon` removes it.
#pragma once

#include "frames/address_map.hpp"
#include "frames/event_kind.hpp"
#include "frames/frame_id.hpp"

#include <optional>
#include <unordered_set>

namespace quib::frames {

class FrameIds {
public:
    // Opening event: a fresh id, stored (replacing an older one at this address). Closing event:
    // the stored id, or a fresh one that is not stored when the opening was never seen.
    FrameId get_or_set(EventKind event, std::uintptr_t frame);
    // The same, making any fresh id from a clock reading the caller already made.
    FrameId get_or_set(EventKind event, std::uintptr_t frame, std::uint64_t millis);
    // The stored id, without making one.
    std::optional<FrameId> get_option(std::uintptr_t frame) const noexcept;
    // Forgets the frame's id; with `remember`, its next closing event is not to be recorded either
    // (the opening event's record was never written).
    void abandon(std::uintptr_t frame, bool remember);
    // For a closing event: whether the frame was abandoned with `remember`; the mark is removed.
    bool take_abandoned(std::uintptr_t frame);

    bool has_abandoned() const noexcept { return !abandoned_.empty(); }
    std::size_t size() const noexcept { return ids_.size(); }
    void clear() noexcept;

private:
    AddressMap<FrameId> ids_;
    // Rarely non-empty: touched only then.
    std::unordered_set<std::uintptr_t> abandoned_;
};

}  // namespace quib::frames
