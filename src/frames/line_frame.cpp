#include "frames/line_frame.hpp"

#include "frames/clock.hpp"
#include "frames/line_numbers.hpp"
#include "frames/qualname.hpp"
#include "py/attributes.hpp"

namespace quib::frames {

using py::PyError;
using py::Ref;
using py::Result;

namespace {

py::InternedName CO_NAME{"co_name"};
py::InternedName CO_QUALNAME{"co_qualname"};

Result<std::shared_ptr<const std::string>> computed_qualname(PyFrameObject* frame) {
    auto qualname = get_qualname(frame);
    if (!qualname) return std::move(qualname).error();
    if (!qualname.value()) throw py::InternalFailure("qualname always exists on Python 3.12+");
    return std::make_shared<const std::string>(std::move(*qualname.value()));
}

Result<std::shared_ptr<const std::string>> cached_qualname(LineCode& line_code, PyFrameObject* frame) {
    Ref globals = Ref::steal(py::compat::frame_globals(frame));
    if (!globals) return PyError::fetch();
    Ref module = module_name_from_globals(globals.get());
    if (!PyUnicode_Check(module.get())) {
        auto text = text_of(module.get());
        if (!text) return std::move(text).error();
        return std::make_shared<const std::string>(text.value() + "." + *line_code.co_qualname);
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(module.get(), &size);
    if (data == nullptr) return PyError::fetch();
    std::string_view module_text(data, static_cast<std::size_t>(size));
    auto cache = line_code.qualname_cache.lock();
    if (cache->has_value() && (*cache)->module == module_text) return (*cache)->qualname;
    auto qualname = std::make_shared<const std::string>(std::string(module_text) + "." + *line_code.co_qualname);
    *cache = LineCode::QualnameCache{std::string(module_text), qualname};
    return qualname;
}

}  // namespace

Result<std::shared_ptr<LineCode>> LineCode::create(PyObject* code, std::string path) {
    auto line_code = std::make_shared<LineCode>();
    line_code->path = std::move(path);
    Result<Ref> name = py::attribute(code, CO_NAME);
    if (!name) return std::move(name).error();
    auto name_text = text_of(name->get());
    if (!name_text) return std::move(name_text).error();
    line_code->co_name = std::move(name_text).value();
    // A missing or non-text co_qualname (before 3.11) means the name is looked up per frame.
    Result<Ref> qualname = py::attribute(code, CO_QUALNAME);
    if (qualname && PyUnicode_Check(qualname->get())) {
        auto text = text_of(qualname->get());
        if (!text) return std::move(text).error();
        line_code->co_qualname = std::move(text).value();
    }
    return line_code;
}

Result<LineFrame> LineFrame::capture(std::shared_ptr<LineCode> line_code, PyObject* code, PyFrameObject* frame,
                                     FramePathCache& path_cache, const FrameId& frame_id) {
    Ref frame_code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    if (!frame_code) return PyError::fetch();
    LineFrame captured{std::nullopt, std::nullopt, line_code, nullptr, frame_id, 0.0};
    if (frame_code.get() == code) {
        auto line = frame_line_number(frame);
        if (!line) return std::move(line).error();
        captured.line = line.value();
        auto qualname = line_code->co_qualname ? cached_qualname(*line_code, frame) : computed_qualname(frame);
        if (!qualname) return std::move(qualname).error();
        captured.qualname = std::move(qualname).value();
    } else {
        auto path = path_cache.frame_path_and_native_eligibility(frame);
        if (!path) return std::move(path).error();
        captured.path_with_line = std::move(path->path);
        auto qualname = computed_qualname(frame);
        if (!qualname) return std::move(qualname).error();
        captured.qualname = std::move(qualname).value();
    }
    captured.timestamp = frames::timestamp();
    return captured;
}

}  // namespace quib::frames
