// Diagnostic entries whose answers are fixed in this engine: it has no single-local frame reader,
// no native walk for objects under construction and no cross-event repr reuse. They still check
// their arguments like real ones, so callers find their mistakes here and not later.
#include "module/functions.hpp"
#include "py/args.hpp"

namespace quib::module {

using py::Ref;
using py::Result;

Result<Ref> frame_local(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "_frame_local";
    auto parsed = py::parse<2>(function, {"frame", "name"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    py::Status name = py::str_argument(function, "name", (*parsed)[1]);
    if (!name) return std::move(name).error();
    return py::PyError::make(PyExc_NotImplementedError, "reading one frame local needs CPython 3.12 or newer");
}

Result<Ref> native_construction_walk_state(PyObject*) { return py::checked(PyUnicode_FromString("unsupported")); }

Result<Ref> native_objects_under_construction(PyObject*) { return Ref::none(); }

Result<Ref> validated_objects_under_construction(PyObject*) { return Ref::none(); }

Result<Ref> repr_reuse_configure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "_repr_reuse_configure";
    static constexpr std::array<const char*, 3> names{"enabled", "verify", "stats"};
    auto parsed = py::parse<3>(function, names, 0, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto flag = py::optional_bool_argument(function, names[i], (*parsed)[i]);
        if (!flag) return std::move(flag).error();
    }
    return Ref::none();
}

Result<Ref> repr_reuse_stats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "_repr_reuse_stats";
    auto parsed = py::parse<1>(function, {"reset"}, 0, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    if (parsed->given(0)) {
        Result<bool> reset = py::bool_argument(function, "reset", (*parsed)[0]);
        if (!reset) return std::move(reset).error();
    }
    Result<Ref> stats = py::checked(PyDict_New());
    if (!stats) return stats;
    if (PyDict_SetItemString(stats->get(), "enabled", Py_False) < 0) return py::PyError::fetch();
    return stats;
}

}  // namespace quib::module
