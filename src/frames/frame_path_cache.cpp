#include "frames/frame_path_cache.hpp"

#include "frames/line_numbers.hpp"
#include "frames/paths.hpp"
#include "py/conversions.hpp"
#include "py/attributes.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <vector>

namespace quib::frames {

using py::PyError;
using py::Ref;
using py::Result;

namespace {

py::InternedName CO_FILENAME{"co_filename"};

std::string working_directory() {
    std::vector<char> buffer(4096);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) throw py::InternalFailure("Current directory is invalid");
        buffer.resize(buffer.size() * 2);
    }
    return std::string(buffer.data());
}

}  // namespace

Result<std::string> code_filename(PyObject* code) {
    Result<Ref> filename = py::attribute(code, CO_FILENAME);
    if (!filename) return std::move(filename).error();
    if (!PyUnicode_Check(filename->get())) return py::conversion_error(filename->get(), "PyString");
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(filename->get(), &size)) {
        return std::string(text, static_cast<std::size_t>(size));
    }
    // Undecodable bytes of a file name arrive as lone surrogates: give the OS's bytes back.
    PyErr_Clear();
    Result<Ref> bytes = py::checked(PyUnicode_EncodeFSDefault(filename->get()));
    if (!bytes) return std::move(bytes).error();
    return std::string(PyBytes_AS_STRING(bytes->get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes->get())));
}

FramePathCache::FramePathCache() : base_(working_directory()) {}

FramePathCache::FramePathCache(std::string base_directory) : base_(std::move(base_directory)) {}

std::string FramePathCache::relative_path(std::string_view filename) const {
    return frames::relative_path(filename, base_);
}

Result<CodePath> FramePathCache::code_path(PyObject* code) {
    auto address = reinterpret_cast<std::uintptr_t>(code);
    {
        auto entries = entries_.lock();
        auto found = entries->find(address);
        if (found != entries->end()) return CodePath{found->second.path, found->second.native_eligible};
    }
    // Computed outside the lock; a thread that cached the same code meanwhile computed the same
    // text, and its entry (with any eligibility mark made since) is kept.
    Result<std::string> filename = code_filename(code);
    if (!filename) return std::move(filename).error();
    std::string path = relative_path(filename.value());
    auto entries = entries_.lock();
    auto [entry, inserted] = entries->try_emplace(address, Entry{path, Ref::take(code), true});
    return CodePath{entry->second.path, entry->second.native_eligible};
}

Result<FramePath> FramePathCache::frame_path_and_native_eligibility(PyFrameObject* frame) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    if (!code) throw py::InternalFailure("A frame always has an `f_code`");
    Result<CodePath> cached = code_path(code.get());
    if (!cached) return std::move(cached).error();
    auto line = frame_line_number(frame);
    if (!line) return std::move(line).error();
    std::string text = std::move(cached.value().path);
    text += ':';
    if (line.value()) {
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, *line.value()).ptr;
        text.append(digits, end);
    } else {
        text += "None";
    }
    return FramePath{std::move(text), std::move(code), cached.value().native_eligible};
}

void FramePathCache::mark_native_msgpack_unsupported(std::uintptr_t code) {
    auto entries = entries_.lock();
    auto found = entries->find(code);
    if (found != entries->end()) found->second.native_eligible = false;
}

std::size_t FramePathCache::size() { return entries_.lock()->size(); }

}  // namespace quib::frames
