// A profile hook that does nothing: the yardstick for what a native hook costs by itself.
#include "module/functions.hpp"

namespace quib::module {

namespace {
int ignore_event(PyObject*, PyFrameObject*, int, PyObject*) noexcept { return 0; }
}  // namespace

py::Result<py::Ref> register_noop_profiler(PyObject*) {
    PyEval_SetProfile(ignore_event, nullptr);
    return py::Ref::none();
}

}  // namespace quib::module
