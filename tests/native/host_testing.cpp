// Test entries for the calls into the host package.
#include "registry.hpp"

#include "module/host.hpp"
#include "py/args.hpp"

namespace {

using namespace quib;
using py::Ref;
using py::Result;

Result<std::string_view> text_of(PyObject* value) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return py::PyError::fetch();
    return std::string_view(data, static_cast<size_t>(size));
}

Result<Ref> none_or(py::Status status) {
    if (!status) return std::move(status).error();
    return Ref::none();
}

Result<Ref> host_package_version(PyObject*) { return host::package_version(); }
Result<Ref> host_commit_sha(PyObject*) { return host::commit_sha(); }
Result<Ref> host_environment(PyObject*) { return host::platform_environment(); }

Result<Ref> host_load_plugin_data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("host_load_plugin_data", {"config"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    return host::load_plugin_data((*parsed)[0]);
}

Result<Ref> host_save_v3_trace_chunks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "host_save_v3_trace_chunks";
    auto parsed = py::parse<4>(function, {"trace_id", "container", "db_path", "timeout"}, 4, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto trace_id = text_of((*parsed)[0]);
    if (!trace_id) return std::move(trace_id).error();
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize((*parsed)[1], &data, &size) < 0) return py::PyError::fetch();
    auto db_path = text_of((*parsed)[2]);
    if (!db_path) return std::move(db_path).error();
    auto timeout = py::u64_argument(function, "timeout", (*parsed)[3]);
    if (!timeout) return std::move(timeout).error();
    return none_or(host::save_v3_trace_chunks(trace_id.value(), std::string_view(data, static_cast<size_t>(size)),
                                              db_path.value(), timeout.value()));
}

Result<Ref> host_save_trace_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "host_save_trace_metadata";
    auto parsed = py::parse<4>(function, {"trace_id", "db_path", "timeout", "ignore_errors"}, 4, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto trace_id = text_of((*parsed)[0]);
    if (!trace_id) return std::move(trace_id).error();
    auto db_path = text_of((*parsed)[1]);
    if (!db_path) return std::move(db_path).error();
    auto timeout = py::u64_argument(function, "timeout", (*parsed)[2]);
    if (!timeout) return std::move(timeout).error();
    auto ignore = py::bool_argument(function, "ignore_errors", (*parsed)[3]);
    if (!ignore) return std::move(ignore).error();
    return none_or(host::save_trace_metadata(trace_id.value(), db_path.value(), timeout.value(), ignore.value()));
}

QUIB_TESTING_FUNCTION(py::noargs_method<host_package_version>("host_package_version", "host_package_version()\n--\n\n"));
QUIB_TESTING_FUNCTION(py::noargs_method<host_commit_sha>("host_commit_sha", "host_commit_sha()\n--\n\n"));
QUIB_TESTING_FUNCTION(py::noargs_method<host_environment>("host_environment", "host_environment()\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<host_load_plugin_data>("host_load_plugin_data",
                                                            "host_load_plugin_data(config)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<host_save_v3_trace_chunks>(
    "host_save_v3_trace_chunks", "host_save_v3_trace_chunks(trace_id, container, db_path, timeout)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<host_save_trace_metadata>(
    "host_save_trace_metadata", "host_save_trace_metadata(trace_id, db_path, timeout, ignore_errors)\n--\n\n"));

}  // namespace
