#include "frames/line_numbers.hpp"

#include "frames/line_cache.hpp"

#include "py/conversions.hpp"
#include "py/attributes.hpp"

#include <limits>

namespace quib::frames {

using py::PyError;
using py::Ref;
using py::Result;

namespace {

py::InternedName F_LINENO{"f_lineno"};

Result<Ref> f_lineno(PyFrameObject* frame) { return py::attribute(reinterpret_cast<PyObject*>(frame), F_LINENO); }

}  // namespace

Result<std::optional<std::uint64_t>> frame_line_number(PyFrameObject* frame, LineCache* lines) {
    int line = lines != nullptr ? lines->line_of(frame) : PyFrame_GetLineNumber(frame);
    if (line >= 0) return std::optional<std::uint64_t>(static_cast<std::uint64_t>(line));
    Result<Ref> attribute = f_lineno(frame);
    if (!attribute) return std::move(attribute).error();
    if (attribute->get() == Py_None) return std::optional<std::uint64_t>();
    Result<std::uint64_t> value = py::to_u64(attribute->get());
    if (!value) return std::move(value).error();
    return std::optional<std::uint64_t>(value.value());
}

Result<std::optional<std::int32_t>> frame_line_number_i32_with(PyFrameObject* frame, LineCache* lines) {
    int line = lines != nullptr ? lines->line_of(frame) : PyFrame_GetLineNumber(frame);
    if (line >= 0) return std::optional<std::int32_t>(line);
    Result<Ref> attribute = f_lineno(frame);
    if (!attribute) return std::move(attribute).error();
    if (attribute->get() == Py_None) return std::optional<std::int32_t>();
    Result<Ref> index = py::checked(PyNumber_Index(attribute->get()));
    if (!index) return std::move(index).error();
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index->get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return PyError::fetch();
    if (overflow != 0 || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return PyError::make(PyExc_OverflowError, "line number does not fit in a signed 32-bit integer");
    }
    return std::optional<std::int32_t>(static_cast<std::int32_t>(value));
}

}  // namespace quib::frames
