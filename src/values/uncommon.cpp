// The non-native path: every value that is not None, a bool, an exact int in 64 bits, float,
// str, bytes, list or dict. Tuples, sets and frozensets become extensions around an array of their
// items (the header reserved, then finished once the length is known); dict subclasses become
// plain maps of a copy; msgpack's own types go through msgpack.packb; everything else is a leaf
// payload (leaf_payload.cpp). A failure in here ends in handle_default_error, which may still
// describe the value by a text.
#include "values/encoder.hpp"

#include "values/construction_switches.hpp"
#include "values/ext_types.hpp"
#include "values/msgpack_writer.hpp"
#include "values/names.hpp"
#include "values/payload.hpp"

namespace quib::values {

using py::PyError;
using py::Ref;
using py::Result;

bool NativeMsgpackEncoder::pack_uncommon(PyObject* value, ByteBuffer& out, int depth) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyByteArray_Type) return pack_bytearray(value, out);
    auto* type_object = reinterpret_cast<PyObject*>(type);
    if (type_object == state_.ext_type.get() || type_object == state_.timestamp.get() || type == &PyMemoryView_Type) {
        return pack_with_msgpack(value, out);
    }
    return write_unsupported_leaf(value, out, depth);
}

bool NativeMsgpackEncoder::write_unsupported_leaf(PyObject* value, ByteBuffer& out, int depth) {
    if (Py_TYPE(value) == &PyTuple_Type) {
        // Tuples need nothing from the host: no flag, no default hook.
        if (careful_ && in_progress_.contains(value)) return write_placeholder("(...)", out);
        return pack_reserved_items(value, false, value, ext::TUPLE, out);
    }
    const std::size_t start = out.size();
    const std::uint64_t completed = shared_ ? shared_->completed() : 0;
    if (unsupported_leaf_steps(value, out, depth)) return true;
    if (!pending_ || !pending_->is_python()) return false;
    out.truncate(start);
    // Containers completed inside the cut output (a dict copy's) are not in the output any more.
    if (shared_) shared_->rewind_completed(completed);
    return handle_default_error(value, out);
}

bool NativeMsgpackEncoder::unsupported_leaf_steps(PyObject* value, ByteBuffer& out, int depth) {
    default_hook_used_ = true;
    if (!set_profiler_flag()) return false;
    Payload payload;
    if (construction_check_applies(value)) {
        bool applies = false;
        if (!construction_default(value, payload, applies)) return false;
        if (applies) return write_payload(payload, out);
    }

    struct Container {
        PyTypeObject* type;
        std::int8_t ext_type;
        const char* placeholder;
    };
    static constexpr Container CONTAINERS[] = {
        {&PyTuple_Type, ext::TUPLE, "(...)"},
        {&PySet_Type, ext::SET, "set(...)"},
        {&PyFrozenSet_Type, ext::FROZENSET, "frozenset(...)"},
    };
    Plain plain = Plain::Unknown;
    for (const Container& container : CONTAINERS) {
        Result<bool> is = isinstance(value, reinterpret_cast<PyObject*>(container.type), plain);
        if (!is) return fail(std::move(is).error());
        if (!is.value()) continue;
        if (careful_ && in_progress_.contains(value)) return write_placeholder(container.placeholder, out);
        PyTypeObject* type = Py_TYPE(value);
        if ((type == &PySet_Type || type == &PyFrozenSet_Type) &&
            !check_budget(out, static_cast<std::size_t>(PySet_GET_SIZE(value)))) {
            return false;
        }
        Ref items = Ref::steal(PySequence_List(value));
        if (!items) return fail_python();
        if (!PyList_CheckExact(items.get())) throw py::InternalFailure("list() returns a list");
        return pack_reserved_items(value, true, items.get(), container.ext_type, out);
    }

    Result<bool> is_dict = isinstance(value, reinterpret_cast<PyObject*>(&PyDict_Type), plain);
    if (!is_dict) return fail(std::move(is_dict).error());
    if (is_dict.value()) {
        if (careful_ && in_progress_.contains(value)) return write_placeholder("{...}", out);
        Ref copy = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value));
        if (!copy) return fail_python();
        if (!PyDict_CheckExact(copy.get())) throw py::InternalFailure("dict() returns a dict");
        return pack_dict_copy_tracked(value, copy.get(), out, depth);
    }

    if (!default_leaf_payload(value, out, plain, payload)) return false;
    return write_payload(payload, out);
}

bool NativeMsgpackEncoder::pack_reserved_items(PyObject* value, bool as_list, PyObject* items, std::int8_t type,
                                               ByteBuffer& out) {
    const std::size_t position = begin_reserved_extension(out);
    if (!pack_extension_items(value, as_list, items, out)) {
        credit_ = credit_ >= msgpack::RESERVED_HEADER ? credit_ - msgpack::RESERVED_HEADER : 0;
        return false;
    }
    py::Status finished = finish_reserved_extension(out, position, type);
    if (!finished) return fail(std::move(finished).error());
    return true;
}

bool NativeMsgpackEncoder::pack_extension_items(PyObject* value, bool as_list, PyObject* items, ByteBuffer& out) {
    // The nesting limit restarts inside every extension, so extensions are bounded here instead,
    // by the interpreter's own recursion limit.
    const auto divisor = static_cast<std::uint32_t>(3 + (careful_ ? 1 : 0) + (lightweight_ ? 1 : 0));
    const auto allowed = static_cast<std::uint32_t>(Py_GetRecursionLimit()) / divisor;
    if (extension_depth_ > 15 && extension_depth_ >= allowed) {
        return fail_text(PyExc_RecursionError, "maximum recursion depth exceeded");
    }
    const bool pushed = extension_depth_ >= 8 || careful_;
    if (pushed) {
        if (in_progress_.contains(value)) return fail_text(PyExc_RecursionError, "maximum recursion depth exceeded");
        in_progress_.push(value);
    }
    ++extension_depth_;
    bool written = true;
    if (as_list) {
        written = pack(items, out, state_.nest_limit);
    } else {
        const Py_ssize_t count = PyTuple_GET_SIZE(items);
        if (static_cast<std::uint64_t>(count) > msgpack::MAX_LENGTH) {
            written = fail_text(PyExc_ValueError, "list is too large");
        } else {
            msgpack::write_array_header(out, static_cast<std::size_t>(count));
            for (Py_ssize_t i = 0; i < count && written; ++i) {
                written = pack(PyTuple_GET_ITEM(items, i), out, state_.nest_limit - 1);
                if (written && ((i + 1) & 255) == 0) written = check_budget(out, 0);
            }
        }
    }
    --extension_depth_;
    if (pushed) in_progress_.pop();
    return written;
}

bool NativeMsgpackEncoder::pack_with_msgpack(PyObject* value, ByteBuffer& out) {
    std::size_t estimate = 0;
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyMemoryView_Type) {
        Ref size = Ref::steal(PyObject_GetAttr(value, names::NBYTES.get()));
        if (size) estimate = PyLong_AsSize_t(size.get());
        if (PyErr_Occurred()) {
            PyErr_Clear();  // released: packb reports it
            estimate = 0;
        }
    } else if (reinterpret_cast<PyObject*>(type) == state_.ext_type.get() && PyTuple_GET_SIZE(value) >= 2 &&
               PyBytes_Check(PyTuple_GET_ITEM(value, 1))) {
        estimate = static_cast<std::size_t>(PyBytes_GET_SIZE(PyTuple_GET_ITEM(value, 1)));
    }
    if (!check_budget(out, estimate)) return false;
    if (!set_profiler_flag()) return false;
    PyObject* arguments[] = {value, Py_True};
    Ref packed = Ref::steal(PyObject_Vectorcall(state_.packb.get(), arguments, 1, state_.strict_types.get()));
    if (!packed) {
        PyError error = PyError::fetch();
        if (!(careful_ && type == &PyMemoryView_Type &&
              exact_value_error_is(error, "operation forbidden on released memoryview object"))) {
            return fail(std::move(error));
        }
        Ref text = Ref::steal(PyObject_Repr(value));
        if (!text) return fail_python();
        Payload payload = Payload::text(std::move(text), ext::TEXT);
        return write_payload(payload, out);
    }
    if (!PyBytes_Check(packed.get())) return fail_text(PyExc_TypeError, "msgpack.packb did not return bytes");
    const auto length = static_cast<std::size_t>(PyBytes_GET_SIZE(packed.get()));
    if (!check_budget(out, length)) return false;
    out.append(PyBytes_AS_STRING(packed.get()), length);
    return true;
}

bool NativeMsgpackEncoder::write_payload(Payload& payload, ByteBuffer& out) {
    switch (payload.kind) {
        case Payload::Kind::OverBudget: return over_budget();
        case Payload::Kind::Scratch:
            if (!check_budget(out, payload.length)) return false;
            if (!write_ext_checked(out, payload.type, scratch_.data() + payload.offset, payload.length)) return false;
            break;
        case Payload::Kind::Object: {
            PyObject* object = payload.object.get();
            const char* data = nullptr;
            Py_ssize_t length = 0;
            if (PyUnicode_Check(object)) {
                data = PyUnicode_AsUTF8AndSize(object, &length);
                if (data == nullptr) return fail_python();
            } else if (PyBytes_Check(object)) {
                data = PyBytes_AS_STRING(object);
                length = PyBytes_GET_SIZE(object);
            } else {
                return fail_text(PyExc_TypeError, "an extension payload must be str or bytes");
            }
            if (!check_budget(out, static_cast<std::size_t>(length))) return false;
            if (!write_ext_checked(out, payload.type, data, static_cast<std::size_t>(length))) return false;
            break;
        }
    }
    return check_budget(out, 0);
}

}  // namespace quib::values
