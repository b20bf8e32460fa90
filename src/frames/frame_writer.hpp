// The frame writer: one recorded frame event becomes one MessagePack map appended to the thread's
// frame buffer. Both tracers write records only through here, so the format is the same whichever
// tracer made it.
//
// A record either is written whole or not at all: on failure the buffer is exactly as before.
// A value over its budget is not a failure (the encoder writes a truncation marker), and a value
// that hits Python's recursion limit makes the record fall back to one without values.
#pragma once

#include "frames/call_frames.hpp"
#include "frames/event_kind.hpp"
#include "frames/frame_id.hpp"
#include "frames/frame_path_cache.hpp"
#include "frames/line_cache.hpp"
#include "values/byte_buffer.hpp"
#include "values/serializer_state.hpp"
#include "values/value_interning_hook.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quib::frames {

// What goes in the value slot: nothing (written as "arg": None), an argument or return value
// ("arg"), or an exception ("exception").
enum class ValueKind : std::uint8_t { None = 0, Argument = 1, Exception = 2 };

// The "co_name" and "qualname" pairs of one code object as a thread last wrote them, with the
// module name (an exact str) they were made for: a code object nearly always runs in one module,
// so its records can copy the pairs instead of writing them again.
struct NamePairs {
    py::Ref module;
    std::string bytes;
};

// Facts about a code object that a tracer's code-metadata cache computed once.
struct PrecomputedCode {
    std::string_view path;                                 // relative source path, without a line
    std::optional<std::string_view> qualname;              // co_qualname, when the code has one
    std::atomic<bool>* native_eligible;  // cleared when a value needed the host serializer; may be null
    NamePairs* names = nullptr;          // the calling thread's cache for this code; may be null
};

struct FrameEvent {
    PyFrameObject* frame;
    EventKind event;
    ValueKind value_kind;
    PyObject* value;                         // borrowed; ignored for ValueKind::None
    std::optional<std::string_view> co_name;
    const FrameId& frame_id;
    const std::optional<CallSite>& call_site;
    const PrecomputedCode* code;             // nullptr: compute path and name from the frame
    FramePathCache& path_cache;
    LineCache* lines = nullptr;  // the thread's line-number cache, when the tracer keeps one
    std::optional<double> timestamp = std::nullopt;  // when the tracer read the clock already
};

struct EncoderSettings {
    const values::Serializer& serializer;
    std::optional<std::uint64_t> max_value_bytes;
    bool lightweight_repr;
    values::ValueInterningHook* interning;  // nullptr: no interning for this record
    bool omit_return_locals;
};

// The record with values (10 entries). On a closing event while this thread omits values (the
// stack is nearly exhausted), the record without values instead.
py::Status write_frame_with_serializer_inner(values::ByteBuffer& out, const FrameEvent& event,
                                             const EncoderSettings& settings);

// The record without values (11 entries, "values_omitted": "stack_limit"). Fails only when the path
// or the qualified name cannot be determined.
py::Status write_frame_without_values(values::ByteBuffer& out, const FrameEvent& event);

// After `error` stopped a record with values: the record without values when the error is (or
// was raised while handling) a RecursionError; otherwise the error back. Errors that belong to the
// program always come back.
py::Status without_values_at_recursion_limit(py::PyError error, values::ByteBuffer& out, const FrameEvent& event);

}  // namespace quib::frames
