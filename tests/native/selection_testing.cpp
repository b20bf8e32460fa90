// Test entries for frame filters and plug-in loading.
#include "registry.hpp"

#include "py/args.hpp"
#include "selection/filters.hpp"
#include "selection/plugins.hpp"

namespace {

using namespace quib;
using py::PyError;
using py::Ref;
using py::Result;

Result<std::string_view> text_of(PyObject* value) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return PyError::fetch();
    return std::string_view(data, static_cast<size_t>(size));
}

// Finders from a Python list of str, through the same loader the tracers use.
Result<selection::Finders> finders_of(PyObject* list) {
    Ref settings = Ref::steal(Py_BuildValue("{sO}", "entries", list));
    if (!settings) return PyError::fetch();
    return selection::load_filters(settings.get(), "entries");
}

Result<Ref> filters_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<2>("filters_load", {"settings", "key"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto key = text_of((*parsed)[1]);
    if (!key) return std::move(key).error();
    auto finders = selection::load_filters((*parsed)[0], std::string(key.value()).c_str());
    if (!finders) return std::move(finders).error();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return PyError::fetch();
    for (const auto& finder : finders->items()) {
        Ref needle = Ref::steal(PyUnicode_FromStringAndSize(finder.needle().data(),
                                                            static_cast<Py_ssize_t>(finder.needle().size())));
        if (!needle || PyList_Append(list.get(), needle.get()) < 0) return PyError::fetch();
    }
    return list;
}

// The (file_name, include, ignore) arguments of the filter entries.
struct FilterCase {
    std::string_view file_name;
    selection::Finders include;
    selection::Finders ignore;
};

Result<FilterCase> filter_case(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<3>(function, {"file_name", "include", "ignore"}, 3, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto name = text_of((*parsed)[0]);
    if (!name) return std::move(name).error();
    auto include = finders_of((*parsed)[1]);
    if (!include) return std::move(include).error();
    auto ignore = finders_of((*parsed)[2]);
    if (!ignore) return std::move(ignore).error();
    return FilterCase{name.value(), std::move(include).value(), std::move(ignore).value()};
}

Result<Ref> filters_verdict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto given = filter_case("filters_verdict", args, nargs, kwnames);
    if (!given) return std::move(given).error();
    static constexpr const char* verdicts[] = {"forced", "excluded", "default"};
    auto verdict = selection::name_verdict(given->file_name, given->include, given->ignore);
    return py::checked(PyUnicode_FromString(verdicts[static_cast<int>(verdict)]));
}

Result<Ref> filters_include_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto given = filter_case("filters_include_frame", args, nargs, kwnames);
    if (!given) return std::move(given).error();
    Result<bool> included = selection::include_frame(given->file_name, given->include, given->ignore);
    if (!included) return std::move(included).error();
    return Ref::boolean(included.value());
}

Result<Ref> filters_attrs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("filters_attrs", {"frame"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    if (!PyFrame_Check((*parsed)[0])) return py::argument_type_error("filters_attrs", "frame", "frame", (*parsed)[0]);
    auto* frame = reinterpret_cast<PyFrameObject*>((*parsed)[0]);
    return Ref::boolean(selection::attrs_filter(selection::frame_filename(frame), frame));
}

Result<Ref> processor_summary(const selection::PluginProcessor& processor) {
    auto optional_text = [](const std::optional<std::string>& text) -> Ref {
        return text ? Ref::steal(PyUnicode_FromString(text->c_str())) : Ref::none();
    };
    Ref events = Ref::none();
    if (processor.events) {
        events = Ref::steal(PyList_New(0));
        for (const std::string& event : *processor.events) {
            Ref name = Ref::steal(PyUnicode_FromString(event.c_str()));
            if (!name || PyList_Append(events.get(), name.get()) < 0) return PyError::fetch();
        }
    }
    Ref subtype = optional_text(processor.subtype);
    return py::checked(Py_BuildValue(
        "{s:s#,s:s,s:s,s:s,s:s,s:s,s:s,s:O,s:O,s:O,s:O,s:O,s:K}", "path_fragment", processor.path_fragment.needle().data(),
        static_cast<Py_ssize_t>(processor.path_fragment.needle().size()), "call_type", processor.call_type.c_str(),
        "return_type", processor.return_type.c_str(), "unwind_type", processor.unwind_type.c_str(), "resume_type",
        processor.resume_type.c_str(), "yield_type", processor.yield_type.c_str(), "throw_type",
        processor.throw_type.c_str(), "subtype", subtype.get(), "events", events.get(), "context",
        processor.build_context.get(), "call", processor.matcher ? processor.matcher.get() : Py_None, "process",
        processor.processor ? processor.processor.get() : Py_None, "max_value_bytes",
        static_cast<unsigned long long>(processor.max_value_bytes.value_or(0))));
}

Result<Ref> plugins_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<1>("plugins_load", {"settings"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto registry = selection::load_plugins((*parsed)[0], 1024);
    if (!registry) return std::move(registry).error();
    Ref summary = Ref::steal(PyDict_New());
    if (!summary) return PyError::fetch();
    for (const auto& [code_name, processors] : registry.value()) {
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return PyError::fetch();
        for (const auto& processor : processors) {
            auto row = processor_summary(*processor);
            if (!row) return row;
            if (PyList_Append(list.get(), row->get()) < 0) return PyError::fetch();
        }
        if (PyDict_SetItemString(summary.get(), code_name.c_str(), list.get()) < 0) return PyError::fetch();
    }
    return summary;
}

// matches_event and admits of the first processor registered for code_name.
Result<Ref> plugins_match(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<5>("plugins_match", {"settings", "code_name", "frame", "event", "argument"}, 5, args,
                               nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    auto registry = selection::load_plugins((*parsed)[0], std::nullopt);
    if (!registry) return std::move(registry).error();
    auto name = text_of((*parsed)[1]);
    if (!name) return std::move(name).error();
    auto found = registry->find(std::string(name.value()));
    if (found == registry->end()) return PyError::make(PyExc_KeyError, "no plugin for that code name");
    long event = PyLong_AsLong((*parsed)[3]);
    if (event == -1 && PyErr_Occurred()) return PyError::fetch();
    const auto& processor = *found->second.front();
    auto matched = processor.matches_event((*parsed)[2], static_cast<int>(event), (*parsed)[4]);
    if (!matched) return std::move(matched).error();
    return py::checked(Py_BuildValue("(OOs)", matched.value() ? Py_True : Py_False,
                                     processor.admits(static_cast<int>(event)) ? Py_True : Py_False,
                                     processor.type_for(static_cast<int>(event)).c_str()));
}

QUIB_TESTING_FUNCTION(py::fast_method<filters_load>("filters_load", "filters_load(settings, key)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<filters_verdict>("filters_verdict",
                                                       "filters_verdict(file_name, include, ignore)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<filters_include_frame>(
    "filters_include_frame", "filters_include_frame(file_name, include, ignore)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<filters_attrs>("filters_attrs", "filters_attrs(frame)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<plugins_load>("plugins_load", "plugins_load(settings)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<plugins_match>(
    "plugins_match", "plugins_match(settings, code_name, frame, event, argument)\n--\n\n"));

}  // namespace

namespace {

// A registry kept between calls, so that frame ids carry over from call to return.
quib::selection::PluginRegistry& kept_registry() {
    static auto* registry = new quib::selection::PluginRegistry();
    return *registry;
}

quib::py::Result<quib::py::Ref> plugins_keep(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using namespace quib;
    auto parsed = py::parse<2>("plugins_keep", {"settings", "max_value_bytes"}, 1, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    std::optional<std::uint64_t> budget;
    if (parsed->given(1) && (*parsed)[1] != Py_None) {
        auto bytes = py::u64_argument("plugins_keep", "max_value_bytes", (*parsed)[1]);
        if (!bytes) return std::move(bytes).error();
        budget = bytes.value();
    }
    auto registry = selection::load_plugins((*parsed)[0], budget);
    if (!registry) return std::move(registry).error();
    kept_registry() = std::move(registry).value();
    return py::Ref::none();
}

// process() of the first kept processor for code_name: (type, bytes) or None.
quib::py::Result<quib::py::Ref> plugins_process(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames) {
    using namespace quib;
    auto parsed = py::parse<5>("plugins_process", {"code_name", "frame", "event", "argument", "call_site_frames"}, 5,
                               args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    const char* name = PyUnicode_AsUTF8((*parsed)[0]);
    if (name == nullptr) return py::PyError::fetch();
    auto found = kept_registry().find(name);
    if (found == kept_registry().end()) return py::PyError::make(PyExc_KeyError, "no plugin for that code name");
    long event = PyLong_AsLong((*parsed)[2]);
    if (event == -1 && PyErr_Occurred()) return py::PyError::fetch();
    auto serializer = values::Serializer::shared();
    if (!serializer) return std::move(serializer).error();
    auto record = found->second.front()->process((*parsed)[1], static_cast<int>(event), (*parsed)[3], (*parsed)[4],
                                                 false, serializer.value());
    if (!record) return std::move(record).error();
    if (!record.value()) return py::Ref::none();
    return py::checked(Py_BuildValue("(sO)", record.value()->type.c_str(), record.value()->bytes.get()));
}

QUIB_TESTING_FUNCTION(quib::py::fast_method<plugins_keep>("plugins_keep",
                                                          "plugins_keep(settings, max_value_bytes=None)\n--\n\n"));
QUIB_TESTING_FUNCTION(quib::py::fast_method<plugins_process>(
    "plugins_process", "plugins_process(code_name, frame, event, argument, call_site_frames)\n--\n\n"));

}  // namespace
