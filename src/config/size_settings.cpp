#include "config/size_settings.hpp"

#include "py/conversions.hpp"
#include "py/attributes.hpp"

#include <cmath>

namespace quib::config {

using py::PyError;
using py::Ref;
using py::Result;
using Bytes = std::optional<std::uint64_t>;

namespace {

py::InternedName MAX_VALUE_MB{"max_value_mb"};
py::InternedName FLUSH_SUBTREE_MB{"flush_subtree_mb"};

constexpr double MEBIBYTE = 1024.0 * 1024.0;
constexpr double TWO_TO_63 = 9223372036854775808.0;
constexpr double TWO_TO_64 = 18446744073709551616.0;

constexpr const char* MAX_VALUE_INVALID = "max_value_mb must be a non-negative number or false";
constexpr const char* FLUSH_INVALID = "flush_subtree_mb must be a non-negative number or false";
constexpr const char* FLUSH_TRUE =
    "flush_subtree_mb = true is not valid; use false to disable or a non-negative number to set the threshold";
constexpr const char* FLUSH_TOO_LARGE = "flush_subtree_mb is too large for this platform";

PyError value_error(const char* message) { return PyError::make(PyExc_ValueError, message); }

// The item under `name`, borrowed; nullptr when absent. A lookup that raises is the error.
Result<PyObject*> lookup(PyObject* settings, py::InternedName& name) {
    if (!PyDict_Check(settings)) return py::conversion_error(settings, "PyDict");
    Result<PyObject*> key = py::name_of(name);
    if (!key) return std::move(key).error();
    PyObject* value = PyDict_GetItemWithError(settings, key.value());
    if (value == nullptr && PyErr_Occurred()) return PyError::fetch();
    return value;
}

// A finite, non-negative MiB count (-0.0 counts as 0).
bool is_valid_size(double megabytes) { return std::isfinite(megabytes) && megabytes >= 0.0; }

}  // namespace

Result<Bytes> resolve_max_value_bytes(PyObject* settings) {
    Result<PyObject*> found = lookup(settings, MAX_VALUE_MB);
    if (!found) return std::move(found).error();
    PyObject* value = found.value();
    if (value == nullptr) return Bytes(DEFAULT_MAX_VALUE_BYTES);
    if (value == Py_None || value == Py_False) return Bytes();
    if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) return value_error(MAX_VALUE_INVALID);
    Result<Ref> as_float = py::checked(PyNumber_Float(value));
    if (!as_float) {
        // An int too large for a double is just another invalid size; other failures (a broken
        // __float__ of a subclass) are reported as they are.
        if (as_float.error().matches(PyExc_OverflowError)) return value_error(MAX_VALUE_INVALID);
        return std::move(as_float).error();
    }
    double bytes = PyFloat_AS_DOUBLE(as_float->get()) * MEBIBYTE;
    if (!is_valid_size(bytes) || bytes >= TWO_TO_63) return value_error(MAX_VALUE_INVALID);
    return Bytes(static_cast<std::uint64_t>(bytes));
}

Result<Bytes> resolve_flush_subtree_bytes(PyObject* settings) {
    Result<PyObject*> found = lookup(settings, FLUSH_SUBTREE_MB);
    if (!found) return std::move(found).error();
    PyObject* value = found.value();
    if (value == nullptr) return Bytes(DEFAULT_FLUSH_SUBTREE_BYTES);
    if (value == Py_None || value == Py_False) return Bytes();
    if (value == Py_True) return value_error(FLUSH_TRUE);
    double megabytes = 0.0;
    if (PyFloat_CheckExact(value)) {
        megabytes = PyFloat_AS_DOUBLE(value);
    } else {
        megabytes = PyFloat_AsDouble(value);
        if (megabytes == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return value_error(FLUSH_INVALID);
        }
    }
    if (!is_valid_size(megabytes)) return value_error(FLUSH_INVALID);
    double bytes = megabytes * MEBIBYTE;
    if (bytes > TWO_TO_64) return value_error(FLUSH_TOO_LARGE);
    if (bytes >= TWO_TO_64) return Bytes(UINT64_MAX);
    return Bytes(static_cast<std::uint64_t>(bytes));
}

}  // namespace quib::config
