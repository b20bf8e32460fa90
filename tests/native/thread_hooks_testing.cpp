// Test entries for the per-thread WAITING list and the suspension guard.
#include "registry.hpp"

#include "module/thread_hooks.hpp"
#include "py/args.hpp"

#include <map>

namespace {

using namespace quib;
using py::Ref;
using py::Result;

// Owners made by tests, by number; they live until retired and dropped by the test.
std::map<std::uint64_t, hooks::AssignmentOwner>& owners() {
    static std::map<std::uint64_t, hooks::AssignmentOwner> table;
    return table;
}

Result<Ref> owner_new(PyObject*) {
    hooks::AssignmentOwner owner = hooks::AssignmentOwner::create();
    std::uint64_t number = owner.number;
    owners().emplace(number, std::move(owner));
    return py::checked(PyLong_FromUnsignedLongLong(number));
}

Result<const hooks::AssignmentOwner*> find_owner(const char* function, PyObject* value) {
    Result<std::uint64_t> number = py::u64_argument(function, "owner", value);
    if (!number) return std::move(number).error();
    auto found = owners().find(number.value());
    if (found == owners().end()) return py::PyError::make(PyExc_KeyError, "no such owner");
    return &found->second;
}

Result<Ref> owner_retire(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("owner_retire", {"owner"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto owner = find_owner("owner_retire", (*parsed)[0]);
    if (!owner) return std::move(owner).error();
    owner.value()->retire();
    return Ref::none();
}

Result<Ref> set_assignment(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "set_assignment";
    auto parsed = py::parse<3>(function, {"owner", "bits", "set"}, 3, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto owner = find_owner(function, (*parsed)[0]);
    if (!owner) return std::move(owner).error();
    Result<std::uint64_t> bits = py::u64_argument(function, "bits", (*parsed)[1]);
    if (!bits) return std::move(bits).error();
    Result<bool> set = py::bool_argument(function, "set", (*parsed)[2]);
    if (!set) return std::move(set).error();
    hooks::set_assignment(owner.value()->alive, owner.value()->number, static_cast<std::uint8_t>(bits.value()),
                          set.value());
    return Ref::none();
}

Result<Ref> drop_dead_assignments(PyObject*) {
    hooks::drop_dead_assignments();
    return Ref::none();
}

Result<Ref> waiting(PyObject*) {
    Result<Ref> list = py::checked(PyList_New(0));
    if (!list) return list;
    for (const hooks::WaitingEntryView& entry : hooks::waiting_snapshot()) {
        Result<Ref> row = py::checked(Py_BuildValue("(KOi)", static_cast<unsigned long long>(entry.number),
                                                    entry.alive ? Py_True : Py_False, entry.bits));
        if (!row) return row;
        if (PyList_Append(list->get(), row->get()) < 0) return py::PyError::fetch();
    }
    return list;
}

// Calls `function()` with recording suspended on this thread and returns its result.
Result<Ref> suspended_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("suspended_call", {"function"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    hooks::Suspension suspension;
    return py::checked(PyObject_CallNoArgs((*parsed)[0]));
}

QUIB_TESTING_FUNCTION(py::noargs_method<owner_new>("owner_new", "owner_new()\n--\n\nA new assignment owner's number."));
QUIB_TESTING_FUNCTION(py::fast_method<owner_retire>(
    "owner_retire", "owner_retire(owner)\n--\n\nMark the owner as gone (its alive flag turns false)."));
QUIB_TESTING_FUNCTION(py::fast_method<set_assignment>(
    "set_assignment", "set_assignment(owner, bits, set)\n--\n\nSet or clear bits of the owner's entry on this thread."));
QUIB_TESTING_FUNCTION(py::noargs_method<drop_dead_assignments>(
    "drop_dead_assignments", "drop_dead_assignments()\n--\n\nRemove this thread's entries of retired owners."));
QUIB_TESTING_FUNCTION(py::noargs_method<waiting>(
    "waiting", "waiting()\n--\n\nThis thread's WAITING list as [(owner, alive, bits)]."));
QUIB_TESTING_FUNCTION(py::fast_method<suspended_call>(
    "suspended_call", "suspended_call(function)\n--\n\nCall function() with recording suspended on this thread."));

}  // namespace
