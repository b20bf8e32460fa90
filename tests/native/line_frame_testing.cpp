// Test entries for line frames.
#include "registry.hpp"

#include "frames/line_frame.hpp"
#include "py/args.hpp"

#include <map>

namespace {

using namespace quib;
using py::PyError;
using py::Ref;
using py::Result;

struct KeptCode {
    Ref code;
    std::shared_ptr<frames::LineCode> line_code;
};

// Line codes made by tests, by code address; they live as long as the test module.
std::map<std::uintptr_t, KeptCode>& kept() {
    static auto* codes = new std::map<std::uintptr_t, KeptCode>();
    return *codes;
}

frames::FramePathCache& path_cache() {
    static auto* cache = new frames::FramePathCache();
    return *cache;
}

// line_frame_capture(code, path, frame): the LineFrame of `frame` against the line code of `code`
// as a dict; "qualname_address" tells whether two captures share one qualified-name text.
Result<Ref> line_frame_capture(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<3>("line_frame_capture", {"code", "path", "frame"}, 3, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    PyObject* code = (*parsed)[0];
    const char* path = PyUnicode_AsUTF8((*parsed)[1]);
    if (path == nullptr) return PyError::fetch();
    if (!PyFrame_Check((*parsed)[2])) return py::argument_type_error("line_frame_capture", "frame", "frame", (*parsed)[2]);
    auto key = reinterpret_cast<std::uintptr_t>(code);
    auto found = kept().find(key);
    if (found == kept().end()) {
        auto line_code = frames::LineCode::create(code, path);
        if (!line_code) return std::move(line_code).error();
        found = kept().emplace(key, KeptCode{Ref::take(code), std::move(line_code).value()}).first;
    }
    frames::FrameId id = frames::FrameId::fresh();
    auto frame = frames::LineFrame::capture(found->second.line_code, code,
                                            reinterpret_cast<PyFrameObject*>((*parsed)[2]), path_cache(), id);
    if (!frame) return std::move(frame).error();
    const frames::LineFrame& f = frame.value();
    Ref path_with_line = f.path_with_line ? Ref::steal(PyUnicode_FromString(f.path_with_line->c_str())) : Ref::none();
    Ref line = f.line ? Ref::steal(PyLong_FromUnsignedLongLong(*f.line)) : Ref::none();
    if (!path_with_line || !line) return PyError::fetch();
    return py::checked(Py_BuildValue("{s:O,s:O,s:s,s:K,s:s#,s:d,s:s}", "path_with_line", path_with_line.get(), "line",
                                     line.get(), "qualname", f.qualname->c_str(), "qualname_address",
                                     static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(f.qualname.get())),
                                     "frame_id", f.frame_id.bytes.data(), static_cast<Py_ssize_t>(f.frame_id.bytes.size()),
                                     "timestamp", f.timestamp, "co_name", f.code->co_name.c_str()));
}

QUIB_TESTING_FUNCTION(py::fast_method<line_frame_capture>("line_frame_capture",
                                                          "line_frame_capture(code, path, frame)\n--\n\n"));

}  // namespace
