// Test entries for warnings, panic reports and the stack guard.
#include "capsule.hpp"
#include "registry.hpp"

#include "diagnostics/log_warning.hpp"
#include "diagnostics/report_panic.hpp"
#include "diagnostics/stack_guard.hpp"
#include "diagnostics/stack_skips.hpp"
#include "py/args.hpp"

#include <alloca.h>

#include <cstring>

namespace {

using namespace quib;
using diagnostics::StackDecision;
using diagnostics::StackEvent;
using py::PyError;
using py::Ref;
using py::Result;

constexpr const char* SKIPS = "quib.StackSkips";

Result<Ref> log_warning(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<2>("log_warning", {"args", "error"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    std::optional<PyError> error;
    if (parsed->given(1) && (*parsed)[1] != Py_None) error = PyError::from_instance(Ref::take((*parsed)[1]));
    diagnostics::log_warning(Ref::take((*parsed)[0]), std::move(error));
    return Ref::none();
}

Result<Ref> report_panic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("report_panic", {"message"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize((*parsed)[0], &size);
    if (text == nullptr) return PyError::fetch();
    diagnostics::report_panic(std::string_view(text, static_cast<std::size_t>(size)));
    return Ref::none();
}

Result<Ref> reaches_program(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("reaches_program", {"error"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    return Ref::boolean(diagnostics::reaches_program(PyError::from_instance(Ref::take((*parsed)[0]))));
}

Result<StackEvent> stack_event(PyObject* value) {
    auto number = py::u64_argument("stack", "event", value);
    if (!number) return std::move(number).error();
    if (number.value() > 2) return PyError::make(PyExc_ValueError, "event must be 0, 1 or 2");
    return static_cast<StackEvent>(number.value());
}

Result<Ref> entries_list(const std::vector<diagnostics::StackEntry>& entries) {
    Result<Ref> list = py::checked(PyList_New(0));
    if (!list) return list;
    for (const auto& entry : entries) {
        Result<Ref> pair = py::checked(Py_BuildValue("(KK)", static_cast<unsigned long long>(entry.key),
                                                     static_cast<unsigned long long>(entry.remaining)));
        if (!pair) return pair;
        if (PyList_Append(list->get(), pair->get()) < 0) return PyError::fetch();
    }
    return list;
}

// stack_decide(entries, boundary, event, key, remaining) -> (decision, entries, boundary), on a
// guard made from the given entries [(key, remaining)].
Result<Ref> stack_decide(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "stack_decide";
    auto parsed = py::parse<5>(function, {"entries", "boundary", "event", "key", "remaining"}, 5, args, nargs,
                               kwnames);
    if (!parsed) return std::move(parsed).error();
    diagnostics::StackGuard guard;
    Result<Ref> sequence = py::checked(PySequence_Fast((*parsed)[0], "entries must be a sequence"));
    if (!sequence) return std::move(sequence).error();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence->get()); ++i) {
        unsigned long long key = 0, remaining = 0;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(sequence->get(), i), "KK", &key, &remaining)) {
            return PyError::fetch();
        }
        guard.entries.push_back({static_cast<std::uintptr_t>(key), remaining});
    }
    auto boundary = py::u64_argument(function, "boundary", (*parsed)[1]);
    if (!boundary) return std::move(boundary).error();
    guard.boundary = boundary.value();
    auto event = stack_event((*parsed)[2]);
    if (!event) return std::move(event).error();
    auto key = py::u64_argument(function, "key", (*parsed)[3]);
    if (!key) return std::move(key).error();
    auto remaining = py::u64_argument(function, "remaining", (*parsed)[4]);
    if (!remaining) return std::move(remaining).error();
    StackDecision decision = diagnostics::decide(guard, event.value(), key.value(), remaining.value());
    Result<Ref> entries = entries_list(guard.entries);
    if (!entries) return entries;
    return py::checked(Py_BuildValue("(iOn)", static_cast<int>(decision), entries->get(),
                                     static_cast<Py_ssize_t>(guard.boundary)));
}

// stack_check(event, key, remaining) -> (decision, previous flag to restore or None), on this
// thread's guard.
Result<Ref> stack_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "stack_check";
    auto parsed = py::parse<3>(function, {"event", "key", "remaining"}, 3, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto event = stack_event((*parsed)[0]);
    if (!event) return std::move(event).error();
    auto key = py::u64_argument(function, "key", (*parsed)[1]);
    if (!key) return std::move(key).error();
    auto remaining = py::u64_argument(function, "remaining", (*parsed)[2]);
    if (!remaining) return std::move(remaining).error();
    diagnostics::StackCheck check = diagnostics::check_stack_remaining(event.value(), key.value(), remaining.value());
    Ref restore = check.restore ? Ref::boolean(check.restore->previous) : Ref::none();
    return py::checked(Py_BuildValue("(iO)", static_cast<int>(check.decision), restore.get()));
}

// stack_check_here(event, key) -> decision, measured where this function runs.
Result<Ref> stack_check_here(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "stack_check_here";
    auto parsed = py::parse<2>(function, {"event", "key"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto event = stack_event((*parsed)[0]);
    if (!event) return std::move(event).error();
    auto key = py::u64_argument(function, "key", (*parsed)[1]);
    if (!key) return std::move(key).error();
    diagnostics::StackCheck check = diagnostics::check_stack_with(event.value(), key.value());
    if (check.restore) check.restore->restore();
    return py::checked(PyLong_FromLong(static_cast<long>(check.decision)));
}

Result<Ref> stack_restore(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("stack_restore", {"previous"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto previous = py::bool_argument("stack_restore", "previous", (*parsed)[0]);
    if (!previous) return std::move(previous).error();
    diagnostics::OmittingValues{previous.value()}.restore();
    return Ref::none();
}

Result<Ref> stack_forget(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("stack_forget", {"key"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto key = py::u64_argument("stack_forget", "key", (*parsed)[0]);
    if (!key) return std::move(key).error();
    diagnostics::forget_entry(key.value());
    return Ref::none();
}

// (entries, boundary, omitting values, fast path armed) of this thread's guard.
Result<Ref> stack_guard_state(PyObject*) {
    const diagnostics::ThreadStackState& state = diagnostics::STACK_STATE;
    std::vector<diagnostics::StackEntry> none;
    Result<Ref> entries = entries_list(state.guard != nullptr ? state.guard->entries : none);
    if (!entries) return entries;
    Py_ssize_t boundary = state.guard != nullptr ? static_cast<Py_ssize_t>(state.guard->boundary) : 0;
    return py::checked(Py_BuildValue("(OnOO)", entries->get(), boundary, state.omitting_values ? Py_True : Py_False,
                                     state.fast_limit != UINTPTR_MAX ? Py_True : Py_False));
}

// Remaining stack in bytes here, or None when this thread's bounds are unknown.
Result<Ref> stack_remaining(PyObject*) {
    std::uint64_t remaining = diagnostics::remaining_stack();
    if (remaining == diagnostics::REMAINING_UNKNOWN) return Ref::none();
    return py::checked(PyLong_FromUnsignedLongLong(remaining));
}

Result<Ref> room_to_flush(PyObject*) { return Ref::boolean(diagnostics::room_to_flush()); }

Result<Ref> forget_stack_bounds(PyObject*) {
    diagnostics::override_stack_floor(diagnostics::UNKNOWN_STACK_LIMIT);
    return Ref::none();
}

// burn_stack(size, function): function() called with `size` more bytes of this thread's stack used.
Result<Ref> burn_stack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<2>("burn_stack", {"size", "function"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto size = py::u64_argument("burn_stack", "size", (*parsed)[0]);
    if (!size) return std::move(size).error();
    if (size.value() > (1u << 20)) return PyError::make(PyExc_ValueError, "size is at most 1 MiB");
    auto* block = static_cast<volatile char*>(alloca(size.value()));
    for (std::size_t i = 0; i < size.value(); i += 256) block[i] = 0;  // make the pages real
    Result<Ref> result = py::checked(PyObject_CallNoArgs((*parsed)[1]));
    asm volatile("" : : "r"(block) : "memory");  // keep the block alive across the call
    return result;
}

Result<Ref> stack_skips_new(PyObject*) { return testing::wrap(new diagnostics::StackSkips(), SKIPS); }

Result<Ref> stack_skips_note(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("stack_skips_note", {"skips"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto skips = testing::unwrap<diagnostics::StackSkips>((*parsed)[0], SKIPS);
    if (!skips) return std::move(skips).error();
    skips.value()->note();
    return py::checked(PyLong_FromUnsignedLongLong(skips.value()->skipped()));
}

Result<Ref> stack_skips_warn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "stack_skips_warn";
    auto parsed = py::parse<3>(function, {"skips", "trace_id", "nothing_recorded"}, 3, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto skips = testing::unwrap<diagnostics::StackSkips>((*parsed)[0], SKIPS);
    if (!skips) return std::move(skips).error();
    const char* trace_id = PyUnicode_AsUTF8((*parsed)[1]);
    if (trace_id == nullptr) return PyError::fetch();
    auto nothing = py::bool_argument(function, "nothing_recorded", (*parsed)[2]);
    if (!nothing) return std::move(nothing).error();
    skips.value()->warn_if_nothing_recorded(trace_id, nothing.value());
    return py::checked(PyLong_FromUnsignedLongLong(skips.value()->skipped()));
}

Result<Ref> stack_skips_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "stack_skips_message";
    auto parsed = py::parse<3>(function, {"trace_id", "count", "left"}, 3, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    const char* trace_id = PyUnicode_AsUTF8((*parsed)[0]);
    if (trace_id == nullptr) return PyError::fetch();
    auto count = py::u64_argument(function, "count", (*parsed)[1]);
    if (!count) return std::move(count).error();
    auto left = py::u64_argument(function, "left", (*parsed)[2]);
    if (!left) return std::move(left).error();
    std::string text = diagnostics::StackSkips::message(trace_id, count.value(), left.value());
    return py::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

QUIB_TESTING_FUNCTION(py::fast_method<log_warning>(
    "log_warning", "log_warning(args, error=None)\n--\n\nWarn through the engine's warning route."));
QUIB_TESTING_FUNCTION(py::fast_method<report_panic>(
    "report_panic", "report_panic(message)\n--\n\nReport an internal failure with this text."));
QUIB_TESTING_FUNCTION(py::fast_method<reaches_program>(
    "reaches_program", "reaches_program(error)\n--\n\nWhether the exception would propagate into the program."));
QUIB_TESTING_FUNCTION(py::fast_method<stack_decide>(
    "stack_decide", "stack_decide(entries, boundary, event, key, remaining)\n--\n\n"
                    "(decision, entries, boundary) of one decision on the given guard."));
QUIB_TESTING_FUNCTION(py::fast_method<stack_check>(
    "stack_check", "stack_check(event, key, remaining)\n--\n\n"
                   "(decision, flag to restore or None) on this thread's guard with the given remaining stack."));
QUIB_TESTING_FUNCTION(py::fast_method<stack_check_here>(
    "stack_check_here", "stack_check_here(event, key)\n--\n\nThe decision for the stack where this runs."));
QUIB_TESTING_FUNCTION(py::fast_method<stack_restore>(
    "stack_restore", "stack_restore(previous)\n--\n\nRestore this thread's omitting-values flag."));
QUIB_TESTING_FUNCTION(py::fast_method<stack_forget>(
    "stack_forget", "stack_forget(key)\n--\n\nForget the top recorded entry if it has this key."));
QUIB_TESTING_FUNCTION(py::noargs_method<stack_guard_state>(
    "stack_guard_state",
    "stack_guard_state()\n--\n\n(entries, boundary, omitting values, fast path armed) of this thread's guard."));
QUIB_TESTING_FUNCTION(py::noargs_method<stack_remaining>(
    "stack_remaining", "stack_remaining()\n--\n\nRemaining stack in bytes, None when unknown."));
QUIB_TESTING_FUNCTION(py::noargs_method<room_to_flush>(
    "room_to_flush", "room_to_flush()\n--\n\nWhether there is stack enough to flush subtrees here."));
QUIB_TESTING_FUNCTION(py::noargs_method<forget_stack_bounds>(
    "forget_stack_bounds", "forget_stack_bounds()\n--\n\nTreat this thread's stack bounds as unknown."));
QUIB_TESTING_FUNCTION(py::fast_method<burn_stack>(
    "burn_stack", "burn_stack(size, function)\n--\n\nCall function() with size more bytes of stack in use."));
QUIB_TESTING_FUNCTION(py::noargs_method<stack_skips_new>("stack_skips_new", "stack_skips_new()\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<stack_skips_note>(
    "stack_skips_note", "stack_skips_note(skips)\n--\n\nNote one skip; returns the count."));
QUIB_TESTING_FUNCTION(py::fast_method<stack_skips_warn>(
    "stack_skips_warn", "stack_skips_warn(skips, trace_id, nothing_recorded)\n--\n\n"
                        "warn_if_nothing_recorded; returns the count afterwards."));
QUIB_TESTING_FUNCTION(py::fast_method<stack_skips_message>(
    "stack_skips_message", "stack_skips_message(trace_id, count, left)\n--\n\nThe skip warning's text."));

}  // namespace
