// Leaf values of the non-native path: dates, big and subclassed ints, decimals, query sets, and the
// repr text of everything else; and what is written when describing a value raised.
#include "values/encoder.hpp"

#include "values/ext_types.hpp"
#include "values/names.hpp"
#include "values/payload.hpp"

namespace quib::values {

using py::PyError;
using py::Ref;
using py::Result;

namespace {

// The text of `object` for a payload: a str as it is, anything else through its encode("utf-8").
Result<Ref> utf8_payload(Ref object) {
    if (PyUnicode_Check(object.get())) return object;
    return py::checked(PyObject_CallMethodOneArg(object.get(), names::ENCODE.get(), names::UTF8.get()));
}

// x itself when it is a str, else format(x).
Result<Ref> format_field(PyObject* value) {
    if (PyUnicode_Check(value)) return Ref::take(value);
    return py::checked(PyObject_Format(value, nullptr));
}

// Installs an exception as the thread's handled one (what `except` would see) for a scope.
class HandledException {
public:
    explicit HandledException(PyObject* exception) {
        PyErr_GetExcInfo(&type_, &value_, &traceback_);
        PyErr_SetExcInfo(Ref::take(reinterpret_cast<PyObject*>(Py_TYPE(exception))).release(),
                         Ref::take(exception).release(), PyException_GetTraceback(exception));
    }
    ~HandledException() { PyErr_SetExcInfo(type_, value_, traceback_); }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
    PyObject* type_ = nullptr;  // owned until handed back in the destructor
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// A new failure raised while handling `cause` gets it as its context unless it has one.
PyError with_context(PyError error, const PyError& cause) {
    Ref context = Ref::steal(PyException_GetContext(error.value()));
    if (!context) PyException_SetContext(error.value(), Ref::take(cause.value()).release());
    return error;
}

}  // namespace

Result<bool> NativeMsgpackEncoder::isinstance(PyObject* value, PyObject* cls, Plain& plain) {
    PyTypeObject* type = Py_TYPE(value);
    if (reinterpret_cast<PyObject*>(type) == cls) return true;
    const bool plain_class = PyType_Check(cls) && Py_TYPE(cls) == &PyType_Type;
    if (PyType_Check(cls) && PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls))) return true;
    if (plain_class) {
        // An object whose type answers __class__ and attribute access like object's own cannot
        // claim another class: no need to ask it (a lazy proxy would be forced into evaluation).
        if (plain == Plain::Unknown) {
            plain = type->tp_getattro == state_.object_getattribute &&
                            lookup_on_type(type, names::CLASS.get()) == state_.object_class
                        ? Plain::Yes
                        : Plain::No;
        }
        if (plain == Plain::Yes) return false;
    }
    const int answer = PyObject_IsInstance(value, cls);
    if (answer < 0) return PyError::fetch();
    return answer != 0;
}

bool NativeMsgpackEncoder::default_leaf_payload(PyObject* value, const ByteBuffer& out, Plain& plain,
                                                Payload& payload) {
    struct Dated {
        py::InternedName* name;
        std::int8_t type;
    };
    static constexpr Dated DATED[] = {{&names::DATETIME, ext::DATETIME}, {&names::DATE, ext::DATE},
                                      {&names::TIME, ext::TIME}};
    for (const Dated& dated : DATED) {
        Result<Ref> cls = state_.global(*dated.name);
        if (!cls) return fail(std::move(cls).error());
        Result<bool> is = isinstance(value, cls->get(), plain);
        if (!is) return fail(std::move(is).error());
        if (!is.value()) continue;
        Result<Ref> text = py::checked(PyObject_CallMethodNoArgs(value, names::ISOFORMAT.get()));
        if (!text) return fail(std::move(text).error());
        Result<Ref> utf8 = utf8_payload(std::move(text).value());
        if (!utf8) return fail(std::move(utf8).error());
        payload = Payload::text(std::move(utf8).value(), dated.type);
        return true;
    }

    if (PyLong_Check(value)) {
        Result<Ref> bit_length = py::checked(PyObject_CallMethodNoArgs(value, names::BIT_LENGTH.get()));
        if (!bit_length) return fail(std::move(bit_length).error());
        const std::size_t bits = PyLong_AsSize_t(bit_length->get());
        if (bits == static_cast<std::size_t>(-1) && PyErr_Occurred()) return fail_python();
        if (PyLong_CheckExact(value) && budget_) {
            std::size_t room = deadline_ + credit_;
            if (room < deadline_) room = SIZE_MAX;
            const std::size_t remaining = room > out.size() ? room - out.size() : 0;
            if (bits / 8 > remaining) {
                payload.kind = Payload::Kind::OverBudget;
                return true;
            }
        }
        // One byte more than the magnitude needs, for the sign.
        Ref length = Ref::steal(PyLong_FromSize_t((bits + 7) / 8 + 1));
        if (!length) return fail_python();
        PyObject* arguments[] = {value, length.get(), names::BIG.get(), Py_True};
        Ref bytes = Ref::steal(PyObject_VectorcallMethod(names::TO_BYTES.get(), arguments,
                                                         3,
                                                         state_.signed_keyword.get()));
        if (!bytes) return fail_python();
        if (!PyBytes_Check(bytes.get())) return fail_text(PyExc_ValueError, "data must be bytes");
        payload = Payload::text(std::move(bytes), ext::INTEGER);
        return true;
    }

    Result<Ref> decimal = state_.global(names::DECIMAL);
    if (!decimal) return fail(std::move(decimal).error());
    Result<bool> is_decimal = isinstance(value, decimal->get(), plain);
    if (!is_decimal) return fail(std::move(is_decimal).error());
    if (is_decimal.value()) {
        Result<Ref> text = py::checked(PyObject_Str(value));
        if (!text) return fail(std::move(text).error());
        Result<Ref> utf8 = utf8_payload(std::move(text).value());
        if (!utf8) return fail(std::move(utf8).error());
        payload = Payload::text(std::move(utf8).value(), ext::DECIMAL);
        return true;
    }

    if (lightweight_) return unmatched_leaf_payload(value, payload);

    Result<Ref> queryset = queryset_class();
    if (!queryset) return fail(std::move(queryset).error());
    if (queryset->get() != Py_None) {
        Result<bool> is_queryset = isinstance(value, queryset->get(), plain);
        if (!is_queryset) return fail(std::move(is_queryset).error());
        if (is_queryset.value()) {
            Result<Ref> cache = py::checked(PyObject_GetAttr(value, names::RESULT_CACHE.get()));
            if (!cache) return fail(std::move(cache).error());
            if (cache->get() == Py_None) {
                // Never evaluated: say which model it would query, without querying.
                Result<Ref> model = py::checked(PyObject_GetAttr(value, names::MODEL.get()));
                if (!model) return fail(std::move(model).error());
                Result<Ref> field = format_field(model->get());
                if (!field) return fail(std::move(field).error());
                Result<Ref> text = py::checked(PyUnicode_FromFormat("Unevaluated queryset for: %U", field->get()));
                if (!text) return fail(std::move(text).error());
                payload = Payload::text(std::move(text).value(), ext::TEXT);
                return true;
            }
        }
    }
    return unmatched_leaf_payload(value, payload);
}

bool NativeMsgpackEncoder::unmatched_leaf_payload(PyObject* value, Payload& payload) {
    if (lightweight_) {
        Result<Ref> cls = py::checked(PyObject_GetAttr(value, names::CLASS.get()));
        if (!cls) return fail(std::move(cls).error());
        Result<Ref> name = py::checked(PyObject_GetAttr(cls->get(), names::QUALNAME.get()));
        if (!name) return fail(std::move(name).error());
        Result<Ref> field = format_field(name->get());
        if (!field) return fail(std::move(field).error());
        Result<Ref> text = py::checked(PyUnicode_FromFormat("<%U object %zu>", field->get(),
                                                            static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(value))));
        if (!text) return fail(std::move(text).error());
        payload = Payload::text(std::move(text).value(), ext::TEXT);
        return true;
    }
    Result<MemoText> text = repr(value, true);
    if (!text) return fail(std::move(text).error());
    if (text->in_scratch()) {
        payload.kind = Payload::Kind::Scratch;
        payload.type = ext::TEXT;
        payload.offset = text->offset;
        payload.length = text->length;
    } else {
        payload = Payload::text(std::move(text->text), ext::TEXT);
    }
    return true;
}

Result<Ref> NativeMsgpackEncoder::queryset_class() {
    Result<Ref> checked = state_.global(names::QUERYSET_CHECKED);
    if (!checked) return checked;
    const int truth = PyObject_IsTrue(checked->get());
    if (truth < 0) return PyError::fetch();
    if (truth != 0) return state_.global(names::QUERYSET);
    Result<Ref> getter = state_.global(names::GET_QUERYSET_CLASS);
    if (!getter) return getter;
    return py::checked(PyObject_CallNoArgs(getter->get()));
}

bool NativeMsgpackEncoder::handle_default_error(PyObject* value, ByteBuffer& out) {
    PyError cause = std::move(pending_->python_error());
    pending_.reset();
    Result<Ref> blocked = state_.global(names::DATABASE_ACCESS_BLOCKED);
    if (!blocked) return fail(with_context(std::move(blocked).error(), cause));

    Payload payload;
    if (PyErr_GivenExceptionMatches(cause.value(), blocked->get())) {
        // The database guard refused a query: describe the value without touching the database.
        HandledException handled(cause.value());
        Result<Ref> describe = state_.global(names::QUERY_FREE_REPR);
        if (!describe) return fail(with_context(std::move(describe).error(), cause));
        Result<Ref> text = py::checked(PyObject_CallOneArg(describe->get(), value));
        if (!text) return fail(with_context(std::move(text).error(), cause));
        Result<Ref> utf8 = utf8_payload(std::move(text).value());
        if (!utf8) return fail(with_context(std::move(utf8).error(), cause));
        payload = Payload::text(std::move(utf8).value(), ext::TEXT);
    } else if (!lightweight_ && PyErr_GivenExceptionMatches(cause.value(), PyExc_Exception) &&
               (careful_ || !needs_careful(cause))) {
        // Describing the value failed: name its type instead.
        HandledException handled(cause.value());
        Result<Ref> text = [&]() -> Result<Ref> {
            Result<Ref> module = py::checked(PyObject_GetAttr(value, names::MODULE.get()));
            if (!module) return module;
            Result<Ref> module_text = py::checked(PyObject_Str(module->get()));
            if (!module_text) return module_text;
            Result<Ref> name = py::checked(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)),
                                                            names::QUALNAME.get()));
            if (!name) return name;
            Result<Ref> name_text = py::checked(PyObject_Str(name->get()));
            if (!name_text) return name_text;
            Result<Ref> joined = py::checked(PyUnicode_FromFormat("%U.%U", module_text->get(), name_text->get()));
            if (!joined) return joined;
            return py::checked(PyUnicode_AsEncodedString(joined->get(), "utf-8", "backslashreplace"));
        }();
        if (!text) return fail(with_context(std::move(text).error(), cause));
        payload = Payload::text(std::move(text).value(), ext::TYPE_NAME);
    } else {
        // BaseExceptions that are not Exceptions, lightweight mode, and errors that a careful
        // attempt may avoid: the value fails.
        return fail(std::move(cause));
    }
    if (!write_payload(payload, out)) {
        if (pending_ && pending_->is_python()) {
            PyError error = std::move(pending_->python_error());
            return fail(with_context(std::move(error), cause));
        }
        return false;
    }
    return true;
}

}  // namespace quib::values
