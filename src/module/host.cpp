#include "module/host.hpp"

#include "py/interned.hpp"

#include <initializer_list>

namespace quib::host {

using py::PyError;
using py::Ref;
using py::Result;
using py::Status;

namespace {

py::InternedName VERSION_ATTRIBUTE{"__version__"};
py::InternedName COMMIT_SHA_ATTRIBUTE{"COMMIT_SHA"};
py::InternedName ENVIRONMENT{"environment"};
py::InternedName LOAD_PLUGIN_DATA{"load_plugin_data"};
py::InternedName SAVE_V3_TRACE_CHUNKS{"save_v3_trace_chunks"};
py::InternedName SAVE_TRACE_METADATA{"_save_trace_metadata"};
py::InternedName PATH{"Path"};

Result<Ref> text(std::string_view value) {
    return py::checked(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

Result<Ref> attribute_of(const char* module_name, py::InternedName& name) {
    Result<Ref> module = import_module(module_name);
    if (!module) return module;
    PyObject* key = name.get();
    if (key == nullptr) return PyError::fetch();
    return py::checked(PyObject_GetAttr(module->get(), key));
}

Result<Ref> path_object(std::string_view db_path) {
    Result<Ref> path_type = attribute_of("pathlib", PATH);
    if (!path_type) return path_type;
    Result<Ref> path_text = text(db_path);
    if (!path_text) return path_text;
    return py::checked(PyObject_CallOneArg(path_type->get(), path_text->get()));
}

// Calls quib.db.<function>(*positional, **keywords) and drops the result.
Status call_db(py::InternedName& function, PyObject* positional, PyObject* keywords) {
    Result<Ref> target = attribute_of("quib.db", function);
    if (!target) return std::move(target).error();
    Result<Ref> result = py::checked(PyObject_Call(target->get(), positional, keywords));
    if (!result) return std::move(result).error();
    return Status();
}

struct Keyword {
    const char* name;
    PyObject* value;
};

// A keyword dict with the entries in the given order.
Result<Ref> keywords_of(std::initializer_list<Keyword> entries) {
    Result<Ref> keywords = py::checked(PyDict_New());
    if (!keywords) return keywords;
    for (const Keyword& entry : entries) {
        if (PyDict_SetItemString(keywords->get(), entry.name, entry.value) < 0) return PyError::fetch();
    }
    return keywords;
}

}  // namespace

Result<Ref> import_module(const char* name) { return py::checked(PyImport_ImportModule(name)); }

Result<Ref> load_plugin_data(PyObject* config) {
    // quib.plugins ships with the package, so its absence or a wrong shape is a defect of ours.
    Ref module = Ref::steal(PyImport_ImportModule("quib.plugins"));
    if (!module) {
        PyErr_Clear();
        throw py::InternalFailure("quib.plugins should always be importable");
    }
    PyObject* name = LOAD_PLUGIN_DATA.get();
    if (name == nullptr) return PyError::fetch();
    Ref loader = Ref::steal(PyObject_GetAttr(module.get(), name));
    if (!loader) {
        PyErr_Clear();
        throw py::InternalFailure("load_plugin_data should exist");
    }
    if (!PyCallable_Check(loader.get())) throw py::InternalFailure("load_plugin_data should be callable");
    // An exception of the loader (a plug-in named in the settings that cannot be imported, say) is
    // the user's to see, so it is passed on as it is.
    Result<Ref> plugins = py::checked(PyObject_CallOneArg(loader.get(), config));
    if (plugins && !PyList_Check(plugins->get())) throw py::InternalFailure("load_plugin_data should return a list");
    return plugins;
}

Result<Ref> package_version() {
    Result<Ref> version = attribute_of("quib.version", VERSION_ATTRIBUTE);
    if (version && !PyUnicode_Check(version->get())) {
        return PyError::make(PyExc_TypeError, "quib.version.__version__ must be a str");
    }
    return version;
}

Result<Ref> commit_sha() {
    Result<Ref> sha = attribute_of("quib.git", COMMIT_SHA_ATTRIBUTE);
    if (sha && sha->get() != Py_None && !PyUnicode_Check(sha->get())) {
        return PyError::make(PyExc_TypeError, "quib.git.COMMIT_SHA must be None or a str");
    }
    return sha;
}

Result<Ref> platform_environment() {
    Result<Ref> function = attribute_of("quib._platform_info", ENVIRONMENT);
    if (!function) return function;
    Result<Ref> environment = py::checked(PyObject_CallNoArgs(function->get()));
    if (environment && !PyDict_Check(environment->get())) {
        return PyError::make(PyExc_TypeError, "quib._platform_info.environment() must return a dict");
    }
    return environment;
}

Status save_v3_trace_chunks(std::string_view trace_id, std::string_view container, std::string_view db_path,
                            std::uint64_t timeout_seconds) {
    Result<Ref> path = path_object(db_path);
    if (!path) return std::move(path).error();
    Result<Ref> id = text(trace_id);
    if (!id) return std::move(id).error();
    Result<Ref> bytes = py::checked(
        PyBytes_FromStringAndSize(container.data(), static_cast<Py_ssize_t>(container.size())));
    if (!bytes) return std::move(bytes).error();
    Result<Ref> positional = py::checked(Py_BuildValue("(O(O))", id->get(), bytes->get()));
    if (!positional) return std::move(positional).error();
    Result<Ref> timeout = py::checked(PyLong_FromUnsignedLongLong(timeout_seconds));
    if (!timeout) return std::move(timeout).error();
    Result<Ref> keywords =
        keywords_of({{"db_path", path->get()}, {"ignore_errors", Py_True}, {"timeout", timeout->get()}});
    if (!keywords) return std::move(keywords).error();
    return call_db(SAVE_V3_TRACE_CHUNKS, positional->get(), keywords->get());
}

Status save_trace_metadata(std::string_view trace_id, std::string_view db_path, std::uint64_t timeout_seconds,
                           bool ignore_errors) {
    Result<Ref> path = path_object(db_path);
    if (!path) return std::move(path).error();
    Result<Ref> id = text(trace_id);
    if (!id) return std::move(id).error();
    Result<Ref> positional = py::checked(PyTuple_Pack(1, id->get()));
    if (!positional) return std::move(positional).error();
    Result<Ref> timeout = py::checked(PyLong_FromUnsignedLongLong(timeout_seconds));
    if (!timeout) return std::move(timeout).error();
    // The keyword order is the one the host documents.
    Result<Ref> keywords = keywords_of({{"db_path", path->get()},
                                        {"ignore_errors", ignore_errors ? Py_True : Py_False},
                                        {"created_at", Py_None},
                                        {"timeout", timeout->get()}});
    if (!keywords) return std::move(keywords).error();
    return call_db(SAVE_TRACE_METADATA, positional->get(), keywords->get());
}

}  // namespace quib::host
