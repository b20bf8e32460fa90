#include "storage/writer_runtime.hpp"

#include "storage/detach.hpp"
#include "storage/process_identity.hpp"

#include <limits>
#include <new>

namespace quib::storage {

std::atomic<bool> PROCESS_WRITER_CIRCUIT_OPEN{false};

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// Locks from a thread that may hold the interpreter lock.
std::unique_lock<std::mutex> lock_budget(std::mutex& mutex) {
    lock_storage(mutex);
    return std::unique_lock<std::mutex>(mutex, std::adopt_lock);
}

}  // namespace

IoError stalled_queue_error() { return IoError::make(IoErrorKind::TimedOut, STALLED_QUEUE_MESSAGE); }

ResidentReservation::ResidentReservation(ResidentReservation&& other) noexcept
    : runtime_(std::move(other.runtime_)),
      bytes_(other.bytes_),
      generation_(other.generation_),
      completed_(other.completed_) {}

ResidentReservation& ResidentReservation::operator=(ResidentReservation&& other) noexcept {
    if (this != &other) {
        release();
        runtime_ = std::move(other.runtime_);
        bytes_ = other.bytes_;
        generation_ = other.generation_;
        completed_ = other.completed_;
    }
    return *this;
}

ResidentReservation::~ResidentReservation() { release(); }

void ResidentReservation::release() noexcept {
    if (!runtime_) return;
    runtime_->release(bytes_, generation_, completed_);
    runtime_.reset();
}

const std::shared_ptr<WriterRuntime>& WriterRuntime::process() {
    // Never destroyed: writer threads may still use it while the process exits.
    static auto* runtime = [] {
        auto* made = new std::shared_ptr<WriterRuntime>(std::make_shared<WriterRuntime>(STALL_TIMEOUT, true));
        run_in_fork_child(&WriterRuntime::reset_process_runtime_in_child);
        return made;
    }();
    return *runtime;
}

std::shared_ptr<WriterRuntime> WriterRuntime::create(std::chrono::nanoseconds stall_timeout, bool marks_process) {
    return std::make_shared<WriterRuntime>(stall_timeout, marks_process);
}

void WriterRuntime::reset_process_runtime_in_child() {
    // Only this thread exists now. Reservations the parent's queues held will never be written
    // here; the child starts with an empty budget and fresh synchronisation objects.
    WriterRuntime& runtime = *process();
    new (&runtime.mutex_) std::mutex();
    new (&runtime.changed_) std::condition_variable();
    runtime.reserved_ = 0;
    runtime.generation_ += 1;
}

void WriterRuntime::open_circuit() noexcept {
    {
        auto lock = lock_budget(mutex_);
        circuit_open_.store(true, std::memory_order_release);
        if (marks_process_) PROCESS_WRITER_CIRCUIT_OPEN.store(true, std::memory_order_release);
        wakeups_ += 1;
    }
    changed_.notify_all();
}

void WriterRuntime::wake() noexcept {
    {
        auto lock = lock_budget(mutex_);
        wakeups_ += 1;
    }
    changed_.notify_all();
}

IoResult<ResidentReservation> WriterRuntime::reserve(std::uint64_t bytes) {
    const std::uint64_t cost = saturating_add(bytes, RESERVATION_OVERHEAD);
    auto fits = [&] { return reserved_ == 0 || saturating_add(reserved_, cost) <= RESIDENT_LIMIT; };
    auto grant = [&] {
        reserved_ += cost;
        return ResidentReservation(shared_from_this(), cost, generation_);
    };
    {
        auto lock = lock_budget(mutex_);
        if (circuit_open()) return stalled_queue_error();
        if (fits()) return grant();
    }
    // The queue is full: wait for the writers, without the interpreter lock.
    DetachedFromInterpreter detached;
    std::unique_lock<std::mutex> lock(mutex_);
    auto stall = [&] { return std::chrono::nanoseconds(stall_ns_.load()); };
    std::uint64_t seen_progress = progress_;
    auto deadline = std::chrono::steady_clock::now() + stall();
    for (;;) {
        if (circuit_open()) return stalled_queue_error();
        if (fits()) return grant();
        auto now = std::chrono::steady_clock::now();
        if (progress_ != seen_progress) {
            // A writer that keeps completing items never trips the breaker.
            seen_progress = progress_;
            deadline = now + stall();
        } else if (now >= deadline) {
            circuit_open_.store(true, std::memory_order_release);
            if (marks_process_) PROCESS_WRITER_CIRCUIT_OPEN.store(true, std::memory_order_release);
            wakeups_ += 1;
            lock.unlock();
            changed_.notify_all();
            return stalled_queue_error();
        }
        changed_.wait_until(lock, deadline);
    }
}

void WriterRuntime::release(std::uint64_t bytes, std::uint64_t generation, bool completed) noexcept {
    {
        auto lock = lock_budget(mutex_);
        if (generation == generation_) reserved_ = reserved_ > bytes ? reserved_ - bytes : 0;
        if (completed) progress_ += 1;
        wakeups_ += 1;
    }
    changed_.notify_all();
}

void WriterRuntime::wait_until_done(bool (*done)(void*), void* context) {
    if (done(context) || circuit_open()) return;
    DetachedFromInterpreter detached;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return done(context) || circuit_open(); });
}

std::uint64_t WriterRuntime::reserved() const {
    auto lock = lock_budget(mutex_);
    return reserved_;
}

std::uint64_t WriterRuntime::progress() const {
    auto lock = lock_budget(mutex_);
    return progress_;
}

}  // namespace quib::storage
