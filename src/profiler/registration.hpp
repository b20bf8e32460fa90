// register_profiler: turns the host's profiler object into a QuibProfiler and installs it as the
// profile hook of the calling thread (and, with the "threading" setting, of threads started later).
#pragma once

#include "py/error.hpp"

namespace quib::profiler {

py::Result<py::Ref> register_profiler(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quib::profiler
