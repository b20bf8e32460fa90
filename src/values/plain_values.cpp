#include "values/plain_values.hpp"

#include "values/encoder_inline.hpp"
#include "values/msgpack_writer.hpp"

namespace quib::values {

bool PlainValues::scalar(PyObject* item, ByteBuffer& out) {
    PyTypeObject* type = Py_TYPE(item);
    if (type == &PyUnicode_Type) {
        if (!PyUnicode_IS_COMPACT_ASCII(item)) return false;
        const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
        if (length >= 32) return false;
        out.reserve_more(length + 1);
        std::uint8_t* at = out.tail();
        at[0] = static_cast<std::uint8_t>(0xa0 | length);
        copy_short(at + 1, static_cast<const char*>(PyUnicode_DATA(item)), length);
        out.commit(length + 1);
        return true;
    }
    if (type == &PyLong_Type) {
        long long number = 0;
        if (!py::compat::long_long_of(item, number)) return false;
        msgpack::write_int(out, number);
        return true;
    }
    if (type == &PyFloat_Type) {
        msgpack::write_double(out, PyFloat_AS_DOUBLE(item));
        return true;
    }
    if (item == Py_None || item == Py_True || item == Py_False) {
        out.push(item == Py_None ? 0xc0 : (item == Py_True ? 0xc3 : 0xc2));
        return true;
    }
    return false;
}

bool PlainValues::item(PyObject* item, ByteBuffer& out, int levels) {
    PyTypeObject* type = Py_TYPE(item);
    if (type == &PyDict_Type || type == &PyList_Type) return levels > 0 && container(item, out, levels);
    return scalar(item, out);
}

bool PlainValues::container(PyObject* value, ByteBuffer& out, int levels) {
    if (++containers_ > MAX_CONTAINERS) return false;
    if (PyDict_CheckExact(value)) {
        const Py_ssize_t count = PyDict_GET_SIZE(value);
        if (count >= 16) return false;
        out.push(static_cast<std::uint8_t>(0x80 | count));
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* entry = nullptr;
        while (PyDict_Next(value, &position, &key, &entry)) {
            // Keys of an exact dict are hashable, so never lists or dicts.
            if (!scalar(key, out) || !item(entry, out, levels - 1)) return false;
        }
        return true;
    }
    const Py_ssize_t count = PyList_GET_SIZE(value);
    if (count >= 16) return false;
    out.push(static_cast<std::uint8_t>(0x90 | count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!item(PyList_GET_ITEM(value, i), out, levels - 1)) return false;
    }
    return true;
}

bool PlainValues::value(PyObject* value, ByteBuffer& out) {
    const std::size_t start = out.size();
    containers_ = 0;
    if (!item(value, out, containers_allowed() ? MAX_LEVELS : 0)) {
        out.truncate(start);
        return false;
    }
    return finish(start, out);
}

bool PlainValues::map(std::span<const MapItem> items, ByteBuffer& out) {
    if (!containers_allowed() || items.size() >= 16) return false;
    const std::size_t start = out.size();
    containers_ = 1;
    out.push(static_cast<std::uint8_t>(0x80 | items.size()));
    for (const MapItem& entry : items) {
        if (!scalar(entry.key, out) || !item(entry.value, out, MAX_LEVELS - 1)) {
            out.truncate(start);
            return false;
        }
    }
    return finish(start, out);
}

bool PlainValues::finish(std::size_t start, ByteBuffer& out) {
    if (budget_ && out.size() - start > *budget_) {
        out.truncate(start);
        return false;
    }
    plain_containers_ += containers_;
    return true;
}

}  // namespace quib::values
