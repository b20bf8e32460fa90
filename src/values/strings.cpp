// Strings and binary values, and the inert items of the list and dict prefixes.
#include "values/encoder.hpp"
#include "values/encoder_inline.hpp"

#include "values/ext_types.hpp"
#include "values/msgpack_writer.hpp"
#include "values/names.hpp"

#include <cstring>

namespace quib::values {

using py::Ref;

bool NativeMsgpackEncoder::pack_str(PyObject* text, ByteBuffer& out) {
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        // ASCII is its own UTF-8: the characters follow the object header.
        const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
        const char* data = static_cast<const char*>(PyUnicode_DATA(text));
        if (length < 32) return write_fixstr(data, length, out);  // too short to be interned
        return pack_binary(text, InternKind::Str, data, length, out, true);
    }
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
