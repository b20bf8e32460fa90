// Test entries for frame stores and in-memory container building.
#include "storage_support.hpp"

#include "storage/container_build.hpp"

#include <vector>

namespace {

using namespace quib;
using namespace quib::testing::storage_support;

Result<Ref> store_new(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_new", args, nargs, kwnames);
    if (auto bad = arity(a, 2, 3)) return std::move(*bad);
    auto capture = a.find(tables().captures, 0);
    if (!capture) return std::move(capture).error();
    auto token = a.u64(1);
    if (!token) return std::move(token).error();
    std::uint64_t threshold = SEAL_THRESHOLD;
    if (a.given(2)) {
        auto given = a.u64(2);
        if (!given) return std::move(given).error();
        threshold = given.value();
    }
    auto store = std::make_shared<FrameStore>(static_cast<std::uint32_t>(token.value()), capture.value(), threshold);
    return unsigned_int(keep(tables().stores, std::move(store)));
}

Result<Ref> append_result(IoResult<AppendResult> appended) {
    if (!appended) return to_python(appended.error());
    return py::checked(Py_BuildValue("(KKK)", static_cast<unsigned long long>(appended->first),
                                     static_cast<unsigned long long>(appended->end),
                                     static_cast<unsigned long long>(appended->bytes_added)));
}

Result<Ref> store_append(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_append", args, nargs, kwnames);
    if (auto bad = arity(a, 2, 2)) return std::move(*bad);
    auto store = a.find(tables().stores, 0);
    if (!store) return std::move(store).error();
    auto frame = a.bytes(1);
    if (!frame) return std::move(frame).error();
    return append_result(store.value()->append_serialized(frame.value()));
}

Result<Ref> store_append_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_append_many", args, nargs, kwnames);
    if (auto bad = arity(a, 2, 2)) return std::move(*bad);
    auto store = a.find(tables().stores, 0);
    if (!store) return std::move(store).error();
    Ref list = Ref::steal(PySequence_List(a.object(1)));
    if (!list) return PyError::fetch();
    std::vector<std::span<const std::uint8_t>> frames;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(list.get(), i);
        if (!PyBytes_Check(item)) return py::argument_type_error("store_append_many", "frames", "bytes", item);
        frames.emplace_back(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(item)),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
    }
    return append_result(store.value()->append_many(frames));
}

// The encoder writes the frame; with `error` given it writes part of it and then fails with that
// exception, as an encoder that hits a bad value does.
Result<Ref> store_append_encoded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_append_encoded", args, nargs, kwnames);
    if (auto bad = arity(a, 2, 3)) return std::move(*bad);
    auto store = a.find(tables().stores, 0);
    if (!store) return std::move(store).error();
    auto frame = a.bytes(1);
    if (!frame) return std::move(frame).error();
    PyObject* error = a.given(2) ? a.object(2) : nullptr;
    return append_result(store.value()->append_encoded([&](Bytes& out) -> py::Status {
        if (error != nullptr) {
            out.insert(out.end(), frame->begin(), frame->begin() + static_cast<std::ptrdiff_t>(frame->size() / 2));
            return PyError::from_instance(Ref::take(error));
        }
        out.insert(out.end(), frame->begin(), frame->end());
        return {};
    }));
}

Result<Ref> store_insert_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_insert_frame", args, nargs, kwnames);
    if (auto bad = arity(a, 3, 3)) return std::move(*bad);
    auto store = a.find(tables().stores, 0);
    if (!store) return std::move(store).error();
    auto index = a.u64(1);
    if (!index) return std::move(index).error();
    auto frame = a.bytes(2);
    if (!frame) return std::move(frame).error();
    IoStatus inserted = store.value()->insert_frame(index.value(), frame.value());
    if (!inserted) return to_python(inserted.error());
    return Ref::none();
}

Result<Ref> store_drain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_drain", args, nargs, kwnames);
    if (auto bad = arity(a, 3, 3)) return std::move(*bad);
    auto store = a.find(tables().stores, 0);
    if (!store) return std::move(store).error();
    auto lo = a.u64(1);
    if (!lo) return std::move(lo).error();
    auto hi = a.u64(2);
    if (!hi) return std::move(hi).error();
    IoResult<FrameStore> range = store.value()->drain(lo.value(), hi.value());
    if (!range) return to_python(range.error());
    return unsigned_int(keep(tables().stores, std::make_shared<FrameStore>(std::move(range).value())));
}

Result<Ref> store_insert_store(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_insert_store", args, nargs, kwnames);
    if (auto bad = arity(a, 3, 3)) return std::move(*bad);
    auto store = a.find(tables().stores, 0);
    if (!store) return std::move(store).error();
    auto at = a.u64(1);
    if (!at) return std::move(at).error();
    auto other = a.find(tables().stores, 2);
    if (!other) return std::move(other).error();
    IoStatus inserted = store.value()->insert_store(at.value(), std::move(*other.value()));
    if (!inserted) return to_python(inserted.error());
    return Ref::none();
}

Result<Ref> layout_object(const ThreadLayout& layout) {
    Ref spans = Ref::steal(PyList_New(0));
    if (!spans) return PyError::fetch();
    for (const LayoutSpan& span : layout.spans) {
        Ref row = Ref::steal(Py_BuildValue("(KII)", static_cast<unsigned long long>(span.chunk_sequence), span.offset,
                                           span.count));
        if (!row || PyList_Append(spans.get(), row.get()) < 0) return PyError::fetch();
    }
    return py::checked(Py_BuildValue("(IO)", layout.thread_token, spans.get()));
}

Result<Ref> store_layout(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_layout", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    auto store = a.find(tables().stores, 0);
    if (!store) return std::move(store).error();
    IoResult<ThreadLayout> layout = store.value()->layout();
    if (!layout) return to_python(layout.error());
    return layout_object(layout.value());
}

Result<Ref> store_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_frame", args, nargs, kwnames);
    if (auto bad = arity(a, 2, 2)) return std::move(*bad);
    auto store = a.find(tables().stores, 0);
    if (!store) return std::move(store).error();
    auto index = a.u64(1);
    if (!index) return std::move(index).error();
    Bytes scratch;
    IoResult<std::span<const std::uint8_t>> frame = store.value()->frame(index.value(), scratch);
    if (!frame) return to_python(frame.error());
    return bytes_object(frame.value());
}

Result<Ref> store_frame_len(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_frame_len", args, nargs, kwnames);
    if (auto bad = arity(a, 2, 2)) return std::move(*bad);
    auto store = a.find(tables().stores, 0);
    if (!store) return std::move(store).error();
    auto index = a.u64(1);
    if (!index) return std::move(index).error();
    IoResult<std::uint64_t> length = store.value()->frame_len(index.value());
    if (!length) return to_python(length.error());
    return unsigned_int(length.value());
}

Result<Ref> name_index_object(const OptionalNameIndex& index) {
    if (!index) return Ref::none();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return PyError::fetch();
    for (const TraceNameObservation& observation : index->observations) {
        Ref row;
        auto frame = static_cast<unsigned long long>(observation.frame_index);
        if (const auto* test = std::get_if<TestObservation>(&observation.fact)) {
            row = Ref::steal(Py_BuildValue("(Kssz)", frame, "test", test->name.c_str(),
                                           test->test_class ? test->test_class->c_str() : nullptr));
        } else if (const auto* request = std::get_if<RequestObservation>(&observation.fact)) {
            row = Ref::steal(Py_BuildValue("(Ksss)", frame, "request", request->method.c_str(), request->path.c_str()));
        } else {
            const auto& response = std::get<ResponseObservation>(observation.fact);
            row = Ref::steal(Py_BuildValue("(Kssz)", frame, "response", response.status.c_str(), nullptr));
        }
        if (!row || PyList_Append(list.get(), row.get()) < 0) return PyError::fetch();
    }
    return list;
}

Result<Ref> store_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_info", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    auto found = a.find(tables().stores, 0);
    if (!found) return std::move(found).error();
    const FrameStore& store = *found.value();
    Ref spans = Ref::steal(PyList_New(0));
    if (!spans) return PyError::fetch();
    for (const FrameSpan& span : store.spans()) {
        Ref row = Ref::steal(Py_BuildValue("(KIIKK)", static_cast<unsigned long long>(span.chunk->sequence()),
                                           span.offset, span.count, static_cast<unsigned long long>(span.first),
                                           static_cast<unsigned long long>(span.chunk->written_position())));
        if (!row || PyList_Append(spans.get(), row.get()) < 0) return PyError::fetch();
    }
    auto names = name_index_object(found.value()->name_index());
    if (!names) return names;
    return py::checked(Py_BuildValue(
        "{s:K,s:K,s:K,s:O,s:O,s:O,s:I,s:O,s:O}", "sealed", static_cast<unsigned long long>(store.sealed_frame_count()),
        "total", static_cast<unsigned long long>(store.total_frames()), "byte_total",
        static_cast<unsigned long long>(store.byte_total()), "failed", store.failed() ? Py_True : Py_False, "detached",
        store.detached() ? Py_True : Py_False, "retired", store.capture() ? Py_False : Py_True, "token",
        store.thread_token(), "spans", spans.get(), "name_index", names->get()));
}

// Adds a naming observation to the store's index (as the monitoring tracer's push does); False when
// the index is absent or full.
Result<Ref> store_observe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_observe", args, nargs, kwnames);
    if (auto bad = arity(a, 4, 5)) return std::move(*bad);
    auto store = a.find(tables().stores, 0);
    if (!store) return std::move(store).error();
    auto frame = a.u64(1);
    if (!frame) return std::move(frame).error();
    auto kind = a.text(2);
    if (!kind) return std::move(kind).error();
    auto first = a.text(3);
    if (!first) return std::move(first).error();
    std::optional<std::string> second;
    if (a.given(4)) {
        auto text = a.text(4);
        if (!text) return std::move(text).error();
        second = text.value();
    }
    TraceNameObservation observation{frame.value(), ResponseObservation{first.value()}};
    if (kind.value() == "test") observation.fact = TestObservation{first.value(), second};
    if (kind.value() == "request") observation.fact = RequestObservation{first.value(), second.value_or("")};
    OptionalNameIndex& index = store.value()->name_index();
    return Ref::boolean(index && index->add(std::move(observation)));
}

Result<Ref> store_retire(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_retire", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    auto store = a.find(tables().stores, 0);
    if (!store) return std::move(store).error();
    store.value()->retire();
    return Ref::none();
}

Result<Ref> store_drop(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("store_drop", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    auto number = a.u64(0);
    if (!number) return std::move(number).error();
    tables().stores.erase(number.value());
    return Ref::none();
}

// build_container(trace_id, timestamp, [(key, store)], {key: token}, [(token, bytes)], bytes, [(id, bytes)])
Result<Ref> build_container(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("build_container", args, nargs, kwnames);
    if (auto bad = arity(a, 7, 7)) return std::move(*bad);
    auto trace_id = a.text(0);
    if (!trace_id) return std::move(trace_id).error();
    auto timestamp = a.real(1);
    if (!timestamp) return std::move(timestamp).error();
    Ref pairs = Ref::steal(PySequence_List(a.object(2)));
    if (!pairs) return PyError::fetch();
    std::vector<std::string> keys;
    std::vector<StoreRef> stores;
    keys.reserve(static_cast<std::size_t>(PyList_GET_SIZE(pairs.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        const char* key = nullptr;
        unsigned long long number = 0;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(pairs.get(), i), "sK", &key, &number)) return PyError::fetch();
        auto found = tables().stores.find(number);
        if (found == tables().stores.end()) return PyError::make(PyExc_KeyError, "no such store");
        keys.emplace_back(key);
        stores.push_back({keys.back(), found->second.get()});
    }
    PyObject* tokens = a.object(3);
    auto metadata = thread_metadata_list(a.object(4));
    if (!metadata) return std::move(metadata).error();
    auto trace_metadata = a.bytes(5);
    if (!trace_metadata) return std::move(trace_metadata).error();
    auto published = published_values(a.object(6));
    if (!published) return std::move(published).error();
    std::vector<PublishedValue>& values = published.value();
    TokenLookup token_of = [tokens](std::string_view key) -> std::optional<std::uint32_t> {
        Ref name = Ref::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
        PyObject* token = name ? PyDict_GetItemWithError(tokens, name.get()) : nullptr;
        if (token == nullptr) {
            PyErr_Clear();
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(PyLong_AsUnsignedLong(token));
    };
    IoResult<Bytes> built = build_container_bytes(trace_id.value(), timestamp.value(), stores, token_of,
                                                  metadata.value(), trace_metadata.value(), values);
    if (!built) return to_python(built.error());
    return bytes_object(built.value());
}

QUIB_TESTING_FUNCTION(py::fast_method<store_new>("store_new", "store_new(capture, token, threshold=None)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<store_append>("store_append", "store_append(store, frame)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<store_append_many>("store_append_many",
                                                         "store_append_many(store, frames)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<store_append_encoded>(
    "store_append_encoded", "store_append_encoded(store, frame, error=None)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<store_insert_frame>("store_insert_frame",
                                                          "store_insert_frame(store, index, frame)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<store_drain>("store_drain", "store_drain(store, lo, hi)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<store_insert_store>("store_insert_store",
                                                          "store_insert_store(store, at, other)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<store_layout>("store_layout", "store_layout(store)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<store_frame>("store_frame", "store_frame(store, index)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<store_frame_len>("store_frame_len", "store_frame_len(store, index)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<store_info>("store_info", "store_info(store)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<store_observe>(
    "store_observe", "store_observe(store, frame_index, kind, first, second=None)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<store_retire>("store_retire", "store_retire(store)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<store_drop>("store_drop", "store_drop(store)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<build_container>(
    "build_container",
    "build_container(trace_id, timestamp, stores, tokens, thread_metadata, trace_metadata, values)\n--\n\n"));

}  // namespace
