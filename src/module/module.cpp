// The `_quib` extension module: registration only. Members are added in a fixed order, which is
// also the order of `__all__`: the idle-monitor functions, the two classes, then the remaining
// functions sorted by name. Engines that are not built yet have no row.
#include "module/functions.hpp"
#include "profiler/registration.hpp"
#include "py/entry.hpp"
#include "py/module_builder.hpp"
#include "values/construction_switches.hpp"

namespace {

using namespace quib;

PyMethodDef FUNCTIONS[] = {
    py::fast_method<module::count_plain_containers>(
        "_count_plain_containers",
        "_count_plain_containers(value, limit)\n--\n\n"
        "The number of exact lists and dicts in value (through list items and dict values, each occurrence "
        "counted), at most limit; 0 when value is not an exact list or dict. Runs no Python code."),
    py::noargs_method<module::current_thread_hook_state>(
        "_current_thread_hook_state",
        "_current_thread_hook_state()\n--\n\n"
        "The calling thread's hook state byte: 1 worker mark, 2 suspended, 4 assignments pending."),
    py::fast_method<module::frame_local>(
        "_frame_local",
        "_frame_local(frame, name)\n--\n\n"
        "Read one local of a frame as (frame.f_locals[name],), or None when unbound. Needs CPython 3.12 or "
        "newer; this engine always raises NotImplementedError."),
    py::fast_method<module::native_dump_msgpack>(
        "_native_dump_msgpack",
        "_native_dump_msgpack(value, lightweight_repr=False)\n--\n\n"
        "Encode value with the native MessagePack encoder that traced frames use, without a size budget."),
    py::noargs_method<module::native_construction_walk_state>(
        "_native_construction_walk_state",
        "_native_construction_walk_state()\n--\n\n"
        "State of the native walk for objects under construction: always \"unsupported\"."),
    py::noargs_method<module::native_encode_in_progress>(
        "_native_encode_in_progress",
        "_native_encode_in_progress()\n--\n\n"
        "Whether the calling thread is inside a native encode that runs Python code for a value."),
    py::noargs_method<module::native_objects_under_construction>(
        "_native_objects_under_construction",
        "_native_objects_under_construction()\n--\n\n"
        "Objects under construction found natively: always None (the host package answers)."),
    py::fast_method<module::repr_reuse_configure>(
        "_repr_reuse_configure",
        "_repr_reuse_configure(enabled=None, verify=None, stats=None)\n--\n\n"
        "Configure cross-event repr reuse. This engine has none; the arguments are checked and ignored."),
    py::fast_method<module::repr_reuse_stats>(
        "_repr_reuse_stats",
        "_repr_reuse_stats(reset=False)\n--\n\n"
        "Statistics of cross-event repr reuse: {\"enabled\": False}."),
    py::noargs_method<module::reset_thread_hooks_after_fork>(
        "_reset_thread_hooks_after_fork",
        "_reset_thread_hooks_after_fork()\n--\n\n"
        "In a forked child, make the calling thread traceable again: clear its worker mark and suspension. "
        "Returns the previous worker mark."),
    py::noargs_method<module::validated_objects_under_construction>(
        "_validated_objects_under_construction",
        "_validated_objects_under_construction()\n--\n\n"
        "Validated objects under construction found natively: always None (the host package answers)."),
    py::noargs_method<module::register_noop_profiler>(
        "register_noop_profiler",
        "register_noop_profiler()\n--\n\n"
        "Install, on the calling thread only, a native profile hook that ignores every event."),
    py::fast_method<profiler::register_profiler>(
        "register_profiler",
        "register_profiler(profiler)\n--\n\n"
        "Start recording through the profile hook with the host's profiler object's settings; sets its "
        "native_profiler attribute."),
    py::fast_method<module::set_current_thread_quib_worker>(
        "set_current_thread_quib_worker",
        "set_current_thread_quib_worker(value)\n--\n\n"
        "Mark (True) or unmark (False) the calling thread as a quib worker, which is never recorded. Returns "
        "the previous mark."),
    py::noargs_method<module::writer_circuit_open>(
        "writer_circuit_open",
        "writer_circuit_open()\n--\n\n"
        "True once a trace writer stopped making progress while its queue was full: tracing is then "
        "disabled until the process restarts."),
};

int execute_module(PyObject* module) noexcept {
    PyObject* failed = py::run_at_boundary([module]() -> py::Result<py::Ref> {
        auto builder = py::ModuleBuilder::start(module);
        if (!builder) return std::move(builder).error();
        for (PyMethodDef& definition : FUNCTIONS) {
            py::Status added = builder->add_function(&definition);
            if (!added) return std::move(added).error();
        }
        values::read_construction_switches();
        return py::Ref::none();
    });
    if (failed == nullptr) return -1;
    Py_DECREF(failed);
    return 0;
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute_module)},
    {0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT,
    "_quib",
    "",
    0,
    nullptr,
    SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__quib() { return PyModuleDef_Init(&MODULE); }
