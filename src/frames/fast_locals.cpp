#include "frames/fast_locals.hpp"

#include <cstdint>

namespace quib::frames {

#if QUIB_PY_AT_LEAST(3, 11) && !QUIB_PY_AT_LEAST(3, 14)

namespace {

// The leading fields of the interpreter's frame object and frame data, as each of these versions
// lays them out (internal/pycore_frame.h). Every read checks that the layout holds for the frame at
// hand (the frame data names the same code object and frame object) before trusting anything else.
struct FrameObjectLayout {
    PyObject_HEAD
    PyFrameObject* f_back;
    void* f_frame;
    PyObject* f_trace;
    int f_lineno;
    char f_trace_lines;
    char f_trace_opcodes;
#if QUIB_PY_AT_LEAST(3, 13)
    PyObject* f_extra_locals;  // what a debugger wrote through f_locals under names the code lacks
    PyObject* f_locals_cache;
#else
    char f_fast_as_locals;
#endif
};

struct InterpreterFrameLayout {
#if QUIB_PY_AT_LEAST(3, 12)
    PyObject* f_code;  // f_executable on 3.13
    void* previous;
    PyObject* f_funcobj;
    PyObject* f_globals;
    PyObject* f_builtins;
    PyObject* f_locals;
    PyObject* frame_obj;
    void* instruction;
    int stacktop;
    std::uint16_t return_offset;
    char owner;
#else
    PyObject* f_func;
    PyObject* f_globals;
    PyObject* f_builtins;
    PyObject* f_locals;
    PyObject* f_code;
    PyObject* frame_obj;
    void* previous;
    void* prev_instr;
    int stacktop;
    bool is_entry;
    char owner;
#endif
    PyObject* localsplus[1];
};

constexpr unsigned char FAST_HIDDEN = 0x10;  // a name only an inlined comprehension binds (3.12+)
constexpr unsigned char FAST_CELL = 0x40;
constexpr unsigned char FAST_FREE = 0x80;

bool is_builtins_name(PyObject* name) noexcept {
    return PyUnicode_GET_LENGTH(name) == 12 && PyUnicode_CompareWithASCIIString(name, "__builtins__") == 0;
}

}  // namespace

bool FastLocals::read(PyFrameObject* frame, PyCodeObject* code) noexcept {
    size_ = 0;
    if ((code->co_flags & CO_OPTIMIZED) == 0) return false;
    auto* object = reinterpret_cast<FrameObjectLayout*>(frame);
    auto* data = static_cast<InterpreterFrameLayout*>(object->f_frame);
    if (data == nullptr || data->f_code != reinterpret_cast<PyObject*>(code) ||
        data->frame_obj != reinterpret_cast<PyObject*>(frame)) {
        return false;
    }
    // Locals asked for before: the frame's dict (3.11, 3.12) may hold what the slots no longer do,
    // in an order of its own; extra locals (3.13) come after the slots.
    if (data->f_locals != nullptr) return false;
#if QUIB_PY_AT_LEAST(3, 13)
    if (object->f_extra_locals != nullptr) return false;
#endif
    // The local slots are valid for the frame's whole life; the stack top is not looked at (during
    // a return event it is marked unset), as the interpreter's own locals reads do not.
    const int count = code->co_nlocalsplus;
    if (count < 0) return false;
    PyObject* names = code->co_localsplusnames;
    PyObject* kinds = code->co_localspluskinds;
    if (names == nullptr || kinds == nullptr || !PyTuple_CheckExact(names) || !PyBytes_CheckExact(kinds) ||
        PyTuple_GET_SIZE(names) != count || PyBytes_GET_SIZE(kinds) != count) {
        return false;
    }
    const auto* kind_of = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(kinds));
    for (int i = 0; i < count; ++i) {
        PyObject* value = data->localsplus[i];
        const unsigned char kind = kind_of[i];
        if (kind & FAST_HIDDEN) {
            if (value != nullptr) return false;  // a comprehension is running: its names are not locals
            continue;
        }
        if (value == nullptr) continue;  // unbound
        if (kind & (FAST_CELL | FAST_FREE)) {
            // A cell variable that is also an argument holds the plain argument until the code makes
            // its cell; the profile hook's events come after that, so anything else is unexpected.
            if (!PyCell_Check(value)) return false;
            value = PyCell_GET(value);
            if (value == nullptr) continue;  // an empty cell
        }
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (!PyUnicode_CheckExact(name)) return false;
        if (is_builtins_name(name)) continue;
        if (size_ == CAPACITY) return false;
        entries_[size_++] = FastLocal{name, value};
    }
    return true;
}

#else

bool FastLocals::read(PyFrameObject*, PyCodeObject*) noexcept {
    size_ = 0;
    return false;
}

#endif

}  // namespace quib::frames
