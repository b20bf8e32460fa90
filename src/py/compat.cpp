#include "py/compat.hpp"

namespace quib::py::compat {

#if !QUIB_PY_AT_LEAST(3, 11)
namespace {
PyObject* frame_attribute(PyFrameObject* frame, const char* name) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(frame), name);
}
}  // namespace
#endif

PyObject* frame_globals(PyFrameObject* frame) {
#if QUIB_PY_AT_LEAST(3, 11)
    return PyFrame_GetGlobals(frame);
#else
    return frame_attribute(frame, "f_globals");
#endif
}

PyObject* frame_locals(PyFrameObject* frame) {
#if QUIB_PY_AT_LEAST(3, 11)
    return PyFrame_GetLocals(frame);
#else
    return frame_attribute(frame, "f_locals");
#endif
}

PyObject* frame_builtins(PyFrameObject* frame) {
#if QUIB_PY_AT_LEAST(3, 11)
    return PyFrame_GetBuiltins(frame);
#else
    return frame_attribute(frame, "f_builtins");
#endif
}

PyObject* type_dict(PyTypeObject* type) {
#if QUIB_PY_AT_LEAST(3, 12)
    return PyType_GetDict(type);
#else
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
#endif
}

PyObject* fetch_exception() {
#if QUIB_PY_AT_LEAST(3, 12)
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

void restore_exception(PyObject* exc) {
#if QUIB_PY_AT_LEAST(3, 12)
    PyErr_SetRaisedException(exc);
#else
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

}  // namespace quib::py::compat
