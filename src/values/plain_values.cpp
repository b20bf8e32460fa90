#include "values/plain_values.hpp"


namespace quib::values {

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
