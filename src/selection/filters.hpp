// Which frames are recorded, decided from the source file name of the frame's code: the user's
// include and ignore lists, and the built-in exclusions (libraries, frozen modules, quib's own
// modules, code compiled from strings, pytest's match expressions, attrs-generated code).
//
// The name verdict is a pure function of the file name, meant to be cached per code object by the
// tracers. Only code with an empty file name needs a look at the calling frames (attrs generates
// such code).
#pragma once

#include "py/error.hpp"
#include "selection/substring_finder.hpp"

#include <cstdint>
#include <string_view>

namespace quib::selection {

enum class NameVerdict : std::uint8_t {
    ForcedInclude,   // a user include entry matched
    Excluded,        // a built-in exclusion or a user ignore entry matched
    DefaultInclude,  // nothing matched; the frame test may still exclude it
};

// The strings under settings[key] as finders. No settings, a missing key or a failing lookup give
// an empty list; a value that is not a sequence of str (or is a str) fails with TypeError.
py::Result<Finders> load_filters(PyObject* settings, const char* key);

bool library_filter(std::string_view file_name) noexcept;
bool frozen_filter(std::string_view file_name) noexcept;
bool quib_filter(std::string_view file_name) noexcept;
bool exec_filter(std::string_view file_name) noexcept;
bool pytest_expression_filter(std::string_view file_name) noexcept;
bool attrs_generated_name(std::string_view file_name) noexcept;

NameVerdict name_verdict(std::string_view file_name, const Finders& include, const Finders& ignore) noexcept;

// Whether a frame whose verdict is DefaultInclude is attrs-generated code, looking at its callers
// when its file name is empty. The profiler passes the frame; the monitoring tracers, which have
// none, look at the Python stack through sys._getframe.
bool attrs_filter(std::string_view file_name, PyFrameObject* frame);
py::Result<bool> attrs_filter_monitoring(std::string_view file_name);

// The monitoring tracers' combined decision: true to record.
py::Result<bool> include_frame(std::string_view file_name, const Finders& include, const Finders& ignore);

// frame.f_code.co_filename as UTF-8, valid while the frame lives. A file name that is not a str is
// an internal failure.
std::string_view frame_filename(PyFrameObject* frame);

}  // namespace quib::selection
