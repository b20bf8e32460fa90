#include "py/args.hpp"

#include <cstring>

namespace quib::py {

namespace {

std::size_t index_of_keyword(const Signature& signature, PyObject* keyword) {
    for (std::size_t i = 0; i < signature.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.names[i]) == 0) return i;
    }
    return signature.count;
}

}  // namespace

Status parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** out) {
    for (std::size_t i = 0; i < signature.count; ++i) out[i] = nullptr;
    auto positional = static_cast<std::size_t>(nargs);
    if (positional > signature.count) {
        return PyError::format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zu given)",
                               signature.function, signature.count, signature.count == 1 ? "" : "s",
                               positional);
    }
    for (std::size_t i = 0; i < positional; ++i) out[i] = args[i];
    Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t index = index_of_keyword(signature, keyword);
        if (index == signature.count) {
            return PyError::format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                   signature.function, keyword);
        }
        if (out[index] != nullptr) {
            return PyError::format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                                   signature.function, signature.names[index]);
        }
        out[index] = args[nargs + k];
    }
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (out[i] == nullptr) {
            return PyError::format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                                   signature.function, signature.names[i], i + 1);
        }
    }
    return Status();
}

PyError argument_type_error(const char* function, const char* argument, const char* expected, PyObject* got) {
    return PyError::format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", function, argument,
                           expected, Py_TYPE(got)->tp_name);
}

Result<bool> bool_argument(const char* function, const char* argument, PyObject* value) {
    if (value == Py_True) return true;
    if (value == Py_False) return false;
    return argument_type_error(function, argument, "bool", value);
}

Result<std::optional<bool>> optional_bool_argument(const char* function, const char* argument, PyObject* value) {
    if (value == nullptr || value == Py_None) return std::optional<bool>();
    Result<bool> flag = bool_argument(function, argument, value);
    if (!flag) return std::move(flag).error();
    return std::optional<bool>(flag.value());
}

Result<std::uint64_t> u64_argument(const char* function, const char* argument, PyObject* value) {
    if (!PyLong_Check(value)) return argument_type_error(function, argument, "int", value);
    unsigned long long converted = PyLong_AsUnsignedLongLong(value);
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyError cause = PyError::fetch();
        if (cause.matches(PyExc_OverflowError)) {
            return PyError::format(PyExc_OverflowError, "%s() argument '%s': %s", function, argument,
                                   cause.text().c_str());
        }
        return cause;
    }
    return static_cast<std::uint64_t>(converted);
}

Status str_argument(const char* function, const char* argument, PyObject* value) {
    if (PyUnicode_Check(value)) return Status();
    return argument_type_error(function, argument, "str", value);
}

Status optional_str_argument(const char* function, const char* argument, PyObject* value) {
    if (value == nullptr || value == Py_None || PyUnicode_Check(value)) return Status();
    return argument_type_error(function, argument, "str or None", value);
}

Status dict_argument(const char* function, const char* argument, PyObject* value) {
    if (PyDict_Check(value)) return Status();
    return argument_type_error(function, argument, "dict", value);
}

}  // namespace quib::py
