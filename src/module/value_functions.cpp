// The module functions of the value encoder.
#include "module/functions.hpp"
#include "py/args.hpp"
#include "values/dump_capped.hpp"
#include "values/encoder.hpp"
#include "values/shared_containers.hpp"

namespace quib::module {

using py::Ref;
using py::Result;

Result<Ref> native_dump_msgpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "_native_dump_msgpack";
    auto parsed = py::parse<2>(function, {"value", "lightweight_repr"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    bool lightweight = false;
    if (parsed->given(1)) {
        Result<bool> flag = py::bool_argument(function, "lightweight_repr", (*parsed)[1]);
        if (!flag) return std::move(flag).error();
        lightweight = flag.value();
    }
    Result<values::Serializer> serializer = values::Serializer::shared();
    if (!serializer) return std::move(serializer).error();
    return values::dump_msgpack(serializer.value(), (*parsed)[0], std::nullopt, lightweight);
}

Result<Ref> native_encode_in_progress(PyObject*) { return Ref::boolean(values::NATIVE_ENCODES != 0); }

Result<Ref> count_plain_containers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "_count_plain_containers";
    auto parsed = py::parse<2>(function, {"value", "limit"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    Result<std::uint64_t> limit = py::u64_argument(function, "limit", (*parsed)[1]);
    if (!limit) return std::move(limit).error();
    return py::checked(PyLong_FromUnsignedLongLong(values::count_plain_containers((*parsed)[0], limit.value())));
}

}  // namespace quib::module
