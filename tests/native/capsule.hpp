// Engine objects handed to tests as capsules: the capsule owns the object and deletes it when the
// test drops it.
#pragma once

#include "py/error.hpp"

namespace quib::testing {

template <class T>
py::Result<py::Ref> wrap(T* object, const char* name) {
    PyObject* capsule = PyCapsule_New(object, name, [](PyObject* self) {
        delete static_cast<T*>(PyCapsule_GetPointer(self, PyCapsule_GetName(self)));
    });
    if (capsule == nullptr) delete object;
    return py::checked(capsule);
}

template <class T>
py::Result<T*> unwrap(PyObject* capsule, const char* name) {
    void* pointer = PyCapsule_GetPointer(capsule, name);
    if (pointer == nullptr) return py::PyError::fetch();
    return static_cast<T*>(pointer);
}

}  // namespace quib::testing
