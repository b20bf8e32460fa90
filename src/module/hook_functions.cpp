// The Python face of the per-thread hook state.
#include "module/functions.hpp"
#include "module/thread_hooks.hpp"
#include "py/args.hpp"

namespace quib::module {

using py::Ref;
using py::Result;

Result<Ref> set_current_thread_quib_worker(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "set_current_thread_quib_worker";
    auto parsed = py::parse<1>(function, {"value"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    Result<bool> value = py::bool_argument(function, "value", (*parsed)[0]);
    if (!value) return std::move(value).error();
    return Ref::boolean(hooks::set_worker_mark(value.value()));
}

Result<Ref> current_thread_hook_state(PyObject*) { return py::checked(PyLong_FromLong(hooks::state())); }

Result<Ref> reset_thread_hooks_after_fork(PyObject*) { return Ref::boolean(hooks::reset_after_fork()); }

}  // namespace quib::module
