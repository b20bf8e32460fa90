// The Python class QuibProfiler. It is not a module member: register_profiler creates its type on
// first use and hands instances to the host as its profiler's `native_profiler` attribute. Each
// instance holds a shared reference to its ProfilerState, which the profile hooks use.
#pragma once

#include "profiler/profiler_state.hpp"

#include <memory>

namespace quib::profiler {

struct QuibProfilerObject {
    PyObject_HEAD
    std::shared_ptr<ProfilerState>* state;
};

// Borrowed; created once per process. nullptr with an exception set when it cannot be created.
PyTypeObject* quib_profiler_type();

// The state behind a QuibProfiler object, or nullptr (with a TypeError set) for anything else.
ProfilerState* state_of(PyObject* object);

// A new QuibProfiler object around `state`.
py::Result<py::Ref> make_profiler_object(std::shared_ptr<ProfilerState> state);

}  // namespace quib::profiler
