// Every Python-version difference the engine cares about lives here, so the rest of the code reads
// as if there were one interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#if PY_VERSION_HEX < 0x03090000
#error "quib needs CPython 3.9 or newer"
#endif

#define QUIB_PY_AT_LEAST(major, minor) (PY_VERSION_HEX >= (((major) << 24) | ((minor) << 16)))

namespace quib::py::compat {

// Strong reference to the frame's globals / builtins / locals mapping, or nullptr with an error set.
PyObject* frame_globals(PyFrameObject* frame);
PyObject* frame_locals(PyFrameObject* frame);
PyObject* frame_builtins(PyFrameObject* frame);

// Strong reference to a type's own attribute dict (static builtin types keep theirs per
// interpreter from 3.12 on, where tp_dict may be unset).
PyObject* type_dict(PyTypeObject* type);

// Take the current exception (normalised, traceback attached) or nullptr when none is set; the
// error indicator is cleared.
PyObject* fetch_exception();
// Make exc (a reference that is stolen) the current exception.
void restore_exception(PyObject* exc);

}  // namespace quib::py::compat
