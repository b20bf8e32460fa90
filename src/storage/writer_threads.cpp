#include "storage/writer_threads.hpp"

#include "storage/detach.hpp"
#include "storage/process_identity.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <pthread.h>
#include <signal.h>
#include <system_error>
#include <thread>

namespace quib::storage {

namespace {

constexpr auto PARK_TIME = std::chrono::seconds(2);

// One parked thread's mailbox. The claimer sends one job and closes it; a thread parks again
// with a fresh mailbox.
class JobChannel {
public:
    bool send(WriterJob job) {
        {
            lock_storage(mutex_);
            std::lock_guard<std::mutex> guard(mutex_, std::adopt_lock);
            if (closed_) return false;
            jobs_.push_back(std::move(job));
        }
        ready_.notify_one();
        return true;
    }
    void close() {
        {
            lock_storage(mutex_);
            std::lock_guard<std::mutex> guard(mutex_, std::adopt_lock);
            closed_ = true;
        }
        ready_.notify_all();
    }
    // nullopt on timeout (with a deadline) or once closed and empty.
    std::optional<WriterJob> receive(std::optional<std::chrono::steady_clock::time_point> deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ready = [&] { return !jobs_.empty() || closed_; };
        if (deadline) {
            ready_.wait_until(lock, *deadline, ready);
        } else {
            ready_.wait(lock, ready);
        }
        if (jobs_.empty()) return std::nullopt;
        WriterJob job = std::move(jobs_.front());
        jobs_.pop_front();
        return job;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<WriterJob> jobs_;
    bool closed_ = false;
};

struct ParkedWriter {
    std::shared_ptr<JobChannel> jobs;
    ProcessIdentity identity;
    std::uint64_t thread_number = 0;
};

struct ParkedSlot {
    std::mutex mutex;
    std::optional<ParkedWriter> parked;
};

ParkedSlot& parked_slot() {
    // Never destroyed: parked threads may use it while the process exits.
    static ParkedSlot* slot = [] {
        auto* made = new ParkedSlot();
        run_in_fork_child([] {
            // A parked thread of the parent does not exist here; neither does the lock holder.
            ParkedSlot& s = parked_slot();
            new (&s.mutex) std::mutex();
            new (&s.parked) std::optional<ParkedWriter>();
        });
        return made;
    }();
    return *slot;
}

std::atomic<std::uint64_t> NEXT_WRITER_THREAD_ID{1};
std::atomic<std::uint64_t> WRITER_THREADS_STARTED{0};

void run_job(WriterJob& job) noexcept {
    try {
        job();
    } catch (...) {
        // Jobs record their own failures; nothing may escape a thread.
    }
    job = nullptr;
}

void writer_thread_main(WriterJob first, std::uint64_t number) {
    ON_WRITER_THREAD = true;
    pthread_setname_np(pthread_self(), "quib-v3-writer");
    WriterJob job = std::move(first);
    ParkedSlot& slot = parked_slot();
    for (;;) {
        run_job(job);
        if (!reuse_save_workers()) return;
        auto mailbox = std::make_shared<JobChannel>();
        {
            std::lock_guard<std::mutex> lock(slot.mutex);
            if (slot.parked) return;
            slot.parked = ParkedWriter{mailbox, current_process_identity(), number};
        }
        std::optional<WriterJob> next = mailbox->receive(std::chrono::steady_clock::now() + PARK_TIME);
        if (!next) {
            {
                std::lock_guard<std::mutex> lock(slot.mutex);
                if (slot.parked && slot.parked->thread_number == number) {
                    slot.parked.reset();
                    return;
                }
            }
            // A claimer took the entry and is sending its job.
            next = mailbox->receive(std::nullopt);
            if (!next) return;
        }
        job = std::move(*next);
    }
}

IoStatus spawn(WriterJob job) {
    std::uint64_t number = NEXT_WRITER_THREAD_ID.fetch_add(1);
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    IoStatus started;
    try {
        std::thread thread(writer_thread_main, std::move(job), number);
        thread.detach();
        WRITER_THREADS_STARTED.fetch_add(1);
    } catch (const std::system_error& error) {
        started = IoError::from_errno(error.code().value(), "cannot start the trace writer thread");
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

}  // namespace

bool reuse_save_workers() {
    static const bool reuse = [] {
        const char* value = std::getenv("QUIB_REUSE_SAVE_WORKERS");
        return value == nullptr || std::strcmp(value, "0") != 0;
    }();
    return reuse;
}

std::uint64_t writer_threads_started() noexcept { return WRITER_THREADS_STARTED.load(); }

IoStatus start_writer_job(WriterJob job) {
    (void)reuse_save_workers();  // read the environment here, not on a writer thread
    std::optional<ParkedWriter> taken;
    {
        ParkedSlot& slot = parked_slot();
        lock_storage(slot.mutex);
        std::lock_guard<std::mutex> guard(slot.mutex, std::adopt_lock);
        taken = std::move(slot.parked);
        slot.parked.reset();
    }
    if (taken && taken->identity == current_process_identity()) {
        // The job is copied so that it is still ours if the thread has gone away.
        bool sent = taken->jobs->send(job);
        taken->jobs->close();
        if (sent) return {};
    } else if (taken) {
        taken->jobs->close();
    }
    return spawn(std::move(job));
}

}  // namespace quib::storage
