// Test entries for value interning, driven the way the encoder's pack_str / pack_bytes drive it.
#include "storage_support.hpp"

#include "storage/msgpack_out.hpp"

namespace {

using namespace quib;
using namespace quib::testing::storage_support;

Result<Ref> interning_new(PyObject*) {
    return unsigned_int(keep(tables().internings, std::make_shared<ValueInterning>()));
}

void write_header(Bytes& out, InternedKind kind, std::size_t length) {
    if (kind == InternedKind::Str) {
        mp::write_str_header(out, length);
    } else {
        mp::write_bin_header(out, length);
    }
}

// interning_pack(interning, capture, value) -> (answer, encoded): one eligible str or bytes value,
// written as pack_str / pack_bytes write it.
Result<Ref> interning_pack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("interning_pack", args, nargs, kwnames);
    if (auto bad = arity(a, 3, 3)) return std::move(*bad);
    auto interning = a.find(tables().internings, 0);
    if (!interning) return std::move(interning).error();
    auto capture = a.find(tables().captures, 1);
    if (!capture) return std::move(capture).error();
    PyObject* value = a.object(2);
    InternedKind kind = PyUnicode_CheckExact(value) ? InternedKind::Str : InternedKind::Bytes;
    std::string_view text;
    if (kind == InternedKind::Str) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(value, &size);
        if (data == nullptr) return PyError::fetch();
        text = {data, static_cast<std::size_t>(size)};
    } else if (PyBytes_CheckExact(value)) {
        text = {PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value))};
    } else {
        return py::argument_type_error("interning_pack", "value", "str or bytes", value);
    }
    Lookup lookup;
    if (text.size() >= INTERN_MIN_TEXT && text.size() <= INTERN_MAX_TEXT) {
        lookup = interning.value()->lookup_value(ValueInterningContext(capture.value()), value, kind, text);
    }
    static constexpr const char* answers[] = {"reference", "inline", "inline+cache", "failed"};
    Bytes out;
    switch (lookup.answer) {
        case LookupAnswer::Failed: return PyError::make(PyExc_OSError, lookup.message.c_str());
        case LookupAnswer::ReferenceWritten: {
            auto reference = value_reference(lookup.value_id);
            out.assign(reference.begin(), reference.end());
            break;
        }
        case LookupAnswer::WriteNormally:
        case LookupAnswer::WriteAndCache:
            write_header(out, kind, text.size());
            out.insert(out.end(), text.begin(), text.end());
            if (lookup.answer == LookupAnswer::WriteAndCache) {
                interning.value()->cache_current_value(value, kind, text.size(), out);
            }
            break;
    }
    Ref encoded = bytes_object(out);
    if (!encoded) return PyError::fetch();
    return py::checked(Py_BuildValue("(sO)", answers[static_cast<int>(lookup.answer)], encoded.get()));
}

// The calling thread's entry for `value`: "candidate", "cached", "published" or None.
Result<Ref> interning_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("interning_entry", args, nargs, kwnames);
    if (auto bad = arity(a, 2, 2)) return std::move(*bad);
    auto interning = a.find(tables().internings, 0);
    if (!interning) return std::move(interning).error();
    ValueInterner& interner = interning.value()->this_thread();
    auto found = interner.entries.find(a.object(1));
    if (found == interner.entries.end()) return Ref::none();
    static constexpr const char* names[] = {"candidate", "cached", "published"};
    return py::checked(PyUnicode_FromString(names[found->second.index()]));
}

Result<Ref> interning_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("interning_state", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    auto interning = a.find(tables().internings, 0);
    if (!interning) return std::move(interning).error();
    ValueInterning& state = *interning.value();
    ValueInterner& interner = state.this_thread();
    return py::checked(Py_BuildValue(
        "{s:O,s:n,s:K,s:K,s:n}", "disabled", state.disabled() ? Py_True : Py_False, "table_size",
        static_cast<Py_ssize_t>(state.table_size()), "shared_charge",
        static_cast<unsigned long long>(state.shared_cached_charge()), "thread_charge",
        static_cast<unsigned long long>(interner.cached_charge), "entries",
        static_cast<Py_ssize_t>(interner.entries.size())));
}

Result<Ref> interning_snapshot(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("interning_snapshot", args, nargs, kwnames);
    if (auto bad = arity(a, 2, 2)) return std::move(*bad);
    auto interning = a.find(tables().internings, 0);
    if (!interning) return std::move(interning).error();
    Ref ids = Ref::steal(PySequence_List(a.object(1)));
    if (!ids) return PyError::fetch();
    std::vector<std::uint32_t> wanted;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
        wanted.push_back(static_cast<std::uint32_t>(PyLong_AsUnsignedLong(PyList_GET_ITEM(ids.get(), i))));
    }
    if (PyErr_Occurred()) return PyError::fetch();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return PyError::fetch();
    for (const PublishedValue& value : interning.value()->snapshot_ids(wanted)) {
        Ref bytes = bytes_object(*value.bytes);
        Ref row = Ref::steal(Py_BuildValue("(IO)", value.value_id, bytes.get()));
        if (!row || PyList_Append(list.get(), row.get()) < 0) return PyError::fetch();
    }
    return list;
}

Result<Ref> interning_drop(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("interning_drop", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    auto number = a.u64(0);
    if (!number) return std::move(number).error();
    tables().internings.erase(number.value());
    return Ref::none();
}

QUIB_TESTING_FUNCTION(py::noargs_method<interning_new>("interning_new", "interning_new()\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<interning_pack>("interning_pack",
                                                      "interning_pack(interning, capture, value)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<interning_entry>("interning_entry", "interning_entry(interning, value)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<interning_state>("interning_state", "interning_state(interning)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<interning_snapshot>("interning_snapshot",
                                                          "interning_snapshot(interning, ids)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<interning_drop>("interning_drop", "interning_drop(interning)\n--\n\n"));

}  // namespace
