#include "values/dump_capped.hpp"

#include "values/encoder.hpp"
#include "values/msgpack_writer.hpp"

#include <cstring>

namespace quib::values {

using py::PyError;
using py::Ref;
using py::Result;

namespace {

constexpr const char* IDENTITY_KEYS[] = {"path",     "event",     "co_name",  "subtype",
                                         "qualname", "frame_id",  "timestamp", "user_code_call_site"};

bool is_identity_key(PyObject* key) {
    if (!PyUnicode_Check(key)) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    for (const char* identity : IDENTITY_KEYS) {
        if (static_cast<std::size_t>(size) == std::strlen(identity) && std::memcmp(utf8, identity, size) == 0) {
            return true;
        }
    }
    return false;
}

Result<Ref> as_bytes(const ByteBuffer& out) {
    return py::checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                                 static_cast<Py_ssize_t>(out.size())));
}

}  // namespace

Result<Ref> dump_msgpack(const Serializer& serializer, PyObject* value, std::optional<std::uint64_t> budget,
                         bool lightweight_repr) {
    NativeMsgpackEncoder encoder(serializer, budget, lightweight_repr);
    std::uint8_t storage[1024];
    ByteBuffer out(storage, sizeof storage);
    EncodeResult encoded = encoder.encode_value(value, out);
    if (!encoded.ok()) return std::move(*encoded.error).into_pyerr();
    return as_bytes(out);
}

Result<Ref> dump_msgpack_capped(const Serializer& serializer, PyObject* value, std::optional<std::uint64_t> budget,
                                bool lightweight_repr) {
    NativeMsgpackEncoder encoder(serializer, budget, lightweight_repr);
    ByteBuffer out;
    EncodeResult encoded = encoder.encode_value(value, out);
    if (!encoded.ok()) return std::move(*encoded.error).into_pyerr();
    if (!encoded.truncated || !PyDict_CheckExact(value)) return as_bytes(out);

    Ref items = Ref::steal(PyDict_Items(value));  // taken once: item code may change the dict
    if (!items) return PyError::fetch();
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    if (static_cast<std::uint64_t>(count) > msgpack::MAX_LENGTH) {
        return PyError::make(PyExc_ValueError, "dict is too large");
    }
    out.clear();
    msgpack::write_map_header(out, static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        PyObject* entry = PyTuple_GET_ITEM(item, 1);
        encoder.set_budget(std::nullopt);
        EncodeResult key_written = encoder.encode_value(key, out);
        encoder.set_budget(budget);
        if (!key_written.ok()) return std::move(*key_written.error).into_pyerr();
        if (is_identity_key(key)) encoder.set_budget(std::nullopt);
        EncodeResult entry_written = encoder.encode_value(entry, out);
        encoder.set_budget(budget);
        if (!entry_written.ok()) return std::move(*entry_written.error).into_pyerr();
    }
    return as_bytes(out);
}

}  // namespace quib::values
