// Repr texts of objects that match no other rule, memoized per encoding job, and the repr of bound
// methods built here from the memoized repr of their self instead of calling the method's repr.
#include "values/encoder.hpp"

#include "values/names.hpp"

namespace quib::values {

using py::PyError;
using py::Ref;
using py::Result;

namespace {

constexpr const char* RECURSION_WHERE = " while getting the repr of an object";

// The method function's __qualname__, else __name__, when it is a str; empty when neither is.
Result<Ref> method_name(PyObject* function) {
    for (py::InternedName* attribute : {&names::QUALNAME, &names::NAME}) {
        Ref found = Ref::steal(PyObject_GetAttr(function, attribute->get()));
        if (!found) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyError::fetch();
            PyErr_Clear();
            continue;
        }
        if (PyUnicode_Check(found.get())) return found;
    }
    return Ref();
}

}  // namespace

Result<MemoText> NativeMsgpackEncoder::repr(PyObject* object, bool top_level) {
    if (const MemoText* known = memo_.find(object)) {
        if (!top_level) {
            // Repeated self-reprs still reach the interpreter's recursion limit.
            if (Py_EnterRecursiveCall(RECURSION_WHERE) != 0) return PyError::fetch();
            Py_LeaveRecursiveCall();
        }
        return *known;
    }
    if (top_level && Py_TYPE(object) == &PyMethod_Type) {
        if (PyErr_CheckSignals() < 0) return PyError::fetch();
        if (Py_EnterRecursiveCall(RECURSION_WHERE) != 0) return PyError::fetch();
        Result<MemoText> text = bound_method_repr(object);
        Py_LeaveRecursiveCall();
        if (text) memo_.insert(object, text.value());
        return text;
    }
    Ref text = Ref::steal(PyObject_Repr(object));
    if (!text) return PyError::fetch();
    if (!PyUnicode_Check(text.get())) throw py::InternalFailure("PyObject_Repr returns a str");
    MemoText memo{std::move(text)};
    if (PyUnicode_CheckExact(memo.text.get())) memo_.insert(object, memo);
    return memo;
}

Result<MemoText> NativeMsgpackEncoder::bound_method_repr(PyObject* method) {
    PyObject* function = PyMethod_GET_FUNCTION(method);
    PyObject* self = PyMethod_GET_SELF(method);
    Result<Ref> name = method_name(function);
    if (!name) return std::move(name).error();
    Result<MemoText> self_text = repr(self, false);
    if (!self_text) return self_text;
    if (!self_text->in_scratch()) {
        // The interpreter's own text for a bound method, without calling the method's repr.
        Ref text = Ref::steal(
            PyUnicode_FromFormat("<bound method %V of %U>", name->get(), "?", self_text->text.get()));
        if (!text) return PyError::fetch();
        return MemoText{std::move(text)};
    }
    std::string_view name_text = "?";
    if (name.value()) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name->get(), &size);
        if (utf8 == nullptr) return PyError::fetch();
        name_text = {utf8, static_cast<std::size_t>(size)};
    }
    MemoText built;
    built.offset = scratch_.size();
    scratch_ += "<bound method ";
    scratch_ += name_text;
    scratch_ += " of ";
    scratch_.append(scratch_, self_text->offset, self_text->length);
    scratch_ += ">";
    built.length = scratch_.size() - built.offset;
    return built;
}

}  // namespace quib::values
