#include "diagnostics/log_warning.hpp"

#include "diagnostics/standard_streams.hpp"
#include "module/thread_hooks.hpp"
#include "py/attributes.hpp"

#include <atomic>
#include <string>

namespace quib::diagnostics {

using py::PyError;
using py::Ref;
using py::Result;

namespace {

std::atomic<bool> RECURSION_REPORTED{false};

py::InternedName LOGGING{"logging"};
py::InternedName GET_LOGGER{"getLogger"};
py::InternedName LOGGER_NAME{"quib"};
py::InternedName WARNING{"warning"};
py::InternedName EXC_INFO{"exc_info"};


// The first line of the message, for the fallbacks: "quib" when there is no usable message.
std::string fallback_text(PyObject* args) {
    if (args == nullptr || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) == 0) return "quib";
    PyObject* first = PyTuple_GET_ITEM(args, 0);
    if (!PyUnicode_Check(first)) return "quib";
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(first, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return "quib";
    }
    std::string_view line(text, static_cast<std::size_t>(size));
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (size == 0) return "quib";
    return std::string(line);
}

py::Status call_logger(PyObject* args, const std::optional<PyError>& error) {
    if (args == nullptr) return PyError::fetch();
    if (!PyTuple_Check(args)) return PyError::make(PyExc_TypeError, "warning arguments must be a tuple");
    Result<Ref> keywords = py::checked(PyDict_New());
    if (!keywords) return std::move(keywords).error();
    if (error) {
        Result<PyObject*> key = py::name_of(EXC_INFO);
        if (!key) return std::move(key).error();
        if (PyDict_SetItem(keywords->get(), key.value(), error->value()) < 0) return PyError::fetch();
    }
    Result<PyObject*> module_name = py::name_of(LOGGING);
    if (!module_name) return std::move(module_name).error();
    Result<Ref> logging = py::checked(PyImport_Import(module_name.value()));
    if (!logging) return std::move(logging).error();
    Result<Ref> get_logger = py::attribute(logging->get(), GET_LOGGER);
    if (!get_logger) return std::move(get_logger).error();
    Result<PyObject*> logger_name = py::name_of(LOGGER_NAME);
    if (!logger_name) return std::move(logger_name).error();
    Result<Ref> logger = py::checked(PyObject_CallOneArg(get_logger->get(), logger_name.value()));
    if (!logger) return std::move(logger).error();
    Result<Ref> warning = py::attribute(logger->get(), WARNING);
    if (!warning) return std::move(warning).error();
    Result<Ref> done = py::checked(PyObject_Call(warning->get(), args, keywords->get()));
    if (!done) return std::move(done).error();
    return py::Status();
}

void write_unraisable(PyObject* context, PyError error) {
    std::move(error).restore();
    PyErr_WriteUnraisable(context);
}

}  // namespace

void log_warning(Ref args, std::optional<PyError> error) noexcept {
    try {
        // The program's own pending exception (if any) must survive our logging untouched, and
        // the logging package's Python code must not be recorded.
        std::optional<PyError> pending = PyError::fetch_if_set();
        hooks::Suspension suspension;
        std::string fallback = fallback_text(args.get());
        py::Status logged = call_logger(args.get(), error);
        args.reset();
        if (!logged) {
            PyError failure = std::move(logged).error();
            if (failure.matches(PyExc_RecursionError)) {
                if (!RECURSION_REPORTED.exchange(true)) write_to_stderr(STACK_EXHAUSTED_TEXT);
            } else {
                Ref context = Ref::steal(PyUnicode_FromFormat("Quib: %s", fallback.c_str()));
                if (!context) PyErr_Clear();
                if (error) write_unraisable(context.get(), std::move(*error));
                write_unraisable(context.get(), std::move(failure));
            }
        }
        if (pending) std::move(*pending).restore();
    } catch (...) {
        // Only running out of memory can get here; there is nothing left to report it with.
    }
}

void log_warning(std::string_view message, std::optional<PyError> error) noexcept {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    Ref args = text ? Ref::steal(PyTuple_Pack(1, text.get())) : Ref();
    log_warning(std::move(args), std::move(error));
}

}  // namespace quib::diagnostics
