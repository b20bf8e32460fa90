#include "diagnostics/report_panic.hpp"

#include "diagnostics/internal_panic.hpp"
#include "py/entry.hpp"

#include <string>

namespace quib::diagnostics {

using py::PyError;
using py::Ref;

void report_panic(std::string_view message) noexcept {
    std::optional<PyError> pending;
    try {
        pending = PyError::fetch_if_set();
    } catch (...) {
        PyErr_Clear();
    }
    Ref context = Ref::steal(PyUnicode_FromString("Quib stopped tracing after an internal error"));
    if (!context) PyErr_Clear();
    PyObject* type = internal_panic_type();
    if (type != nullptr) {
        Ref text = Ref::steal(
            PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        if (text) PyErr_SetObject(type, text.get());
    }
    // Whatever is set now (the InternalPanic, or the failure that kept us from making it) is what
    // the hook reports.
    if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(context.get());
    if (pending) std::move(*pending).restore();
}

void report_caught_panic() noexcept { report_panic(py::caught_failure_text()); }

bool reaches_program(const PyError& error) noexcept {
    if (error.matches(PyExc_Exception)) return false;
    PyObject* panic = internal_panic_type();
    if (panic == nullptr) {
        PyErr_Clear();
        return true;
    }
    return !error.matches(panic);
}

}  // namespace quib::diagnostics
