// The two metadata payloads of a trace container: one map per recorded thread (kind 2 records) and
// one map for the trace (the kind 3 record). Both are MessagePack maps whose keys and order the host
// package's reader relies on:
//
//   thread: {"thread_id", "name", "ident", "native_id", "daemon", "is_alive"}
//   trace:  {"trace_id", "trace_name", "current_thread_id", "timestamp", "current_commit_sha",
//            "root_trace_id", "meta": {"version", "source", "environment", "config"},
//            "command_line_args", "frames_of_interest": [], "frames": {}}
//
// Building them reads the host package (quib.version, quib.git, quib._platform_info) and sys.argv,
// so it needs the interpreter lock; the Python calls run with the thread's hooks suspended.
#pragma once

#include "py/error.hpp"
#include "storage/container_build.hpp"
#include "storage/writer_commands.hpp"

#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quib::storage {

// A recorded thread: its key (the text the tracer keys its frame stores by) and the Python thread
// object the tracer remembered for it (borrowed for the duration of the call).
struct TraceThread {
    std::string_view key;
    PyObject* thread = nullptr;
};

// Everything the metadata says about a trace besides its frames.
struct TraceMetadataInputs {
    std::string_view trace_id;
    std::optional<std::string_view> trace_name;
    std::string_view current_thread_id;  // thread id text of the thread that saves
    double timestamp = 0;                // the trace's start time
    std::optional<std::string_view> root_trace_id;
    std::string_view source;
    PyObject* settings = nullptr;  // the tracer's settings dict (borrowed)
    bool use_monitoring = false;   // recorded by QuibMonitor
    std::span<const TraceThread> threads;
};

struct PreparedTrace {
    std::vector<ThreadMetadata> thread_metadata;  // in the order of `threads`
    Bytes trace_metadata;
};

// Settings keys that never go into the "config" map: they hold code, filters and plug-in objects
// rather than plain values, or only matter while recording.
inline constexpr std::string_view SKIPPED_CONFIG_KEYS[] = {"filters", "auto_emit", "processors", "trace_points",
                                                          "flush_subtree_mb"};

// Builds both payloads. Fails with the host's exception (or a TypeError) when quib.version,
// quib.git, quib._platform_info or sys.argv do not have the documented shapes, and with
// OSError "missing v3 thread token for {key}" when a thread has no token. A settings value of an
// unsupported type is left out after the line "unsupported config type: {key}" on standard output.
py::Result<PreparedTrace> prepare_v3_trace_from_parts(const TraceMetadataInputs& inputs, const TokenLookup& token_of);

}  // namespace quib::storage
