#include "profiler/profiler_object.hpp"

#include "profiler/profile_callback.hpp"
#include "profiler/saving.hpp"
#include "py/args.hpp"
#include "py/entry.hpp"
#include "py/module_builder.hpp"

namespace quib::profiler {

using py::PyError;
using py::Ref;
using py::Result;

namespace {

ProfilerState* checked_state(PyObject* self) { return state_of(self); }

Result<Ref> text(const std::string& value) {
    return py::checked(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

// Runs a getter body at the interpreter boundary.
template <Result<Ref> (*Body)(ProfilerState&)>
PyObject* getter(PyObject* self, void*) noexcept {
    return py::run_at_boundary([self]() -> Result<Ref> {
        ProfilerState* state = checked_state(self);
        if (state == nullptr) return PyError::fetch();
        return Body(*state);
    });
}

Result<Ref> get_trace_id(ProfilerState& state) { return text(*state.trace_id.lock()); }
Result<Ref> get_root_trace_id(ProfilerState& state) { return text(*state.root_trace_id.lock()); }
Result<Ref> get_panicked(ProfilerState& state) { return Ref::boolean(state.panicked.load()); }
Result<Ref> get_flush_subtree_bytes(ProfilerState& state) {
    if (!state.flush_subtree_bytes) return Ref::none();
    return py::checked(PyLong_FromUnsignedLongLong(*state.flush_subtree_bytes));
}

Result<Ref> method_save(PyObject* self) {
    ProfilerState* state = checked_state(self);
    if (state == nullptr) return PyError::fetch();
    return save(*state);
}

Result<Ref> method_build_trace(PyObject* self) {
    ProfilerState* state = checked_state(self);
    if (state == nullptr) return PyError::fetch();
    return build_trace(*state);
}

Result<Ref> method_release_repr_reuse(PyObject* self) {
    if (checked_state(self) == nullptr) return PyError::fetch();
    return Ref::none();  // no repr texts are kept across events
}

Result<Ref> method_register_threading_profiler(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) {
    auto parsed = py::parse<3>("register_threading_profiler", {"_frame", "_event", "_arg"}, 3, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    ProfilerState* state = checked_state(self);
    if (state == nullptr) return PyError::fetch();
    if (state->panicked.load(std::memory_order_acquire)) {
        PyEval_SetProfile(nullptr, nullptr);
    } else {
        PyEval_SetProfile(profile_callback, self);
    }
    return Ref::none();
}

PyGetSetDef GETTERS[] = {
    {"trace_id", getter<get_trace_id>, nullptr, "The current trace id.", nullptr},
    {"root_trace_id", getter<get_root_trace_id>, nullptr, "The root trace id.", nullptr},
    {"panicked", getter<get_panicked>, nullptr, "Whether a callback panicked and tracing stopped without a trace.",
     nullptr},
    {"flush_subtree_bytes", getter<get_flush_subtree_bytes>, nullptr,
     "Maximum buffered bytes before flushing a subtree. None means disabled.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef METHODS[] = {
    py::noargs_method<method_save>("save", "save($self, /)\n--\n\nSave the current trace and start the next one."),
    py::noargs_method<method_release_repr_reuse>(
        "release_repr_reuse", "release_repr_reuse($self, /)\n--\n\nAccepted for compatibility; does nothing."),
    py::noargs_method<method_build_trace>(
        "build_trace", "build_trace($self, /)\n--\n\nThe current trace as container bytes; starts the next trace."),
    py::fast_method<method_register_threading_profiler>(
        "register_threading_profiler",
        "register_threading_profiler($self, /, _frame, _event, _arg)\n--\n\n"
        "The first profile event of a new thread: installs the native hook on it."),
    {nullptr, nullptr, 0, nullptr},
};

void dealloc(PyObject* self) noexcept {
    auto* object = reinterpret_cast<QuibProfilerObject*>(self);
    delete object->state;  // the state's Python references are released here, with the GIL held
    object->state = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {Py_tp_doc, const_cast<char*>("Native record of a profile-hook recording. It holds data while profiling; its "
                                  "attributes are protected by the interpreter lock, by mutexes, or by being "
                                  "per-thread.")},
    {Py_tp_getset, GETTERS},
    {Py_tp_methods, METHODS},
    {0, nullptr},
};

PyType_Spec DESCRIPTION = {"_quib.QuibProfiler", sizeof(QuibProfilerObject), 0, Py_TPFLAGS_DEFAULT, SLOTS};

py::LazyType TYPE{&DESCRIPTION};

}  // namespace

PyTypeObject* quib_profiler_type() { return TYPE.get(); }

ProfilerState* state_of(PyObject* object) {
    PyTypeObject* type = quib_profiler_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(object, type)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'QuibProfiler'",
                     Py_TYPE(object)->tp_name);
        return nullptr;
    }
    auto* holder = reinterpret_cast<QuibProfilerObject*>(object)->state;
    if (holder == nullptr || !*holder) {
        PyErr_SetString(PyExc_TypeError, "QuibProfiler objects are made by register_profiler");
        return nullptr;
    }
    return holder->get();
}

Result<Ref> make_profiler_object(std::shared_ptr<ProfilerState> state) {
    PyTypeObject* type = quib_profiler_type();
    if (type == nullptr) return PyError::fetch();
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object) return PyError::fetch();
    object.as<QuibProfilerObject>()->state = new std::shared_ptr<ProfilerState>(std::move(state));
    return object;
}

}  // namespace quib::profiler
