#include "py/error.hpp"

#include <cstdio>

namespace quib::py {

PyError PyError::fetch() {
    PyObject* exception = compat::fetch_exception();
    if (exception == nullptr) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exception = compat::fetch_exception();
    }
    return PyError(Ref::steal(exception));
}

std::optional<PyError> PyError::fetch_if_set() {
    if (PyErr_Occurred() == nullptr) return std::nullopt;
    return fetch();
}

PyError PyError::make(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return fetch();
}

PyError PyError::format(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    return fetch();
}

void PyError::restore() && { compat::restore_exception(exception_.release()); }

std::string PyError::text() const {
    Ref text = Ref::steal(PyObject_Str(exception_.get()));
    if (!text) {
        PyErr_Clear();
        return "<exception str() failed>";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<exception str() failed>";
    }
    return std::string(utf8, static_cast<size_t>(size));
}

}  // namespace quib::py
