#include "py/conversions.hpp"

#include <cstring>

namespace quib::py {

Result<std::string_view> utf8_view(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return PyError::fetch();
    return std::string_view(data, static_cast<std::size_t>(size));
}

PyError conversion_error(PyObject* value, const char* target) {
    return PyError::format(PyExc_TypeError, "'%.200s' object cannot be converted to '%s'", Py_TYPE(value)->tp_name,
                           target);
}

namespace {

// numpy's boolean scalar, recognised by name so that numpy is never imported for it.
bool is_numpy_bool(PyObject* value) {
    const char* name = Py_TYPE(value)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

}  // namespace

Result<bool> to_bool(PyObject* value) {
    if (value == Py_True) return true;
    if (value == Py_False) return false;
    if (is_numpy_bool(value)) {
        int truth = PyObject_IsTrue(value);
        if (truth < 0) return PyError::fetch();
        return truth != 0;
    }
    return conversion_error(value, "PyBool");
}

Result<std::uint64_t> to_u64(PyObject* value) {
    Result<Ref> index = checked(PyNumber_Index(value));
    if (!index) return std::move(index).error();
    unsigned long long converted = PyLong_AsUnsignedLongLong(index->get());
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return PyError::fetch();
    return static_cast<std::uint64_t>(converted);
}

}  // namespace quib::py
