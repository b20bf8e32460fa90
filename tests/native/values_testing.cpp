// Test entries into the value encoder: budgets, several values per encoder, a pre-filled output
// buffer, reserved extension headers, the plug-in frame encoder and a stand-in interning hook.
#include "registry.hpp"

#include "py/args.hpp"
#include "values/dump_capped.hpp"
#include "values/encoder.hpp"
#include "values/ext_types.hpp"
#include "values/msgpack_writer.hpp"

#include <cstring>
#include <string>

namespace {

using namespace quib;
using py::PyError;
using py::Ref;
using py::Result;

Result<std::optional<std::uint64_t>> optional_budget(const char* function, PyObject* value) {
    if (value == nullptr || value == Py_None) return std::optional<std::uint64_t>();
    Result<std::uint64_t> budget = py::u64_argument(function, "budget", value);
    if (!budget) return std::move(budget).error();
    return std::optional<std::uint64_t>(budget.value());
}

Result<bool> optional_flag(const char* function, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    return py::bool_argument(function, name, value);
}

Ref bytes_of(const values::ByteBuffer& out) {
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                                static_cast<Py_ssize_t>(out.size())));
}

// encode_values(values, budget=None, lightweight=False, prefix=b"") -> (buffer, [truncated...],
// default_hook_used, placeholders, memoized_reprs); an encoding error is raised after checking
// that the buffer is back to where that value started (else AssertionError).
Result<Ref> encode_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "encode_values";
    auto parsed = py::parse<4>(function, {"values", "budget", "lightweight", "prefix"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto budget = optional_budget(function, (*parsed)[1]);
    if (!budget) return std::move(budget).error();
    auto lightweight = optional_flag(function, "lightweight", (*parsed)[2]);
    if (!lightweight) return std::move(lightweight).error();
    Result<values::Serializer> serializer = values::Serializer::shared();
    if (!serializer) return std::move(serializer).error();
    Ref items = Ref::steal(PySequence_List((*parsed)[0]));
    if (!items) return PyError::fetch();

    values::ByteBuffer out;
    if (parsed->given(3)) {
        PyObject* prefix = (*parsed)[3];
        if (!PyBytes_Check(prefix)) return PyError::make(PyExc_TypeError, "prefix must be bytes");
        out.append(PyBytes_AS_STRING(prefix), static_cast<std::size_t>(PyBytes_GET_SIZE(prefix)));
    }
    values::NativeMsgpackEncoder encoder(serializer.value(), budget.value(), lightweight.value());
    Ref flags = Ref::steal(PyList_New(0));
    if (!flags) return PyError::fetch();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        const std::size_t before = out.size();
        std::string before_bytes(reinterpret_cast<const char*>(out.data()), out.size());
        values::EncodeResult result = encoder.encode_value(PyList_GET_ITEM(items.get(), i), out);
        if (!result.ok()) {
            if (out.size() != before || std::memcmp(out.data(), before_bytes.data(), before) != 0) {
                return PyError::make(PyExc_AssertionError, "a failed value left output behind");
            }
            return std::move(*result.error).into_pyerr();
        }
        if (PyList_Append(flags.get(), result.truncated ? Py_True : Py_False) < 0) return PyError::fetch();
    }
    return py::checked(Py_BuildValue("(NOOKn)", bytes_of(out).release(), flags.get(),
                                     encoder.default_hook_used() ? Py_True : Py_False,
                                     static_cast<unsigned long long>(encoder.placeholders_written()),
                                     static_cast<Py_ssize_t>(encoder.memoized_reprs())));
}

// dump_capped(value, budget, lightweight=False) -> bytes
Result<Ref> dump_capped(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "dump_capped";
    auto parsed = py::parse<3>(function, {"value", "budget", "lightweight"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto budget = optional_budget(function, (*parsed)[1]);
    if (!budget) return std::move(budget).error();
    auto lightweight = optional_flag(function, "lightweight", (*parsed)[2]);
    if (!lightweight) return std::move(lightweight).error();
    Result<values::Serializer> serializer = values::Serializer::shared();
    if (!serializer) return std::move(serializer).error();
    return values::dump_msgpack_capped(serializer.value(), (*parsed)[0], budget.value(), lightweight.value());
}

// reserved_extension(type, payload) -> bytes: the payload written after a reserved header.
Result<Ref> reserved_extension(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<2>("reserved_extension", {"type", "payload"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    const long type = PyLong_AsLong((*parsed)[0]);
    if (type == -1 && PyErr_Occurred()) return PyError::fetch();
    PyObject* payload = (*parsed)[1];
    if (!PyBytes_Check(payload)) return PyError::make(PyExc_TypeError, "payload must be bytes");
    Result<values::Serializer> serializer = values::Serializer::shared();
    if (!serializer) return std::move(serializer).error();
    values::NativeMsgpackEncoder encoder(serializer.value(), std::nullopt, false);
    values::ByteBuffer out;
    out.push(0xa5);  // something before, which must stay
    const std::size_t position = encoder.begin_reserved_extension(out);
    out.append(PyBytes_AS_STRING(payload), static_cast<std::size_t>(PyBytes_GET_SIZE(payload)));
    py::Status finished = encoder.finish_reserved_extension(out, position, static_cast<std::int8_t>(type));
    if (!finished) return std::move(finished).error();
    return bytes_of(out);
}

// A stand-in for value interning: answers every lookup the same way and counts the calls.
class ScriptedInterning final : public values::ValueInterningHook {
public:
    explicit ScriptedInterning(values::InternAnswer answer) : answer_(answer) {}
    values::InternAnswer lookup_value(PyObject*, values::InternKind, std::string_view, values::ByteBuffer& out,
                                      std::string& message) override {
        ++lookups;
        if (answer_ == values::InternAnswer::ReferenceWritten) values::msgpack::write_fixext4(out, values::ext::INTERNED, 7);
        if (answer_ == values::InternAnswer::Failed) message = "Quib trace writer is stuck";
        return answer_;
    }
    void cache_current_value(PyObject*, values::InternKind, std::size_t, std::span<const std::uint8_t> encoded) override {
        cached.append(reinterpret_cast<const char*>(encoded.data()), encoded.size());
    }
    long lookups = 0;
    std::string cached;

private:
    values::InternAnswer answer_;
};

// encode_interned(value, answer) -> (bytes, lookups, cached bytes); answer is "reference",
// "normal", "cache" or "fail".
Result<Ref> encode_interned(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<2>("encode_interned", {"value", "answer"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    const char* answer_text = PyUnicode_AsUTF8((*parsed)[1]);
    if (answer_text == nullptr) return PyError::fetch();
    const std::string answer_name(answer_text);
    values::InternAnswer answer = values::InternAnswer::WriteNormally;
    if (answer_name == "reference") answer = values::InternAnswer::ReferenceWritten;
    if (answer_name == "cache") answer = values::InternAnswer::WriteAndCache;
    if (answer_name == "fail") answer = values::InternAnswer::Failed;
    Result<values::Serializer> serializer = values::Serializer::shared();
    if (!serializer) return std::move(serializer).error();
    ScriptedInterning hook(answer);
    values::NativeMsgpackEncoder encoder(serializer.value(), std::nullopt, false, &hook);
    values::ByteBuffer out;
    values::EncodeResult result = encoder.encode_value((*parsed)[0], out);
    if (!result.ok()) return std::move(*result.error).into_pyerr();
    return py::checked(Py_BuildValue("(Nly#)", bytes_of(out).release(), hook.lookups, hook.cached.data(),
                                     static_cast<Py_ssize_t>(hook.cached.size())));
}

QUIB_TESTING_FUNCTION(py::fast_method<encode_values>(
    "encode_values", "encode_values(values, budget=None, lightweight=False, prefix=b'')\n--\n\n"
                     "Encode several values with one encoder into one buffer."));
QUIB_TESTING_FUNCTION(py::fast_method<dump_capped>(
    "dump_capped", "dump_capped(value, budget, lightweight=False)\n--\n\nThe plug-in frame encoder."));
QUIB_TESTING_FUNCTION(py::fast_method<reserved_extension>(
    "reserved_extension", "reserved_extension(type, payload)\n--\n\nA payload written behind a reserved header."));
QUIB_TESTING_FUNCTION(py::fast_method<encode_interned>(
    "encode_interned", "encode_interned(value, answer)\n--\n\nEncode with an interning hook that always answers the same."));

}  // namespace
