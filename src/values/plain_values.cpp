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

bool PlainValues::value(PyObject* value, ByteBuffer& out) {
    const std::size_t start = out.size();
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyDict_Type || type == &PyList_Type) {
        if (!containers_allowed()) return false;
        if (type == &PyDict_Type) {
            const Py_ssize_t count = PyDict_GET_SIZE(value);
            if (count >= 16) return false;
            out.push(static_cast<std::uint8_t>(0x80 | count));
            Py_ssize_t position = 0;
            PyObject* key = nullptr;
            PyObject* item = nullptr;
            while (PyDict_Next(value, &position, &key, &item)) {
                if (!scalar(key, out) || !scalar(item, out)) {
                    out.truncate(start);
                    return false;
                }
            }
        } else {
            const Py_ssize_t count = PyList_GET_SIZE(value);
            if (count >= 16) return false;
            out.push(static_cast<std::uint8_t>(0x90 | count));
            for (Py_ssize_t i = 0; i < count; ++i) {
                if (!scalar(PyList_GET_ITEM(value, i), out)) {
                    out.truncate(start);
                    return false;
                }
            }
        }
        return finish_container(start, out);
    }
    if (!scalar(value, out)) return false;
    if (!fits(start, out)) {
        out.truncate(start);
        return false;
    }
    return true;
}

bool PlainValues::map(std::span<const MapItem> items, ByteBuffer& out) {
    if (!containers_allowed() || items.size() >= 16) return false;
    const std::size_t start = out.size();
    out.push(static_cast<std::uint8_t>(0x80 | items.size()));
    for (const MapItem& item : items) {
        if (!scalar(item.key, out) || !scalar(item.value, out)) {
            out.truncate(start);
            return false;
        }
    }
    return finish_container(start, out);
}

bool PlainValues::finish_container(std::size_t start, ByteBuffer& out) {
    if (!fits(start, out)) {
        out.truncate(start);
        return false;
    }
    ++plain_containers_;
    return true;
}

}  // namespace quib::values
