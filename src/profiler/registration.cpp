#include "profiler/registration.hpp"

#include "config/size_settings.hpp"
#include "frames/clock.hpp"
#include "frames/thread_id.hpp"
#include "module/thread_hooks.hpp"
#include "profiler/profile_callback.hpp"
#include "profiler/profiler_object.hpp"
#include "py/args.hpp"
#include "py/attributes.hpp"
#include "py/conversions.hpp"
#include "py/interned.hpp"

namespace quib::profiler {

using py::PyError;
using py::Ref;
using py::Result;
using py::Status;

namespace {

py::InternedName CONFIG{"config"};
py::InternedName TRACE_ID{"trace_id"};
py::InternedName DB_PATH{"db_path"};
py::InternedName ONE_TRACE_PER_TEST{"one_trace_per_test"};
py::InternedName TRACE_NAME{"trace_name"};
py::InternedName SOURCE{"source"};
py::InternedName NATIVE_PROFILER{"native_profiler"};
py::InternedName CURRENT_THREAD{"current_thread"};
py::InternedName SETPROFILE{"setprofile"};
py::InternedName REGISTER_THREADING_PROFILER{"register_threading_profiler"};
py::InternedName THREADING_KEY{"threading"};

Result<std::string> utf8(PyObject* text) {
    auto view = py::utf8_view(text);
    if (!view) return std::move(view).error();
    return std::string(view.value());
}

// profiler.<name>, which must be a str.
Result<std::string> str_attribute(PyObject* profiler, py::InternedName& name) {
    Result<Ref> value = py::attribute(profiler, name);
    if (!value) return std::move(value).error();
    if (!PyUnicode_Check(value->get())) {
        return PyError::format(PyExc_TypeError, "profiler.%s must be a str, not %.200s", name.text(),
                               Py_TYPE(value->get())->tp_name);
    }
    return utf8(value->get());
}

Result<std::optional<std::string>> optional_str_attribute(PyObject* profiler, py::InternedName& name) {
    Result<Ref> value = py::attribute(profiler, name);
    if (!value) return std::move(value).error();
    if (value->get() == Py_None) return std::optional<std::string>();
    if (!PyUnicode_Check(value->get())) {
        return PyError::format(PyExc_TypeError, "profiler.%s must be None or a str, not %.200s", name.text(),
                               Py_TYPE(value->get())->tp_name);
    }
    auto text = utf8(value->get());
    if (!text) return std::move(text).error();
    return std::optional<std::string>(std::move(text).value());
}

// Builds the native record from the host object, in the order the host relies on for which error
// it sees first.
Result<std::shared_ptr<ProfilerState>> construct(PyObject* profiler) {
    auto state = std::make_shared<ProfilerState>();
    Result<Ref> config = py::attribute(profiler, CONFIG);
    if (!config) return std::move(config).error();
    if (!PyDict_Check(config->get())) {
        return PyError::format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyDict'",
                               Py_TYPE(config->get())->tp_name);
    }
    PyObject* settings = config->get();
    // The settings are read once: a copy, so that later changes to the host's dict do not show up
    // in the metadata of the traces this profiler saves.
    Result<Ref> copy = py::checked(PyDict_Copy(settings));
    if (!copy) return std::move(copy).error();
    state->settings = std::move(copy).value();
    auto parsed = config::Config::create(settings);
    if (!parsed) return std::move(parsed).error();
    state->config = std::move(parsed).value();

    PyObject* filters = PyDict_GetItemString(settings, "filters");  // borrowed; a plain dict lookup
    if (filters == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        throw py::InternalFailure("config.get(\"filters\") should not raise.");
    }
    Ref filters_ref = Ref::take(filters);

    auto trace_id = str_attribute(profiler, TRACE_ID);
    if (!trace_id) return std::move(trace_id).error();
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return PyError::fetch();
    Result<Ref> current_thread = py::attribute(threading.get(), CURRENT_THREAD);
    if (!current_thread) return std::move(current_thread).error();
    state->current_thread = current_thread.value();
    Result<Ref> thread = py::checked(PyObject_CallNoArgs(current_thread->get()));
    if (!thread) return std::move(thread).error();

    auto flush = config::resolve_flush_subtree_bytes(settings);
    if (!flush) return std::move(flush).error();
    state->flush_subtree_bytes = flush.value();

    Result<Ref> db_path = py::attribute(profiler, DB_PATH);
    if (!db_path) return std::move(db_path).error();
    Result<Ref> db_text = py::checked(PyObject_Str(db_path->get()));
    if (!db_text) return std::move(db_text).error();
    auto db = utf8(db_text->get());
    if (!db) return std::move(db).error();
    state->db_path = std::move(db).value();

    state->start_time = frames::timestamp();
    *state->trace_id.lock() = trace_id.value();
    *state->capture->lock() = state->new_capture(trace_id.value());
    state->fork_tracking = storage::fork_handler_registered();

    Result<Ref> per_test = py::attribute(profiler, ONE_TRACE_PER_TEST);
    if (!per_test) return std::move(per_test).error();
    Result<bool> per_test_flag = py::bool_argument("register_profiler", "one_trace_per_test", per_test->get());
    if (!per_test_flag) return std::move(per_test_flag).error();
    state->one_trace_per_test = per_test_flag.value();
    *state->root_trace_id.lock() = trace_id.value();

    auto configured_name = optional_str_attribute(profiler, TRACE_NAME);
    if (!configured_name) return std::move(configured_name).error();
    state->configured_trace_name = configured_name.value();
    auto current_name = optional_str_attribute(profiler, TRACE_NAME);
    if (!current_name) return std::move(current_name).error();
    *state->trace_name.lock() = std::move(current_name).value();

    auto source = str_attribute(profiler, SOURCE);
    if (!source) return std::move(source).error();
    state->source = std::move(source).value();

    auto include = selection::load_filters(filters_ref.get(), "include_frames");
    if (!include) return std::move(include).error();
    state->include = std::move(include).value();
    auto ignore = selection::load_filters(filters_ref.get(), "ignore_frames");
    if (!ignore) return std::move(ignore).error();
    state->ignore = std::move(ignore).value();

    auto max_value = config::resolve_max_value_bytes(settings);
    if (!max_value) return std::move(max_value).error();
    state->max_value_bytes = max_value.value();
    auto plugins = selection::load_plugins(settings, state->max_value_bytes);
    if (!plugins) return std::move(plugins).error();
    *state->plugins.lock() = std::move(plugins).value();

    auto main_thread = frames::get_thread_id(thread->get());
    if (!main_thread) return std::move(main_thread).error();
    state->main_thread_id = std::move(main_thread).value();

    auto timeout = state->config.get_or("sqlite_busy_timeout", config::DEFAULT_SQLITE_BUSY_TIMEOUT);
    if (!timeout) return std::move(timeout).error();
    state->busy_timeout = timeout.value();
    auto lightweight = state->config.get_or("lightweight_repr");
    if (!lightweight) return std::move(lightweight).error();
    state->lightweight_repr = lightweight.value();
    auto serializer = values::Serializer::shared();
    if (!serializer) return std::move(serializer).error();
    state->serializer = serializer.value();
    state->path_cache = std::make_unique<frames::FramePathCache>();
    auto omit = state->config.get_or("omit_return_locals");
    if (!omit) return std::move(omit).error();
    state->omit_return_locals = omit.value();

    // The low-water mark sits 64 MiB below thresholds up to 512 MiB, at seven eighths above.
    if (state->flush_subtree_bytes && *state->flush_subtree_bytes > 1048575) {
        std::uint64_t flush_bytes = *state->flush_subtree_bytes;
        std::uint64_t gap = std::max<std::uint64_t>(flush_bytes / 8, 67108864);
        state->flush_low_water_bytes = flush_bytes > gap ? flush_bytes - gap : 0;
    }
    return state;
}

// config["threading"] by item access on the host object's config: anything but True is false.
bool threading_requested(PyObject* profiler) {
    Result<Ref> config = py::attribute(profiler, CONFIG);
    if (!config) {
        PyErr_Clear();
        return false;
    }
    PyObject* key = THREADING_KEY.get();
    if (key == nullptr) {
        PyErr_Clear();
        return false;
    }
    Ref value = Ref::steal(PyObject_GetItem(config->get(), key));
    if (!value) {
        PyErr_Clear();
        return false;
    }
    return value.get() == Py_True;
}

}  // namespace

Result<Ref> register_profiler(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("register_profiler", {"profiler"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    PyObject* profiler = (*parsed)[0];
    if (!PyCallable_Check(profiler)) return PyError::make(PyExc_TypeError, "profiler object is not callable");

    // The host's own Python code run during construction is not to be recorded by a tracer that
    // may already be installed.
    hooks::Suspension suspension;
    auto state = construct(profiler);
    if (!state) return std::move(state).error();
    auto object = make_profiler_object(std::move(state).value());
    if (!object) return object;
    PyObject* name = NATIVE_PROFILER.get();
    if (name == nullptr) return PyError::fetch();
    if (PyObject_SetAttr(profiler, name, object->get()) < 0) return PyError::fetch();

    PyEval_SetProfile(profile_callback, object->get());

    if (threading_requested(profiler)) {
        Ref threading = Ref::steal(PyImport_ImportModule("threading"));
        if (!threading) return PyError::fetch();
        Result<Ref> setprofile = py::attribute(threading.get(), SETPROFILE);
        if (!setprofile) return std::move(setprofile).error();
        Result<Ref> method = py::attribute(object->get(), REGISTER_THREADING_PROFILER);
        if (!method) return std::move(method).error();
        Result<Ref> done = py::checked(PyObject_CallOneArg(setprofile->get(), method->get()));
        if (!done) return std::move(done).error();
    }
    return Ref::none();
}

}  // namespace quib::profiler
