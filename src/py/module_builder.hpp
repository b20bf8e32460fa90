// Adds members to a module object, appending each name to the module's `__all__` as it goes.
#pragma once

#include "py/error.hpp"

namespace quib::py {

class ModuleBuilder {
public:
    // Fails with TypeError when `module` is not a module object.
    static Result<ModuleBuilder> start(PyObject* module);

    // `definition` must outlive the module (a static row).
    Status add_function(PyMethodDef* definition);
    Status add_object(const char* name, Ref object);

private:
    ModuleBuilder(PyObject* module, Ref all) : module_(module), all_(std::move(all)) {}
    Status append_to_all(const char* name);
    PyObject* module_;
    Ref all_;
};

// A heap type created once per process from a static type description and shared by every module object.
class LazyType {
public:
    explicit LazyType(PyType_Spec* description) noexcept : description_(description) {}
    // Borrowed; nullptr with an exception set when creation fails. Needs the interpreter lock.
    PyTypeObject* get();

private:
    PyType_Spec* description_;
    PyObject* type_ = nullptr;
};

}  // namespace quib::py
