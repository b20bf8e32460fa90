#include "profiler/event_store.hpp"

#include "frames/thread_id.hpp"
#include "module/thread_hooks.hpp"
#include "profiler/saving.hpp"

#include <algorithm>

namespace quib::profiler {

using py::PyError;
using py::Ref;
using py::Result;
using py::Status;

std::span<const std::uint8_t> NamedRecord::data() const {
    if (frame != nullptr) return frame->bytes();
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes.get())),
            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

Result<const std::string*> thread_id(ProfilerState& state, ProfilerThread& slot) {
    CachedThread& cached = slot.thread;
    std::uint64_t interpreter_id = PyThreadState_GetID(PyThreadState_Get());
    storage::ProcessIdentity process = storage::current_process_identity();
    if (cached.present && cached.interpreter_thread_id == interpreter_id && cached.process == process) {
        return &cached.identity;
    }
    if (cached.present && !(cached.process == process)) {
        // A forked child: the capture it inherited cannot be finished here, so it keeps the trace
        // in memory from now on.
        auto capture = state.current_capture();
        if (capture && capture->inherited()) capture->keep_in_memory();
    }
    Ref thread;
    {
        hooks::Suspension suspension;
        thread = Ref::steal(PyObject_CallNoArgs(state.current_thread.get()));
        if (!thread) return PyError::fetch();
    }
    Result<std::string> identity = frames::get_thread_id(thread.get());
    if (!identity) return std::move(identity).error();
    cached.present = true;
    cached.interpreter_thread_id = interpreter_id;
    cached.identity = std::move(identity).value();
    cached.thread = std::move(thread);
    cached.process = process;
    cached.map_generation = UINT64_MAX;
    slot.store = CachedStore{};  // the store belongs to the identity
    return &cached.identity;
}

Status push_frame_data(ProfilerState& state, ProfilerThread& slot, std::span<const NamedRecord> records) {
    if (records.empty()) return Status();
    auto stores = state.stores.lock();
    if (!slot.thread.present) return PyError::make(PyExc_RuntimeError, "profiler thread cache was not initialized");
    if (slot.thread.map_generation != state.thread_map_generation.load(std::memory_order_acquire)) {
        auto map = state.thread_map.lock();
        map->threads[slot.thread.identity] = slot.thread.thread;
        slot.thread.map_generation = map->generation;
    }
    if (slot.store.epoch != stores->epoch) {
        auto found = stores->stores.find(slot.thread.identity);
        if (found == stores->stores.end()) {
            std::uint64_t token = stores->next_token++;
            if (token > UINT32_MAX) throw py::InternalFailure("Quib exhausted its per-capture thread token space");
            found = stores->stores
                        .emplace(slot.thread.identity,
                                 storage::FrameStore(static_cast<std::uint32_t>(token), state.current_capture()))
                        .first;
        }
        slot.store = CachedStore{stores->epoch, &found->second};
    }
    storage::FrameStore& store = *slot.store.store;
    if (records.size() == 1) {
        auto appended = store.append_serialized(records[0].data());
        if (!appended) return storage::to_python(appended.error());
        return Status();
    }
    std::vector<std::span<const std::uint8_t>> frames;
    frames.reserve(records.size());
    for (const NamedRecord& record : records) frames.push_back(record.data());
    auto appended = store.append_many(frames);
    if (!appended) return storage::to_python(appended.error());
    return Status();
}

Status push_frames(ProfilerState& state, ProfilerThread& slot, bool is_return, std::vector<NamedRecord>& records) {
    // On a return the frame's own record comes before the plug-in records that surround it.
    if (is_return) std::reverse(records.begin(), records.end());
    auto identity = thread_id(state, slot);
    if (!identity) return std::move(identity).error();
    std::span<const NamedRecord> all(records);
    if (!state.one_trace_per_test) return push_frame_data(state, slot, all);

    std::size_t start = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].name == "end_test") {
            Status stored = push_frame_data(state, slot, all.subspan(start, i + 1 - start));
            if (!stored) return stored;
            Status saved = save_in_db(state);
            if (!saved) return saved;
            start = i + 1;
        } else if (records[i].name == "start_test") {
            start = i;  // the records before it belong to no test
            Status started = start_new_trace(state);
            if (!started) return started;
        }
    }
    return push_frame_data(state, slot, all.subspan(start));
}

}  // namespace quib::profiler
