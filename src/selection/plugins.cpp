#include "selection/plugins.hpp"

#include "frames/clock.hpp"
#include "frames/frame_id.hpp"
#include "frames/line_numbers.hpp"
#include "module/host.hpp"
#include "py/conversions.hpp"
#include "values/dump_capped.hpp"
#include "py/interned.hpp"

namespace quib::selection {

using py::PyError;
using py::Ref;
using py::Result;
using py::Status;

namespace {

Result<std::string> text_of(PyObject* value, const char* key) {
    if (!PyUnicode_Check(value)) {
        return PyError::format(PyExc_TypeError, "plugin entry '%s' must be str, not %.200s", key,
                               Py_TYPE(value)->tp_name);
    }
    auto view = py::utf8_view(value);
    if (!view) return std::move(view).error();
    return std::string(view.value());
}

// plugin[key] as text; a missing key is the KeyError of the lookup.
Result<std::string> required_text(PyObject* plugin, const char* key) {
    Ref value = Ref::steal(PyMapping_GetItemString(plugin, key));
    if (!value) return PyError::fetch();
    return text_of(value.get(), key);
}

// plugin[key] as text, or nullopt when missing or None.
Result<std::optional<std::string>> optional_text(PyObject* plugin, const char* key) {
    PyObject* value = PyDict_GetItemString(plugin, key);  // borrowed; plugin is a dict
    if (value == nullptr || value == Py_None) return std::optional<std::string>();
    Result<std::string> text = text_of(value, key);
    if (!text) return std::move(text).error();
    return std::optional<std::string>(std::move(text).value());
}

Result<std::optional<std::vector<std::string>>> optional_events(PyObject* plugin) {
    PyObject* value = PyDict_GetItemString(plugin, "events");
    if (value == nullptr || value == Py_None) return std::optional<std::vector<std::string>>();
    if (PyUnicode_Check(value) || !PySequence_Check(value)) {
        return PyError::format(PyExc_TypeError, "plugin entry 'events' must be a list of str, not %.200s",
                               Py_TYPE(value)->tp_name);
    }
    Py_ssize_t size = PySequence_Size(value);
    if (size < 0) return PyError::fetch();
    std::vector<std::string> events;
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(value, i));
        if (!item) return PyError::fetch();
        Result<std::string> event = text_of(item.get(), "events");
        if (!event) return std::move(event).error();
        events.push_back(std::move(event).value());
    }
    return std::optional<std::vector<std::string>>(std::move(events));
}

Result<Ref> build_context_of(PyObject* plugin, PyObject* settings) {
    Result<Ref> builder = get_callable(plugin, "build_context");
    if (!builder) return builder;
    if (!builder.value()) return py::checked(PyDict_New());
    Result<Ref> context = py::checked(PyObject_CallOneArg(builder->get(), settings));
    if (context && !PyDict_Check(context->get())) {
        return PyError::format(PyExc_TypeError, "plugin build_context must return a dict, not %.200s",
                               Py_TYPE(context->get())->tp_name);
    }
    return context;
}

Result<std::shared_ptr<PluginProcessor>> make_processor(PyObject* plugin, const Ref& context,
                                                        std::optional<std::uint64_t> max_value_bytes) {
    auto processor = std::make_shared<PluginProcessor>();
    Result<std::string> fragment = required_text(plugin, "path_fragment");
    if (!fragment) return std::move(fragment).error();
    processor->path_fragment = SubstringFinder(std::move(fragment).value());
    for (auto [key, field] : {std::pair{"call_type", &processor->call_type},
                              std::pair{"return_type", &processor->return_type}}) {
        Result<std::string> text = required_text(plugin, key);
        if (!text) return std::move(text).error();
        *field = std::move(text).value();
    }
    // Unspecified types fall back: unwind and yield to return, resume to call, throw to unwind.
    struct Fallback {
        const char* key;
        std::string* field;
        const std::string* otherwise;
    };
    for (Fallback fallback : {Fallback{"unwind_type", &processor->unwind_type, &processor->return_type},
                              Fallback{"resume_type", &processor->resume_type, &processor->call_type},
                              Fallback{"yield_type", &processor->yield_type, &processor->return_type},
                              Fallback{"throw_type", &processor->throw_type, &processor->unwind_type}}) {
        auto text = optional_text(plugin, fallback.key);
        if (!text) return std::move(text).error();
        *fallback.field = text->has_value() ? std::move(**text) : *fallback.otherwise;
    }
    auto subtype = optional_text(plugin, "subtype");
    if (!subtype) return std::move(subtype).error();
    processor->subtype = std::move(subtype).value();
    for (auto [key, field] : {std::pair{"call", &processor->matcher}, std::pair{"process", &processor->processor}}) {
        Result<Ref> callable = get_callable(plugin, key);
        if (!callable) return std::move(callable).error();
        *field = std::move(callable).value();
    }
    auto events = optional_events(plugin);
    if (!events) return std::move(events).error();
    processor->events = std::move(events).value();
    processor->build_context = context;
    processor->max_value_bytes = max_value_bytes;
    return processor;
}

Status add_plugin(PluginRegistry& registry, PyObject* plugin, PyObject* settings,
                  std::optional<std::uint64_t> max_value_bytes) {
    if (!PyDict_Check(plugin)) {
        return PyError::format(PyExc_TypeError, "each plugin must be a dict, not %.200s", Py_TYPE(plugin)->tp_name);
    }
    Ref co_names = Ref::steal(PyMapping_GetItemString(plugin, "co_names"));
    if (!co_names) return PyError::fetch();
    Result<Ref> context = build_context_of(plugin, settings);
    if (!context) return std::move(context).error();
    Ref names = Ref::steal(PyObject_GetIter(co_names.get()));
    if (!names) return PyError::fetch();
    while (Ref name = Ref::steal(PyIter_Next(names.get()))) {
        Result<std::string> code_name = text_of(name.get(), "co_names");
        if (!code_name) return std::move(code_name).error();
        auto processor = make_processor(plugin, context.value(), max_value_bytes);
        if (!processor) return std::move(processor).error();
        registry[std::move(code_name).value()].push_back(std::move(processor).value());
    }
    if (PyErr_Occurred()) return PyError::fetch();
    return Status();
}

}  // namespace

const std::string& PluginProcessor::type_for(int event) const noexcept {
    switch (event) {
        case 0: return call_type;
        case 1: return return_type;
        case 2: return unwind_type;
        case 3: return resume_type;
        case 4: return yield_type;
        default: return throw_type;
    }
}

bool PluginProcessor::admits(int event) const noexcept {
    if (!events) return true;
    std::string_view name = EVENT_NAMES[static_cast<std::size_t>(event)];
    for (const std::string& allowed : *events) {
        if (allowed == name) return true;
    }
    return false;
}

Result<bool> PluginProcessor::matches_event(PyObject* frame, int event, PyObject* argument) const {
    if (!matcher) return true;
    Ref name = Ref::steal(PyUnicode_FromString(EVENT_NAMES[static_cast<std::size_t>(event)]));
    if (!name) return PyError::fetch();
    PyObject* call_args[] = {frame, name.get(), argument != nullptr ? argument : Py_None, build_context.get()};
    Ref verdict = Ref::steal(PyObject_Vectorcall(matcher.get(), call_args, 4, nullptr));
    if (!verdict) return PyError::fetch();
    if (verdict.get() == Py_True) return true;
    if (verdict.get() == Py_False) return false;
    return PyError::format(PyExc_TypeError, "plugin matcher must return a bool, not %.200s",
                           Py_TYPE(verdict.get())->tp_name);
}

namespace {

bool opens_run(int event) noexcept { return event == 0 || event == 3 || event == 5; }

Result<Ref> text_object(std::string_view text) {
    return py::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Status set_text(PyObject* dict, const char* key, std::string_view text) {
    Result<Ref> value = text_object(text);
    if (!value) return std::move(value).error();
    return py::checked_status(PyDict_SetItemString(dict, key, value->get()));
}

// {"call_frame_id": id, "line_number": line} of the nearest recorded frame other than `frame`
// itself, or None.
Result<Ref> call_site_of(PyObject* frame, PyObject* call_site_frames) {
    if (call_site_frames == nullptr || !PyList_Check(call_site_frames)) return Ref::none();
    Py_ssize_t count = PyList_GET_SIZE(call_site_frames);
    for (Py_ssize_t i = count - 1; i >= 0; --i) {
        PyObject* entry = PyList_GET_ITEM(call_site_frames, i);
        PyObject* entry_frame = PyTuple_GET_ITEM(entry, 0);
        if (entry_frame == frame) continue;  // the traced frame's own record
        if (!PyFrame_Check(entry_frame)) {
            return PyError::format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyFrame'",
                                   Py_TYPE(entry_frame)->tp_name);
        }
        auto line = frames::frame_line_number_i32_with(reinterpret_cast<PyFrameObject*>(entry_frame));
        if (!line) return std::move(line).error();
        Ref line_object = line.value() ? Ref::steal(PyLong_FromLong(*line.value())) : Ref::none();
        if (!line_object) return PyError::fetch();
        return py::checked(Py_BuildValue("{s:O,s:O}", "call_frame_id", PyTuple_GET_ITEM(entry, 1), "line_number",
                                         line_object.get()));
    }
    return Ref::none();
}

}  // namespace

Result<std::string> PluginProcessor::frame_id_for(PyObject* frame, int event) {
    auto key = reinterpret_cast<std::uintptr_t>(frame);
    auto ids = frame_ids.lock();
    if (!opens_run(event)) {
        auto found = ids->find(key);
        if (found != ids->end()) return found->second;
        return std::string(frames::FrameId::fresh().view());
    }
    std::string id(frames::FrameId::fresh().view());
    (*ids)[key] = id;
    return id;
}

Result<std::optional<PluginRecord>> PluginProcessor::process(PyObject* frame, int event, PyObject* argument,
                                                             PyObject* call_site_frames, bool lightweight_repr,
                                                             const values::Serializer& serializer) {
    using Answer = std::optional<PluginRecord>;
    if (!admits(event)) return Answer();
    Ref record = Ref::steal(PyDict_New());
    if (!record) return PyError::fetch();
    Result<std::string> id = frame_id_for(frame, event);
    if (!id) return std::move(id).error();
    if (Status set = set_text(record.get(), "frame_id", id.value()); !set) return std::move(set).error();
    Ref stamp = Ref::steal(PyFloat_FromDouble(frames::timestamp()));
    if (!stamp || PyDict_SetItemString(record.get(), "timestamp", stamp.get()) < 0) return PyError::fetch();
    Result<Ref> site = call_site_of(frame, call_site_frames);
    if (!site) return std::move(site).error();
    if (PyDict_SetItemString(record.get(), "user_code_call_site", site->get()) < 0) return PyError::fetch();
    if (Status set = set_text(record.get(), "type", type_for(event)); !set) return std::move(set).error();
    if (subtype) {
        if (Status set = set_text(record.get(), "subtype", *subtype); !set) return std::move(set).error();
    }
    if (processor) {
        Ref name = Ref::steal(PyUnicode_FromString(EVENT_NAMES[static_cast<std::size_t>(event)]));
        if (!name) return PyError::fetch();
        PyObject* call_args[] = {frame, name.get(), argument != nullptr ? argument : Py_None, build_context.get()};
        Ref entries = Ref::steal(PyObject_Vectorcall(processor.get(), call_args, 4, nullptr));
        bool merged = false;
        if (entries) {
            // A dict, or any collections.abc.Mapping, is merged with dict.update.
            int is_mapping = PyDict_Check(entries.get()) ? 1 : 0;
            if (!is_mapping) {
                Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
                Ref mapping = abc ? Ref::steal(PyObject_GetAttrString(abc.get(), "Mapping")) : Ref();
                is_mapping = mapping ? PyObject_IsInstance(entries.get(), mapping.get()) : -1;
            }
            if (is_mapping == 1) {
                merged = PyDict_Update(record.get(), entries.get()) == 0;
            } else if (is_mapping == 0) {
                PyErr_Format(PyExc_TypeError, "plugin process must return a mapping, not %.200s",
                             Py_TYPE(entries.get())->tp_name);
            }
        }
        if (!merged) PyErr_WriteUnraisable(processor.get());
    }
    PyObject* type = PyDict_GetItemString(record.get(), "type");  // borrowed
    if (type == nullptr) throw py::InternalFailure("type is always set");
    Result<std::string> type_text = text_of(type, "type");
    if (!type_text) return std::move(type_text).error();
    Result<Ref> bytes = values::dump_msgpack_capped(serializer, record.get(), max_value_bytes, lightweight_repr);
    if (!bytes) return std::move(bytes).error();
    return Answer(PluginRecord{std::move(type_text).value(), std::move(bytes).value()});
}

Result<Ref> get_callable(PyObject* plugin, const char* key) {
    PyObject* value = PyDict_GetItemString(plugin, key);  // borrowed
    if (value == nullptr || value == Py_None) return Ref();
    if (!PyCallable_Check(value)) {
        return PyError::format(PyExc_TypeError, "plugin entry '%s' must be callable, not %.200s", key,
                               Py_TYPE(value)->tp_name);
    }
    return Ref::take(value);
}

Result<PluginRegistry> load_plugins(PyObject* settings, std::optional<std::uint64_t> max_value_bytes) {
    Result<Ref> plugins = host::load_plugin_data(settings);
    if (!plugins) return std::move(plugins).error();

    PluginRegistry registry;
    // Iterate over a snapshot: plug-in code may not resize the list under us.
    PyObject* list = plugins->get();
    Ref snapshot = Ref::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
    if (!snapshot) return PyError::fetch();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
        Status added = add_plugin(registry, PyList_GET_ITEM(snapshot.get(), i), settings, max_value_bytes);
        if (!added) return std::move(added).error();
    }
    return registry;
}

}  // namespace quib::selection
