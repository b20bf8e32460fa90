#include "diagnostics/stack_skips.hpp"

#include "diagnostics/log_warning.hpp"
#include "diagnostics/stack_guard.hpp"
#include "diagnostics/standard_streams.hpp"

namespace quib::diagnostics {

void StackSkips::note() noexcept {
    last_remaining_.store(remaining_stack(), std::memory_order_relaxed);
    skipped_.fetch_add(1, std::memory_order_relaxed);
}

std::string StackSkips::message(std::string_view trace_id, std::uint64_t count, std::uint64_t left) {
    std::string text = "Quib recorded no frames in trace ";
    text.append(trace_id);
    text += ": it skipped " + std::to_string(count) + " events as too close to the end of the C stack (" +
            std::to_string(left / KIB) + " KiB left where it keeps " + std::to_string(ENTER_SKIP / KIB) +
            " KiB in reserve). A thread needs a stack of more than twice that to be traced. If this one has "
            "that, this is a bug in Quib: please report it with your platform and Python version.";
    return text;
}

void StackSkips::warn_if_nothing_recorded(std::string_view trace_id, bool nothing_recorded) noexcept {
    std::uint64_t count = skipped_.exchange(0, std::memory_order_relaxed);
    if (count == 0 || !nothing_recorded) return;
    try {
        std::string text = message(trace_id, count, last_remaining_.load(std::memory_order_relaxed));
        // Logging runs Python code, which needs stack of its own.
        if (remaining_stack() >= ENTER_SKIP) {
            py::Ref line = py::Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
            py::Ref args = line ? py::Ref::steal(PyTuple_Pack(1, line.get())) : py::Ref();
            if (args) {
                log_warning(std::move(args));
                return;
            }
            PyErr_Clear();
        }
        text += '\n';
        write_to_stderr(text);
    } catch (...) {
        // Out of memory while formatting: nothing can be said.
    }
}

}  // namespace quib::diagnostics
