// Test entries for the profile-hook tracer: internal views and a way to provoke an internal failure.
#include "registry.hpp"

#include "profiler/profiler_object.hpp"
#include "py/args.hpp"

#include <stdexcept>

namespace {

using namespace quib;
using py::PyError;
using py::Ref;
using py::Result;

Result<profiler::ProfilerState*> state_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                                const char* function) {
    auto parsed = py::parse<1>(function, {"native_profiler"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    profiler::ProfilerState* state = profiler::state_of((*parsed)[0]);
    if (state == nullptr) return PyError::fetch();
    return state;
}

// Poisons the frame-stores mutex, as a C++ exception unwinding through it would: the next
// recorded event then meets an internal failure.
Result<Ref> profiler_poison_stores(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto state = state_argument(args, nargs, kwnames, "profiler_poison_stores");
    if (!state) return std::move(state).error();
    try {
        auto stores = state.value()->stores.lock();
        throw std::runtime_error("unwinding through the lock");
    } catch (const std::runtime_error&) {
    }
    return Ref::none();
}

// {"excluded_cached": n, "low_water": bytes, "stores": {thread id: frame count}}
Result<Ref> profiler_view(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto state = state_argument(args, nargs, kwnames, "profiler_view");
    if (!state) return std::move(state).error();
    Ref stores = Ref::steal(PyDict_New());
    if (!stores) return PyError::fetch();
    {
        auto locked = state.value()->stores.lock();
        for (const auto& [key, store] : locked->stores) {
            Ref count = Ref::steal(PyLong_FromUnsignedLongLong(store.total_frames()));
            if (!count || PyDict_SetItemString(stores.get(), key.c_str(), count.get()) < 0) return PyError::fetch();
        }
    }
    return py::checked(Py_BuildValue("{s:n,s:K,s:O}", "excluded_cached",
                                     static_cast<Py_ssize_t>(state.value()->code_metadata.excluded_count()),
                                     "low_water", static_cast<unsigned long long>(state.value()->flush_low_water_bytes),
                                     "stores", stores.get()));
}

QUIB_TESTING_FUNCTION(py::fast_method<profiler_poison_stores>("profiler_poison_stores",
                                                              "profiler_poison_stores(native_profiler)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<profiler_view>("profiler_view", "profiler_view(native_profiler)\n--\n\n"));

}  // namespace
