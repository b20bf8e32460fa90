#include "py/module_builder.hpp"

namespace quib::py {

Result<ModuleBuilder> ModuleBuilder::start(PyObject* module) {
    if (!PyModule_Check(module)) {
        return PyError::format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyModule'",
                               Py_TYPE(module)->tp_name);
    }
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* existing = PyDict_GetItemString(dict, "__all__");
    if (existing != nullptr) {
        if (!PyList_Check(existing)) return PyError::make(PyExc_TypeError, "`__all__` must be a list");
        return ModuleBuilder(module, Ref::take(existing));
    }
    Result<Ref> all = checked(PyList_New(0));
    if (!all) return std::move(all).error();
    if (PyDict_SetItemString(dict, "__all__", all->get()) < 0) return PyError::fetch();
    return ModuleBuilder(module, std::move(all).value());
}

Status ModuleBuilder::append_to_all(const char* name) {
    Result<Ref> text = checked(PyUnicode_FromString(name));
    if (!text) return std::move(text).error();
    return checked_status(PyList_Append(all_.get(), text->get()));
}

Status ModuleBuilder::add_function(PyMethodDef* definition) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module_));
    if (!module_name) return PyError::fetch();
    Result<Ref> function = checked(PyCFunction_NewEx(definition, module_, module_name.get()));
    if (!function) return std::move(function).error();
    return add_object(definition->ml_name, std::move(function).value());
}

Status ModuleBuilder::add_object(const char* name, Ref object) {
    Status appended = append_to_all(name);
    if (!appended) return appended;
    // PyModule_AddObject steals only on success.
    if (PyModule_AddObject(module_, name, object.get()) < 0) return PyError::fetch();
    (void)object.release();
    return Status();
}

PyTypeObject* LazyType::get() {
    if (type_ == nullptr) type_ = PyType_FromSpec(description_);
    return reinterpret_cast<PyTypeObject*>(type_);
}

}  // namespace quib::py
