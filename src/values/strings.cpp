// Strings and binary values, and the inert items of the list and dict prefixes.
#include "values/encoder.hpp"

#include "values/ext_types.hpp"
#include "values/msgpack_writer.hpp"
#include "values/names.hpp"

namespace quib::values {

using py::Ref;

namespace {

bool interning_may_apply(ValueInterningHook* hook, std::size_t length) noexcept {
    return hook != nullptr && length >= INTERN_MIN && length <= INTERN_MAX;
}

}  // namespace

// Items that are written without running any Python code (and without the interning hook, which
// may have to wait for the trace writer and so let other threads run): None, booleans, exact ints
// in 64 signed bits, floats, str, bytes.
NativeMsgpackEncoder::Inert NativeMsgpackEncoder::pack_inert(PyObject* item, ByteBuffer& out) {
    if (item == Py_None) {
        msgpack::write_nil(out);
        return Inert::Written;
    }
    if (item == Py_True || item == Py_False) {
        msgpack::write_bool(out, item == Py_True);
        return Inert::Written;
    }
    PyTypeObject* type = Py_TYPE(item);
    if (type == &PyLong_Type) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow != 0) return Inert::NotInert;
        msgpack::write_int(out, number);
        return Inert::Written;
    }
    if (type == &PyFloat_Type) {
        msgpack::write_double(out, PyFloat_AS_DOUBLE(item));
        return Inert::Written;
    }
    if (type == &PyUnicode_Type) {
        if (interning_ != nullptr) {
            Py_ssize_t size = 0;
            if (PyUnicode_AsUTF8AndSize(item, &size) == nullptr) {
                PyErr_Clear();  // the snapshot path reports it
                return Inert::NotInert;
            }
            if (interning_may_apply(interning_, static_cast<std::size_t>(size))) return Inert::NotInert;
        }
        return pack_str(item, out) ? Inert::Written : Inert::Failed;
    }
    if (type == &PyBytes_Type) {
        if (interning_may_apply(interning_, static_cast<std::size_t>(PyBytes_GET_SIZE(item)))) return Inert::NotInert;
        return pack_bytes(item, out) ? Inert::Written : Inert::Failed;
    }
    return Inert::NotInert;
}

bool NativeMsgpackEncoder::pack_str(PyObject* text, ByteBuffer& out) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        if (careful_ && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            PyErr_Clear();
            return pack_unencodable_str(text, out);
        }
        return fail_python();
    }
    return pack_binary(text, InternKind::Str, utf8, static_cast<std::size_t>(size), out, true);
}

bool NativeMsgpackEncoder::pack_bytes(PyObject* bytes, ByteBuffer& out) {
    return pack_binary(bytes, InternKind::Bytes, PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)),
                       out, false);
}

bool NativeMsgpackEncoder::pack_binary(PyObject* object, InternKind kind, const char* data, std::size_t length,
                                       ByteBuffer& out, bool is_str) {
    if (length > msgpack::MAX_LENGTH) {
        return fail_text(PyExc_ValueError, is_str ? "unicode string is too large" : "bytes object is too large");
    }
    bool cache = false;
    if (interning_may_apply(interning_, length)) {
        std::string message;
        switch (interning_->lookup_value(object, kind, {data, length}, out, message)) {
            case InternAnswer::ReferenceWritten: return true;
            case InternAnswer::Failed:
                pending_ = EncodeError::message(std::move(message));
                return false;
            case InternAnswer::WriteAndCache: cache = true; break;
            case InternAnswer::WriteNormally: break;
        }
    }
    if (!check_budget(out, length)) return false;
    const std::size_t from = out.size();
    if (is_str) {
        msgpack::write_str_header(out, length);
    } else {
        msgpack::write_bin_header(out, length);
    }
    out.append(data, length);
    if (cache) {
        interning_->cache_current_value(object, kind, length, {out.data() + from, out.size() - from});
    }
    return true;
}

bool NativeMsgpackEncoder::pack_bytearray(PyObject* bytes, ByteBuffer& out) {
    const auto length = static_cast<std::size_t>(PyByteArray_GET_SIZE(bytes));
    if (length > msgpack::MAX_LENGTH) return fail_text(PyExc_ValueError, "bytearray object is too large");
    if (!check_budget(out, length)) return false;
    msgpack::write_bin_header(out, length);
    out.append(PyByteArray_AS_STRING(bytes), length);
    return true;
}

bool NativeMsgpackEncoder::pack_unencodable_str(PyObject* text, ByteBuffer& out) {
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!encoded) return fail_python();
    const auto length = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()));
    if (!check_budget(out, length)) return false;
    return write_ext_checked(out, ext::UNENCODABLE_STR, PyBytes_AS_STRING(encoded.get()), length);
}

}  // namespace quib::values
