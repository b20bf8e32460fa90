#include "storage/trace_persistence.hpp"

#include "diagnostics/log_warning.hpp"
#include "module/host.hpp"
#include "module/thread_hooks.hpp"
#include "storage/detach.hpp"
#include "storage/frame_store.hpp"
#include "storage/trace_capture.hpp"

#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quib::storage {

using py::PyError;
using py::Status;

namespace {

using Tokens = std::unordered_map<std::string_view, std::uint32_t>;

// Tokens for the sub-trace's threads: its stores' keys first, then threads known without frames.
py::Result<Tokens> assign_tokens(std::span<const StoreRef> stores, std::span<const TraceThread> threads) {
    Tokens tokens;
    std::uint64_t next = 0;
    auto assign = [&](std::string_view key) -> bool {
        if (tokens.contains(key)) return true;
        if (next > std::numeric_limits<std::uint32_t>::max()) return false;
        tokens.emplace(key, static_cast<std::uint32_t>(next++));
        return true;
    };
    for (const StoreRef& ref : stores) {
        // Two stores under one key would give one token two frame layouts.
        if (tokens.contains(ref.key)) throw py::InternalFailure("a sub-trace has one frame store per thread");
        if (!assign(ref.key)) {
            return PyError::make(PyExc_RuntimeError, "Quib exhausted its per-capture thread token space");
        }
    }
    for (const TraceThread& thread : threads) {
        if (!assign(thread.key)) {
            return PyError::make(PyExc_RuntimeError, "Quib exhausted its per-capture thread token space");
        }
    }
    return tokens;
}

// Writes the sub-trace's container through a capture of its own and commits the file. Runs
// without the interpreter lock: nothing here touches Python.
IoStatus write_sub_trace(const TraceMetadataInputs& metadata, std::string_view db_path,
                         std::span<const StoreRef> stores, const Tokens& tokens,
                         std::span<const PublishedValue> values, PreparedTrace prepared) {
    std::shared_ptr<TraceCapture> capture = TraceCapture::for_trace(db_path, metadata.trace_id, metadata.timestamp);
    for (const PublishedValue& value : values) {
        IoStatus published = capture->publish_value(value.value_id, value.bytes);
        if (!published) return published;
    }
    std::vector<FrameStore> copies;
    copies.reserve(stores.size());
    Bytes scratch;
    for (const StoreRef& ref : stores) {
        // The source frames belong to another capture (the running trace's): copy them into a
        // store of this one, which seals and streams chunks as usual.
        FrameStore& copy = copies.emplace_back(tokens.at(ref.key), capture);
        const std::uint64_t count = ref.store->total_frames();
        for (std::uint64_t i = 0; i < count; ++i) {
            IoResult<std::span<const std::uint8_t>> frame = ref.store->frame(i, scratch);
            if (!frame) return std::move(frame).error();
            IoResult<AppendResult> appended = copy.append_serialized(frame.value());
            if (!appended) return std::move(appended).error();
        }
    }
    std::vector<FrameStore*> pointers;
    for (FrameStore& copy : copies) pointers.push_back(&copy);
    return finish_trace_file(*capture, pointers, std::move(prepared));
}

}  // namespace

IoStatus finish_trace_file(TraceCapture& capture, std::span<FrameStore* const> stores, PreparedTrace prepared) {
    DetachedFromInterpreter detached;
    std::vector<ThreadLayout> layouts;
    layouts.reserve(stores.size());
    for (FrameStore* store : stores) {
        IoResult<ThreadLayout> layout = store->layout();
        if (!layout) return std::move(layout).error();
        layouts.push_back(std::move(layout).value());
    }
    return capture.finish(std::move(prepared.thread_metadata), std::move(prepared.trace_metadata),
                          std::move(layouts));
}

Status save_v3_container_bytes(std::string_view trace_id, std::span<const std::uint8_t> container,
                               std::string_view db_path, std::uint64_t timeout_seconds) {
    hooks::Suspension suspension;
    std::string_view bytes(reinterpret_cast<const char*>(container.data()), container.size());
    return host::save_v3_trace_chunks(trace_id, bytes, db_path, timeout_seconds);
}

Status save_trace_metadata(std::string_view trace_id, std::string_view db_path, std::uint64_t timeout_seconds,
                           bool ignore_errors) {
    hooks::Suspension suspension;
    return host::save_trace_metadata(trace_id, db_path, timeout_seconds, ignore_errors);
}

Status save_v3_trace_from_parts(std::span<const StoreRef> stores, std::span<const PublishedValue> values,
                                const TraceMetadataInputs& metadata, std::string_view db_path,
                                std::uint64_t timeout_seconds, bool ignore_errors) {
    py::Result<Tokens> tokens = assign_tokens(stores, metadata.threads);
    if (!tokens) return std::move(tokens).error();
    const Tokens& assigned = tokens.value();
    TokenLookup token_of = [&assigned](std::string_view key) -> std::optional<std::uint32_t> {
        auto found = assigned.find(key);
        if (found == assigned.end()) return std::nullopt;
        return found->second;
    };
    py::Result<PreparedTrace> prepared = prepare_v3_trace_from_parts(metadata, token_of);
    if (!prepared) return std::move(prepared).error();

    IoStatus written;
    {
        DetachedFromInterpreter detached;
        written = write_sub_trace(metadata, db_path, stores, assigned, values, std::move(prepared).value());
    }
    if (!written) {
        PyError error = to_python(written.error());
        if (!ignore_errors || !error.matches(PyExc_OSError)) return error;
        std::string message = "Failed to save trace " + std::string(metadata.trace_id) + " to file: " + error.text();
        diagnostics::log_warning(message, std::move(error));
        return {};
    }
    return save_trace_metadata(metadata.trace_id, db_path, timeout_seconds, ignore_errors);
}

}  // namespace quib::storage
