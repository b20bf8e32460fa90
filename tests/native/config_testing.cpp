// Test entries for the settings map and the size settings.
#include "registry.hpp"

#include "config/config.hpp"
#include "config/environment.hpp"
#include "config/size_settings.hpp"
#include "py/args.hpp"

namespace {

using namespace quib;
using py::Ref;
using py::Result;

Result<Ref> optional_bytes(Result<std::optional<std::uint64_t>> bytes) {
    if (!bytes) return std::move(bytes).error();
    if (!bytes.value()) return Ref::none();
    return py::checked(PyLong_FromUnsignedLongLong(*bytes.value()));
}

// config_get(settings, key, default=None): Config(settings).get_or(key) for a bool setting when no
// default is given, else the unsigned lookup with that default.
Result<Ref> config_get(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "config_get";
    auto parsed = py::parse<3>(function, {"settings", "key", "default"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto config = config::Config::create((*parsed)[0]);
    if (!config) return std::move(config).error();
    const char* key = PyUnicode_AsUTF8((*parsed)[1]);
    if (key == nullptr) return py::PyError::fetch();
    if (!parsed->given(2)) {
        auto flag = config->get_or(key);
        if (!flag) return std::move(flag).error();
        return Ref::boolean(flag.value());
    }
    auto fallback = py::u64_argument(function, "default", (*parsed)[2]);
    if (!fallback) return std::move(fallback).error();
    auto number = config->get_or(key, fallback.value());
    if (!number) return std::move(number).error();
    return py::checked(PyLong_FromUnsignedLongLong(number.value()));
}

// config_item(settings, key): the value the Config holds for key, or None.
Result<Ref> config_item(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<2>("config_item", {"settings", "key"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto config = config::Config::create((*parsed)[0]);
    if (!config) return std::move(config).error();
    const char* key = PyUnicode_AsUTF8((*parsed)[1]);
    if (key == nullptr) return py::PyError::fetch();
    PyObject* value = config->find(key);
    return value == nullptr ? Ref::none() : Ref::take(value);
}

Result<Ref> resolve_max_value_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("resolve_max_value_bytes", {"settings"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    return optional_bytes(config::resolve_max_value_bytes((*parsed)[0]));
}

Result<Ref> resolve_flush_subtree_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("resolve_flush_subtree_bytes", {"settings"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    return optional_bytes(config::resolve_flush_subtree_bytes((*parsed)[0]));
}

Result<Ref> reuse_save_workers(PyObject*) { return Ref::boolean(config::reuse_save_workers()); }

QUIB_TESTING_FUNCTION(py::fast_method<config_get>(
    "config_get", "config_get(settings, key, default=None)\n--\n\nLook key up in Config(settings): as a bool "
                  "setting without default, as an unsigned one with it."));
QUIB_TESTING_FUNCTION(py::fast_method<config_item>(
    "config_item", "config_item(settings, key)\n--\n\nThe value Config(settings) holds for key, or None."));
QUIB_TESTING_FUNCTION(py::fast_method<resolve_max_value_bytes>(
    "resolve_max_value_bytes", "resolve_max_value_bytes(settings)\n--\n\nThe per-value cap in bytes, or None."));
QUIB_TESTING_FUNCTION(py::fast_method<resolve_flush_subtree_bytes>(
    "resolve_flush_subtree_bytes",
    "resolve_flush_subtree_bytes(settings)\n--\n\nThe subtree-flush threshold in bytes, or None."));
QUIB_TESTING_FUNCTION(py::noargs_method<reuse_save_workers>(
    "reuse_save_workers", "reuse_save_workers()\n--\n\nQUIB_REUSE_SAVE_WORKERS as read once per process."));

}  // namespace
