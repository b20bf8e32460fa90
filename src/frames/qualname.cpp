#include "frames/qualname.hpp"

#include "module/thread_hooks.hpp"
#include "py/attributes.hpp"

namespace quib::frames {

using py::PyError;
using py::Ref;
using py::Result;
using OptionalName = std::optional<std::string>;

namespace {

py::InternedName NAME{"__name__"};
py::InternedName MODULE{"__module__"};
py::InternedName QUALNAME{"__qualname__"};
py::InternedName CO_QUALNAME{"co_qualname"};
py::InternedName CO_NAME{"co_name"};
py::InternedName SELF{"self"};
py::InternedName CLS{"cls"};
py::InternedName INSPECT{"inspect"};
py::InternedName GETATTR_STATIC{"getattr_static"};

// mapping[key]: nullptr (no error) when the key is missing.
Result<Ref> item(PyObject* mapping, PyObject* key) {
    PyObject* value = PyObject_GetItem(mapping, key);
    if (value != nullptr) return Ref::steal(value);
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        return Ref();
    }
    return PyError::fetch();
}

Result<Ref> item(PyObject* mapping, py::InternedName& key) {
    Result<PyObject*> text = py::name_of(key);
    if (!text) return std::move(text).error();
    return item(mapping, text.value());
}

Result<std::string> joined(PyObject* module, PyObject* name) {
    Result<std::string> left = text_of(module);
    if (!left) return left;
    Result<std::string> right = text_of(name);
    if (!right) return right;
    left.value() += '.';
    left.value() += right.value();
    return left;
}

// "<obj.__module__>.<obj.__qualname__>".
Result<OptionalName> named_by(PyObject* object) {
    Result<Ref> module = py::attribute(object, MODULE);
    if (!module) return std::move(module).error();
    Result<Ref> qualname = py::attribute(object, QUALNAME);
    if (!qualname) return std::move(qualname).error();
    Result<std::string> text = joined(module->get(), qualname->get());
    if (!text) return std::move(text).error();
    return OptionalName(std::move(text).value());
}

Result<Ref> getattr_static(PyObject* object, PyObject* name) {
    Result<PyObject*> module_name = py::name_of(INSPECT);
    if (!module_name) return std::move(module_name).error();
    Result<Ref> inspect = py::checked(PyImport_Import(module_name.value()));
    if (!inspect) return inspect;
    Result<Ref> function = py::attribute(inspect->get(), GETATTR_STATIC);
    if (!function) return function;
    return py::checked(PyObject_CallFunctionObjArgs(function->get(), object, name, nullptr));
}

// For interpreters without co_qualname: find the function object that runs in `frame` and name it
// by its __qualname__. The guesses follow how functions are usually reached: a nested function
// held by its caller, a method through self or cls, a class body, a module-level function.
Result<OptionalName> qualname_by_lookup(PyFrameObject* frame, PyObject* name) {
    Ref back = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
    if (!back) return OptionalName();
    Result<Ref> caller_locals = py::checked(py::compat::frame_locals(back.as<PyFrameObject>()));
    if (!caller_locals) return std::move(caller_locals).error();
    Result<Ref> held = item(caller_locals->get(), name);
    if (!held) return std::move(held).error();
    if (*held) return named_by(held->get());

    Result<Ref> locals = py::checked(py::compat::frame_locals(frame));
    if (!locals) return std::move(locals).error();
    Result<Ref> self = item(locals->get(), SELF);
    if (!self) return std::move(self).error();
    if (*self) {
        Result<Ref> found = getattr_static(self->get(), name);
        if (!found) return std::move(found).error();
        Ref target = std::move(found).value();
        int is_property = PyObject_IsInstance(target.get(), reinterpret_cast<PyObject*>(&PyProperty_Type));
        if (is_property < 0) return PyError::fetch();
        if (is_property == 1) {
            Result<Ref> getter = py::checked(PyObject_GetAttrString(target.get(), "fget"));
            if (!getter) return std::move(getter).error();
            target = std::move(getter).value();
        }
        return named_by(target.get());
    }
    Result<Ref> cls = item(locals->get(), CLS);
    if (!cls) return std::move(cls).error();
    if (*cls && PyType_Check(cls->get())) {
        Result<Ref> found = getattr_static(cls->get(), name);
        if (!found) return std::move(found).error();
        return named_by(found->get());
    }

    Result<Ref> globals = py::checked(py::compat::frame_globals(frame));
    if (!globals) return std::move(globals).error();
    Result<Ref> class_qualname = item(locals->get(), QUALNAME);
    if (!class_qualname) return std::move(class_qualname).error();
    if (*class_qualname) {
        Result<std::string> text = joined(module_name_from_globals(globals->get()).get(), class_qualname->get());
        if (!text) return std::move(text).error();
        return OptionalName(std::move(text).value());
    }
    Result<Ref> global = item(globals->get(), name);
    if (!global) return std::move(global).error();
    if (!*global) return OptionalName();
    return named_by(global->get());
}

}  // namespace

Result<std::string> text_of(PyObject* object) {
    Result<Ref> text = py::checked(PyObject_Str(object));
    if (!text) return std::move(text).error();
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text->get(), &size);
    if (utf8 == nullptr) return PyError::fetch();
    return std::string(utf8, static_cast<std::size_t>(size));
}

Ref module_name_from_globals(PyObject* globals) {
    PyObject* key = NAME.get();
    if (key != nullptr && globals != nullptr) {
        PyObject* found = nullptr;
        if (PyDict_CheckExact(globals)) {
            found = PyDict_GetItemWithError(globals, key);
            Py_XINCREF(found);
        } else {
            found = PyObject_GetItem(globals, key);
        }
        if (found != nullptr) return Ref::steal(found);
    }
    PyErr_Clear();
    return Ref::steal(PyUnicode_FromString("<unknown>"));
}

Result<Ref> get_qualname_module(PyFrameObject* frame) {
    Result<Ref> globals = py::checked(py::compat::frame_globals(frame));
    if (!globals) return globals;
    Ref module = module_name_from_globals(globals->get());
    if (!module) return PyError::fetch();
    return module;
}

Result<OptionalName> get_qualname(PyFrameObject* frame) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    if (!code) return PyError::fetch();
    Result<PyObject*> co_qualname_name = py::name_of(CO_QUALNAME);
    if (!co_qualname_name) return std::move(co_qualname_name).error();
    PyObject* qualname = PyObject_GetAttr(code.get(), co_qualname_name.value());
    if (qualname != nullptr) {
        Ref owned = Ref::steal(qualname);
        Result<Ref> module = get_qualname_module(frame);
        if (!module) return std::move(module).error();
        Result<std::string> text = joined(module->get(), owned.get());
        if (!text) return std::move(text).error();
        return OptionalName(std::move(text).value());
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyError::fetch();
    PyErr_Clear();

    Result<Ref> name = py::attribute(code.get(), CO_NAME);
    if (!name) return std::move(name).error();
    if (!PyUnicode_Check(name->get())) return py::PyError::make(PyExc_TypeError, "code.co_name is not a str");
    if (PyUnicode_CompareWithASCIIString(name->get(), "<module>") == 0) {
        Result<Ref> module = get_qualname_module(frame);
        if (!module) return std::move(module).error();
        Result<std::string> text = text_of(module->get());
        if (!text) return std::move(text).error();
        return OptionalName(std::move(text).value() + ".<module>");
    }
    // The lookups run Python code (getattr_static, properties, __getitem__ of odd mappings): it
    // must not be traced, and whatever it raises only means the name stays unknown.
    hooks::Suspension suspension;
    Result<OptionalName> found = qualname_by_lookup(frame, name->get());
    if (!found) return OptionalName();
    return found;
}

}  // namespace quib::frames
