// The process-wide resident budget of the trace writers and their circuit breaker.
//
// Every chunk or value queued to a writer thread holds a reservation of its size (+256 bytes)
// until the writer has stored it. Producers wait while the queued total would pass 16 MiB. A
// writer that completes nothing for the stall timeout (30 s) while a producer waits opens the
// circuit: every later reservation fails at once, and tracing stays disabled until the process
// ends. Waiting never holds the interpreter lock.
#pragma once

#include "storage/io_error.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace quib::storage {

inline constexpr std::uint64_t RESIDENT_LIMIT = 16 * 1024 * 1024;
inline constexpr std::uint64_t RESERVATION_OVERHEAD = 256;
inline constexpr std::chrono::seconds STALL_TIMEOUT{30};
inline constexpr const char* STALLED_QUEUE_MESSAGE =
    "Quib trace writer stopped making progress while its resident queue was full; tracing is disabled until "
    "process restart";

// Set when the process runtime's circuit opens; never cleared. `writer_circuit_open()` reads it.
extern std::atomic<bool> PROCESS_WRITER_CIRCUIT_OPEN;

class WriterRuntime;

class ResidentReservation {
public:
    ResidentReservation() = default;
    ResidentReservation(ResidentReservation&& other) noexcept;
    ResidentReservation& operator=(ResidentReservation&& other) noexcept;
    ~ResidentReservation();

    // The writer has stored the item: dropping the reservation then counts as progress.
    void complete() noexcept { completed_ = true; }
    std::uint64_t bytes() const noexcept { return bytes_; }
    explicit operator bool() const noexcept { return runtime_ != nullptr; }

private:
    friend class WriterRuntime;
    ResidentReservation(std::shared_ptr<WriterRuntime> runtime, std::uint64_t bytes, std::uint64_t generation)
        : runtime_(std::move(runtime)), bytes_(bytes), generation_(generation) {}
    void release() noexcept;

    std::shared_ptr<WriterRuntime> runtime_;
    std::uint64_t bytes_ = 0;
    std::uint64_t generation_ = 0;
    bool completed_ = false;
};

class WriterRuntime : public std::enable_shared_from_this<WriterRuntime> {
public:
    // The process's runtime: created on first use, never freed; opening its circuit sets
    // PROCESS_WRITER_CIRCUIT_OPEN.
    static const std::shared_ptr<WriterRuntime>& process();
    // A separate runtime (tests), which leaves the process flag alone.
    static std::shared_ptr<WriterRuntime> create(std::chrono::nanoseconds stall_timeout, bool marks_process);

    IoResult<ResidentReservation> reserve(std::uint64_t bytes);
    bool circuit_open() const noexcept { return circuit_open_.load(std::memory_order_acquire); }
    void open_circuit() noexcept;
    // Wakes every waiter: a writer finished, progress was made, the circuit opened.
    void wake() noexcept;
    // Blocks, detached from the interpreter, until `done()` holds or the circuit is open.
    template <class Done>
    void wait_for(Done done) {
        wait_until_done([](void* context) { return static_cast<bool>((*static_cast<Done*>(context))()); }, &done);
    }

    std::uint64_t reserved() const;
    std::uint64_t progress() const;
    void set_stall_timeout(std::chrono::nanoseconds timeout) noexcept { stall_ns_.store(timeout.count()); }

    WriterRuntime(std::chrono::nanoseconds stall_timeout, bool marks_process)
        : stall_ns_(stall_timeout.count()), marks_process_(marks_process) {}

private:
    friend class ResidentReservation;
    void wait_until_done(bool (*done)(void*), void* context);
    void release(std::uint64_t bytes, std::uint64_t generation, bool completed) noexcept;
    static void reset_process_runtime_in_child();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t reserved_ = 0;
    std::uint64_t progress_ = 0;
    std::uint64_t wakeups_ = 0;
    // Reservations made before a fork are not returned to the child's budget.
    std::uint64_t generation_ = 0;
    std::atomic<std::int64_t> stall_ns_;
    bool marks_process_;
    std::atomic<bool> circuit_open_{false};
};

IoError stalled_queue_error();

}  // namespace quib::storage
