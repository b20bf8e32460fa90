#include "frames/frame_writer.hpp"

#include "diagnostics/report_panic.hpp"
#include "diagnostics/stack_guard.hpp"
#include "frames/clock.hpp"
#include "frames/fast_locals.hpp"
#include "frames/line_numbers.hpp"
#include "frames/qualname.hpp"
#include "frames/record_pairs.hpp"
#include "py/conversions.hpp"
#include "py/interned.hpp"
#include "values/encoder.hpp"
#include "values/plain_values.hpp"
#include "values/reserved_writer.hpp"

#include <charconv>

namespace quib::frames {

using py::PyError;
using py::Ref;
using py::Result;
using py::Status;
using values::ByteBuffer;

namespace {

py::InternedName BUILTINS{"__builtins__"};

// Path and qualified name, computed before anything is written so that their failure leaves the
// buffer alone.
struct RecordHead {
    std::string frame_path;  // without precomputed metadata: path, ":" and line
    std::optional<std::uint64_t> line;
    Ref module;              // with a precomputed qualname: the module name object
    std::optional<std::string> module_text;  // ... as text when it is not an exact str
    std::optional<std::string> qualname;     // otherwise: the whole qualified name, if any
    bool path_cache_eligible = false;
};

// Filled in place: the head is large, and moving it through a result costs more than filling it.
Status record_head(const FrameEvent& event, RecordHead& head) {
    if (event.code != nullptr) {
        auto line = frame_line_number(event.frame, event.lines);
        if (!line) return std::move(line).error();
        head.line = line.value();
        if (event.code->qualname) {
            Ref globals = Ref::steal(py::compat::frame_globals(event.frame));
            if (!globals) return PyError::fetch();
            head.module = module_name_from_globals(globals.get());
            if (!head.module) return PyError::fetch();
            if (!PyUnicode_CheckExact(head.module.get())) {
                auto text = text_of(head.module.get());
                if (!text) return std::move(text).error();
                head.module_text = std::move(text).value();
            }
            return Status();
        }
    } else {
        auto path = event.path_cache.frame_path_and_native_eligibility(event.frame);
        if (!path) return std::move(path).error();
        head.frame_path = std::move(path->path);
        head.path_cache_eligible = path->native_eligible;
    }
    auto qualname = get_qualname(event.frame);
    if (!qualname) return std::move(qualname).error();
    head.qualname = std::move(qualname).value();
    return Status();
}

std::string_view utf8_of(PyObject* text) {
    auto view = py::utf8_view(text);
    // A module name with lone surrogates: written as a placeholder rather than failing.
    return view ? view.value() : std::string_view("<unknown>");
}

std::size_t checked_length(std::size_t length, const char* what) {
    if (length > values::msgpack::MAX_LENGTH) throw py::InternalFailure(what);
    return length;
}

// "co_name" and "qualname" (module + "." + qualname, or the whole qualified name, or nil).
void write_name_pairs(ByteBuffer& out, const FrameEvent& event, const RecordHead& head) {
    std::string_view module;
    std::optional<std::string_view> qualname;
    std::size_t qualname_length = 0;
    const bool joined = event.code != nullptr && event.code->qualname;
    if (joined) {
        module = head.module_text ? std::string_view(*head.module_text) : utf8_of(head.module.get());
        qualname = *event.code->qualname;
        qualname_length = checked_length(module.size() + 1 + qualname->size(), "frame qualname length should fit in u32");
    } else if (head.qualname) {
        qualname = *head.qualname;
        qualname_length = checked_length(qualname->size(), "frame qualname length should fit in u32");
    }
    std::size_t co_name_length = event.co_name ? checked_length(event.co_name->size(), "co_name should fit in u32") : 0;
    values::ReservedWriter w(out, 40 + co_name_length + qualname_length);
    w.key("co_name");
    if (event.co_name) {
        w.str(*event.co_name);
    } else {
        w.byte(0xc0);
    }
    w.key("qualname");
    if (!qualname) {
        w.byte(0xc0);
    } else if (joined) {
        w.str_header(qualname_length);
        w.text(module);
        w.byte('.');
        w.text(*qualname);
    } else {
        w.str(*qualname);
    }
}

// The name pairs from the thread's cache when they were made for this module; the cache is
// refilled otherwise. Only an exact str module name is remembered (its identity is the key).
void write_cached_name_pairs(ByteBuffer& out, const FrameEvent& event, const RecordHead& head) {
    NamePairs* cache = event.code != nullptr && event.code->qualname ? event.code->names : nullptr;
    if (cache == nullptr || head.module_text) {
        write_name_pairs(out, event, head);
        return;
    }
    if (cache->module.get() != head.module.get()) {
        const std::size_t from = out.size();
        write_name_pairs(out, event, head);
        cache->bytes.assign(reinterpret_cast<const char*>(out.data() + from), out.size() - from);
        cache->module = head.module;
        return;
    }
    out.append(cache->bytes);
}

void write_head(ByteBuffer& out, std::uint8_t map_header, const FrameEvent& event, const RecordHead& head) {
    {
        char digits[24];
        std::string_view suffix = "None";
        std::string_view path = head.frame_path;
        std::size_t path_length = 0;
        if (event.code != nullptr) {
            path = event.code->path;
            if (head.line) {
                auto written = std::to_chars(digits, digits + sizeof digits, *head.line);
                suffix = std::string_view(digits, static_cast<std::size_t>(written.ptr - digits));
            }
            path_length = checked_length(path.size() + 1 + suffix.size(), "frame path length should fit in u32");
        } else {
            path_length = checked_length(path.size(), "frame path length should fit in u32");
        }
        values::ReservedWriter w(out, 16 + path_length);
        w.byte(map_header);
        w.key("path");
        w.str_header(path_length);
        w.text(path);
        if (event.code != nullptr) {
            w.byte(':');
            w.text(suffix);
        }
    }
    write_cached_name_pairs(out, event, head);
    values::ReservedWriter w(out, 64 + FRAME_ID_LENGTH);
    w.key("event");
    w.str(event_name(event.event));
    w.key("frame_id");
    w.str(event.frame_id.view());
    if (event.value_kind == ValueKind::Exception) {
        w.key("exception");
    } else {
        w.key("arg");
    }
}

void write_tail(ByteBuffer& out, const FrameEvent& event) {
    {
        values::ReservedWriter w(out, 128 + FRAME_ID_LENGTH);
        w.key("timestamp");
        w.f64(event.timestamp ? *event.timestamp : timestamp());
        w.key("type");
        w.key("frame");  // the value is a fixstr as well
        w.key("user_code_call_site");
        if (!event.call_site) {
            w.byte(0xc0);
            return;
        }
        w.byte(0x82);
        w.key("call_frame_id");
        w.str(event.call_site->call_frame_id.view());
        w.key("line_number");
    }
    if (event.call_site->line) {
        values::msgpack::write_int(out, *event.call_site->line);
    } else {
        values::msgpack::write_nil(out);
    }
}

// The locals to record: None with omit_return_locals on a return; otherwise a dict without
// `__builtins__`, never the frame's own dict modified.
Result<Ref> locals_of(const FrameEvent& event, const EncoderSettings& settings) {
    if (getenv("QUIB_EXPERIMENT_NO_LOCALS")) return Ref::none();
    if (event.event == EventKind::Return && settings.omit_return_locals) return Ref::none();
    Result<Ref> locals = py::checked(py::compat::frame_locals(event.frame));
    if (!locals) return locals;
    bool own = true;
    if (!PyDict_Check(locals->get())) {
        // On 3.13 a function's f_locals is a write-through proxy.
        Result<Ref> copy = py::checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), locals->get()));
        if (!copy) return copy;
        if (!PyDict_Check(copy->get())) return PyError::make(PyExc_TypeError, "dict(frame.f_locals) is not a dict");
        locals = std::move(copy);
        own = false;
    }
    PyObject* key = BUILTINS.get();
    if (key == nullptr) return PyError::fetch();
    int present = PyDict_Contains(locals->get(), key);
    if (present < 0) {
        PyErr_Clear();
        throw py::InternalFailure("locals.get(\"__builtins__\") should not raise.");
    }
    if (present == 1) {
        if (own) {
            Result<Ref> copy = py::checked(PyDict_Copy(locals->get()));
            if (!copy) return copy;
            locals = std::move(copy);
        }
        if (PyDict_DelItem(locals->get(), key) < 0) return PyError::fetch();
    }
    return locals;
}

bool wants_locals(const FrameEvent& event, const EncoderSettings& settings) {
    return !(event.event == EventKind::Return && settings.omit_return_locals);
}

bool read_fast_locals(const FrameEvent& event, FastLocals& fast) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(event.frame)));
    return code && fast.read(event.frame, code.as<PyCodeObject>());
}

// The fast locals as the dict f_locals would have given (the same items in the same order).
Result<Ref> dict_of(const FastLocals& fast) {
    Result<Ref> dict = py::checked(PyDict_New());
    if (!dict) return dict;
    for (const FastLocal& local : fast) {
        if (PyDict_SetItem(dict->get(), local.key, local.value) < 0) return PyError::fetch();
    }
    return dict;
}

// Each local under its own budget, after the locals as a whole came out over it.
bool encode_locals_one_by_one(values::NativeMsgpackEncoder& encoder, PyObject* locals, ByteBuffer& out,
                              std::optional<PyError>& error) {
    Ref items = Ref::steal(PyDict_Items(locals));
    if (!items) {
        error = PyError::fetch();
        return false;
    }
    Py_ssize_t count = PyList_GET_SIZE(items.get());
    values::msgpack::write_map_header(out, static_cast<std::size_t>(count));
    std::optional<std::uint64_t> budget = encoder.budget();
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        for (int part = 0; part < 2; ++part) {
            encoder.set_budget(part == 0 ? std::nullopt : budget);
            values::EncodeResult result = encoder.encode_value(PyTuple_GET_ITEM(item, part), out);
            if (!result.ok()) {
                encoder.set_budget(budget);
                error = std::move(*result.error).into_pyerr();
                return false;
            }
        }
    }
    encoder.set_budget(budget);
    return true;
}

void note_native_eligibility(const values::NativeMsgpackEncoder& encoder, const FrameEvent& event,
                             const RecordHead& head) {
    if (!encoder.default_hook_used()) return;
    if (event.code != nullptr) {
        if (event.code->native_eligible) {
            bool expected = true;
            event.code->native_eligible->compare_exchange_strong(expected, false, std::memory_order_release,
                                                                 std::memory_order_relaxed);
        }
    } else if (head.path_cache_eligible) {
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(event.frame)));
        event.path_cache.mark_native_msgpack_unsupported(reinterpret_cast<std::uintptr_t>(code.get()));
    }
}

}  // namespace

namespace {

// The record's values when some need the encoder. `value` is the value still to write (nullptr
// when PlainValues wrote it and the "locals" key followed); `fast` is the fast-locals read made
// after that, if it succeeded. Kept out of line, so that records of plain values never set up
// an encoder's stack frame.
[[gnu::noinline]] Status write_values_with_encoder(ByteBuffer& out, std::size_t start, const FrameEvent& event,
                                                   const EncoderSettings& settings, const RecordHead& head,
                                                   const values::PlainValues& plain, PyObject* value,
                                                   const FastLocals* fast) {
    values::NativeMsgpackEncoder encoder(settings.serializer, settings.max_value_bytes, settings.lightweight_repr,
                                         settings.interning);
    encoder.continue_from(plain);
    std::optional<PyError> failure;
    FastLocals read_now;
    if (value != nullptr) {
        values::EncodeResult encoded = encoder.encode_value(value, out);
        if (!encoded.ok()) failure = std::move(*encoded.error).into_pyerr();
        if (!failure) {
            write_key(out, "locals");
            // Read only now: encoding the value may have run Python code, and the fast locals are
            // borrowed from the frame.
            if (wants_locals(event, settings) && read_fast_locals(event, read_now)) fast = &read_now;
        }
    }
    if (!failure) {
        Result<Ref> locals = fast != nullptr ? dict_of(*fast) : locals_of(event, settings);
        if (!locals) {
            failure = std::move(locals).error();
        } else {
            const std::size_t locals_start = out.size();
            values::EncodeResult whole = encoder.encode_value(locals->get(), out);
            if (!whole.ok()) {
                failure = std::move(*whole.error).into_pyerr();
            } else if (whole.truncated && PyDict_CheckExact(locals->get())) {
                out.truncate(locals_start);
                encode_locals_one_by_one(encoder, locals->get(), out, failure);
            }
        }
    }
    if (!failure) {
        write_tail(out, event);
        note_native_eligibility(encoder, event, head);
        return Status();
    }
    out.truncate(start);
    return std::move(*failure);
}

}  // namespace

Status write_frame_with_serializer_inner(ByteBuffer& out, const FrameEvent& event, const EncoderSettings& settings) {
    if (is_closing(event.event) && diagnostics::omitting_values()) return write_frame_without_values(out, event);

    RecordHead head;
    Status headed = record_head(event, head);
    if (!headed) return headed;

    const std::size_t start = out.size();
    write_head(out, 0x8a, event, head);
    PyObject* value = event.value_kind == ValueKind::None || event.value == nullptr ? Py_None : event.value;
    // Most records hold only small plain values: they are written without making an encoder.
    values::PlainValues plain(settings.max_value_bytes, settings.serializer.state().nest_limit);
    Status written;
    if (plain.value(value, out)) {
        write_key(out, "locals");
        // Read only now, as the encoder's path does: the fast locals are borrowed from the frame.
        FastLocals fast;
        const bool direct = wants_locals(event, settings) && read_fast_locals(event, fast);
        if (direct && plain.map(fast.items(), out)) {
            write_tail(out, event);
            return Status();
        }
        written = write_values_with_encoder(out, start, event, settings, head, plain, nullptr, direct ? &fast : nullptr);
    } else {
        written = write_values_with_encoder(out, start, event, settings, head, plain, value, nullptr);
    }
    if (written) return written;
    return without_values_at_recursion_limit(std::move(written).error(), out, event);
}

Status write_frame_without_values(ByteBuffer& out, const FrameEvent& event) {
    RecordHead head;
    Status headed = record_head(event, head);
    if (!headed) return headed;
    write_head(out, 0x8b, event, head);
    values::msgpack::write_nil(out);
    write_key(out, "locals");
    out.push(0x80);
    write_tail(out, event);
    write_str_pair(out, "values_omitted", std::string_view("stack_limit"));
    return Status();
}

Status without_values_at_recursion_limit(PyError error, ByteBuffer& out, const FrameEvent& event) {
    if (diagnostics::reaches_program(error)) return error;
    bool recursion = error.matches(PyExc_RecursionError);
    if (!recursion) {
        Ref context = Ref::steal(PyException_GetContext(error.value()));
        recursion = context && PyErr_GivenExceptionMatches(context.get(), PyExc_RecursionError);
    }
    if (!recursion) return error;
    return write_frame_without_values(out, event);
}

}  // namespace quib::frames
