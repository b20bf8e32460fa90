// Plug-ins: host-described processors that add records (a web request, a test boundary) when
// certain Python functions run. Loaded once per tracer from quib.plugins.load_plugin_data into a
// registry keyed by code name, so frames of unrelated functions cost one hash lookup.
#pragma once

#include "py/error.hpp"
#include "py/gil_mutex.hpp"
#include "selection/substring_finder.hpp"
#include "values/serializer_state.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quib::selection {

// A plug-in record: its type (for example "start_test") and its encoded bytes.
struct PluginRecord {
    std::string type;
    py::Ref bytes;
};

// Event indices as the tracers pass them.
inline constexpr std::array<const char*, 6> EVENT_NAMES = {"call", "return", "unwind", "resume", "yield", "throw"};

class PluginProcessor {
public:
    SubstringFinder path_fragment;
    std::string call_type;
    std::string return_type;
    std::string unwind_type;
    std::string resume_type;
    std::string yield_type;
    std::string throw_type;
    std::optional<std::string> subtype;
    std::optional<std::vector<std::string>> events;  // when present, only these events are processed
    py::Ref build_context;                            // a dict; shared by a plug-in's processors
    py::Ref matcher;                                  // optional callable
    py::Ref processor;                                // optional callable
    std::optional<std::uint64_t> max_value_bytes;     // budget when the plug-in record is encoded

    // Frame key (address of the traced frame object) to the plug-in frame id of its current run, so
    // that the records of one call share an id. Shared by every thread using the processor.
    py::Guarded<std::unordered_map<std::uintptr_t, std::string>> frame_ids{"mutex poisoned"};

    // The plug-in frame id for this event: a new one (stored) when it opens a run, else the stored
    // one of the frame's run (or a new one, not stored, when there is none).
    py::Result<std::string> frame_id_for(PyObject* frame, int event);
    // The type text of the record for an event index.
    const std::string& type_for(int event) const noexcept;
    // Whether the events list (if any) admits this event index.
    bool admits(int event) const noexcept;
    // matcher(frame, event name, argument, build context) as a bool; true without a matcher.
    py::Result<bool> matches_event(PyObject* frame, int event, PyObject* argument) const;
    // The plug-in record for this event, or nothing when the processor's events leave it out.
    // `call_site_frames` is CallFrames::snapshot_call_site_frames() of the thread: the recorded
    // frames the record's call site is taken from. A failing processor callable is reported
    // through the unraisable hook and the record keeps only its base entries.
    py::Result<std::optional<PluginRecord>> process(PyObject* frame, int event, PyObject* argument,
                                                    PyObject* call_site_frames, bool lightweight_repr,
                                                    const values::Serializer& serializer);
    // Applies when the file contains the path fragment.
    bool applies_to_file(std::string_view file_name) const noexcept { return path_fragment.matches(file_name); }
};

using PluginRegistry = std::unordered_map<std::string, std::vector<std::shared_ptr<PluginProcessor>>>;

// Loads the plug-ins the host declares for these settings; their records are encoded within
// max_value_bytes (none: no cap). A missing or malformed quib.plugins is an internal failure;
// malformed plug-in data, or an exception of the host's loader, is a Python exception.
py::Result<PluginRegistry> load_plugins(PyObject* settings, std::optional<std::uint64_t> max_value_bytes);

// The callable under key, or an empty Ref for None or a missing key.
py::Result<py::Ref> get_callable(PyObject* plugin, const char* key);

}  // namespace quib::selection
