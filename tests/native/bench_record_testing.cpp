// Native loops for bench/bench_record.py: writing one frame record for a live frame, beside reading
// the frame's locals mapping and a bare call, all timed in C.
#include "registry.hpp"

#include "frames/frame_writer.hpp"
#include "py/args.hpp"

#include <chrono>

namespace {

using namespace quib;
using py::PyError;
using py::Ref;
using py::Result;

frames::FramePathCache& path_cache() {
    static auto* cache = new frames::FramePathCache();
    return *cache;
}

[[gnu::noinline]] void bare(std::uint64_t i) { asm volatile("" : : "r"(i)); }

// bench_record(frame, kind, n): ns per operation. kind: "record" (with precomputed metadata),
// "record_plain" (path and name from the frame), "locals" (the frame's locals mapping), "bare".
Result<Ref> bench_record(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = py::parse<3>("bench_record", {"frame", "kind", "n"}, 3, args, nargs, kwnames);
    if (!parsed) return std::move(parsed).error();
    if (!PyFrame_Check((*parsed)[0])) return py::argument_type_error("bench_record", "frame", "frame", (*parsed)[0]);
    auto* frame = reinterpret_cast<PyFrameObject*>((*parsed)[0]);
    std::string kind = PyUnicode_AsUTF8((*parsed)[1]);
    auto n = py::u64_argument("bench_record", "n", (*parsed)[2]);
    if (!n) return std::move(n).error();
    auto serializer = values::Serializer::shared();
    if (!serializer) return std::move(serializer).error();

    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    auto path = path_cache().code_path(code.get());
    if (!path) return std::move(path).error();
    std::string qualname = PyUnicode_AsUTF8(code.as<PyCodeObject>()->co_name);
    frames::PrecomputedCode precomputed{path->path, qualname, nullptr};
    frames::FrameId id = frames::FrameId::fresh();
    std::optional<frames::CallSite> site = frames::CallSite{id, 10};
    frames::FrameEvent event{frame, frames::EventKind::Call, frames::ValueKind::None, nullptr, "add", id, site,
                             kind == "record" ? &precomputed : nullptr, path_cache()};
    frames::EncoderSettings settings{serializer.value(), 64u << 20, false, nullptr, false};
    values::ByteBuffer out;
    out.reserve_more(4096);

    auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < n.value(); ++i) {
        if (kind == "bare") {
            bare(i);
        } else if (kind == "locals") {
            Ref locals = Ref::steal(py::compat::frame_locals(frame));
            if (!locals) return PyError::fetch();
            if (!PyDict_Check(locals.get())) {
                Ref copy = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), locals.get()));
                if (!copy) return PyError::fetch();
            }
        } else {
            out.clear();
            py::Status written = frames::write_frame_with_serializer_inner(out, event, settings);
            if (!written) return std::move(written).error();
        }
    }
    std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return py::checked(PyFloat_FromDouble(elapsed.count() / static_cast<double>(n.value())));
}

QUIB_TESTING_FUNCTION(py::fast_method<bench_record>("bench_record", "bench_record(frame, kind, n)\n--\n\n"));

}  // namespace
