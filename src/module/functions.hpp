// Bodies of the small module functions that are complete in the module itself. Each takes the
// FASTCALL arguments or none, and returns the result or the error to raise.
#pragma once

#include "py/error.hpp"

namespace quib::module {

py::Result<py::Ref> set_current_thread_quib_worker(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
py::Result<py::Ref> current_thread_hook_state(PyObject*);
py::Result<py::Ref> reset_thread_hooks_after_fork(PyObject*);

py::Result<py::Ref> frame_local(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
py::Result<py::Ref> native_construction_walk_state(PyObject*);
py::Result<py::Ref> native_objects_under_construction(PyObject*);
py::Result<py::Ref> validated_objects_under_construction(PyObject*);
py::Result<py::Ref> repr_reuse_configure(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
py::Result<py::Ref> repr_reuse_stats(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

py::Result<py::Ref> register_noop_profiler(PyObject*);

py::Result<py::Ref> native_dump_msgpack(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
py::Result<py::Ref> native_encode_in_progress(PyObject*);
py::Result<py::Ref> count_plain_containers(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
py::Result<py::Ref> writer_circuit_open(PyObject*);

}  // namespace quib::module
