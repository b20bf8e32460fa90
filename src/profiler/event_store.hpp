// Storing one event's records in the profiler's current trace: the thread's frame store, the test
// boundaries of one-trace-per-test mode, and the thread's identity.
#pragma once

#include "profiler/profiler_state.hpp"

#include <string>
#include <vector>

namespace quib::profiler {

// A record of one event and what kind of record it is ("frame" for the frame's own record, a plug-in
// type otherwise).
struct NamedRecord {
    std::string name;
    py::Ref bytes;                    // plug-in records
    const values::ByteBuffer* frame;  // the frame's own record (in the thread's scratch buffer)

    std::span<const std::uint8_t> data() const;
};

// The thread identity text of the calling thread (cached per thread; refilled after a fork).
py::Result<const std::string*> thread_id(ProfilerState& state, ProfilerThread& slot);

// Stores the records of one event in order, handling "start_test" and "end_test".
py::Status push_frames(ProfilerState& state, ProfilerThread& slot, bool is_return, std::vector<NamedRecord>& records);

// Appends records to the calling thread's frame store.
py::Status push_frame_data(ProfilerState& state, ProfilerThread& slot, std::span<const NamedRecord> records);

}  // namespace quib::profiler
