// Test entries for trace persistence: the metadata payloads, the two host hand-overs and sub-trace
// saves from frame stores made with the storage entries (store numbers of storage_support).
#include "storage_support.hpp"

#include "storage/trace_persistence.hpp"

#include <deque>

namespace {

using namespace quib;
using namespace quib::testing::storage_support;

Result<std::string> text_of(PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) return PyError::format(PyExc_TypeError, "%s must be a str", what);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return PyError::fetch();
    return std::string(data, static_cast<std::size_t>(size));
}

Result<std::optional<std::string>> optional_text_of(PyObject* value, const char* what) {
    if (value == nullptr || value == Py_None) return std::optional<std::string>();
    Result<std::string> text = text_of(value, what);
    if (!text) return std::move(text).error();
    return std::optional<std::string>(std::move(text).value());
}

// The metadata inputs, described by a dict with the keys trace_id, trace_name, current_thread_id,
// timestamp, root_trace_id, source, settings, use_monitoring and threads ([(key, thread), ...]).
struct Metadata {
    std::string trace_id;
    std::optional<std::string> trace_name;
    std::string current_thread_id;
    double timestamp = 0;
    std::optional<std::string> root_trace_id;
    std::string source;
    Ref settings;
    bool use_monitoring = false;
    std::deque<std::string> keys;
    std::vector<Ref> objects;
    std::vector<TraceThread> threads;

    TraceMetadataInputs inputs() const {
        TraceMetadataInputs in;
        in.trace_id = trace_id;
        if (trace_name) in.trace_name = *trace_name;
        in.current_thread_id = current_thread_id;
        in.timestamp = timestamp;
        if (root_trace_id) in.root_trace_id = *root_trace_id;
        in.source = source;
        in.settings = settings.get();
        in.use_monitoring = use_monitoring;
        in.threads = threads;
        return in;
    }
};

Result<std::unique_ptr<Metadata>> metadata_of(PyObject* description) {
    if (!PyDict_Check(description)) return PyError::make(PyExc_TypeError, "metadata must be a dict");
    auto item = [description](const char* key) { return PyDict_GetItemString(description, key); };
    auto meta = std::make_unique<Metadata>();
    auto trace_id = text_of(item("trace_id"), "trace_id");
    if (!trace_id) return std::move(trace_id).error();
    meta->trace_id = std::move(trace_id).value();
    auto trace_name = optional_text_of(item("trace_name"), "trace_name");
    if (!trace_name) return std::move(trace_name).error();
    meta->trace_name = std::move(trace_name).value();
    auto current = text_of(item("current_thread_id"), "current_thread_id");
    if (!current) return std::move(current).error();
    meta->current_thread_id = std::move(current).value();
    PyObject* timestamp = item("timestamp");
    meta->timestamp = timestamp ? PyFloat_AsDouble(timestamp) : 0.0;
    if (PyErr_Occurred()) return PyError::fetch();
    auto root = optional_text_of(item("root_trace_id"), "root_trace_id");
    if (!root) return std::move(root).error();
    meta->root_trace_id = std::move(root).value();
    auto source = text_of(item("source"), "source");
    if (!source) return std::move(source).error();
    meta->source = std::move(source).value();
    meta->settings = Ref::take(item("settings"));
    PyObject* monitoring = item("use_monitoring");
    meta->use_monitoring = monitoring != nullptr && PyObject_IsTrue(monitoring) == 1;
    if (PyObject* threads = item("threads")) {
        Ref list = Ref::steal(PySequence_List(threads));
        if (!list) return PyError::fetch();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(list.get(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                return PyError::make(PyExc_TypeError, "threads must hold (key, thread) pairs");
            }
            auto key = text_of(PyTuple_GET_ITEM(pair, 0), "a thread key");
            if (!key) return std::move(key).error();
            meta->keys.push_back(std::move(key).value());
            meta->objects.push_back(Ref::take(PyTuple_GET_ITEM(pair, 1)));
        }
        for (std::size_t i = 0; i < meta->keys.size(); ++i) {
            meta->threads.push_back(TraceThread{meta->keys[i], meta->objects[i].get()});
        }
    }
    return meta;
}

Result<Ref> persistence_prepare(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("persistence_prepare", args, nargs, kwnames);
    if (auto bad = arity(a, 2, 2)) return std::move(*bad);
    auto meta = metadata_of(a.object(0));
    if (!meta) return std::move(meta).error();
    PyObject* tokens = a.object(1);
    if (!PyDict_Check(tokens)) return PyError::make(PyExc_TypeError, "tokens must be a dict");
    TokenLookup token_of = [tokens](std::string_view key) -> std::optional<std::uint32_t> {
        Ref name = Ref::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
        PyObject* token = name ? PyDict_GetItemWithError(tokens, name.get()) : nullptr;
        if (token == nullptr) {
            PyErr_Clear();
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(PyLong_AsUnsignedLong(token));
    };
    Result<PreparedTrace> prepared = prepare_v3_trace_from_parts(meta.value()->inputs(), token_of);
    if (!prepared) return std::move(prepared).error();
    Ref threads = Ref::steal(PyList_New(0));
    if (!threads) return PyError::fetch();
    for (const ThreadMetadata& thread : prepared->thread_metadata) {
        Ref entry = Ref::steal(Py_BuildValue("(IN)", thread.thread_token, bytes_object(thread.bytes).release()));
        if (!entry || PyList_Append(threads.get(), entry.get()) < 0) return PyError::fetch();
    }
    return py::checked(Py_BuildValue("(ON)", threads.get(), bytes_object(prepared->trace_metadata).release()));
}

Result<Ref> persistence_save_container_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("persistence_save_container_bytes", args, nargs, kwnames);
    if (auto bad = arity(a, 4, 4)) return std::move(*bad);
    auto trace_id = a.text(0);
    if (!trace_id) return std::move(trace_id).error();
    auto container = a.bytes(1);
    if (!container) return std::move(container).error();
    auto db_path = a.text(2);
    if (!db_path) return std::move(db_path).error();
    auto timeout = a.u64(3);
    if (!timeout) return std::move(timeout).error();
    py::Status saved = save_v3_container_bytes(trace_id.value(), container.value(), db_path.value(), timeout.value());
    if (!saved) return std::move(saved).error();
    return Ref::none();
}

Result<Ref> persistence_save_trace_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("persistence_save_trace_metadata", args, nargs, kwnames);
    if (auto bad = arity(a, 4, 4)) return std::move(*bad);
    auto trace_id = a.text(0);
    if (!trace_id) return std::move(trace_id).error();
    auto db_path = a.text(1);
    if (!db_path) return std::move(db_path).error();
    auto timeout = a.u64(2);
    if (!timeout) return std::move(timeout).error();
    py::Status saved =
        save_trace_metadata(trace_id.value(), db_path.value(), timeout.value(), PyObject_IsTrue(a.object(3)) == 1);
    if (!saved) return std::move(saved).error();
    return Ref::none();
}

// persistence_save_from_parts(metadata, stores {key: store number}, values [(id, bytes)], db_path,
// timeout, ignore_errors)
Result<Ref> persistence_save_from_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("persistence_save_from_parts", args, nargs, kwnames);
    if (auto bad = arity(a, 6, 6)) return std::move(*bad);
    auto meta = metadata_of(a.object(0));
    if (!meta) return std::move(meta).error();
    PyObject* store_numbers = a.object(1);
    if (!PyDict_Check(store_numbers)) return PyError::make(PyExc_TypeError, "stores must be a dict");
    std::deque<std::string> keys;
    std::vector<StoreRef> stores;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* number = nullptr;
    while (PyDict_Next(store_numbers, &position, &key, &number)) {
        auto text = text_of(key, "a store key");
        if (!text) return std::move(text).error();
        auto found = tables().stores.find(PyLong_AsUnsignedLongLong(number));
        if (PyErr_Occurred()) return PyError::fetch();
        if (found == tables().stores.end()) return PyError::make(PyExc_KeyError, "no such store");
        keys.push_back(std::move(text).value());
        stores.push_back(StoreRef{keys.back(), found->second.get()});
    }
    auto published = published_values(a.object(2));
    if (!published) return std::move(published).error();
    std::vector<PublishedValue>& values = published.value();
    auto db_path = a.text(3);
    if (!db_path) return std::move(db_path).error();
    auto timeout = a.u64(4);
    if (!timeout) return std::move(timeout).error();
    py::Status saved = save_v3_trace_from_parts(stores, values, meta.value()->inputs(), db_path.value(), timeout.value(),
                                                PyObject_IsTrue(a.object(5)) == 1);
    if (!saved) return std::move(saved).error();
    return Ref::none();
}

// persistence_finish(capture, [store numbers], [(token, thread payload)], trace payload)
Result<Ref> persistence_finish(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("persistence_finish", args, nargs, kwnames);
    if (auto bad = arity(a, 4, 4)) return std::move(*bad);
    auto capture = a.find(tables().captures, 0);
    if (!capture) return std::move(capture).error();
    Ref numbers = Ref::steal(PySequence_List(a.object(1)));
    if (!numbers) return PyError::fetch();
    std::vector<FrameStore*> stores;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(numbers.get()); ++i) {
        auto found = tables().stores.find(PyLong_AsUnsignedLongLong(PyList_GET_ITEM(numbers.get(), i)));
        if (PyErr_Occurred()) return PyError::fetch();
        if (found == tables().stores.end()) return PyError::make(PyExc_KeyError, "no such store");
        stores.push_back(found->second.get());
    }
    PreparedTrace prepared;
    auto payloads = thread_metadata_list(a.object(2));
    if (!payloads) return std::move(payloads).error();
    prepared.thread_metadata = std::move(payloads).value();
    auto trace = a.bytes(3);
    if (!trace) return std::move(trace).error();
    prepared.trace_metadata.assign(trace->begin(), trace->end());
    IoStatus finished = finish_trace_file(*capture.value(), stores, std::move(prepared));
    if (!finished) return to_python(finished.error());
    return Ref::none();
}

}  // namespace

QUIB_TESTING_FUNCTION(py::fast_method<persistence_finish>(
    "persistence_finish", "persistence_finish(capture, stores, thread_metadata, trace_metadata)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<persistence_prepare>("persistence_prepare",
                                                           "persistence_prepare(metadata, tokens)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<persistence_save_container_bytes>(
    "persistence_save_container_bytes", "persistence_save_container_bytes(trace_id, container, db_path, timeout)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<persistence_save_trace_metadata>(
    "persistence_save_trace_metadata",
    "persistence_save_trace_metadata(trace_id, db_path, timeout, ignore_errors)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<persistence_save_from_parts>(
    "persistence_save_from_parts",
    "persistence_save_from_parts(metadata, stores, values, db_path, timeout, ignore_errors)\n--\n\n"));
