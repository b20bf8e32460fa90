#include "frames/frame_writer.hpp"

#include "diagnostics/report_panic.hpp"
#include "diagnostics/stack_guard.hpp"
#include "frames/clock.hpp"
#include "frames/line_numbers.hpp"
#include "frames/qualname.hpp"
#include "frames/record_pairs.hpp"
#include "py/conversions.hpp"
#include "py/interned.hpp"
#include "values/encoder.hpp"

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

Result<RecordHead> record_head(const FrameEvent& event) {
    RecordHead head;
    if (event.code != nullptr) {
        auto line = frame_line_number(event.frame, event.lines);
        if (!line) return std::move(line).error();
        head.line = line.value();
        if (event.code->qualname) {
            auto module = get_qualname_module(event.frame);
            if (!module) return std::move(module).error();
            head.module = std::move(module).value();
            if (!PyUnicode_CheckExact(head.module.get())) {
                auto text = text_of(head.module.get());
                if (!text) return std::move(text).error();
                head.module_text = std::move(text).value();
            }
            return head;
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
    return head;
}

std::string_view utf8_of(PyObject* text) {
    auto view = py::utf8_view(text);
    // A module name with lone surrogates: written as a placeholder rather than failing.
    return view ? view.value() : std::string_view("<unknown>");
}

void write_head(ByteBuffer& out, std::uint8_t map_header, const FrameEvent& event, const RecordHead& head) {
    out.push(map_header);
    if (event.code != nullptr) {
        write_frame_path_pair(out, event.code->path, head.line);
    } else {
        write_str_pair(out, "path", std::string_view(head.frame_path));
    }
    write_str_pair(out, "co_name", event.co_name);
    if (event.code != nullptr && event.code->qualname) {
        std::string_view module = head.module_text ? std::string_view(*head.module_text) : utf8_of(head.module.get());
        write_frame_qualname_pair(out, module, *event.code->qualname);
    } else {
        std::optional<std::string_view> qualname;
        if (head.qualname) qualname = *head.qualname;
        write_str_pair(out, "qualname", qualname);
    }
    write_str_pair(out, "event", event_name(event.event));
    write_str_pair(out, "frame_id", event.frame_id.view());
    if (event.value_kind == ValueKind::Exception) {
        write_key(out, "exception");
    } else {
        write_key(out, "arg");
    }
}

void write_tail(ByteBuffer& out, const FrameEvent& event) {
    write_f64_pair(out, "timestamp", timestamp());
    write_str_pair(out, "type", std::string_view("frame"));
    write_user_code_call_site(out, event.call_site);
}

// The locals to record: None with omit_return_locals on a return; otherwise a dict without
// `__builtins__`, never the frame's own dict modified.
Result<Ref> locals_of(const FrameEvent& event, const EncoderSettings& settings) {
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

Status write_frame_with_serializer_inner(ByteBuffer& out, const FrameEvent& event, const EncoderSettings& settings) {
    if (is_closing(event.event) && diagnostics::omitting_values()) return write_frame_without_values(out, event);

    Result<RecordHead> head = record_head(event);
    if (!head) return std::move(head).error();
    Result<Ref> locals = locals_of(event, settings);

    const std::size_t start = out.size();
    std::optional<PyError> failure;
    if (!locals) {
        failure = std::move(locals).error();
    } else {
        values::NativeMsgpackEncoder encoder(settings.serializer, settings.max_value_bytes, settings.lightweight_repr,
                                             settings.interning);
        write_head(out, 0x8a, event, head.value());
        PyObject* value = event.value_kind == ValueKind::None || event.value == nullptr ? Py_None : event.value;
        values::EncodeResult encoded = encoder.encode_value(value, out);
        if (!encoded.ok()) {
            failure = std::move(*encoded.error).into_pyerr();
        } else {
            write_key(out, "locals");
            const std::size_t locals_start = out.size();
            values::EncodeResult whole = encoder.encode_value(locals->get(), out);
            if (!whole.ok()) {
                failure = std::move(*whole.error).into_pyerr();
            } else if (whole.truncated && PyDict_CheckExact(locals->get())) {
                out.truncate(locals_start);
                encode_locals_one_by_one(encoder, locals->get(), out, failure);
            }
        }
        if (!failure) {
            write_tail(out, event);
            note_native_eligibility(encoder, event, head.value());
            return Status();
        }
    }
    out.truncate(start);
    return without_values_at_recursion_limit(std::move(*failure), out, event);
}

Status write_frame_without_values(ByteBuffer& out, const FrameEvent& event) {
    Result<RecordHead> head = record_head(event);
    if (!head) return std::move(head).error();
    write_head(out, 0x8b, event, head.value());
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
