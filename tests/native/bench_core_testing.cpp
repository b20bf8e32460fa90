// Native loops for bench/bench_core.py: the per-event services timed in C, beside a bare call, so
// that the interpreter's call overhead does not hide them.
#include "registry.hpp"

#include "diagnostics/stack_guard.hpp"
#include "frames/clock.hpp"
#include "frames/frame_ids.hpp"
#include "py/args.hpp"

#include <cstring>
#include <ctime>
#include <string_view>

namespace {

using namespace quib;
using py::PyError;
using py::Ref;
using py::Result;

using Operation = std::uint64_t (*)(std::uint64_t);

[[gnu::noinline]] std::uint64_t bare_call(std::uint64_t i) {
    asm volatile("");
    return i;
}

[[gnu::noinline]] std::uint64_t clock_read(std::uint64_t) {
    timespec time{};
    clock_gettime(CLOCK_REALTIME, &time);
    return static_cast<std::uint64_t>(time.tv_nsec);
}

[[gnu::noinline]] std::uint64_t timestamp(std::uint64_t) {
    double now = frames::timestamp();
    std::uint64_t bits = 0;
    std::memcpy(&bits, &now, sizeof bits);
    return bits;
}

[[gnu::noinline]] std::uint64_t frame_id(std::uint64_t) {
    frames::FrameId id = frames::FrameId::fresh();
    std::uint64_t tail = 0;
    std::memcpy(&tail, id.bytes.data() + 22, sizeof tail);
    return tail;
}

[[gnu::noinline]] std::uint64_t stack_guard(std::uint64_t i) {
    diagnostics::StackCheck check = diagnostics::check_stack_with(diagnostics::StackEvent::Enter, i);
    return static_cast<std::uint64_t>(check.decision);
}

// One call event and its return on a table of 64 live frames.
[[gnu::noinline]] std::uint64_t frame_ids_pair(std::uint64_t i) {
    static frames::FrameIds ids;
    std::uintptr_t frame = 0x10000 + (i & 63) * 0x1a0;
    frames::FrameId opened = ids.get_or_set(frames::EventKind::Call, frame);
    frames::FrameId closed = ids.get_or_set(frames::EventKind::Return, frame);
    return static_cast<std::uint64_t>(opened.bytes[29] ^ closed.bytes[29]);
}

struct Named {
    std::string_view name;
    Operation operation;
};
constexpr Named OPERATIONS[] = {
    {"bare_call", bare_call}, {"clock_read", clock_read},   {"timestamp", timestamp},
    {"frame_id", frame_id},   {"stack_guard", stack_guard}, {"frame_ids_pair", frame_ids_pair},
};

double monotonic_seconds() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

// bench_core(name, iterations) -> seconds taken by that many calls of the named operation.
Result<Ref> bench_core(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<2>("bench_core", {"name", "iterations"}, 2, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    const char* name = PyUnicode_AsUTF8((*parsed)[0]);
    if (name == nullptr) return PyError::fetch();
    auto iterations = py::u64_argument("bench_core", "iterations", (*parsed)[1]);
    if (!iterations) return std::move(iterations).error();
    Operation chosen = nullptr;
    for (const Named& entry : OPERATIONS) {
        if (entry.name == name) chosen = entry.operation;
    }
    if (chosen == nullptr) return PyError::make(PyExc_ValueError, "unknown operation");
    // Called through a volatile pointer, so every operation pays the same call and none is folded
    // into the loop.
    Operation volatile call = chosen;
    std::uint64_t sink = 0;
    double start = monotonic_seconds();
    for (std::uint64_t i = 0; i < iterations.value(); ++i) sink ^= call(i);
    double elapsed = monotonic_seconds() - start;
    asm volatile("" : : "r"(sink));
    return py::checked(PyFloat_FromDouble(elapsed));
}

QUIB_TESTING_FUNCTION(py::fast_method<bench_core>(
    "bench_core", "bench_core(name, iterations)\n--\n\nSeconds for that many calls of a per-event service: "
                  "bare_call, clock_read, timestamp, frame_id, stack_guard, frame_ids_pair."));

}  // namespace
