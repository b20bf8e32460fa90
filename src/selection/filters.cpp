#include "selection/filters.hpp"

#include "py/conversions.hpp"
#include "py/interned.hpp"

#include <array>

namespace quib::selection {

using py::PyError;
using py::Ref;
using py::Result;

namespace {

constexpr std::string_view PYTEST_EXPRESSION = "<pytest match expression>";
constexpr std::string_view ATTRS_GENERATED = "<attrs generated";
constexpr std::string_view ATTRS_MAKE = "attr/_make.py";
constexpr std::string_view QUIB_DIRECTORY = "/quib/";

// Module and directory names of the host package; a path below a "/quib/" directory that starts
// with one of these is quib's own code. "filters/" and "web/" cover whole directories.
constexpr std::array<std::string_view, 44> OWN_MODULES = {
    "__init__.py", "__main__.py", "_attach.py", "_construction.py", "_emit_auto.py", "_quibtxt.py",
    "_paths.py", "_platform_info.py", "_repr_audit.py", "build_frame_tree.py", "checks.py",
    "cli_mcp_shared.py", "config.py", "core.py", "db.py", "emit.py", "emit_flat.py", "filters/", "git.py",
    "kv.py", "mcp_plumbing.py", "mcp_server.py", "middleware.py", "monitoring.py", "navigator.py",
    "node.py", "open_in_pycharm.py", "plugins.py", "profiler.py", "pth_init.py", "pytest_plugin.py",
    "serialize.py", "settings.py", "sql_overview.py", "subtree_flush.py", "threads.py", "trace.py",
    "trace_build.py", "trace_container.py", "types.py", "upload.py", "utils.py", "version.py", "web/",
};

// Built once per process and never freed: they are shared by every tracer and thread.
const Finders& library_finders() {
    static const Finders* finders = new Finders(
        {SubstringFinder("lib/python"), SubstringFinder("lib64/python"), SubstringFinder("/site-packages/")});
    return *finders;
}
const SubstringFinder& frozen_finder() {
    static const SubstringFinder* finder = new SubstringFinder("<frozen ");
    return *finder;
}
const SubstringFinder& exec_finder() {
    static const SubstringFinder* finder = new SubstringFinder("<string>");
    return *finder;
}
const SubstringFinder& quib_dir_finder() {
    static const SubstringFinder* finder = new SubstringFinder(std::string(QUIB_DIRECTORY));
    return *finder;
}

bool ends_with_attrs_make(std::string_view file_name) noexcept { return file_name.ends_with(ATTRS_MAKE); }

py::InternedName F_CODE{"f_code"};
py::InternedName CO_FILENAME{"co_filename"};
py::InternedName GETFRAME{"_getframe"};

std::string_view utf8_of_filename(PyObject* file_name) {
    if (file_name == nullptr || !PyUnicode_Check(file_name)) throw py::InternalFailure("A filename is a string.");
    // Only a file name with lone surrogates fails; it matches no rule by its bytes.
    auto view = py::utf8_view(file_name);
    return view ? view.value() : std::string_view();
}

// The file name of sys._getframe(depth), or nullopt when that raises.
Result<std::optional<Ref>> caller_filename(PyObject* getframe, int depth) {
    Ref depth_object = Ref::steal(PyLong_FromLong(depth));
    if (!depth_object) return PyError::fetch();
    Ref frame = Ref::steal(PyObject_CallOneArg(getframe, depth_object.get()));
    if (!frame) {
        PyErr_Clear();
        return std::optional<Ref>();
    }
    Ref code = Ref::steal(PyObject_GetAttr(frame.get(), F_CODE.get()));
    if (!code) throw py::InternalFailure("A frame has a code object.");
    Ref name = Ref::steal(PyObject_GetAttr(code.get(), CO_FILENAME.get()));
    if (!name) throw py::InternalFailure("A code object has a filename.");
    return std::optional<Ref>(std::move(name));
}

}  // namespace

Result<Finders> load_filters(PyObject* settings, const char* key) {
    if (settings == nullptr || settings == Py_None) return Finders();
    Ref value = Ref::steal(PyMapping_GetItemString(settings, key));
    if (!value) {
        PyErr_Clear();
        return Finders();
    }
    if (PyUnicode_Check(value.get())) {
        return PyError::format(PyExc_TypeError, "filters: %s must be a list of strings, not a str", key);
    }
    if (!PySequence_Check(value.get())) {
        return PyError::format(PyExc_TypeError, "filters: %s must be a list of strings, not %.200s", key,
                               Py_TYPE(value.get())->tp_name);
    }
    Py_ssize_t size = PySequence_Size(value.get());
    if (size < 0) return PyError::fetch();
    std::vector<SubstringFinder> finders;
    finders.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(value.get(), i));
        if (!item) return PyError::fetch();
        if (!PyUnicode_Check(item.get())) {
            return PyError::format(PyExc_TypeError, "filters: %s entries must be str, not %.200s", key,
                                   Py_TYPE(item.get())->tp_name);
        }
        auto text = py::utf8_view(item.get());
        if (!text) return std::move(text).error();
        finders.emplace_back(std::string(text.value()));
    }
    return Finders(std::move(finders));
}

bool library_filter(std::string_view file_name) noexcept { return library_finders().check(file_name); }
bool frozen_filter(std::string_view file_name) noexcept { return frozen_finder().matches(file_name); }
bool exec_filter(std::string_view file_name) noexcept { return exec_finder().matches(file_name); }
bool pytest_expression_filter(std::string_view file_name) noexcept { return file_name == PYTEST_EXPRESSION; }
bool attrs_generated_name(std::string_view file_name) noexcept { return file_name.starts_with(ATTRS_GENERATED); }

bool quib_filter(std::string_view file_name) noexcept {
    std::size_t from = 0;
    while (auto at = quib_dir_finder().find(file_name, from)) {
        std::string_view rest = file_name.substr(*at + QUIB_DIRECTORY.size());
        for (std::string_view name : OWN_MODULES) {
            if (rest.starts_with(name)) return true;
        }
        // Continue from the occurrence's closing "/", so ".../quib/quib/db.py" is found too.
        from = *at + QUIB_DIRECTORY.size() - 1;
    }
    return false;
}

NameVerdict name_verdict(std::string_view file_name, const Finders& include, const Finders& ignore) noexcept {
    if (include.check(file_name)) return NameVerdict::ForcedInclude;
    if (library_filter(file_name) || frozen_filter(file_name) || quib_filter(file_name) || exec_filter(file_name) ||
        pytest_expression_filter(file_name) || attrs_generated_name(file_name) || ignore.check(file_name)) {
        return NameVerdict::Excluded;
    }
    return NameVerdict::DefaultInclude;
}

std::string_view frame_filename(PyFrameObject* frame) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    if (!code) throw py::InternalFailure("A frame has a code object.");
    // The code object outlives this call: the frame holds it.
    return utf8_of_filename(code.as<PyCodeObject>()->co_filename);
}

bool attrs_filter(std::string_view file_name, PyFrameObject* frame) {
    if (!file_name.empty()) return attrs_generated_name(file_name);
    Ref back = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
    for (int step = 0; step < 2 && back; ++step) {
        std::string_view caller = frame_filename(back.as<PyFrameObject>());
        if (!caller.empty()) return ends_with_attrs_make(caller);
        back = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(back.as<PyFrameObject>())));
    }
    return false;
}

Result<bool> attrs_filter_monitoring(std::string_view file_name) {
    if (!file_name.empty()) return attrs_generated_name(file_name);
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    if (!sys) return PyError::fetch();
    Ref getframe = Ref::steal(PyObject_GetAttr(sys.get(), GETFRAME.get()));
    if (!getframe) return PyError::fetch();
    for (int depth = 1; depth <= 2; ++depth) {
        auto name = caller_filename(getframe.get(), depth);
        if (!name) return std::move(name).error();
        if (!name->has_value()) return false;
        std::string_view caller = utf8_of_filename(name->value().get());
        if (!caller.empty() || depth == 2) return ends_with_attrs_make(caller);
    }
    return false;
}

Result<bool> include_frame(std::string_view file_name, const Finders& include, const Finders& ignore) {
    if (include.check(file_name)) return true;
    if (library_filter(file_name) || frozen_filter(file_name) || quib_filter(file_name) || exec_filter(file_name) ||
        pytest_expression_filter(file_name)) {
        return false;
    }
    if (file_name.empty()) {
        Result<bool> generated = attrs_filter_monitoring(file_name);
        if (!generated) return generated;
        if (generated.value()) return false;
    } else if (attrs_generated_name(file_name)) {
        return false;
    }
    return !ignore.check(file_name);
}

}  // namespace quib::selection
