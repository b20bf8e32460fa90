#include "storage/trace_metadata.hpp"

#include "diagnostics/report_panic.hpp"
#include "diagnostics/standard_streams.hpp"
#include "frames/record_pairs.hpp"
#include "module/host.hpp"
#include "module/thread_hooks.hpp"
#include "py/attributes.hpp"
#include "py/conversions.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace quib::storage {

using py::PyError;
using py::Ref;
using py::Result;
using py::Status;
using values::ByteBuffer;
namespace mp = values::msgpack;

namespace {

py::InternedName THREAD_NAME{"name"};
py::InternedName THREAD_IDENT{"ident"};
py::InternedName THREAD_NATIVE_ID{"native_id"};
py::InternedName THREAD_DAEMON{"daemon"};
py::InternedName THREAD_IS_ALIVE{"is_alive"};

constexpr std::size_t TRACE_METADATA_CAPACITY = 2048;
constexpr std::size_t THREAD_METADATA_CAPACITY = 256;

// The UTF-8 bytes of a str, kept alive by `owner`. sys.argv and the environment carry bytes that
// did not decode as lone surrogates; those come out as "\udcXX" escapes, so that the payload stays
// valid UTF-8 for every reader instead of failing the save.
struct Utf8 {
    Ref owner;
    std::string_view text;
};

Result<Utf8> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    Utf8 result;
    if (data != nullptr) {
        result = Utf8{Ref::take(text), std::string_view(data, static_cast<std::size_t>(size))};
    } else {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return PyError::fetch();
        PyErr_Clear();
        Result<Ref> escaped = py::checked(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
        if (!escaped) return std::move(escaped).error();
        std::string_view view(PyBytes_AS_STRING(escaped->get()), static_cast<std::size_t>(PyBytes_GET_SIZE(escaped->get())));
        result = Utf8{std::move(escaped).value(), view};
    }
    if (result.text.size() > mp::MAX_LENGTH) {
        return PyError::make(PyExc_ValueError, "Quib cannot store a text of 4 GiB or more in trace metadata");
    }
    return result;
}

Status write_text(ByteBuffer& out, PyObject* text) {
    Result<Utf8> utf8 = utf8_of(text);
    if (!utf8) return std::move(utf8).error();
    frames::write_str(out, utf8->text);
    return {};
}

Ref command_line_args() {
    // Borrowed; absent in an embedded interpreter that never set it, which is no reason to lose
    // the trace: it then counts as an empty list.
    return Ref::take(PySys_GetObject("argv"));
}

Status write_command_line_args(ByteBuffer& out, PyObject* argv) {
    frames::write_key(out, "command_line_args");
    if (argv == nullptr) {
        mp::write_array_header(out, 0);
        return {};
    }
    if (!PyList_Check(argv)) return PyError::make(PyExc_TypeError, "sys.argv must be a list of str");
    // Nothing below runs Python code, so the list cannot change while it is written.
    Py_ssize_t count = PyList_GET_SIZE(argv);
    mp::write_array_header(out, static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(argv, i);
        if (!PyUnicode_Check(item)) return PyError::make(PyExc_TypeError, "sys.argv must be a list of str");
        Status written = write_text(out, item);
        if (!written) return written;
    }
    return {};
}

Status write_environment(ByteBuffer& out, PyObject* environment) {
    Py_ssize_t expected = PyDict_GET_SIZE(environment);
    mp::write_map_header(out, static_cast<std::size_t>(expected));
    Py_ssize_t position = 0;
    Py_ssize_t written = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(environment, &position, &key, &value)) {
        if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) {
            return PyError::make(PyExc_TypeError, "quib._platform_info.environment() must return a dict of str to str");
        }
        Status done = write_text(out, key);
        if (done) done = write_text(out, value);
        if (!done) return done;
        ++written;
    }
    // The map header promised `expected` entries; a count that differs would corrupt the payload.
    if (written != expected) throw py::InternalFailure("environment dict changed during iteration");
    return {};
}

bool skipped_config_key(std::string_view key) {
    return std::find(std::begin(SKIPPED_CONFIG_KEYS), std::end(SKIPPED_CONFIG_KEYS), key) !=
           std::end(SKIPPED_CONFIG_KEYS);
}

std::string key_text_for_message(PyObject* key) {
    Ref text = Ref::steal(PyObject_Str(key));
    if (text) {
        Result<Utf8> utf8 = utf8_of(text.get());
        if (utf8) return std::string(utf8->text);
        return "<unprintable key>";
    }
    PyErr_Clear();
    return "<unprintable key>";
}

void report_unsupported(std::string_view key) {
    diagnostics::write_to_stdout("unsupported config type: " + std::string(key) + "\n");
}

// One settings value, if its type is one the metadata keeps; false (nothing written) otherwise.
Result<bool> write_config_value(ByteBuffer& out, PyObject* value) {
    if (PyUnicode_Check(value)) {
        Status written = write_text(out, value);
        if (!written) return std::move(written).error();
        return true;
    }
    if (PyBool_Check(value)) {
        mp::write_bool(out, value == Py_True);
        return true;
    }
    if (PyLong_Check(value)) {
        int overflow = 0;
        long long signed_value = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (signed_value == -1 && PyErr_Occurred()) return PyError::fetch();
        if (overflow == 0) {
            mp::write_int(out, signed_value);
            return true;
        }
        if (overflow > 0) {
            unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(value);
            if (!(unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                mp::write_uint(out, unsigned_value);
                return true;
            }
            PyErr_Clear();
        }
        return false;  // beyond 64 bits: MessagePack has no integer for it
    }
    if (PyFloat_Check(value)) {
        mp::write_double(out, PyFloat_AS_DOUBLE(value));
        return true;
    }
    if (value == Py_None) {
        mp::write_nil(out);
        return true;
    }
    return false;
}

// "config": the plain settings, then "use_monitoring" and "use_native". A settings entry under
// either of those two keys is replaced by them (a map must not hold a key twice).
Status write_config(ByteBuffer& out, PyObject* settings, bool use_monitoring) {
    if (settings == nullptr || !PyDict_Check(settings)) return PyError::make(PyExc_TypeError, "settings must be a dict");
    // Taken out first: converting a key for the message below may run Python code, which could
    // change the dict.
    std::vector<std::pair<Ref, Ref>> items;
    items.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(settings)));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(settings, &position, &key, &value)) items.emplace_back(Ref::take(key), Ref::take(value));

    ByteBuffer entries;
    std::size_t count = 0;
    for (const auto& [item_key, item_value] : items) {
        if (!PyUnicode_Check(item_key.get())) {
            report_unsupported(key_text_for_message(item_key.get()));
            continue;
        }
        Result<Utf8> name = utf8_of(item_key.get());
        if (!name) return std::move(name).error();
        if (skipped_config_key(name->text) || name->text == "use_monitoring" || name->text == "use_native") continue;
        std::size_t start = entries.size();
        frames::write_str(entries, name->text);
        Result<bool> kept = write_config_value(entries, item_value.get());
        if (!kept) return std::move(kept).error();
        if (kept.value()) {
            ++count;
        } else {
            entries.truncate(start);
            report_unsupported(name->text);
        }
    }
    mp::write_map_header(out, count + 2);
    out.append(entries.data(), entries.size());
    frames::write_bool_pair(out, "use_monitoring", use_monitoring);
    frames::write_bool_pair(out, "use_native", true);
    return {};
}

Bytes to_bytes(const ByteBuffer& buffer) { return Bytes(buffer.data(), buffer.data() + buffer.size()); }

Result<Bytes> trace_metadata(const TraceMetadataInputs& inputs) {
    // The host's calls come first and in this order: version, commit, environment.
    Result<Ref> version = host::package_version();
    if (!version) return std::move(version).error();
    Result<Ref> commit = host::commit_sha();
    if (!commit) return std::move(commit).error();
    Ref argv = command_line_args();
    Result<Ref> environment = host::platform_environment();
    if (!environment) return std::move(environment).error();

    ByteBuffer out;
    out.reserve_more(TRACE_METADATA_CAPACITY);
    mp::write_map_header(out, 10);
    frames::write_str_pair(out, "trace_id", inputs.trace_id);
    frames::write_str_pair(out, "trace_name", inputs.trace_name);
    frames::write_str_pair(out, "current_thread_id", inputs.current_thread_id);
    frames::write_f64_pair(out, "timestamp", inputs.timestamp);
    frames::write_key(out, "current_commit_sha");
    Status written;
    if (commit->get() == Py_None) {
        mp::write_nil(out);
    } else {
        written = write_text(out, commit->get());
        if (!written) return std::move(written).error();
    }
    frames::write_str_pair(out, "root_trace_id", inputs.root_trace_id);

    frames::write_key(out, "meta");
    mp::write_map_header(out, 4);
    frames::write_key(out, "version");
    written = write_text(out, version->get());
    if (!written) return std::move(written).error();
    frames::write_str_pair(out, "source", inputs.source);
    frames::write_key(out, "environment");
    written = write_environment(out, environment->get());
    if (!written) return std::move(written).error();
    frames::write_key(out, "config");
    written = write_config(out, inputs.settings, inputs.use_monitoring);
    if (!written) return std::move(written).error();

    written = write_command_line_args(out, argv.get());
    if (!written) return std::move(written).error();
    frames::write_key(out, "frames_of_interest");
    mp::write_array_header(out, 0);
    frames::write_key(out, "frames");
    mp::write_map_header(out, 0);
    return to_bytes(out);
}

// thread.<name>, or nothing when it is missing, None or raises an Exception: thread metadata is a
// description, and an odd thread object must not cost the trace. Exceptions that belong to the
// program (KeyboardInterrupt, SystemExit) are passed on.
Result<Ref> optional_attribute(PyObject* thread, py::InternedName& name) {
    Result<Ref> value = py::attribute(thread, name);
    if (!value) {
        if (diagnostics::reaches_program(value.error())) return std::move(value).error();
        return Ref();
    }
    if (value->get() == Py_None) return Ref();
    return value;
}

void write_id_pair(ByteBuffer& out, PyObject* value, bool native) {
    std::optional<std::uint64_t> number;
    if (value != nullptr && PyLong_Check(value) && !PyBool_Check(value)) {
        Result<std::uint64_t> converted = py::to_u64(value);
        if (converted) number = converted.value();
    }
    if (native) {
        frames::write_int_pair(out, "native_id", number);
    } else {
        frames::write_int_pair(out, "ident", number);
    }
}

Result<Bytes> thread_metadata(const TraceThread& thread) {
    if (thread.thread == nullptr) return PyError::make(PyExc_TypeError, "a recorded thread needs a thread object");
    Result<Ref> name = optional_attribute(thread.thread, THREAD_NAME);
    if (!name) return std::move(name).error();
    Result<Ref> ident = optional_attribute(thread.thread, THREAD_IDENT);
    if (!ident) return std::move(ident).error();
    Result<Ref> native_id = optional_attribute(thread.thread, THREAD_NATIVE_ID);
    if (!native_id) return std::move(native_id).error();
    Result<Ref> daemon = optional_attribute(thread.thread, THREAD_DAEMON);
    if (!daemon) return std::move(daemon).error();
    Result<Ref> is_alive_method = optional_attribute(thread.thread, THREAD_IS_ALIVE);
    if (!is_alive_method) return std::move(is_alive_method).error();
    Ref alive;
    if (*is_alive_method) {
        Result<Ref> called = py::checked(PyObject_CallNoArgs(is_alive_method->get()));
        if (called) {
            alive = std::move(called).value();
        } else if (diagnostics::reaches_program(called.error())) {
            return std::move(called).error();
        }
    }

    ByteBuffer out;
    out.reserve_more(THREAD_METADATA_CAPACITY);
    mp::write_map_header(out, 6);
    frames::write_str_pair(out, "thread_id", thread.key);
    frames::write_key(out, "name");
    if (*name && PyUnicode_Check(name->get())) {
        Status written = write_text(out, name->get());
        if (!written) return std::move(written).error();
    } else {
        mp::write_nil(out);
    }
    write_id_pair(out, ident->get(), false);
    write_id_pair(out, native_id->get(), true);
    frames::write_key(out, "daemon");
    if (*daemon && PyBool_Check(daemon->get())) {
        mp::write_bool(out, daemon->get() == Py_True);
    } else {
        mp::write_nil(out);
    }
    frames::write_key(out, "is_alive");
    if (alive && PyBool_Check(alive.get())) {
        mp::write_bool(out, alive.get() == Py_True);
    } else {
        mp::write_nil(out);
    }
    return to_bytes(out);
}

}  // namespace

Result<PreparedTrace> prepare_v3_trace_from_parts(const TraceMetadataInputs& inputs, const TokenLookup& token_of) {
    // Host modules and thread properties are Python code: keep them out of the trace.
    hooks::Suspension suspension;
    PreparedTrace prepared;
    Result<Bytes> trace = trace_metadata(inputs);
    if (!trace) return std::move(trace).error();
    prepared.trace_metadata = std::move(trace).value();
    prepared.thread_metadata.reserve(inputs.threads.size());
    for (const TraceThread& thread : inputs.threads) {
        std::optional<std::uint32_t> token = token_of(thread.key);
        if (!token) {
            return to_python(
                IoError::make(IoErrorKind::InvalidInput, "missing v3 thread token for " + std::string(thread.key)));
        }
        Result<Bytes> bytes = thread_metadata(thread);
        if (!bytes) return std::move(bytes).error();
        prepared.thread_metadata.push_back(ThreadMetadata{*token, std::move(bytes).value()});
    }
    return prepared;
}

}  // namespace quib::storage
