// Every Python-version difference the engine cares about lives here, so the rest of the code reads
// as if there were one interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

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

// The value of an exact int as a long long; false when it does not fit (nothing is raised). Ints of
// one digit, nearly all of them, are read inline.
inline bool long_long_of(PyObject* exact_int, long long& value) noexcept {
#if QUIB_PY_AT_LEAST(3, 12)
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(exact_int))) {
        value = static_cast<long long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(exact_int)));
        return true;
    }
#else
    const Py_ssize_t size = Py_SIZE(exact_int);
    if (size >= -1 && size <= 1) {
        value = static_cast<long long>(size) * static_cast<long long>(reinterpret_cast<PyLongObject*>(exact_int)->ob_digit[0]);
        return true;
    }
#endif
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(exact_int, &overflow);
    return overflow == 0;
}

}  // namespace quib::py::compat
