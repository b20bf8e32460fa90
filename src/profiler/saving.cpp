#include "profiler/saving.hpp"

#include "diagnostics/log_warning.hpp"
#include "frames/frame_id.hpp"
#include "module/thread_hooks.hpp"
#include "naming/resolve_trace_name.hpp"
#include "storage/trace_metadata.hpp"
#include "storage/trace_persistence.hpp"

#include <mutex>

namespace quib::profiler {

using py::PyError;
using py::Ref;
using py::Result;
using py::Status;

namespace {

// What one finished trace is made of, taken out of the profiler in one step.
struct TraceInputs {
    std::string trace_id;
    std::string root_trace_id;
    TraceStores stores;
    std::map<std::string, Ref> threads;
    std::shared_ptr<storage::TraceCapture> capture;
    std::vector<storage::PublishedValue> values;
};

template <class Mutex>
class AttachedLock {
public:
    explicit AttachedLock(Mutex& mutex) : mutex_(mutex) { py::lock_attached(mutex_); }
    ~AttachedLock() { mutex_.unlock(); }
    AttachedLock(const AttachedLock&) = delete;
    AttachedLock& operator=(const AttachedLock&) = delete;

private:
    Mutex& mutex_;
};

TraceInputs take_trace_inputs(ProfilerState& state) {
    TraceInputs inputs;
    {
        AttachedLock trace_lock(state.trace_id_lock);
        auto trace_id = state.trace_id.lock();
        auto root = state.root_trace_id.lock();
        auto stores = state.stores.lock();
        inputs.stores = std::move(*stores);
        *stores = TraceStores{};
        {
            auto slot = state.capture->lock();
            std::shared_ptr<storage::TraceCapture> old = *slot;
            bool inherited = old && old->inherited();
            if (inherited) {
                // A forked child: the parent's capture cannot be finished here, and the trace gets
                // an id of its own.
                old->keep_in_memory();
                *trace_id = frames::trace_id();
                *root = *trace_id;
            }
            inputs.trace_id = *trace_id;
            inputs.root_trace_id = *root;
            // The next trace gets an id of its own: a trace file is named by its id, and saving
            // twice under one id would replace the first file with the second. The root id keeps
            // linking the parts.
            *trace_id = frames::trace_id();
            std::shared_ptr<storage::TraceCapture> next = state.new_capture(*trace_id);
            if (inherited || (old && old->keeps_in_memory())) next->keep_in_memory();
            *slot = std::move(next);
            inputs.capture = std::move(old);
        }
    }
    {
        auto map = state.thread_map.lock();
        inputs.threads = std::move(map->threads);
        map->threads.clear();
        ++map->generation;
        state.thread_map_generation.store(map->generation, std::memory_order_release);
    }
    if (inputs.capture) {
        std::vector<std::uint32_t> ids = inputs.capture->published_value_ids();
        inputs.values = state.interning.snapshot_ids(ids);
    }
    return inputs;
}

bool nothing_recorded(const TraceInputs& inputs) {
    for (const auto& [key, store] : inputs.stores.stores) {
        if (store.total_frames() > 0) return false;
    }
    return true;
}

// Tokens for every thread of the trace: the stores' own, and new ones for threads known only from
// the thread map.
std::unordered_map<std::string, std::uint32_t> thread_tokens(TraceInputs& inputs) {
    std::unordered_map<std::string, std::uint32_t> tokens;
    for (const auto& [key, store] : inputs.stores.stores) tokens.emplace(key, store.thread_token());
    for (const auto& [key, thread] : inputs.threads) {
        if (tokens.contains(key)) continue;
        std::uint64_t token = inputs.stores.next_token++;
        if (token > UINT32_MAX) throw py::InternalFailure("Quib exhausted its per-capture thread token space");
        tokens.emplace(key, static_cast<std::uint32_t>(token));
    }
    return tokens;
}

storage::TokenLookup token_lookup(const std::unordered_map<std::string, std::uint32_t>& tokens) {
    return [&tokens](std::string_view key) -> std::optional<std::uint32_t> {
        auto found = tokens.find(std::string(key));
        if (found == tokens.end()) return std::nullopt;
        return found->second;
    };
}

struct PreparedSave {
    storage::PreparedTrace prepared;
    std::unordered_map<std::string, std::uint32_t> tokens;
    std::vector<storage::StoreRef> store_refs;
};

Result<PreparedSave> prepare(ProfilerState& state, TraceInputs& inputs) {
    state.stack_skips.warn_if_nothing_recorded(inputs.trace_id, nothing_recorded(inputs));
    std::optional<std::string> name;
    {
        auto slot = state.trace_name.lock();
        name = naming::resolve_trace_name(*slot, inputs.stores.stores, state.main_thread_id, true);
    }
    PreparedSave save;
    save.tokens = thread_tokens(inputs);
    std::vector<storage::TraceThread> threads;
    for (const auto& [key, thread] : inputs.threads) threads.push_back(storage::TraceThread{key, thread.get()});
    for (auto& [key, store] : inputs.stores.stores) save.store_refs.push_back(storage::StoreRef{key, &store});
    storage::TraceMetadataInputs metadata;
    metadata.trace_id = inputs.trace_id;
    if (name) metadata.trace_name = *name;
    metadata.current_thread_id = state.main_thread_id;
    metadata.timestamp = state.start_time;
    metadata.root_trace_id = inputs.root_trace_id;
    metadata.source = state.source;
    metadata.settings = state.settings.get();
    metadata.use_monitoring = false;
    metadata.threads = threads;
    auto prepared = storage::prepare_v3_trace_from_parts(metadata, token_lookup(save.tokens));
    if (!prepared) return std::move(prepared).error();
    save.prepared = std::move(prepared).value();
    return save;
}

Result<storage::Bytes> container_bytes(ProfilerState& state, TraceInputs& inputs, PreparedSave& save) {
    auto bytes = storage::build_container_bytes(inputs.trace_id, state.start_time, save.store_refs, token_lookup(save.tokens),
                                                save.prepared.thread_metadata, save.prepared.trace_metadata,
                                                inputs.values);
    if (!bytes) return storage::to_python(bytes.error());
    return std::move(bytes).value();
}

Status save_inputs(ProfilerState& state, TraceInputs& inputs) {
    auto save = prepare(state, inputs);
    if (!save) return std::move(save).error();
    bool streamed = inputs.capture && !inputs.capture->keeps_in_memory() && inputs.capture->writer_started();
    if (!streamed) {
        auto bytes = container_bytes(state, inputs, save.value());
        if (!bytes) return std::move(bytes).error();
        return storage::save_v3_container_bytes(inputs.trace_id, bytes.value(), state.db_path, state.busy_timeout);
    }
    std::vector<storage::FrameStore*> stores;
    for (auto& [key, store] : inputs.stores.stores) stores.push_back(&store);
    storage::IoStatus finished =
        storage::finish_trace_file(*inputs.capture, stores, std::move(save.value().prepared));
    if (!finished) return storage::to_python(finished.error());
    return storage::save_trace_metadata(inputs.trace_id, state.db_path, state.busy_timeout, true);
}

}  // namespace

Status save_in_db(ProfilerState& state) {
    hooks::Suspension suspension;  // the host's storage code is not to be recorded
    AttachedLock save_lock(state.save_lock);
    TraceInputs inputs = take_trace_inputs(state);
    Status saved = save_inputs(state, inputs);
    if (saved || !saved.error().matches(PyExc_OSError)) return saved;
    std::string message = "Failed to save trace " + inputs.trace_id + " to file: " + saved.error().text();
    diagnostics::log_warning(message);
    return Status();
}

Result<Ref> save(ProfilerState& state) {
    if (state.panicked.load(std::memory_order_acquire)) return Ref::none();
    Status saved = save_in_db(state);
    if (!saved) return std::move(saved).error();
    return Ref::none();
}

Result<Ref> build_trace(ProfilerState& state) {
    if (state.panicked.load(std::memory_order_acquire)) {
        return PyError::make(PyExc_RuntimeError,
                             "Quib stopped tracing after an internal error; no trace is available");
    }
    hooks::Suspension suspension;
    TraceInputs inputs = take_trace_inputs(state);
    auto save = prepare(state, inputs);
    if (!save) return std::move(save).error();
    auto bytes = container_bytes(state, inputs, save.value());
    if (!bytes) return std::move(bytes).error();
    return py::checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()),
                                                 static_cast<Py_ssize_t>(bytes->size())));
}

Status start_new_trace(ProfilerState& state) {
    AttachedLock trace_lock(state.trace_id_lock);
    std::string id = frames::trace_id();
    *state.trace_id.lock() = id;
    *state.root_trace_id.lock() = id;
    *state.trace_name.lock() = state.configured_trace_name;
    std::shared_ptr<storage::TraceCapture> old;
    {
        auto stores = state.stores.lock();
        *stores = TraceStores{};
        auto slot = state.capture->lock();
        old = std::move(*slot);
        *slot = state.new_capture(id);
    }
    // A capture inherited from the parent process is kept in memory; an abandoned one simply goes.
    if (old && old->inherited()) old->keep_in_memory();
    return Status();
}

}  // namespace quib::profiler
