// Test entries for identifiers, frame-id maps, call stacks, thread ids, names and paths.
#include "capsule.hpp"
#include "registry.hpp"

#include "frames/call_frames.hpp"
#include "frames/clock.hpp"
#include "frames/frame_ids.hpp"
#include "frames/fast_locals.hpp"
#include "frames/frame_path_cache.hpp"
#include "frames/line_numbers.hpp"
#include "frames/paths.hpp"
#include "frames/qualname.hpp"
#include "frames/thread_id.hpp"
#include "py/args.hpp"

namespace {

using namespace quib;
using frames::EventKind;
using frames::FrameId;
using py::PyError;
using py::Ref;
using py::Result;

constexpr const char* FRAME_IDS = "quib.FrameIds";
constexpr const char* CALL_FRAMES = "quib.CallFrames";
constexpr const char* PATH_CACHE = "quib.FramePathCache";

Result<Ref> text(std::string_view value) {
    return py::checked(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

// A str (as UTF-8) or bytes argument, as bytes.
Result<std::string> bytes_argument(PyObject* value) {
    if (PyBytes_Check(value)) {
        return std::string(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return PyError::fetch();
    return std::string(data, static_cast<std::size_t>(size));
}

Result<EventKind> event_argument(const char* function, PyObject* value) {
    auto number = py::u64_argument(function, "event", value);
    if (!number) return std::move(number).error();
    if (!frames::is_valid_event_kind(number.value())) {
        return PyError::make(PyExc_ValueError, "event must be 0 to 5");
    }
    return static_cast<EventKind>(number.value());
}

Result<FrameId> frame_id_argument(PyObject* value) {
    auto bytes = bytes_argument(value);
    if (!bytes) return std::move(bytes).error();
    if (bytes.value().size() != frames::FRAME_ID_LENGTH) return PyError::make(PyExc_ValueError, "not a frame id");
    FrameId id;
    std::copy(bytes.value().begin(), bytes.value().end(), id.bytes.begin());
    return id;
}

Result<PyFrameObject*> frame_argument(const char* function, PyObject* value) {
    if (!PyFrame_Check(value)) return py::argument_type_error(function, "frame", "frame", value);
    return reinterpret_cast<PyFrameObject*>(value);
}

Result<Ref> new_frame_id(PyObject*) { return text(FrameId::fresh().view()); }
Result<Ref> new_trace_id(PyObject*) { return text(frames::trace_id()); }
Result<Ref> timestamp(PyObject*) { return py::checked(PyFloat_FromDouble(frames::timestamp())); }

Result<Ref> ulid_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "ulid_of";
    auto parsed = py::parse<3>(function, {"millis", "random_high", "random_low"}, 3, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto millis = py::u64_argument(function, "millis", (*parsed)[0]);
    if (!millis) return std::move(millis).error();
    auto high = py::u64_argument(function, "random_high", (*parsed)[1]);
    if (!high) return std::move(high).error();
    auto low = py::u64_argument(function, "random_low", (*parsed)[2]);
    if (!low) return std::move(low).error();
    char out[frames::ULID_LENGTH];
    frames::write_ulid(out, millis.value(), static_cast<std::uint16_t>(high.value()), low.value());
    return text(std::string_view(out, sizeof out));
}

// FrameIds

Result<Ref> frame_ids_new(PyObject*) { return testing::wrap(new frames::FrameIds(), FRAME_IDS); }

Result<Ref> frame_ids_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "frame_ids_call";
    auto parsed = py::parse<4>(function, {"ids", "operation", "address", "argument"}, 3, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto ids = testing::unwrap<frames::FrameIds>((*parsed)[0], FRAME_IDS);
    if (!ids) return std::move(ids).error();
    const char* operation = PyUnicode_AsUTF8((*parsed)[1]);
    if (operation == nullptr) return PyError::fetch();
    auto address = py::u64_argument(function, "address", (*parsed)[2]);
    if (!address) return std::move(address).error();
    std::string_view which(operation);
    frames::FrameIds& table = *ids.value();
    if (which == "get_or_set") {
        auto event = event_argument(function, (*parsed)[3]);
        if (!event) return std::move(event).error();
        return text(table.get_or_set(event.value(), address.value()).view());
    }
    if (which == "get_option") {
        auto id = table.get_option(address.value());
        return id ? text(id->view()) : Ref::none();
    }
    if (which == "abandon") {
        auto remember = py::bool_argument(function, "argument", (*parsed)[3]);
        if (!remember) return std::move(remember).error();
        table.abandon(address.value(), remember.value());
        return Ref::none();
    }
    if (which == "take_abandoned") return Ref::boolean(table.take_abandoned(address.value()));
    if (which == "size") return py::checked(PyLong_FromSize_t(table.size()));
    return PyError::make(PyExc_ValueError, "unknown operation");
}

// CallFrames

Result<Ref> call_frames_new(PyObject*) { return testing::wrap(new frames::CallFrames(), CALL_FRAMES); }

Result<Ref> call_site_object(const std::optional<frames::CallSite>& site) {
    if (!site) return Ref::none();
    Result<Ref> id = text(site->call_frame_id.view());
    if (!id) return id;
    Ref line = site->line ? Ref::steal(PyLong_FromLong(*site->line)) : Ref::none();
    if (!line) return PyError::fetch();
    return py::checked(PyTuple_Pack(2, id->get(), line.get()));
}

// call_frames_site(stack, frame, event, frame_id) -> (call frame id, line) or None.
Result<Ref> call_frames_site(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "call_frames_site";
    auto parsed = py::parse<4>(function, {"stack", "frame", "event", "frame_id"}, 4, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto stack = testing::unwrap<frames::CallFrames>((*parsed)[0], CALL_FRAMES);
    if (!stack) return std::move(stack).error();
    auto event = event_argument(function, (*parsed)[2]);
    if (!event) return std::move(event).error();
    auto id = frame_id_argument((*parsed)[3]);
    if (!id) return std::move(id).error();
    std::optional<frames::CallSite> site;
    py::Status found = stack.value()->get_user_code_call_site((*parsed)[1], event.value(), id.value(), site);
    if (!found) return std::move(found).error();
    return call_site_object(site);
}

// call_frames_view(stack, what): "snapshot" or "ids" (the ids, bottom first); "truncate" needs
// the frame id as third argument.
Result<Ref> call_frames_view(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<3>("call_frames_view", {"stack", "what", "frame_id"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto stack = testing::unwrap<frames::CallFrames>((*parsed)[0], CALL_FRAMES);
    if (!stack) return std::move(stack).error();
    const char* what = PyUnicode_AsUTF8((*parsed)[1]);
    if (what == nullptr) return PyError::fetch();
    std::string_view which(what);
    if (which == "snapshot") return stack.value()->snapshot_call_site_frames();
    if (which == "truncate") {
        if (!parsed->given(2)) return PyError::make(PyExc_TypeError, "truncate needs a frame id");
        auto id = frame_id_argument((*parsed)[2]);
        if (!id) return std::move(id).error();
        stack.value()->truncate_at(id.value());
        return Ref::none();
    }
    Result<Ref> list = py::checked(PyList_New(0));
    if (!list) return list;
    for (const auto& entry : stack.value()->entries()) {
        Result<Ref> id = text(entry.id.view());
        if (!id) return id;
        if (PyList_Append(list->get(), id->get()) < 0) return PyError::fetch();
    }
    return list;
}

// Thread ids, names, line numbers

Result<Ref> get_thread_id(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("get_thread_id", {"thread"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto id = frames::get_thread_id((*parsed)[0]);
    if (!id) return std::move(id).error();
    return text(id.value());
}

Result<Ref> module_name_from_globals(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("module_name_from_globals", {"globals"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    Ref name = frames::module_name_from_globals((*parsed)[0]);
    if (!name) return PyError::fetch();
    return name;
}

Result<Ref> get_qualname(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("get_qualname", {"frame"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto frame = frame_argument("get_qualname", (*parsed)[0]);
    if (!frame) return std::move(frame).error();
    auto name = frames::get_qualname(frame.value());
    if (!name) return std::move(name).error();
    return name.value() ? text(*name.value()) : Ref::none();
}

// fast_locals(frame) -> [(name, value)] as read straight from the frame, or None when the read
// is refused.
Result<Ref> fast_locals(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("fast_locals", {"frame"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto frame = frame_argument("fast_locals", (*parsed)[0]);
    if (!frame) return std::move(frame).error();
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame.value())));
    frames::FastLocals fast;
    if (!fast.read(frame.value(), code.as<PyCodeObject>())) return Ref::none();
    Result<Ref> list = py::checked(PyList_New(0));
    if (!list) return list;
    for (const frames::FastLocal& local : fast) {
        Ref pair = Ref::steal(PyTuple_Pack(2, local.key, local.value));
        if (!pair || PyList_Append(list->get(), pair.get()) < 0) return PyError::fetch();
    }
    return list;
}

// frame_line_numbers(frame) -> (frame_line_number, frame_line_number_i32_with), each a line, None,
// or the exception it failed with.
Result<Ref> frame_line_numbers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("frame_line_numbers", {"frame"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto frame = frame_argument("frame_line_numbers", (*parsed)[0]);
    if (!frame) return std::move(frame).error();
    auto wide = frames::frame_line_number(frame.value());
    Ref first = !wide ? Ref::take(wide.error().value())
                : wide.value() ? Ref::steal(PyLong_FromUnsignedLongLong(*wide.value()))
                               : Ref::none();
    auto narrow = frames::frame_line_number_i32_with(frame.value());
    Ref second = !narrow ? Ref::take(narrow.error().value())
                 : narrow.value() ? Ref::steal(PyLong_FromLong(*narrow.value()))
                                  : Ref::none();
    if (!first || !second) return PyError::fetch();
    return py::checked(PyTuple_Pack(2, first.get(), second.get()));
}

// Paths

Result<Ref> lexical_normalize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("lexical_normalize", {"path"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto path = bytes_argument((*parsed)[0]);
    if (!path) return std::move(path).error();
    std::string normalized = frames::lexical_normalize(path.value());
    return py::checked(PyBytes_FromStringAndSize(normalized.data(), static_cast<Py_ssize_t>(normalized.size())));
}

Result<Ref> relative_path(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<2>("relative_path", {"filename", "base"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto filename = bytes_argument((*parsed)[0]);
    if (!filename) return std::move(filename).error();
    auto base = bytes_argument((*parsed)[1]);
    if (!base) return std::move(base).error();
    return text(frames::relative_path(filename.value(), base.value()));
}

Result<Ref> path_cache_new(PyObject*) { return testing::wrap(new frames::FramePathCache(), PATH_CACHE); }

// path_cache_call(cache, operation, argument): "base", "size", "frame" (argument: a frame) ->
// (path, code, eligible), "mark" (argument: a code object).
Result<Ref> path_cache_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* function = "path_cache_call";
    auto parsed = py::parse<3>(function, {"cache", "operation", "argument"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto cache = testing::unwrap<frames::FramePathCache>((*parsed)[0], PATH_CACHE);
    if (!cache) return std::move(cache).error();
    const char* operation = PyUnicode_AsUTF8((*parsed)[1]);
    if (operation == nullptr) return PyError::fetch();
    std::string_view which(operation);
    if (which == "base") return text(cache.value()->base_directory());
    if (which == "size") return py::checked(PyLong_FromSize_t(cache.value()->size()));
    if (!parsed->given(2)) return PyError::make(PyExc_TypeError, "this operation needs an argument");
    if (which == "mark") {
        cache.value()->mark_native_msgpack_unsupported(reinterpret_cast<std::uintptr_t>((*parsed)[2]));
        return Ref::none();
    }
    if (which == "frame") {
        auto frame = frame_argument(function, (*parsed)[2]);
        if (!frame) return std::move(frame).error();
        auto path = cache.value()->frame_path_and_native_eligibility(frame.value());
        if (!path) return std::move(path).error();
        Result<Ref> path_text = text(path.value().path);
        if (!path_text) return path_text;
        return py::checked(Py_BuildValue("(OOO)", path_text->get(), path.value().code.get(),
                                         path.value().native_eligible ? Py_True : Py_False));
    }
    return PyError::make(PyExc_ValueError, "unknown operation");
}

QUIB_TESTING_FUNCTION(py::noargs_method<new_frame_id>("new_frame_id", "new_frame_id()\n--\n\nA fresh frame id."));
QUIB_TESTING_FUNCTION(py::noargs_method<new_trace_id>("new_trace_id", "new_trace_id()\n--\n\nA fresh trace id."));
QUIB_TESTING_FUNCTION(py::fast_method<fast_locals>(
    "fast_locals", "fast_locals(frame)\n--\n\nThe frame's locals read straight from it, or None when refused."));
QUIB_TESTING_FUNCTION(py::noargs_method<timestamp>("timestamp", "timestamp()\n--\n\nThe engine's time stamp."));
QUIB_TESTING_FUNCTION(py::fast_method<ulid_of>(
    "ulid_of", "ulid_of(millis, random_high, random_low)\n--\n\nThe ULID text of the given parts."));
QUIB_TESTING_FUNCTION(py::noargs_method<frame_ids_new>("frame_ids_new", "frame_ids_new()\n--\n\nAn empty FrameIds."));
QUIB_TESTING_FUNCTION(py::fast_method<frame_ids_call>(
    "frame_ids_call", "frame_ids_call(ids, operation, address, argument=None)\n--\n\n"
                      "get_or_set (argument: event), get_option, abandon (argument: remember), take_abandoned, size."));
QUIB_TESTING_FUNCTION(py::noargs_method<call_frames_new>(
    "call_frames_new", "call_frames_new()\n--\n\nAn empty CallFrames."));
QUIB_TESTING_FUNCTION(py::fast_method<call_frames_site>(
    "call_frames_site", "call_frames_site(stack, frame, event, frame_id)\n--\n\n"
                        "get_user_code_call_site: (call frame id, line) or None."));
QUIB_TESTING_FUNCTION(py::fast_method<call_frames_view>(
    "call_frames_view", "call_frames_view(stack, what, frame_id=None)\n--\n\n\"snapshot\", \"ids\" or \"truncate\"."));
QUIB_TESTING_FUNCTION(py::fast_method<get_thread_id>(
    "get_thread_id", "get_thread_id(thread)\n--\n\nThe thread's id text."));
QUIB_TESTING_FUNCTION(py::fast_method<module_name_from_globals>(
    "module_name_from_globals", "module_name_from_globals(globals)\n--\n\nThe module name of a globals mapping."));
QUIB_TESTING_FUNCTION(py::fast_method<get_qualname>(
    "get_qualname", "get_qualname(frame)\n--\n\nThe frame's qualified name, or None."));
QUIB_TESTING_FUNCTION(py::fast_method<frame_line_numbers>(
    "frame_line_numbers", "frame_line_numbers(frame)\n--\n\n(unsigned line, signed 32-bit line)."));
QUIB_TESTING_FUNCTION(py::fast_method<lexical_normalize>(
    "lexical_normalize", "lexical_normalize(path)\n--\n\nThe normalized path, as bytes."));
QUIB_TESTING_FUNCTION(py::fast_method<relative_path>(
    "relative_path", "relative_path(filename, base)\n--\n\nfilename relative to the directory base."));
QUIB_TESTING_FUNCTION(py::noargs_method<path_cache_new>(
    "path_cache_new", "path_cache_new()\n--\n\nA FramePathCache for the current working directory."));
QUIB_TESTING_FUNCTION(py::fast_method<path_cache_call>(
    "path_cache_call", "path_cache_call(cache, operation, argument=None)\n--\n\n\"base\", \"size\", \"frame\", \"mark\"."));

}  // namespace
