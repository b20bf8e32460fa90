// `_quib_testing`: the engine's internals, reachable from tests. Built only with QUIB_TESTING=ON and
// linked against the same engine library as `_quib`, so both see the same process and thread state.
#include "registry.hpp"

#include "py/module_builder.hpp"

namespace quib::testing {

std::deque<PyMethodDef>& registry() {
    static std::deque<PyMethodDef> rows;
    return rows;
}

}  // namespace quib::testing

namespace {

using namespace quib;

int execute_module(PyObject* module) noexcept {
    PyObject* done = py::run_at_boundary([module]() -> py::Result<py::Ref> {
        auto builder = py::ModuleBuilder::start(module);
        if (!builder) return std::move(builder).error();
        for (PyMethodDef& definition : testing::registry()) {
            py::Status added = builder->add_function(&definition);
            if (!added) return std::move(added).error();
        }
        return py::Ref::none();
    });
    if (done == nullptr) return -1;
    Py_DECREF(done);
    return 0;
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute_module)},
    {0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "_quib_testing", "Test-only entry points into the quib engine.", 0,
                      nullptr, SLOTS, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__quib_testing() { return PyModuleDef_Init(&MODULE); }
