// The encoder's entry, the dispatch on exact built-in types, the budget, and the bookkeeping that
// every value shares (errors, the host profiler flag, the truncation marker, reserved headers).
#include "values/encoder.hpp"
#include "values/encoder_inline.hpp"

#include "values/ext_types.hpp"
#include "values/msgpack_writer.hpp"
#include "values/names.hpp"

#include <cstring>
#include <string>

namespace quib::values {

using py::PyError;
using py::Ref;

constinit thread_local std::uint32_t NATIVE_ENCODES = 0;

namespace {

std::size_t saturating_add(std::size_t a, std::uint64_t b) noexcept {
    const std::size_t sum = a + static_cast<std::size_t>(b);
    return sum < a ? SIZE_MAX : sum;
}

}  // namespace

py::Status write_ext(ByteBuffer& out, std::int8_t type, std::span<const std::uint8_t> payload) {
    if (payload.size() > msgpack::MAX_LENGTH) return PyError::make(PyExc_ValueError, "EXT data is too large");
    msgpack::write_ext_unchecked(out, type, payload.data(), payload.size());
    return py::Status();
}

NativeMsgpackEncoder::NativeMsgpackEncoder(const Serializer& serializer, std::optional<std::uint64_t> budget,
                                           bool lightweight_repr, ValueInterningHook* interning) noexcept
    : state_(serializer.state()), budget_(budget), lightweight_(lightweight_repr), interning_(interning) {}

NativeMsgpackEncoder::~NativeMsgpackEncoder() {
    if (profiler_flag_held_) {
        // Only reached when a C++ exception cut an encoding short; the flag must not stay set.
        py::Status reset = reset_profiler_flag();
        if (!reset) PyErr_Clear();
    }
}

EncodeResult NativeMsgpackEncoder::encode_value(PyObject* value, ByteBuffer& out) {
    // Most values of a frame record are small and plain (every call record carries None, most
    // locals are a few names bound to numbers and short text) and need none of the set-up below.
    if (!shared_) {
        PlainValues plain(budget_, state_.nest_limit);
        plain.set_plain_containers(plain_containers_);
        if (plain.value(value, out)) {
            plain_containers_ = plain.plain_containers();
            return {};
        }
    }
    const std::size_t start = out.size();
    credit_ = 0;
    deadline_ = budget_ ? saturating_add(start, *budget_) : SIZE_MAX;
    pending_.reset();
    careful_ = false;
    extension_depth_ = 0;
    dict_copy_depth_ = 0;
    in_progress_.clear();

    bool ok = pack(value, out, state_.nest_limit);
    if (!ok && pending_ && pending_->is_python() && needs_careful(pending_->python_error())) {
        // Self-containing containers, lone surrogates and released memoryviews: a second,
        // careful attempt writes placeholders and extension 10 where the first one failed.
        pending_.reset();
        out.truncate(start);
        release_shared();
        careful_ = true;
        credit_ = 0;
        ok = pack(value, out, state_.nest_limit);
        careful_ = false;
        in_progress_.clear();
    }
    release_shared();
    if (ok) {
        if (out.size() <= deadline_) {
            py::Status flag = reset_profiler_flag();
            if (!flag) {
                out.truncate(start);
                return {EncodeError::python(std::move(flag).error())};
            }
            return {};
        }
        // Everything passed its early check and still ended up too long.
        over_budget();
    }
    py::Status flag = reset_profiler_flag();
    if (!pending_) throw py::InternalFailure("a failed encoding always leaves its error");
    EncodeError error = std::move(*pending_);
    pending_.reset();
    out.truncate(start);
    if (!error.is_budget()) return {std::move(error)};
    write_truncation_marker(value, out);
    if (!flag) {
        out.truncate(start);
        return {EncodeError::python(std::move(flag).error())};
    }
    return {std::nullopt, true};
}

bool NativeMsgpackEncoder::pack(PyObject* value, ByteBuffer& out, int depth) {
    if (depth < 0) return fail_text(PyExc_ValueError, "recursion limit exceeded.");
    switch (pack_inert(value, out)) {
        case Inert::Written: return true;
        case Inert::Failed: return false;
        case Inert::NotInert: break;
    }
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyLong_Type) return pack_int(value, out, depth);  // beyond 64 signed bits
    if (type == &PyUnicode_Type) return pack_str(value, out);       // a candidate for interning
    if (type == &PyBytes_Type) return pack_bytes(value, out);
    if (type == &PyDict_Type || type == &PyList_Type) return pack_container(value, out, depth);
    return pack_uncommon(value, out, depth - 1);
}

bool NativeMsgpackEncoder::pack_int(PyObject* value, ByteBuffer& out, int depth) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        msgpack::write_int(out, number);
        return true;
    }
    if (overflow > 0) {
        const unsigned long long unsigned_number = PyLong_AsUnsignedLongLong(value);
        if (unsigned_number != static_cast<unsigned long long>(-1) || PyErr_Occurred() == nullptr) {
            msgpack::write_uint(out, unsigned_number);
            return true;
        }
        PyErr_Clear();  // beyond 64 bits: the extension below
    }
    return pack_uncommon(value, out, depth - 1);
}

bool NativeMsgpackEncoder::over_budget() {
    pending_ = EncodeError::budget();
    return false;
}

bool NativeMsgpackEncoder::fail(PyError error) {
    pending_ = EncodeError::python(std::move(error));
    return false;
}

bool NativeMsgpackEncoder::fail_python() { return fail(PyError::fetch()); }

bool NativeMsgpackEncoder::fail_text(PyObject* type, const char* text) { return fail(PyError::make(type, text)); }

bool NativeMsgpackEncoder::set_profiler_flag() {
    if (profiler_flag_held_) return true;
    profiler_flag_held_ = true;
    ++NATIVE_ENCODES;
    if (lightweight_) return true;
    py::Status stored = state_.set_global(names::IN_QUIB_PROFILER, Py_True);
    if (!stored) return fail(std::move(stored).error());
    return true;
}

py::Status NativeMsgpackEncoder::reset_profiler_flag() {
    if (!profiler_flag_held_) return py::Status();
    profiler_flag_held_ = false;
    --NATIVE_ENCODES;
    if (lightweight_) return py::Status();
    return state_.set_global(names::IN_QUIB_PROFILER, Py_False);
}

void NativeMsgpackEncoder::write_truncation_marker(PyObject* value, ByteBuffer& out) {
    std::string text = "object";
    Ref name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)), names::QUALNAME.get()));
    if (name && PyUnicode_Check(name.get())) {
        Ref cut = Ref::steal(PyUnicode_Substring(name.get(), 0, 200));
        Ref encoded = cut ? Ref::steal(PyObject_CallMethodObjArgs(cut.get(), names::ENCODE.get(), names::UTF8.get(),
                                                                   names::BACKSLASHREPLACE.get(), nullptr))
                          : Ref();
        if (encoded && PyBytes_Check(encoded.get())) {
            text.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
        }
    }
    if (PyErr_Occurred()) PyErr_Clear();  // any failure above leaves the name "object"
    text += " exceeded max_value_mb (";
    text += std::to_string(budget_ ? *budget_ : UINT64_MAX);
    text += " bytes); raise max_value_mb in .quib/config.toml or set it to false";
    if (text.size() > msgpack::MAX_LENGTH) throw py::InternalFailure("a truncation marker always fits an ext");
    msgpack::write_ext_unchecked(out, ext::TRUNCATED, text.data(), text.size());
}

std::size_t NativeMsgpackEncoder::begin_reserved_extension(ByteBuffer& out) {
    const std::size_t position = out.size();
    out.reserve_more(msgpack::RESERVED_HEADER);
    std::memset(out.tail(), 0, msgpack::RESERVED_HEADER);
    out.commit(msgpack::RESERVED_HEADER);
    credit_ += msgpack::RESERVED_HEADER;
    return position;
}

py::Status NativeMsgpackEncoder::finish_reserved_extension(ByteBuffer& out, std::size_t position, std::int8_t type) {
    credit_ = credit_ >= msgpack::RESERVED_HEADER ? credit_ - msgpack::RESERVED_HEADER : 0;
    const std::size_t length = out.size() - (position + msgpack::RESERVED_HEADER);
    if (length > msgpack::MAX_LENGTH) return PyError::make(PyExc_ValueError, "EXT data is too large");
    std::uint8_t header[msgpack::RESERVED_HEADER];
    const std::size_t header_length = msgpack::ext_header(header, type, length);
    std::uint8_t* at = out.data() + position;
    if (header_length < msgpack::RESERVED_HEADER) {
        std::memmove(at + header_length, at + msgpack::RESERVED_HEADER, length);
    }
    std::memcpy(at, header, header_length);
    out.truncate(position + header_length + length);
    return py::Status();
}

bool NativeMsgpackEncoder::write_ext_checked(ByteBuffer& out, std::int8_t type, const void* payload,
                                             std::size_t length) {
    if (length > msgpack::MAX_LENGTH) return fail_text(PyExc_ValueError, "EXT data is too large");
    msgpack::write_ext_unchecked(out, type, payload, length);
    return true;
}

}  // namespace quib::values
