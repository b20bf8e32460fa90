// The job a writer thread runs for one capture: write the preamble, then every queued value and
// chunk as it arrives, and on `Finish` the metadata, the index and the footer, then fsync. A channel
// closed without `Finish` abandons the file.
#pragma once

#include "storage/writer_commands.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace quib::storage {

// Shared between the job and the capture's `TraceWriter`.
struct WriterProgress {
    std::atomic<std::uint64_t> published_prefix{0};  // bytes of the file that are complete records
    std::atomic<bool> done{false};                   // set last, after the outcome
    std::atomic<bool> abandoned{false};              // set by the circuit breaker: keep the file
};

struct WriterOutcome {
    enum class State { Running, Succeeded, Failed, Panicked };
    State state = State::Running;
    std::optional<IoError> error;
    std::string panic;
};

struct WriterJobInputs {
    int fd = -1;  // the temporary file, read-write; the job closes it
    std::string temp_path;
    Bytes header_payload;
    std::shared_ptr<CommandChannel> commands;
    std::shared_ptr<WriterProgress> progress;
    std::shared_ptr<WriterOutcome> outcome;
    std::shared_ptr<WriterRuntime> runtime;
};

void run_writer_job(WriterJobInputs& inputs) noexcept;

}  // namespace quib::storage
