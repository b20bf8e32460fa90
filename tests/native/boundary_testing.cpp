// Proves that C++ exceptions thrown inside the engine stop at the interpreter boundary.
#include "registry.hpp"

#include "py/args.hpp"

#include <new>
#include <stdexcept>

namespace {

using namespace quib;

py::Result<py::Ref> throw_internal_failure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("throw_internal_failure", {"kind"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    const char* kind = PyUnicode_AsUTF8((*parsed)[0]);
    if (kind == nullptr) return py::PyError::fetch();
    std::string which(kind);
    if (which == "internal") throw py::InternalFailure("forced internal failure");
    if (which == "bad_alloc") throw std::bad_alloc();
    if (which == "std") throw std::runtime_error("forced standard exception");
    throw 42;  // not an exception class at all
}

QUIB_TESTING_FUNCTION(py::fast_method<throw_internal_failure>(
    "throw_internal_failure",
    "throw_internal_failure(kind)\n--\n\nThrow a C++ exception of the given kind (\"internal\", \"bad_alloc\", "
    "\"std\", anything else) inside the engine."));

}  // namespace
