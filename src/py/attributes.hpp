// Attribute reads by interned name, with the (only theoretical) failure to intern the name carried
// like any other error.
#pragma once

#include "py/error.hpp"
#include "py/interned.hpp"

namespace quib::py {

// The interned name, borrowed.
inline Result<PyObject*> name_of(InternedName& name) {
    PyObject* text = name.get();
    if (text == nullptr) return PyError::fetch();
    return text;
}

// object.<name>.
inline Result<Ref> attribute(PyObject* object, InternedName& name) {
    Result<PyObject*> text = name_of(name);
    if (!text) return std::move(text).error();
    return checked(PyObject_GetAttr(object, text.value()));
}

}  // namespace quib::py
