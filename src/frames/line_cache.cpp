#include "frames/line_cache.hpp"

namespace quib::frames {

namespace {

int instruction_offset(PyFrameObject* frame) {
#if QUIB_PY_AT_LEAST(3, 11)
    return PyFrame_GetLasti(frame);
#else
    return frame->f_lasti;
#endif
}

}  // namespace

int LineCache::line_of(PyFrameObject* frame) {
    int offset = instruction_offset(frame);
    // While a trace function runs (a debugger), the interpreter may report a line it set itself
    // rather than the one of the instruction; a frame that has not started has no offset yet.
    if (offset < 0 || PyThreadState_Get()->c_tracefunc != nullptr) return PyFrame_GetLineNumber(frame);
    PyCodeObject* code = PyFrame_GetCode(frame);  // new reference
    auto key = reinterpret_cast<std::uintptr_t>(code);
    Entry& entry = entries_[((key >> 4) ^ static_cast<std::uintptr_t>(offset) * 0x9E3779B1u) % SIZE];
    if (entry.code.get() == reinterpret_cast<PyObject*>(code) && entry.offset == offset) {
        Py_DECREF(code);
        return entry.line;
    }
    int line = PyFrame_GetLineNumber(frame);
    entry.code = py::Ref::steal(reinterpret_cast<PyObject*>(code));
    entry.offset = offset;
    entry.line = line;
    return line;
}

}  // namespace quib::frames
