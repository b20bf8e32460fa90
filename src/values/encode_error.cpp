#include "values/encode_error.hpp"

#include <cstring>

namespace quib::values {

py::PyError EncodeError::into_pyerr() && {
    switch (cause_.index()) {
        case 0: return std::get<0>(std::move(cause_));
        case 1: return py::PyError::make(PyExc_OSError, std::get<1>(cause_).c_str());
        default: return py::PyError::make(PyExc_ValueError, "value exceeds max_value_mb");
    }
}

namespace {

bool is_exact_text(PyObject* object, const char* text) {
    if (!PyUnicode_CheckExact(object)) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    return static_cast<std::size_t>(size) == std::strlen(text) && std::memcmp(utf8, text, size) == 0;
}

}  // namespace

bool exact_value_error_is(const py::PyError& error, const char* text) {
    if (error.type() != PyExc_ValueError) return false;
    py::Ref args = py::Ref::steal(PyObject_GetAttrString(error.value(), "args"));
    if (!args) {
        PyErr_Clear();
        return false;
    }
    return PyTuple_CheckExact(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
           is_exact_text(PyTuple_GET_ITEM(args.get(), 0), text);
}

bool needs_careful(const py::PyError& error) {
    PyObject* type = error.type();
    if (type == PyExc_RecursionError) return true;
    if (type == PyExc_ValueError) {
        return exact_value_error_is(error, "recursion limit exceeded.") ||
               exact_value_error_is(error, "recursion limit exceeded") ||
               exact_value_error_is(error, "operation forbidden on released memoryview object");
    }
    if (type == PyExc_UnicodeEncodeError) {
        py::Ref reason = py::Ref::steal(PyUnicodeEncodeError_GetReason(error.value()));
        if (!reason) {
            PyErr_Clear();
            return false;
        }
        return is_exact_text(reason.get(), "surrogates not allowed");
    }
    return false;
}

}  // namespace quib::values
