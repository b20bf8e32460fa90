// Ending a trace of a QuibProfiler: saving it to the host's database, or building its container
// bytes. Either way the profiler goes on recording into the next trace.
#pragma once

#include "profiler/profiler_state.hpp"

namespace quib::profiler {

// QuibProfiler.save(): nothing after an internal failure.
py::Result<py::Ref> save(ProfilerState& state);
// QuibProfiler.build_trace(): the container bytes.
py::Result<py::Ref> build_trace(ProfilerState& state);
// The save shared by save(), test ends and subtree flushing. Storage OSErrors are logged and
// swallowed; other errors are returned.
py::Status save_in_db(ProfilerState& state);
// A new trace with a fresh id (a test starts in one-trace-per-test mode).
py::Status start_new_trace(ProfilerState& state);

}  // namespace quib::profiler
