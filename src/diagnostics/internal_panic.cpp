#include "diagnostics/internal_panic.hpp"

namespace quib::diagnostics {

PyObject* internal_panic_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("_quib.InternalPanic",
                                         "An internal failure of the quib engine (a defect, not a program error).",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_internal_panic(const char* message) noexcept {
    PyErr_Clear();
    PyObject* type = internal_panic_type();
    if (type == nullptr) return;  // the creation failure is the exception now
    PyErr_SetString(type, message);
}

}  // namespace quib::diagnostics
