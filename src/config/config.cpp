#include "config/config.hpp"

#include "py/conversions.hpp"

namespace quib::config {

using py::PyError;
using py::Result;

Result<Config> Config::create(PyObject* settings) {
    if (!PyDict_Check(settings)) return py::conversion_error(settings, "PyDict");
    Config config;
    Py_ssize_t size_before = PyDict_Size(settings);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(settings, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) return py::conversion_error(key, "PyString");
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &length);
        if (text == nullptr) return PyError::fetch();
        config.values_.insert_or_assign(std::string(text, static_cast<std::size_t>(length)), py::Ref::take(value));
    }
    // Nothing above runs Python code, so only another thread mutating the dict without the
    // interpreter lock could get here.
    if (PyDict_Size(settings) != size_before) throw py::InternalFailure("dictionary changed size during iteration");
    return config;
}

PyObject* Config::find(std::string_view key) const {
    auto found = values_.find(key);
    return found == values_.end() ? nullptr : found->second.get();
}

Result<bool> Config::get_or(std::string_view key) const {
    PyObject* value = find(key);
    if (value == nullptr) return false;
    return py::to_bool(value);
}

Result<std::uint64_t> Config::get_or(std::string_view key, std::uint64_t fallback) const {
    PyObject* value = find(key);
    if (value == nullptr) return fallback;
    return py::to_u64(value);
}

}  // namespace quib::config
