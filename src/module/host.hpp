// Every call the engine makes into the host package `quib`, with the shapes the host relies on.
// They need the interpreter lock; callers inside tracer callbacks hold a hooks::Suspension around
// them so that the host's own Python code is never recorded. Failures come back as the Python
// exception the host raised (or a TypeError when it answered with the wrong type).
#pragma once

#include "py/error.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quib::host {

// `import name`.
py::Result<py::Ref> import_module(const char* name);

// quib.plugins.load_plugin_data(config): the list of plug-in definitions the settings declare. A
// missing or malformed quib.plugins is an internal failure (the package always ships it); an
// exception raised by the loader is returned.
py::Result<py::Ref> load_plugin_data(PyObject* config);

// quib.version.__version__ (a str).
py::Result<py::Ref> package_version();
// quib.git.COMMIT_SHA (None or a str).
py::Result<py::Ref> commit_sha();
// quib._platform_info.environment() (a dict of str to str).
py::Result<py::Ref> platform_environment();

// quib.db.save_v3_trace_chunks(trace_id, (container,), db_path=Path(db_path), ignore_errors=True,
// timeout=timeout): hands a trace built in memory to the host.
py::Status save_v3_trace_chunks(std::string_view trace_id, std::string_view container, std::string_view db_path,
                                std::uint64_t timeout_seconds);
// quib.db._save_trace_metadata(trace_id, db_path=Path(db_path), ignore_errors=..., created_at=None,
// timeout=timeout): tells the host that the trace file is complete.
py::Status save_trace_metadata(std::string_view trace_id, std::string_view db_path, std::uint64_t timeout_seconds,
                               bool ignore_errors);

}  // namespace quib::host
