// Test entries for the frame writer: write one record for a real frame into a buffer that
// already holds some bytes, and hand back the whole buffer.
#include "registry.hpp"

#include "frames/frame_writer.hpp"
#include "py/args.hpp"

#include <cstring>

namespace {

using namespace quib;
using py::PyError;
using py::Ref;
using py::Result;

Result<std::string_view> text_of(PyObject* value, const char* argument) {
    if (!PyUnicode_Check(value)) return py::argument_type_error("write_frame_record", argument, "str", value);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return PyError::fetch();
    return std::string_view(data, static_cast<std::size_t>(size));
}

Result<frames::FrameId> frame_id_of(PyObject* value) {
    auto text = text_of(value, "frame_id");
    if (!text) return std::move(text).error();
    if (text->size() != frames::FRAME_ID_LENGTH) return PyError::make(PyExc_ValueError, "a frame id has 30 bytes");
    frames::FrameId id;
    std::memcpy(id.bytes.data(), text->data(), frames::FRAME_ID_LENGTH);
    return id;
}

frames::FramePathCache& path_cache() {
    static frames::FramePathCache* cache = new frames::FramePathCache();
    return *cache;
}

// write_frame_record(frame, event, value_kind, value, co_name, frame_id, call_site, code,
//                    max_value_bytes, omit_return_locals, prefix, without_values)
// call_site: None or (frame_id, line or None); code: None or (path, qualname or None).
Result<Ref> write_frame_record(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "write_frame_record";
    auto parsed = py::parse<12>(function,
                                {"frame", "event", "value_kind", "value", "co_name", "frame_id", "call_site", "code",
                                 "max_value_bytes", "omit_return_locals", "prefix", "without_values"},
                                12, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    const auto& a = parsed.value();
    if (!PyFrame_Check(a[0])) return py::argument_type_error(function, "frame", "frame", a[0]);
    auto event = py::u64_argument(function, "event", a[1]);
    if (!event) return std::move(event).error();
    auto value_kind = py::u64_argument(function, "value_kind", a[2]);
    if (!value_kind) return std::move(value_kind).error();
    std::optional<std::string_view> co_name;
    if (a[4] != Py_None) {
        auto name = text_of(a[4], "co_name");
        if (!name) return std::move(name).error();
        co_name = name.value();
    }
    auto id = frame_id_of(a[5]);
    if (!id) return std::move(id).error();
    std::optional<frames::CallSite> call_site;
    if (a[6] != Py_None) {
        PyObject *site_id, *line;
        if (!PyArg_ParseTuple(a[6], "OO", &site_id, &line)) return PyError::fetch();
        auto caller = frame_id_of(site_id);
        if (!caller) return std::move(caller).error();
        frames::CallSite site{caller.value(), std::nullopt};
        if (line != Py_None) site.line = static_cast<std::int32_t>(PyLong_AsLong(line));
        call_site = site;
    }
    std::optional<frames::PrecomputedCode> code;
    if (a[7] != Py_None) {
        PyObject *path, *qualname;
        if (!PyArg_ParseTuple(a[7], "OO", &path, &qualname)) return PyError::fetch();
        auto path_text = text_of(path, "code");
        if (!path_text) return std::move(path_text).error();
        frames::PrecomputedCode precomputed{path_text.value(), std::nullopt, nullptr};
        if (qualname != Py_None) {
            auto qualname_text = text_of(qualname, "code");
            if (!qualname_text) return std::move(qualname_text).error();
            precomputed.qualname = qualname_text.value();
        }
        code = precomputed;
    }
    std::optional<std::uint64_t> budget;
    if (a[8] != Py_None) {
        auto bytes = py::u64_argument(function, "max_value_bytes", a[8]);
        if (!bytes) return std::move(bytes).error();
        budget = bytes.value();
    }
    auto omit = py::bool_argument(function, "omit_return_locals", a[9]);
    if (!omit) return std::move(omit).error();
    char* prefix = nullptr;
    Py_ssize_t prefix_size = 0;
    if (PyBytes_AsStringAndSize(a[10], &prefix, &prefix_size) < 0) return PyError::fetch();
    auto without_values = py::bool_argument(function, "without_values", a[11]);
    if (!without_values) return std::move(without_values).error();

    auto serializer = values::Serializer::shared();
    if (!serializer) return std::move(serializer).error();
    values::ByteBuffer out;
    out.append(prefix, static_cast<std::size_t>(prefix_size));
    frames::FrameEvent frame_event{reinterpret_cast<PyFrameObject*>(a[0]),
                                   static_cast<frames::EventKind>(event.value()),
                                   static_cast<frames::ValueKind>(value_kind.value()),
                                   a[3],
                                   co_name,
                                   id.value(),
                                   call_site,
                                   code ? &*code : nullptr,
                                   path_cache()};
    frames::EncoderSettings settings{serializer.value(), budget, false, nullptr, omit.value()};
    py::Status written = without_values.value() ? frames::write_frame_without_values(out, frame_event)
                                                : frames::write_frame_with_serializer_inner(out, frame_event, settings);
    if (!written) {
        // The caller checks that the buffer is unchanged: hand back both.
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                                         static_cast<Py_ssize_t>(out.size())));
        PyError error = std::move(written).error();
        if (bytes) PyObject_SetAttrString(error.value(), "quib_buffer", bytes.get());
        PyErr_Clear();
        return error;
    }
    return py::checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                                 static_cast<Py_ssize_t>(out.size())));
}

QUIB_TESTING_FUNCTION(py::fast_method<write_frame_record>(
    "write_frame_record",
    "write_frame_record(frame, event, value_kind, value, co_name, frame_id, call_site, code, max_value_bytes, "
    "omit_return_locals, prefix, without_values)\n--\n\nWrite one frame record after `prefix`; returns the buffer."));

}  // namespace

namespace {

// without_values_at_recursion_limit(error) for a call record of `frame`: the record's bytes, or the
// error raised back.
quib::py::Result<quib::py::Ref> record_after_error(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) {
    using namespace quib;
    auto parsed = py::parse<2>("record_after_error", {"frame", "error"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    if (!PyFrame_Check((*parsed)[0])) return py::argument_type_error("record_after_error", "frame", "frame", (*parsed)[0]);
    if (!PyExceptionInstance_Check((*parsed)[1])) {
        return py::argument_type_error("record_after_error", "error", "exception", (*parsed)[1]);
    }
    frames::FrameId id = frames::FrameId::fresh();
    std::optional<frames::CallSite> no_site;
    frames::FrameEvent event{reinterpret_cast<PyFrameObject*>((*parsed)[0]), frames::EventKind::Call,
                             frames::ValueKind::None, nullptr, std::nullopt, id, no_site, nullptr, path_cache()};
    values::ByteBuffer out;
    py::Status written = frames::without_values_at_recursion_limit(
        py::PyError::from_instance(py::Ref::take((*parsed)[1])), out, event);
    if (!written) return std::move(written).error();
    return py::checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                                 static_cast<Py_ssize_t>(out.size())));
}

QUIB_TESTING_FUNCTION(quib::py::fast_method<record_after_error>("record_after_error",
                                                                "record_after_error(frame, error)\n--\n\n"));

}  // namespace
