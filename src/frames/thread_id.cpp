#include "frames/thread_id.hpp"

#include "diagnostics/standard_streams.hpp"
#include "module/thread_hooks.hpp"
#include "py/conversions.hpp"
#include "py/attributes.hpp"

#include <optional>

namespace quib::frames {

using py::PyError;
using py::Ref;
using py::Result;

namespace {

py::InternedName NATIVE_ID{"native_id"};
py::InternedName IDENT{"ident"};
py::InternedName THREAD_NAME{"name"};

// An id attribute: missing (AttributeError) and None both mean "absent".
Result<std::optional<std::uint64_t>> id_attribute(PyObject* thread, py::InternedName& name) {
    Result<Ref> value = py::attribute(thread, name);
    if (!value) {
        if (!value.error().matches(PyExc_AttributeError)) return std::move(value).error();
        return std::optional<std::uint64_t>();
    }
    if (value->get() == Py_None) return std::optional<std::uint64_t>();
    Result<std::uint64_t> number = py::to_u64(value->get());
    if (!number) return std::move(number).error();
    return std::optional<std::uint64_t>(number.value());
}

std::string thread_name(PyObject* thread) {
    Result<Ref> name = py::attribute(thread, THREAD_NAME);
    if (name && PyUnicode_Check(name->get())) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(name->get(), &size)) {
            return std::string(text, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return "<unknown>";
}

}  // namespace

Result<std::string> get_thread_id(PyObject* thread) {
    // Thread attributes may be properties written in Python: keep them out of the trace.
    hooks::Suspension suspension;
    Result<std::optional<std::uint64_t>> native_id = id_attribute(thread, NATIVE_ID);
    if (!native_id) return std::move(native_id).error();
    Result<std::optional<std::uint64_t>> ident = id_attribute(thread, IDENT);
    if (!ident) return std::move(ident).error();
    if (native_id.value()) return "native_" + std::to_string(*native_id.value());
    if (ident.value()) return "ident_" + std::to_string(*ident.value());
    diagnostics::write_to_stdout("Quib warning: thread has no id: " + thread_name(thread) + "\n");
    return std::string("no_thread_id");
}

}  // namespace quib::frames
