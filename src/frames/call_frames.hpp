// One thread's stack of recorded frames that are currently running, bottom first. It gives each
// record its user-code call site: the recorded frame that called this one, and the line that
// caller is on.
#pragma once

#include "frames/event_kind.hpp"
#include "frames/frame_id.hpp"
#include "frames/line_cache.hpp"
#include "py/error.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace quib::frames {

// Per-code line facts that the monitoring tracer hands along with each entry (line frames); the
// stack only keeps them alive while the entry exists.
struct CodeLines;

struct CallSite {
    FrameId call_frame_id;
    std::optional<std::int32_t> line;
};

struct CallFrameEntry {
    py::Ref frame;
    FrameId id;
    std::shared_ptr<const CodeLines> code;
    // The call site its opening event got. The caller stays on its call instruction while this
    // frame runs, so the closing event reuses it when the entry below is still that caller.
    std::optional<CallSite> site;
};

// Holds strong references to frames: it is created, used and destroyed with the interpreter lock
// held, on its own thread.
class CallFrames {
public:
    // The call site of the event of `frame` with id `id`, then the stack update: an opening event
    // pushes the frame, a closing event pops it (and anything left above it). So an opening event
    // gets its caller, and a closing event the frame below itself. A caller whose line number
    // cannot be read fails the call and leaves the stack as it was. The site is written to `site`
    // (in place: the profile hook runs this on every event, and copies of the site through result
    // wrappers cost more than finding it).
    py::Status get_user_code_call_site(PyObject* frame, EventKind event, const FrameId& id,
                                       std::optional<CallSite>& site, std::shared_ptr<const CodeLines> code = nullptr);
    // [(frame, frame id text)] for the top two entries (fewer on a shorter stack), bottom first.
    py::Result<py::Ref> snapshot_call_site_frames() const;

    // Removes the topmost entry with this id and everything above it (an opening event whose
    // record was abandoned); nothing when there is none.
    void truncate_at(const FrameId& id);
    void clear();

    const std::vector<CallFrameEntry>& entries() const noexcept { return entries_; }
    // This thread's line-number cache, shared with the frame writer.
    LineCache& line_cache() noexcept { return lines_; }

private:
    // Pops entries [from, end). Dropping the last reference to a frame may run Python code (its
    // locals' finalizers); that code is not traced.
    void pop_from(std::size_t from);

    std::vector<CallFrameEntry> entries_;
    LineCache lines_;
};

}  // namespace quib::frames
