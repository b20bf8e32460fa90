// One trace's writer side. Frame stores commit sealed chunks here and the value interner
// publishes values here; unless the capture keeps everything in memory, both are queued to a
// background writer thread that appends them to the trace's temporary file "raw/.{id}.quib.{pid}.
// {n}.tmp" next to the database. `finish` makes the writer add metadata, index and footer, then
// renames the file to "raw/{id}.quib" and syncs the directory.
//
// Keep-in-memory mode (entered when the circuit breaker is open at creation, after a fork, or at
// the tracer's request, and never left) uses no writer: chunks stay in their handles, for the
// tracer to build the container in memory.
#pragma once

#include "py/gil_mutex.hpp"
#include "storage/chunk.hpp"
#include "storage/process_identity.hpp"
#include "storage/writer_commands.hpp"
#include "storage/writer_job.hpp"
#include "storage/writer_runtime.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quib::storage {

// Handle on a running writer job. Dropping it without `finish` abandons the capture's file.
class TraceWriter {
public:
    TraceWriter(std::shared_ptr<CommandChannel> commands, std::shared_ptr<WriterProgress> progress,
                std::shared_ptr<WriterOutcome> outcome, std::shared_ptr<WriterRuntime> runtime, std::string temp_path);
    ~TraceWriter();
    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    CommandChannel& commands() noexcept { return *commands_; }
    bool done() const noexcept { return progress_->done.load(std::memory_order_acquire); }
    bool started_in_this_process() const noexcept;
    // Stop waiting for the writer: it may be stuck for good. Returns the temporary path when the
    // file already holds a readable prefix, which is then kept.
    std::optional<std::string> abandon_for_circuit();
    // After `done()`: the job's outcome. The writer counts as joined afterwards.
    const WriterOutcome& join();

private:
    std::shared_ptr<CommandChannel> commands_;
    std::shared_ptr<WriterProgress> progress_;
    std::shared_ptr<WriterOutcome> outcome_;
    std::shared_ptr<WriterRuntime> runtime_;
    std::string temp_path_;
    int pid_;
    bool joined_ = false;
    bool abandoned_ = false;
};

class TraceCapture {
public:
    static std::shared_ptr<TraceCapture> for_trace(std::string_view db_path, std::string_view trace_id,
                                                   double timestamp,
                                                   std::shared_ptr<WriterRuntime> runtime = WriterRuntime::process());
    ~TraceCapture();

    // Steps of a frame store's commit that touch the capture: fork check, reservation, queueing.
    IoResult<std::shared_ptr<ChunkHandle>> commit_chunk(SealedChunk chunk);
    // Queues a value record, once per identifier.
    IoStatus publish_value(std::uint32_t value_id, SharedBytes bytes);
    std::vector<std::uint32_t> published_value_ids();
    void keep_in_memory();
    bool keeps_in_memory() const noexcept { return keep_in_memory_.load(std::memory_order_acquire); }
    // Gives up on the writer (circuit breaker); returns the error to report.
    IoError abandon_for_circuit();
    // Completes and commits the file. Blocks (without the interpreter lock) until the writer is done.
    IoStatus finish(std::vector<ThreadMetadata> thread_metadata, Bytes trace_metadata,
                    std::vector<ThreadLayout> layouts);

    bool inherited() const noexcept { return !(identity_ == current_process_identity()); }
    const std::string& final_path() const noexcept { return final_path_; }
    const std::string& temp_path() const noexcept { return temp_path_; }
    const std::string& trace_id() const noexcept { return trace_id_; }
    const Bytes& header_payload() const noexcept { return header_payload_; }
    const std::shared_ptr<SnapshotFile>& snapshot() const noexcept { return snapshot_; }
    const std::shared_ptr<WriterRuntime>& runtime() const noexcept { return runtime_; }
    std::optional<std::string> recovered_prefix();
    bool writer_started();

    TraceCapture(std::string trace_id, std::string final_path, std::string temp_path, Bytes header_payload,
                 std::shared_ptr<WriterRuntime> runtime);

private:
    enum class Slot { Empty, Running, Taken };
    struct State {
        Slot slot = Slot::Empty;
        std::unique_ptr<TraceWriter> writer;
        bool failed = false;
        std::vector<std::uint8_t> published;
        std::optional<std::string> recovered_prefix;
    };
    using StateLock = py::Guarded<State, ForkAwareMutex>::Lock;

    IoStatus ensure_writer(State& state);
    IoStatus start_writer(State& state);
    IoError circuit_error(const std::optional<std::string>& prefix) const;
    std::unique_ptr<TraceWriter> take_writer(State& state);

    std::string trace_id_;
    std::string final_path_;
    std::string temp_path_;
    Bytes header_payload_;
    std::shared_ptr<WriterRuntime> runtime_;
    std::shared_ptr<SnapshotFile> snapshot_;
    ProcessIdentity identity_;
    std::atomic<bool> keep_in_memory_{false};
    py::Guarded<State, ForkAwareMutex> state_;
};

// "." + file name + "." + pid + "." + n + ".tmp", in the final file's directory.
std::string temporary_trace_path(const std::string& final_path);
// "{parent of db_path or .}/raw/{trace_id}.quib"
std::string final_trace_path(std::string_view db_path, std::string_view trace_id);
bool plain_trace_id(std::string_view trace_id) noexcept;

}  // namespace quib::storage
