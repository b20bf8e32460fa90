#include "registry.hpp"

#include "values/construction_switches.hpp"

namespace {

using namespace quib;

py::Result<py::Ref> construction_switches(PyObject*) {
    return py::checked(Py_BuildValue("(OO)", values::CHECK_OFF.load() ? Py_True : Py_False,
                                     values::NATIVE_OFF.load() ? Py_True : Py_False));
}

QUIB_TESTING_FUNCTION(py::noargs_method<construction_switches>(
    "construction_switches", "construction_switches()\n--\n\n(CHECK_OFF, NATIVE_OFF) as read at import."));

}  // namespace
