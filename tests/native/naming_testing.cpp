// Test entries for trace naming from records.
#include "registry.hpp"

#include "naming/trace_name.hpp"
#include "py/args.hpp"

namespace {

using namespace quib;
using py::PyError;
using py::Ref;
using py::Result;

Result<Ref> optional_text(const std::optional<std::string>& text) {
    if (!text) return Ref::none();
    return py::checked(PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict"));
}

// records: a list whose items are bytes (a record) or None (a record that cannot be read).
// Returns (name, list of the indexes read in order).
Result<Ref> trace_name_from_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("trace_name_from_records", {"records"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    PyObject* records = (*parsed)[0];
    if (!PyList_Check(records)) return py::argument_type_error("trace_name_from_records", "records", "list", records);
    Ref reads = Ref::steal(PyList_New(0));
    if (!reads) return PyError::fetch();
    bool failed = false;
    naming::RecordReader read = [&](std::uint64_t index) -> std::optional<std::span<const std::uint8_t>> {
        Ref number = Ref::steal(PyLong_FromUnsignedLongLong(index));
        if (!number || PyList_Append(reads.get(), number.get()) < 0) failed = true;
        PyObject* item = PyList_GET_ITEM(records, static_cast<Py_ssize_t>(index));
        if (!PyBytes_Check(item)) return std::nullopt;
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(item)),
                                             static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
    };
    std::optional<std::string> name =
        naming::name_from_records(static_cast<std::uint64_t>(PyList_GET_SIZE(records)), read);
    if (failed) return PyError::fetch();
    Result<Ref> text = optional_text(name);
    if (!text) return text;
    return py::checked(PyTuple_Pack(2, text->get(), reads.get()));
}

Result<Ref> relevant_frame_indices(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("relevant_frame_indices", {"n"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto n = py::u64_argument("relevant_frame_indices", "n", (*parsed)[0]);
    if (!n) return std::move(n).error();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return PyError::fetch();
    for (std::uint64_t index : naming::relevant_frame_indices(n.value())) {
        Ref number = Ref::steal(PyLong_FromUnsignedLongLong(index));
        if (!number || PyList_Append(list.get(), number.get()) < 0) return PyError::fetch();
    }
    return list;
}

// name_text of the MessagePack value in `data` (None when it gives no text or does not decode).
Result<Ref> name_text_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("name_text_of", {"data"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize((*parsed)[0], &data, &size) < 0) return PyError::fetch();
    auto value = naming::decode_one(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
    if (!value) return Ref::none();
    return optional_text(naming::name_text(*value));
}

QUIB_TESTING_FUNCTION(py::fast_method<trace_name_from_records>("trace_name_from_records",
                                                               "trace_name_from_records(records)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<relevant_frame_indices>("relevant_frame_indices",
                                                              "relevant_frame_indices(n)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<name_text_of>("name_text_of", "name_text_of(data)\n--\n\n"));

}  // namespace
