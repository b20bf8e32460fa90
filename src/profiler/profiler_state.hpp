// The native record of one QuibProfiler: its settings, the current trace's stores and capture, the
// caches that make the profile callback cheap, and per-thread state. It is shared by every thread
// that runs the hook; each mutable part is per-thread, atomic or behind its own mutex.
//
// Lock order, outermost first: save lock, trace id lock (fork-aware), then trace id, root trace id
// and trace name (one at a time), frame stores, trace capture. Code metadata, plug-ins and the
// thread map are leaves.
#pragma once

#include "config/config.hpp"
#include "diagnostics/stack_skips.hpp"
#include "frames/call_frames.hpp"
#include "frames/frame_ids.hpp"
#include "frames/frame_path_cache.hpp"
#include "frames/frame_writer.hpp"
#include "module/per_thread.hpp"
#include "profiler/code_metadata.hpp"
#include "py/gil_mutex.hpp"
#include "selection/filters.hpp"
#include "selection/plugins.hpp"
#include "storage/frame_store.hpp"
#include "storage/process_identity.hpp"
#include "storage/trace_capture.hpp"
#include "storage/value_interning.hpp"
#include "values/byte_buffer.hpp"
#include "values/serializer_state.hpp"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace quib::profiler {

// Who this thread is, cached per thread: the identity text every record of the thread carries.
struct CachedThread {
    bool present = false;
    std::uint64_t interpreter_thread_id = 0;
    std::string identity;
    py::Ref thread;  // the threading.Thread
    storage::ProcessIdentity process;
    std::uint64_t map_generation = UINT64_MAX;  // the thread-map generation this thread registered in
};

// The thread's frame store in the current trace's stores, valid while their epoch is unchanged.
struct CachedStore {
    std::uint64_t epoch = 0;
    storage::FrameStore* store = nullptr;
};

struct ProfilerThread {
    std::unordered_set<std::uintptr_t> excluded;  // code objects known to be excluded
    CodeMetadataLocal code_metadata;              // this thread's copy of cache hits
    frames::CallFrames call_frames;
    frames::FrameIds frame_ids;
    CachedThread thread;
    values::ByteBuffer scratch;  // encodes one record at a time
    CachedStore store;           // read and written with the stores' lock held
    bool busy = false;           // a nested use of this slot is an internal failure
};

// The current trace's frame stores, by thread identity, with the next thread token. Every new set
// of stores has an epoch of its own (never 0), so a thread's pointer to its store from an earlier
// set is recognised as stale. Stores are only ever added to a set, never removed, so within one
// epoch a pointer to a store stays valid.
struct TraceStores {
    std::unordered_map<std::string, storage::FrameStore> stores;
    std::uint64_t next_token = 1;
    std::uint64_t epoch = next_epoch();

    static std::uint64_t next_epoch() noexcept {
        static std::atomic<std::uint64_t> counter{0};
        return counter.fetch_add(1, std::memory_order_relaxed) + 1;
    }
};

struct ThreadMap {
    std::map<std::string, py::Ref> threads;  // identity text -> threading.Thread
    std::uint64_t generation = 0;
};

struct ProfilerState {
    // Settings, fixed at construction.
    std::optional<std::uint64_t> max_value_bytes;
    std::optional<std::uint64_t> flush_subtree_bytes;
    std::uint64_t flush_low_water_bytes = 0;
    std::string db_path;
    std::string source;
    std::optional<std::string> configured_trace_name;
    bool one_trace_per_test = false;
    bool lightweight_repr = false;
    bool omit_return_locals = false;
    std::uint64_t busy_timeout = 60;
    selection::Finders include;
    selection::Finders ignore;
    config::Config config;
    py::Ref settings;  // the host's config dict, as given
    double start_time = 0;
    py::Ref current_thread;  // threading.current_thread
    std::string main_thread_id;
    std::optional<values::Serializer> serializer;
    bool fork_tracking = false;

    // The current trace.
    py::Guarded<std::string> trace_id{"mutex poisoned"};
    py::Guarded<std::string> root_trace_id{"mutex poisoned"};
    py::Guarded<std::optional<std::string>> trace_name{"mutex poisoned"};
    py::Guarded<TraceStores> stores{"mutex poisoned"};
    std::shared_ptr<storage::ValueInterningContext::CaptureSlot> capture;
    storage::ValueInterningContext interning_context{capture};  // publishes into the current capture
    py::Guarded<ThreadMap> thread_map{"mutex poisoned"};
    // The thread map's generation, readable without its lock: a thread registers once per trace.
    std::atomic<std::uint64_t> thread_map_generation{0};
    storage::ForkAwareMutex trace_id_lock;
    storage::ForkAwareMutex save_lock;

    // Caches and helpers.
    py::Guarded<selection::PluginRegistry> plugins{"mutex poisoned"};
    CodeMetadataCache code_metadata;
    std::unique_ptr<frames::FramePathCache> path_cache;
    storage::ValueInterning interning;
    diagnostics::StackSkips stack_skips;
    threads::PerThread<ProfilerThread> threads;

    std::atomic<bool> panicked{false};

    ProfilerState();
    ~ProfilerState();
    ProfilerState(const ProfilerState&) = delete;
    ProfilerState& operator=(const ProfilerState&) = delete;

    std::shared_ptr<storage::TraceCapture> current_capture();
    // A new capture for the current trace id (kept in memory when the breaker is open).
    std::shared_ptr<storage::TraceCapture> new_capture(const std::string& trace_id);
};

}  // namespace quib::profiler
