// The threads that run writer jobs, named "quib-v3-writer". A thread whose job is done may park
// for up to 2 seconds waiting for the next job (at most one parked thread per process), so that a
// process saving trace after trace does not start a thread for each. QUIB_REUSE_SAVE_WORKERS=0
// turns parking off. Writer threads block all signals: they are delivered to the program's own
// threads, and a writer's system calls are not interrupted.
#pragma once

#include "storage/io_error.hpp"

#include <cstdint>
#include <functional>

namespace quib::storage {

using WriterJob = std::function<void()>;

// Runs the job on a parked writer thread of this process, or on a new one.
IoStatus start_writer_job(WriterJob job);

bool reuse_save_workers();
// Writer threads started by this process so far (tests, benchmarks).
std::uint64_t writer_threads_started() noexcept;

}  // namespace quib::storage
