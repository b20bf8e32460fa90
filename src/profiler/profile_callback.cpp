#include "profiler/profile_callback.hpp"

#include "diagnostics/log_warning.hpp"
#include "diagnostics/report_panic.hpp"
#include "diagnostics/stack_guard.hpp"
#include "frames/clock.hpp"
#include "module/thread_hooks.hpp"
#include "profiler/event_store.hpp"
#include "profiler/profiler_object.hpp"
#include "py/conversions.hpp"
#include "py/entry.hpp"
#include "storage/interning_hook.hpp"
#include "storage/writer_runtime.hpp"

namespace quib::profiler {

using py::PyError;
using py::Ref;
using py::Result;
using py::Status;

namespace {

constexpr std::size_t SCRATCH_KEEP = 16384;
constexpr int GENERATOR_FLAGS = 0x20 | 0x80 | 0x200;  // generator, coroutine, async generator

// The slot must not be used twice at once on one thread (a nested event would corrupt it).
class SlotUse {
public:
    explicit SlotUse(ProfilerThread& slot) : slot_(slot) {
        if (slot_.busy) throw py::InternalFailure("profiler thread state used re-entrantly");
        slot_.busy = true;
    }
    ~SlotUse() { slot_.busy = false; }
    SlotUse(const SlotUse&) = delete;
    SlotUse& operator=(const SlotUse&) = delete;

private:
    ProfilerThread& slot_;
};

// The text of a str; a str with lone surrogates matches no filter and reads as empty.
std::string text_of(PyObject* value) {
    auto view = py::utf8_view(value);
    return view ? std::string(view.value()) : std::string();
}

// Works out the metadata of a code object seen for the first time (or past the excluded cap).
std::shared_ptr<const ProfilerCodeMetadata> build_metadata(ProfilerState& state, ProfilerThread& slot,
                                                           PyCodeObject* code) {
    PyObject* filename = code->co_filename;
    PyObject* name = code->co_name;
    if (filename == nullptr) throw py::InternalFailure("code objects always have co_filename");
    if (name == nullptr) throw py::InternalFailure("code objects always have co_name");
    if (!PyUnicode_Check(filename)) throw py::InternalFailure("code.co_filename is always a string");
    if (!PyUnicode_Check(name)) throw py::InternalFailure("code.co_name is always a string");
    std::string co_filename = text_of(filename);
    std::string co_name = text_of(name);

    FilterDecision decision;
    switch (selection::name_verdict(co_filename, state.include, state.ignore)) {
        case selection::NameVerdict::ForcedInclude: decision = FilterDecision::Included; break;
        case selection::NameVerdict::Excluded: decision = FilterDecision::Excluded; break;
        default: decision = FilterDecision::Undecided; break;
    }
    bool has_plugins = false;
    {
        auto plugins = state.plugins.lock();
        has_plugins = plugins->contains(co_name);
    }
    auto key = reinterpret_cast<std::uintptr_t>(code);
    if (decision == FilterDecision::Excluded && !has_plugins) {
        if (state.code_metadata.insert_excluded(reinterpret_cast<PyObject*>(code))) slot.excluded.insert(key);
        return nullptr;
    }
    auto metadata = std::make_shared<ProfilerCodeMetadata>();
    metadata->code = Ref::take(reinterpret_cast<PyObject*>(code));
    metadata->co_filename = std::move(co_filename);
    metadata->co_name = std::move(co_name);
    metadata->has_plugins = has_plugins;
    metadata->decision = decision;
    auto path = state.path_cache->code_path(reinterpret_cast<PyObject*>(code));
    if (!path) {
        // The path cache only fails when a file name cannot be read as text; keep the raw name.
        metadata->path = metadata->co_filename;
    } else {
        metadata->path = std::move(path->path);
    }
#if QUIB_PY_AT_LEAST(3, 11)
    PyObject* qualname = code->co_qualname;
    if (qualname != nullptr) {
        if (!PyUnicode_Check(qualname)) throw py::InternalFailure("code.co_qualname is always a string when present");
        metadata->co_qualname = text_of(qualname);
    }
#endif
    return state.code_metadata.insert_full(std::move(metadata));
}

// This thread's metadata of the frame's code, or nullptr when the code is excluded (the event ends).
LocalCodeMetadata* code_metadata(ProfilerState& state, ProfilerThread& slot, PyCodeObject* code) {
    auto key = reinterpret_cast<std::uintptr_t>(code);
    auto local = slot.code_metadata.map.find(key);
    if (local != slot.code_metadata.map.end()) return &local->second;
    std::shared_ptr<const ProfilerCodeMetadata> full;
    if (auto cached = state.code_metadata.find(key)) {
        if (std::holds_alternative<ExcludedCode>(*cached)) {
            slot.excluded.insert(key);
            return nullptr;
        }
        full = std::get<std::shared_ptr<const ProfilerCodeMetadata>>(*cached);
    } else {
        full = build_metadata(state, slot, code);
        if (!full) return nullptr;
    }
    LocalCodeMetadata& added = slot.code_metadata.map.emplace(key, LocalCodeMetadata{std::move(full), {}}).first->second;
    added.precomputed = added.shared->precomputed();
    added.precomputed.names = &added.names;  // the entry never moves: map nodes are stable
    return &added;
}

void log_error(PyError error, PyFrameObject* frame, bool is_return, const ProfilerCodeMetadata* metadata) {
    hooks::Suspension suspension;
    std::string locals_text;
    Ref locals = Ref::steal(py::compat::frame_locals(frame));
    Ref copy = locals ? Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), locals.get()))
                      : Ref();
    Ref shown = copy ? Ref::steal(PyObject_Str(copy.get())) : Ref();
    if (shown) {
        locals_text = text_of(shown.get());
    } else {
        PyError failure = PyError::fetch();
        locals_text = "<unavailable: " + failure.text() + ">";
    }
    const char* event = is_return ? "return" : "call";
    Ref args = Ref::steal(Py_BuildValue(
        "(ss#s#ss#)",
        "Unexpected exception in native code.\n    co_filename: %s\n    co_name: %s\n    event: %s\n    frame "
        "locals: %s\n",
        metadata ? metadata->co_filename.c_str() : "", static_cast<Py_ssize_t>(metadata ? metadata->co_filename.size() : 0),
        metadata ? metadata->co_name.c_str() : "", static_cast<Py_ssize_t>(metadata ? metadata->co_name.size() : 0),
        event, locals_text.data(), static_cast<Py_ssize_t>(locals_text.size())));
    if (!args) {
        PyErr_Clear();
        return;
    }
    diagnostics::log_warning(std::move(args), std::move(error));
}

// A call that will not be recorded after all: forget its id and its call-frame entry, so that its
// return is not paired with anything.
PyError abandon_entry(ProfilerThread& slot, bool is_return, PyFrameObject* frame, const frames::FrameId& id,
                      PyError error) {
    if (!is_return && diagnostics::reaches_program(error)) {
        slot.frame_ids.abandon(reinterpret_cast<std::uintptr_t>(frame), false);
        slot.call_frames.truncate_at(id);
    }
    return error;
}

// What happens to a storing failure: a program exception on a return is raised, unless the frame
// may resume (a generator or coroutine), where raising would change where the program sees it.
Status keep_recorded_event(Status stored, PyFrameObject* frame, bool is_return,
                           const ProfilerCodeMetadata* metadata) {
    if (stored) return stored;
    if (!diagnostics::reaches_program(stored.error())) return stored;
    if (!is_return) {
        log_error(std::move(stored).error(), frame, is_return, metadata);
        return Status();
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    if (code && (code.as<PyCodeObject>()->co_flags & GENERATOR_FLAGS) != 0) {
        log_error(std::move(stored).error(), frame, is_return, metadata);
        return Status();
    }
    return stored;
}

// Encodes the frame's own record into the thread's scratch buffer.
Status encode_record(ProfilerState& state, ProfilerThread& slot, PyFrameObject* frame, bool is_return, PyObject* arg,
                     LocalCodeMetadata& local, const frames::FrameId& id, const std::optional<frames::CallSite>& site,
                     bool intern, double timestamp) {
    const ProfilerCodeMetadata& metadata = *local.shared;
    frames::FrameEvent event{frame,
                             is_return ? frames::EventKind::Return : frames::EventKind::Call,
                             is_return ? frames::ValueKind::Argument : frames::ValueKind::None,
                             arg,
                             std::string_view(metadata.co_name),
                             id,
                             site,
                             &local.precomputed,
                             *state.path_cache,
                             &slot.call_frames.line_cache(),
                             timestamp};
    std::optional<storage::InterningHook> hook;
    if (intern && !state.interning.disabled()) hook.emplace(state.interning, state.interning_context);
    frames::EncoderSettings settings{*state.serializer, state.max_value_bytes, state.lightweight_repr,
                                     hook ? &*hook : nullptr, state.omit_return_locals};
    slot.scratch.clear();
    return frames::write_frame_with_serializer_inner(slot.scratch, event, settings);
}

struct PluginOutcome {
    std::vector<NamedRecord> records;
    std::optional<PyError> kept;  // a program exception of a return event, raised at the end
};

// Runs the processors registered for this code; a program exception on a call ends the event.
Result<PluginOutcome> run_plugins(ProfilerState& state, ProfilerThread& slot, PyFrameObject* frame, bool is_return,
                                  PyObject* arg, const ProfilerCodeMetadata& metadata) {
    PluginOutcome outcome;
    std::vector<std::shared_ptr<selection::PluginProcessor>> processors;
    {
        auto plugins = state.plugins.lock();
        auto found = plugins->find(metadata.co_name);
        if (found != plugins->end()) processors = found->second;
    }
    int event = is_return ? 1 : 0;
    PyObject* frame_object = reinterpret_cast<PyObject*>(frame);
    for (const auto& processor : processors) {
        if (!processor->applies_to_file(metadata.co_filename)) continue;
        hooks::Suspension suspension;
        std::optional<PyError> failure;
        Result<bool> matched = processor->matches_event(frame_object, event, arg);
        if (!matched) {
            failure = std::move(matched).error();
        } else if (matched.value()) {
            Result<Ref> call_sites = slot.call_frames.snapshot_call_site_frames();
            if (!call_sites) {
                failure = std::move(call_sites).error();
            } else {
                auto record = processor->process(frame_object, event, arg, call_sites->get(), state.lightweight_repr,
                                                 *state.serializer);
                if (!record) {
                    failure = std::move(record).error();
                } else if (record.value()) {
                    outcome.records.push_back(NamedRecord{std::move(record.value()->type),
                                                          std::move(record.value()->bytes), nullptr});
                }
            }
        }
        if (!failure) continue;
        if (!diagnostics::reaches_program(*failure)) {
            log_error(std::move(*failure), frame, is_return, &metadata);
            continue;
        }
        if (!is_return) {
            slot.frame_ids.abandon(reinterpret_cast<std::uintptr_t>(frame), false);
            return std::move(*failure);
        }
        if (!outcome.kept) outcome.kept = std::move(*failure);
    }
    return outcome;
}

bool names_test_boundary(const std::vector<NamedRecord>& records) {
    for (const NamedRecord& record : records) {
        if (record.name == "start_test" || record.name == "end_test") return true;
    }
    return false;
}

// The event proper; returns the error left at its end, if any.
Status event_body(ProfilerState& state, ProfilerThread& slot, PyFrameObject* frame, PyCodeObject* code,
                  PyObject* arg, bool is_return, const ProfilerCodeMetadata*& metadata) {
    diagnostics::StackCheck check = diagnostics::check_stack_with(
        is_return ? diagnostics::StackEvent::Exit : diagnostics::StackEvent::Enter, reinterpret_cast<std::uintptr_t>(frame));
    if (check.decision == diagnostics::StackDecision::Skip) {
        state.stack_skips.note();
        return Status();
    }
    diagnostics::RestoreOmitting restore(check.restore);

    LocalCodeMetadata* local = code_metadata(state, slot, code);
    if (local == nullptr) return Status();
    metadata = local->shared.get();

    PluginOutcome plugins;
    if (metadata->has_plugins) {
        auto ran = run_plugins(state, slot, frame, is_return, arg, *metadata);
        if (!ran) return std::move(ran).error();
        plugins = std::move(ran).value();
    }

    bool record = metadata->decision == FilterDecision::Included ||
                  (metadata->decision == FilterDecision::Undecided &&
                   !selection::attrs_filter(metadata->co_filename, frame));
    Status result;
    if (!record) {
        if (!plugins.records.empty()) {
            result = keep_recorded_event(push_frames(state, slot, is_return, plugins.records), frame, is_return,
                                         metadata);
        }
    } else {
        auto frame_key = reinterpret_cast<std::uintptr_t>(frame);
        // One clock reading serves the frame id and the record's time stamp.
        frames::ClockReading now = frames::read_clock();
        frames::FrameId id = slot.frame_ids.get_or_set(is_return ? frames::EventKind::Return : frames::EventKind::Call,
                                                       frame_key, now.millis);
        std::optional<frames::CallSite> site;
        Status found = slot.call_frames.get_user_code_call_site(
            reinterpret_cast<PyObject*>(frame), is_return ? frames::EventKind::Return : frames::EventKind::Call, id, site);
        if (!found) return abandon_entry(slot, is_return, frame, id, std::move(found).error());
        auto identity = thread_id(state, slot);
        if (!identity) return abandon_entry(slot, is_return, frame, id, std::move(identity).error());
        bool intern = !names_test_boundary(plugins.records);
        Status encoded = encode_record(state, slot, frame, is_return, arg, *local, id, site, intern, now.timestamp);
        if (!encoded) {
            slot.scratch.shrink_to(SCRATCH_KEEP);
            return abandon_entry(slot, is_return, frame, id, std::move(encoded).error());
        }
        Status stored;
        if (!plugins.records.empty() || state.one_trace_per_test) {
            plugins.records.push_back(NamedRecord{"frame", Ref(), &slot.scratch});
            stored = push_frames(state, slot, is_return, plugins.records);
        } else {
            NamedRecord own{"frame", Ref(), &slot.scratch};
            stored = push_frame_data(state, slot, std::span<const NamedRecord>(&own, 1));
        }
        slot.scratch.shrink_to(SCRATCH_KEEP);
        result = keep_recorded_event(std::move(stored), frame, is_return, metadata);
    }
    if (!result) return result;
    if (plugins.kept) return std::move(*plugins.kept);
    return Status();
}

void stop_after_panic(ProfilerState& state) noexcept {
    bool first = !state.panicked.exchange(true, std::memory_order_acq_rel);
    if (first) diagnostics::report_caught_panic();
    PyEval_SetProfile(nullptr, nullptr);
}

}  // namespace

int profile_callback(PyObject* object, PyFrameObject* frame, int what, PyObject* arg) noexcept {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) return 0;
    if (hooks::hooks_off()) return 0;
    if (storage::PROCESS_WRITER_CIRCUIT_OPEN.load(std::memory_order_relaxed)) return 0;
    ProfilerState* state = state_of(object);
    if (state == nullptr) return -1;
    bool is_return = what == PyTrace_RETURN;
    try {
        if (state->panicked.load(std::memory_order_acquire)) {
            PyEval_SetProfile(nullptr, nullptr);
            return 0;
        }
        ProfilerThread& slot = state->threads.get();
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
        if (!code) throw py::InternalFailure("A frame always has an `f_code`");
        if (!slot.excluded.empty() && slot.excluded.contains(reinterpret_cast<std::uintptr_t>(code.get()))) return 0;
        SlotUse use(slot);
        const ProfilerCodeMetadata* metadata = nullptr;
        Status result = event_body(*state, slot, frame, code.as<PyCodeObject>(), arg != nullptr ? arg : Py_None,
                                   is_return, metadata);
        if (result) return 0;
        PyError error = std::move(result).error();
        if (diagnostics::reaches_program(error)) {
            std::move(error).restore();
            return -1;
        }
        log_error(std::move(error), frame, is_return, metadata);
        return 0;
    } catch (...) {
        stop_after_panic(*state);
        return 0;
    }
}

}  // namespace quib::profiler
