// Qualified names of running code: "<module>.<qualified name>", for example app.views.View.get.
// CPython 3.11 and newer name code directly (co_qualname); on older interpreters a few lookups in
// the frame and its caller find the function object and take its __qualname__.
#pragma once

#include "py/error.hpp"

#include <optional>
#include <string>

namespace quib::frames {

// The module name from a frame's globals: its "__name__" item (exact dicts without running Python
// code), or the string "<unknown>". Never fails.
py::Ref module_name_from_globals(PyObject* globals);
// The same for a frame; fails only when the frame's globals cannot be read.
py::Result<py::Ref> get_qualname_module(PyFrameObject* frame);
// The frame's qualified name, or nullopt when it cannot be determined (older interpreters only).
py::Result<std::optional<std::string>> get_qualname(PyFrameObject* frame);

// str(object) as UTF-8.
py::Result<std::string> text_of(PyObject* object);

}  // namespace quib::frames
