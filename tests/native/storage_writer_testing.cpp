// Test entries for the background writer: resident budget, captures, the writer gate, fork
// generation, the I/O error mapping, and the storage benchmarks' native loops.
#include "storage_support.hpp"

#include "storage/file_ops.hpp"
#include "storage/process_identity.hpp"
#include "storage/writer_hooks.hpp"
#include "storage/writer_threads.hpp"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace quib;
using namespace quib::testing::storage_support;

Result<std::shared_ptr<WriterRuntime>> runtime_at(const Args& a, Py_ssize_t i) {
    if (!a.given(i)) return WriterRuntime::process();
    return a.find(tables().runtimes, i);
}

std::chrono::nanoseconds seconds(double value) {
    return std::chrono::nanoseconds(static_cast<std::int64_t>(value * 1e9));
}

Result<Ref> runtime_new(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("runtime_new", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    auto stall = a.real(0);
    if (!stall) return std::move(stall).error();
    return unsigned_int(keep(tables().runtimes, WriterRuntime::create(seconds(stall.value()), false)));
}

Result<Ref> runtime_reserve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("runtime_reserve", args, nargs, kwnames);
    if (auto bad = arity(a, 2, 2)) return std::move(*bad);
    auto runtime = runtime_at(a, 0);
    if (!runtime) return std::move(runtime).error();
    auto bytes = a.u64(1);
    if (!bytes) return std::move(bytes).error();
    IoResult<ResidentReservation> reserved = runtime.value()->reserve(bytes.value());
    if (!reserved) return to_python(reserved.error());
    return unsigned_int(keep(tables().reservations, std::move(reserved).value()));
}

Result<Ref> reservation_release(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("reservation_release", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 2)) return std::move(*bad);
    auto number = a.u64(0);
    if (!number) return std::move(number).error();
    auto found = tables().reservations.find(number.value());
    if (found == tables().reservations.end()) return PyError::make(PyExc_KeyError, "no such reservation");
    ResidentReservation reservation = std::move(found->second);
    tables().reservations.erase(found);
    if (a.given(1) && PyObject_IsTrue(a.object(1))) reservation.complete();
    return Ref::none();
}

Result<Ref> runtime_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("runtime_state", args, nargs, kwnames);
    if (auto bad = arity(a, 0, 1)) return std::move(*bad);
    auto runtime = runtime_at(a, 0);
    if (!runtime) return std::move(runtime).error();
    return py::checked(Py_BuildValue("(KKO)", static_cast<unsigned long long>(runtime.value()->reserved()),
                                     static_cast<unsigned long long>(runtime.value()->progress()),
                                     runtime.value()->circuit_open() ? Py_True : Py_False));
}

Result<Ref> set_stall_timeout(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("set_stall_timeout", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    auto stall = a.real(0);
    if (!stall) return std::move(stall).error();
    WriterRuntime::process()->set_stall_timeout(seconds(stall.value()));
    return Ref::none();
}

Result<Ref> capture_new(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("capture_new", args, nargs, kwnames);
    if (auto bad = arity(a, 3, 4)) return std::move(*bad);
    auto db_path = a.text(0);
    if (!db_path) return std::move(db_path).error();
    auto trace_id = a.text(1);
    if (!trace_id) return std::move(trace_id).error();
    auto timestamp = a.real(2);
    if (!timestamp) return std::move(timestamp).error();
    auto runtime = runtime_at(a, 3);
    if (!runtime) return std::move(runtime).error();
    auto capture = TraceCapture::for_trace(db_path.value(), trace_id.value(), timestamp.value(), runtime.value());
    return unsigned_int(keep(tables().captures, std::move(capture)));
}

Result<Ref> capture_publish(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("capture_publish", args, nargs, kwnames);
    if (auto bad = arity(a, 3, 3)) return std::move(*bad);
    auto capture = a.find(tables().captures, 0);
    if (!capture) return std::move(capture).error();
    auto id = a.u64(1);
    if (!id) return std::move(id).error();
    auto bytes = a.bytes(2);
    if (!bytes) return std::move(bytes).error();
    IoStatus published = capture.value()->publish_value(static_cast<std::uint32_t>(id.value()),
                                                        std::make_shared<const Bytes>(bytes->begin(), bytes->end()));
    if (!published) return to_python(published.error());
    return Ref::none();
}

Result<Ref> capture_published(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("capture_published", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    auto capture = a.find(tables().captures, 0);
    if (!capture) return std::move(capture).error();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return PyError::fetch();
    for (std::uint32_t id : capture.value()->published_value_ids()) {
        Ref number = unsigned_int(id);
        if (!number || PyList_Append(list.get(), number.get()) < 0) return PyError::fetch();
    }
    return list;
}

Result<Ref> capture_keep_in_memory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("capture_keep_in_memory", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    auto capture = a.find(tables().captures, 0);
    if (!capture) return std::move(capture).error();
    capture.value()->keep_in_memory();
    return Ref::none();
}

// The error the circuit breaker reports for this capture, as an exception object.
Result<Ref> capture_abandon(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("capture_abandon", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    auto capture = a.find(tables().captures, 0);
    if (!capture) return std::move(capture).error();
    return Ref::take(to_python(capture.value()->abandon_for_circuit()).value());
}

Result<Ref> capture_finish(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("capture_finish", args, nargs, kwnames);
    if (auto bad = arity(a, 4, 4)) return std::move(*bad);
    auto capture = a.find(tables().captures, 0);
    if (!capture) return std::move(capture).error();
    auto rows = thread_metadata_list(a.object(1));
    if (!rows) return std::move(rows).error();
    std::vector<ThreadMetadata>& metadata = rows.value();
    auto trace_metadata = a.bytes(2);
    if (!trace_metadata) return std::move(trace_metadata).error();
    Ref numbers = Ref::steal(PySequence_List(a.object(3)));
    if (!numbers) return PyError::fetch();
    std::vector<ThreadLayout> layouts;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(numbers.get()); ++i) {
        auto found = tables().stores.find(PyLong_AsUnsignedLongLong(PyList_GET_ITEM(numbers.get(), i)));
        if (found == tables().stores.end()) return PyError::make(PyExc_KeyError, "no such store");
        IoResult<ThreadLayout> layout = found->second->layout();
        if (!layout) return to_python(layout.error());
        layouts.push_back(std::move(layout).value());
    }
    IoStatus finished = capture.value()->finish(std::move(metadata), Bytes(trace_metadata->begin(), trace_metadata->end()),
                                                std::move(layouts));
    if (!finished) return to_python(finished.error());
    return Ref::none();
}

Result<Ref> capture_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("capture_info", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    auto found = a.find(tables().captures, 0);
    if (!found) return std::move(found).error();
    TraceCapture& capture = *found.value();
    std::optional<std::string> prefix = capture.recovered_prefix();
    return py::checked(Py_BuildValue("{s:s,s:s,s:O,s:O,s:O,s:z}", "temp_path", capture.temp_path().c_str(), "final_path",
                                     capture.final_path().c_str(), "keeps_in_memory",
                                     capture.keeps_in_memory() ? Py_True : Py_False, "writer_started",
                                     capture.writer_started() ? Py_True : Py_False, "inherited",
                                     capture.inherited() ? Py_True : Py_False, "recovered_prefix",
                                     prefix ? prefix->c_str() : nullptr));
}

Result<Ref> capture_drop(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("capture_drop", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    auto number = a.u64(0);
    if (!number) return std::move(number).error();
    auto found = tables().captures.find(number.value());
    if (found == tables().captures.end()) return Ref::none();
    std::shared_ptr<TraceCapture> capture = std::move(found->second);
    tables().captures.erase(found);
    capture.reset();  // may wait for its writer (without the interpreter lock)
    return Ref::none();
}

Result<Ref> block_writers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("block_writers", args, nargs, kwnames);
    if (auto bad = arity(a, 1, 1)) return std::move(*bad);
    set_writers_blocked(PyObject_IsTrue(a.object(0)) == 1);
    return Ref::none();
}

Result<Ref> writer_threads(PyObject*) { return unsigned_int(writer_threads_started()); }

Result<Ref> fork_generation(PyObject*) {
    return py::checked(Py_BuildValue("(KO)", static_cast<unsigned long long>(process_fork_generation()),
                                     fork_handler_registered() ? Py_True : Py_False));
}

// Raises the Python exception that an I/O error of kind number `kind` becomes.
Result<Ref> io_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("io_error", args, nargs, kwnames);
    if (auto bad = arity(a, 2, 2)) return std::move(*bad);
    auto kind = a.u64(0);
    if (!kind) return std::move(kind).error();
    auto message = a.text(1);
    if (!message) return std::move(message).error();
    if (kind.value() > static_cast<std::uint64_t>(IoErrorKind::Other)) return PyError::make(PyExc_ValueError, "kind");
    return to_python(IoError::make(static_cast<IoErrorKind>(kind.value()), message.value()));
}

// --- benchmark loops -----------------------------------------------------------

double elapsed_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Appends `count` records of `size` bytes to a new store of the capture; returns seconds.
Result<Ref> bench_append(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("bench_append", args, nargs, kwnames);
    if (auto bad = arity(a, 3, 3)) return std::move(*bad);
    auto capture = a.find(tables().captures, 0);
    if (!capture) return std::move(capture).error();
    auto size = a.u64(1);
    if (!size) return std::move(size).error();
    auto count = a.u64(2);
    if (!count) return std::move(count).error();
    Bytes record(size.value(), 0x5a);
    auto start = std::chrono::steady_clock::now();
    auto store = std::make_shared<FrameStore>(0, capture.value());
    for (std::uint64_t i = 0; i < count.value(); ++i) {
        record[0] = static_cast<std::uint8_t>(i);
        IoResult<AppendResult> appended = store->append_serialized(record);
        if (!appended) return to_python(appended.error());
    }
    double seconds = elapsed_since(start);
    std::uint64_t number = keep(tables().stores, std::move(store));
    return py::checked(Py_BuildValue("(dK)", seconds, static_cast<unsigned long long>(number)));
}

// Writes the same bytes plainly: sequential 64 KiB writes, then fsync; returns seconds.
Result<Ref> bench_plain_write(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("bench_plain_write", args, nargs, kwnames);
    if (auto bad = arity(a, 3, 3)) return std::move(*bad);
    auto path = a.text(0);
    if (!path) return std::move(path).error();
    auto size = a.u64(1);
    if (!size) return std::move(size).error();
    auto count = a.u64(2);
    if (!count) return std::move(count).error();
    Bytes record(size.value(), 0x5a);
    Bytes buffer;
    buffer.reserve(64 * 1024);
    auto start = std::chrono::steady_clock::now();
    int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return to_python(IoError::from_errno(errno, "cannot create " + path.value()));
    std::uint64_t offset = 0;
    auto flush = [&]() -> IoStatus {
        IoStatus written = files::write_all_at(fd, buffer.data(), buffer.size(), offset, path.value());
        offset += buffer.size();
        buffer.clear();
        return written;
    };
    IoStatus status;
    for (std::uint64_t i = 0; i < count.value() && status; ++i) {
        record[0] = static_cast<std::uint8_t>(i);
        if (buffer.size() + record.size() > 64 * 1024) status = flush();
        buffer.insert(buffer.end(), record.begin(), record.end());
    }
    if (status) status = flush();
    if (status) status = files::sync_file(fd, path.value());
    files::close_fd(fd);
    if (!status) return to_python(status.error());
    return py::checked(PyFloat_FromDouble(elapsed_since(start)));
}

// A whole streamed trace: capture, `count` records into one store, finish (fsync, rename).
Result<Ref> bench_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("bench_stream", args, nargs, kwnames);
    if (auto bad = arity(a, 4, 4)) return std::move(*bad);
    auto db_path = a.text(0);
    if (!db_path) return std::move(db_path).error();
    auto trace_id = a.text(1);
    if (!trace_id) return std::move(trace_id).error();
    auto size = a.u64(2);
    if (!size) return std::move(size).error();
    auto count = a.u64(3);
    if (!count) return std::move(count).error();
    Bytes record(size.value(), 0x5a);
    auto start = std::chrono::steady_clock::now();
    auto capture = TraceCapture::for_trace(db_path.value(), trace_id.value(), 0.0);
    FrameStore store(0, capture);
    for (std::uint64_t i = 0; i < count.value(); ++i) {
        record[0] = static_cast<std::uint8_t>(i);
        IoResult<AppendResult> appended = store.append_serialized(record);
        if (!appended) return to_python(appended.error());
    }
    IoResult<ThreadLayout> layout = store.layout();
    if (!layout) return to_python(layout.error());
    std::vector<ThreadLayout> layouts{std::move(layout).value()};
    IoStatus finished = capture->finish({}, Bytes{0x80}, std::move(layouts));
    if (!finished) return to_python(finished.error());
    return py::checked(PyFloat_FromDouble(elapsed_since(start)));
}

QUIB_TESTING_FUNCTION(py::fast_method<runtime_new>("runtime_new", "runtime_new(stall_seconds)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<runtime_reserve>("runtime_reserve", "runtime_reserve(runtime, bytes)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<reservation_release>(
    "reservation_release", "reservation_release(reservation, completed=False)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<runtime_state>("runtime_state", "runtime_state(runtime=None)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<set_stall_timeout>("set_stall_timeout", "set_stall_timeout(seconds)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<capture_new>(
    "capture_new", "capture_new(db_path, trace_id, timestamp, runtime=None)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<capture_publish>("capture_publish",
                                                       "capture_publish(capture, value_id, data)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<capture_published>("capture_published", "capture_published(capture)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<capture_keep_in_memory>("capture_keep_in_memory",
                                                              "capture_keep_in_memory(capture)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<capture_abandon>("capture_abandon", "capture_abandon(capture)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<capture_finish>(
    "capture_finish", "capture_finish(capture, thread_metadata, trace_metadata, stores)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<capture_info>("capture_info", "capture_info(capture)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<capture_drop>("capture_drop", "capture_drop(capture)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<block_writers>("block_writers", "block_writers(blocked)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::noargs_method<writer_threads>("writer_threads", "writer_threads()\n--\n\n"));
QUIB_TESTING_FUNCTION(py::noargs_method<fork_generation>("fork_generation", "fork_generation()\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<io_error>("io_error", "io_error(kind, message)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<bench_append>("bench_append", "bench_append(capture, size, count)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<bench_plain_write>("bench_plain_write",
                                                         "bench_plain_write(path, size, count)\n--\n\n"));
QUIB_TESTING_FUNCTION(py::fast_method<bench_stream>("bench_stream",
                                                    "bench_stream(db_path, trace_id, size, count)\n--\n\n"));

}  // namespace
