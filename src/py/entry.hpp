// The boundary between the interpreter and the engine. Every function the interpreter calls runs
// its body through `run_at_boundary`, which turns a returned `PyError` into the raised exception and
// catches every C++ exception, so nothing ever unwinds into CPython. An internal failure reaching a
// module function's boundary is raised to its caller as `InternalPanic` (callbacks of the tracers
// report and stop instead; they catch on their own).
#pragma once

#include "py/error.hpp"

namespace quib::py {

// Must be called from inside a catch handler: sets the Python exception that stands for the
// C++ exception being handled (MemoryError for std::bad_alloc, InternalPanic otherwise).
void raise_caught_failure() noexcept;
// Must be called from inside a catch handler: the text of the C++ exception being handled
// ("unknown panic" when it carries none).
const char* caught_failure_text() noexcept;

template <class Body>
PyObject* run_at_boundary(Body&& body) noexcept {
    try {
        Result<Ref> result = body();
        if (!result) return std::move(result).error().raise();
        return std::move(result).value().release();
    } catch (...) {
        raise_caught_failure();
        return nullptr;
    }
}

using FastBody = Result<Ref> (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
using NoArgsBody = Result<Ref> (*)(PyObject* self);

template <FastBody Body>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_at_boundary([&] { return Body(self, args, nargs, kwnames); });
}

template <NoArgsBody Body>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
    return run_at_boundary([&] { return Body(self); });
}

// Method-table rows. `doc` starts with the text signature, "--" and an empty line.
template <FastBody Body>
PyMethodDef fast_method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<Body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

template <NoArgsBody Body>
PyMethodDef noargs_method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&noargs_entry<Body>)), METH_NOARGS,
            doc};
}

}  // namespace quib::py
