// The text that names a thread in records and traces: "native_" + the OS thread id, or "ident_" +
// the interpreter's thread identifier when there is no native id, or "no_thread_id".
#pragma once

#include "py/error.hpp"

#include <string>

namespace quib::frames {

// `thread` is a threading.Thread. A thread that has neither id gives "no_thread_id" after the line
// "Quib warning: thread has no id: <name>" on standard output; other failures of the attribute
// reads are returned.
py::Result<std::string> get_thread_id(PyObject* thread);

}  // namespace quib::frames
