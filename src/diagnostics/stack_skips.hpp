// Events a tracer skipped for lack of stack, so that a trace that came out empty because of them
// says why instead of silently holding nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace quib::diagnostics {

class StackSkips {
public:
    // One event skipped on the calling thread; remembers how much stack it had left.
    void note() noexcept;
    // Called when a trace is built or saved: warns when the trace holds no frames although events
    // were skipped. The count starts again from zero on every call.
    void warn_if_nothing_recorded(std::string_view trace_id, bool nothing_recorded) noexcept;

    std::uint64_t skipped() const noexcept { return skipped_.load(std::memory_order_relaxed); }

    // The warning's text; `left` is in bytes (UINT64_MAX when unknown).
    static std::string message(std::string_view trace_id, std::uint64_t count, std::uint64_t left);

private:
    // Threads of one tracer report here concurrently: the count is exact, the last remaining is
    // whichever thread wrote last.
    std::atomic<std::uint64_t> skipped_{0};
    std::atomic<std::uint64_t> last_remaining_{UINT64_MAX};
};

}  // namespace quib::diagnostics
