// A miniature profile-hook tracer for tests: it runs the stack guard, frame ids and call sites on
// real call and return events, the way the tracers do, and lists what it decided.
#include "capsule.hpp"
#include "registry.hpp"

#include "diagnostics/stack_guard.hpp"
#include "diagnostics/stack_skips.hpp"
#include "frames/call_frames.hpp"
#include "frames/frame_ids.hpp"
#include "module/thread_hooks.hpp"
#include "py/args.hpp"

namespace {

using namespace quib;
using diagnostics::StackDecision;
using diagnostics::StackEvent;
using frames::EventKind;
using py::PyError;
using py::Ref;
using py::Result;

constexpr const char* RECORDER = "quib.testing.Recorder";

struct Recorder {
    Ref events;
    frames::FrameIds ids;
    frames::CallFrames stack;
    diagnostics::StackSkips skips;
    bool failed = false;
};

Ref text(std::string_view value) {
    return Ref::steal(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

// Appends (event, co_name, decision, frame id or None, call site or None).
void note(Recorder& recorder, EventKind kind, PyFrameObject* frame, StackDecision decision,
          const frames::FrameId* id, const std::optional<frames::CallSite>& site) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    PyObject* name = reinterpret_cast<PyCodeObject*>(code.get())->co_name;
    Ref id_text = id != nullptr ? text(id->view()) : Ref::none();
    Ref site_object = Ref::none();
    if (site) {
        Ref line = site->line ? Ref::steal(PyLong_FromLong(*site->line)) : Ref::none();
        site_object = Ref::steal(Py_BuildValue("(NO)", text(site->call_frame_id.view()).release(), line.get()));
    }
    Ref row = Ref::steal(Py_BuildValue("(NOiOO)", text(frames::event_name(kind)).release(), name,
                                       static_cast<int>(decision), id_text.get(), site_object.get()));
    if (!row || PyList_Append(recorder.events.get(), row.get()) < 0) recorder.failed = true;
}

int profile(PyObject* object, PyFrameObject* frame, int what, PyObject*) noexcept {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) return 0;
    if (hooks::hooks_off()) return 0;
    auto* recorder = static_cast<Recorder*>(PyCapsule_GetPointer(object, RECORDER));
    if (recorder == nullptr || recorder->failed) {
        PyErr_Clear();
        return 0;
    }
    try {
        bool closing = what == PyTrace_RETURN;
        EventKind kind = closing ? EventKind::Return : EventKind::Call;
        auto key = reinterpret_cast<std::uintptr_t>(frame);
        diagnostics::StackCheck check =
            diagnostics::check_stack_with(closing ? StackEvent::Exit : StackEvent::Enter, key);
        diagnostics::RestoreOmitting restore(check.restore);
        if (check.decision == StackDecision::Skip) {
            recorder->skips.note();
            note(*recorder, kind, frame, check.decision, nullptr, std::nullopt);
            return 0;
        }
        frames::FrameId id = recorder->ids.get_or_set(kind, key);
        std::optional<frames::CallSite> site;
        if (!recorder->stack.get_user_code_call_site(reinterpret_cast<PyObject*>(frame), kind, id, site)) {
            recorder->failed = true;
            return 0;
        }
        note(*recorder, kind, frame, check.decision, &id, site);
    } catch (...) {
        recorder->failed = true;
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        recorder->failed = true;
    }
    return 0;
}

// trace_events(function) -> (events, skips): runs function() under the miniature tracer on this
// thread.
Result<Ref> trace_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("trace_events", {"function"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    Result<Ref> events = py::checked(PyList_New(0));
    if (!events) return events;
    auto* recorder = new Recorder();
    recorder->events = events.value();
    Result<Ref> capsule = testing::wrap(recorder, RECORDER);
    if (!capsule) return capsule;
    PyEval_SetProfile(profile, capsule->get());
    Result<Ref> result = py::checked(PyObject_CallNoArgs((*parsed)[0]));
    PyEval_SetProfile(nullptr, nullptr);
    if (!result) return std::move(result).error();
    if (recorder->failed) return PyError::make(PyExc_RuntimeError, "the test tracer failed");
    return py::checked(Py_BuildValue("(OK)", events->get(), static_cast<unsigned long long>(recorder->skips.skipped())));
}

QUIB_TESTING_FUNCTION(py::fast_method<trace_events>(
    "trace_events", "trace_events(function)\n--\n\n(events, skips) of function() under a miniature tracer: "
                    "events are (event, co_name, decision, frame id, call site)."));

}  // namespace
