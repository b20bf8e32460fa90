// Test entries for per-thread slots and thread identities.
#include "registry.hpp"

#include "module/per_thread.hpp"

namespace {

using namespace quib;

threads::PerThread<long>& counters() {
    static threads::PerThread<long> table;
    return table;
}

py::Result<py::Ref> per_thread_increment(PyObject*) { return py::checked(PyLong_FromLong(++counters().get())); }

py::Result<py::Ref> per_thread_peek(PyObject*) {
    long* slot = counters().find();
    if (slot == nullptr) return py::Ref::none();
    return py::checked(PyLong_FromLong(*slot));
}

py::Result<py::Ref> thread_identity(PyObject*) {
    threads::ThreadIdentity identity = threads::current_thread_identity();
    return py::checked(Py_BuildValue("(IK)", identity.index, static_cast<unsigned long long>(identity.token)));
}

QUIB_TESTING_FUNCTION(py::noargs_method<per_thread_increment>(
    "per_thread_increment", "per_thread_increment()\n--\n\nIncrement and return this thread's counter slot."));
QUIB_TESTING_FUNCTION(py::noargs_method<per_thread_peek>(
    "per_thread_peek", "per_thread_peek()\n--\n\nThis thread's counter slot, or None when it has none."));
QUIB_TESTING_FUNCTION(py::noargs_method<thread_identity>(
    "thread_identity", "thread_identity()\n--\n\n(index, token) of the calling thread."));

}  // namespace
