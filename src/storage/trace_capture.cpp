#include "storage/trace_capture.hpp"

#include "storage/detach.hpp"
#include "storage/file_ops.hpp"
#include "storage/writer_threads.hpp"

#include <algorithm>
#include <unistd.h>

namespace quib::storage {

namespace {

std::atomic<std::uint64_t> TEMP_SEQUENCE{0};

IoError writer_failed() { return IoError::make(IoErrorKind::BrokenPipe, "trace writer failed"); }
IoError writer_closed() { return IoError::make(IoErrorKind::BrokenPipe, "trace writer closed"); }
IoError forked_child() {
    return IoError::make(IoErrorKind::BrokenPipe, "trace writer cannot be finished in a forked child");
}

void mark_published(std::vector<std::uint8_t>& published, std::uint32_t value_id) {
    if (published.size() <= value_id) published.resize(std::size_t{value_id} + 1, 0);
    published[value_id] = 1;
}

bool is_published(const std::vector<std::uint8_t>& published, std::uint32_t value_id) {
    return value_id < published.size() && published[value_id] != 0;
}

}  // namespace

bool plain_trace_id(std::string_view id) noexcept {
    if (id.empty() || id.size() > 200) return false;
    for (std::size_t i = 0; i < id.size(); ++i) {
        char c = id[i];
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!plain && !(i > 0 && (c == '.' || c == '-'))) return false;
    }
    return true;
}

std::string final_trace_path(std::string_view db_path, std::string_view trace_id) {
    std::string directory = files::join(files::parent_directory(std::string(db_path)), "raw");
    return files::join(directory, std::string(trace_id) + ".quib");
}

std::string temporary_trace_path(const std::string& final_path) {
    std::string name = files::file_name(final_path);
    if (name.empty()) name = "trace.quib";
    std::string temp = "." + name + "." + std::to_string(getpid()) + "." + std::to_string(TEMP_SEQUENCE.fetch_add(1)) +
                       ".tmp";
    return files::join(files::parent_directory(final_path), temp);
}

// --- TraceWriter ---------------------------------------------------------------

TraceWriter::TraceWriter(std::shared_ptr<CommandChannel> commands, std::shared_ptr<WriterProgress> progress,
                         std::shared_ptr<WriterOutcome> outcome, std::shared_ptr<WriterRuntime> runtime,
                         std::string temp_path)
    : commands_(std::move(commands)),
      progress_(std::move(progress)),
      outcome_(std::move(outcome)),
      runtime_(std::move(runtime)),
      temp_path_(std::move(temp_path)),
      pid_(getpid()) {}

bool TraceWriter::started_in_this_process() const noexcept { return pid_ == getpid(); }

TraceWriter::~TraceWriter() {
    if (!started_in_this_process()) {
        // Inherited through fork(): the thread is the parent's and so is the file. The channel may
        // have been locked by a thread that does not exist here, so it is not touched at all.
        new std::shared_ptr<CommandChannel>(std::move(commands_));
        return;
    }
    if (joined_ || abandoned_) return;
    if (!runtime_->circuit_open()) {
        commands_->close();
        runtime_->wait_for([this] { return done(); });
        if (done()) {
            joined_ = true;
            (void)files::remove_file(temp_path_);
            return;
        }
    }
    (void)abandon_for_circuit();
}

std::optional<std::string> TraceWriter::abandon_for_circuit() {
    abandoned_ = true;
    progress_->abandoned.store(true);
    commands_->close();
    if (progress_->published_prefix.load() > 0) return temp_path_;
    return std::nullopt;
}

const WriterOutcome& TraceWriter::join() {
    joined_ = true;
    return *outcome_;
}

// --- TraceCapture --------------------------------------------------------------

TraceCapture::TraceCapture(std::string trace_id, std::string final_path, std::string temp_path, Bytes header_payload,
                           std::shared_ptr<WriterRuntime> runtime)
    : trace_id_(std::move(trace_id)),
      final_path_(std::move(final_path)),
      temp_path_(std::move(temp_path)),
      header_payload_(std::move(header_payload)),
      runtime_(std::move(runtime)),
      snapshot_(std::make_shared<SnapshotFile>(temp_path_)),
      identity_(current_process_identity()),
      state_("trace writer mutex poisoned") {
    keep_in_memory_.store(runtime_->circuit_open());
}

TraceCapture::~TraceCapture() = default;

std::shared_ptr<TraceCapture> TraceCapture::for_trace(std::string_view db_path, std::string_view trace_id,
                                                      double timestamp, std::shared_ptr<WriterRuntime> runtime) {
    std::string final_path = final_trace_path(db_path, trace_id);
    std::string temp_path = temporary_trace_path(final_path);
    return std::make_shared<TraceCapture>(std::string(trace_id), std::move(final_path), std::move(temp_path),
                                          encode_header_payload(trace_id, timestamp), std::move(runtime));
}

std::unique_ptr<TraceWriter> TraceCapture::take_writer(State& state) {
    if (state.slot != Slot::Running) return nullptr;
    state.slot = Slot::Taken;
    return std::move(state.writer);
}

IoError TraceCapture::circuit_error(const std::optional<std::string>& prefix) const {
    if (prefix) {
        return IoError::make(IoErrorKind::TimedOut,
                             "Quib trace writer circuit breaker opened; the capture was abandoned and a recovered "
                             "prefix is available at " +
                                 *prefix + ". Tracing is disabled until process restart");
    }
    return IoError::make(IoErrorKind::TimedOut,
                         "Quib trace writer circuit breaker opened before a recoverable prefix could be published; "
                         "the capture was abandoned. Tracing is disabled until process restart");
}

IoStatus TraceCapture::ensure_writer(State& state) {
    if (state.failed) return writer_failed();
    if (state.slot != Slot::Empty) return {};
    IoStatus started = start_writer(state);
    if (!started) state.failed = true;
    return started;
}

IoStatus TraceCapture::start_writer(State& state) {
    if (!plain_trace_id(trace_id_)) {
        return IoError::make(IoErrorKind::InvalidInput,
                             "Quib cannot store a trace under the id " + trace_id_ + ": not a plain file name");
    }
    IoStatus made = files::create_directories(files::parent_directory(final_path_));
    if (!made) return made;
    IoResult<int> file = files::create_exclusive(temp_path_);
    if (!file) return std::move(file).error();
    IoResult<int> reader = files::open_read_only(temp_path_);
    if (!reader) {
        files::close_fd(file.value());
        (void)files::remove_file(temp_path_);
        return std::move(reader).error();
    }
    snapshot_->install(reader.value());

    auto inputs = std::make_shared<WriterJobInputs>();
    inputs->fd = file.value();
    inputs->temp_path = temp_path_;
    inputs->header_payload = header_payload_;
    inputs->commands = std::make_shared<CommandChannel>();
    inputs->progress = std::make_shared<WriterProgress>();
    inputs->outcome = std::make_shared<WriterOutcome>();
    inputs->runtime = runtime_;
    IoStatus started = start_writer_job([inputs] { run_writer_job(*inputs); });
    if (!started) {
        files::close_fd(inputs->fd);
        inputs->fd = -1;
        (void)files::remove_file(temp_path_);
        return started;
    }
    state.writer = std::make_unique<TraceWriter>(inputs->commands, inputs->progress, inputs->outcome, runtime_,
                                                 temp_path_);
    state.slot = Slot::Running;
    return {};
}

IoResult<std::shared_ptr<ChunkHandle>> TraceCapture::commit_chunk(SealedChunk chunk) {
    if (inherited()) keep_in_memory();
    ResidentReservation reservation;
    if (!keeps_in_memory()) {
        std::uint64_t bytes = chunk.bytes->capacity() + 8 * chunk.frame_count;
        IoResult<ResidentReservation> reserved = runtime_->reserve(bytes);
        if (!reserved) {
            if (runtime_->circuit_open()) return abandon_for_circuit();
            return std::move(reserved).error();
        }
        reservation = std::move(reserved).value();
    }
    auto state = lock_guarded(state_);
    if (state->failed) return writer_failed();
    auto handle = std::make_shared<ChunkHandle>(snapshot_, chunk);
    if (keeps_in_memory()) return handle;
    if (!reservation) throw py::InternalFailure("streaming chunks reserve resident bytes");
    IoStatus ensured = ensure_writer(*state);
    if (!ensured) {
        handle->fail(ensured.error());
        return std::move(ensured).error();
    }
    if (!state->writer) throw py::InternalFailure("open writer");
    if (!state->writer->commands().send(ChunkCommand{std::move(chunk), handle, std::move(reservation)})) {
        IoError closed = writer_closed();
        handle->fail(closed);
        return closed;
    }
    return handle;
}

IoStatus TraceCapture::publish_value(std::uint32_t value_id, SharedBytes bytes) {
    if (inherited()) keep_in_memory();
    if (keeps_in_memory()) {
        auto state = lock_guarded(state_);
        if (state->failed) return writer_failed();
        mark_published(state->published, value_id);
        return {};
    }
    {
        auto state = lock_guarded(state_);
        if (state->failed) return writer_failed();
        if (is_published(state->published, value_id)) return {};
    }
    IoResult<ResidentReservation> reserved = runtime_->reserve(bytes->size());
    if (!reserved) {
        if (runtime_->circuit_open()) return abandon_for_circuit();
        return std::move(reserved).error();
    }
    auto state = lock_guarded(state_);
    if (state->failed) return writer_failed();
    if (is_published(state->published, value_id)) return {};
    if (!keeps_in_memory()) {
        IoStatus ensured = ensure_writer(*state);
        if (!ensured) return ensured;
        if (!state->writer) throw py::InternalFailure("open writer");
        if (!state->writer->commands().send(ValueCommand{value_id, std::move(bytes), std::move(reserved).value()})) {
            return writer_closed();
        }
    }
    mark_published(state->published, value_id);
    return {};
}

std::vector<std::uint32_t> TraceCapture::published_value_ids() {
    auto state = lock_guarded(state_);
    std::vector<std::uint32_t> ids;
    for (std::size_t i = 0; i < state->published.size(); ++i) {
        if (state->published[i] != 0) ids.push_back(static_cast<std::uint32_t>(i));
    }
    return ids;
}

void TraceCapture::keep_in_memory() {
    if (keep_in_memory_.exchange(true)) return;
    std::unique_ptr<TraceWriter> writer;
    {
        auto state = lock_guarded(state_);
        writer = take_writer(*state);
    }
    // Dropped outside the lock: it waits for the writer to store what is queued.
    writer.reset();
}

IoError TraceCapture::abandon_for_circuit() {
    std::unique_ptr<TraceWriter> writer;
    std::optional<std::string> prefix;
    {
        auto state = lock_guarded(state_);
        state->failed = true;
        writer = take_writer(*state);
        if (writer) {
            if (auto kept = writer->abandon_for_circuit()) state->recovered_prefix = std::move(kept);
        }
        prefix = state->recovered_prefix;
    }
    return circuit_error(prefix);
}

std::optional<std::string> TraceCapture::recovered_prefix() {
    auto state = lock_guarded(state_);
    return state->recovered_prefix;
}

bool TraceCapture::writer_started() {
    auto state = lock_guarded(state_);
    return state->slot != Slot::Empty;
}

IoStatus TraceCapture::finish(std::vector<ThreadMetadata> thread_metadata, Bytes trace_metadata,
                              std::vector<ThreadLayout> layouts) {
    if (runtime_->circuit_open()) return abandon_for_circuit();
    if (inherited()) {
        keep_in_memory();
        return forked_child();
    }
    // A capture kept in memory has chunks that never reached the file: finishing the file would
    // commit a container without them.
    if (keeps_in_memory()) {
        return IoError::make(IoErrorKind::BrokenPipe, "trace writer cannot finish a capture kept in memory");
    }
    std::unique_ptr<TraceWriter> writer;
    {
        auto state = lock_guarded(state_);
        if (state->failed) return writer_failed();
        IoStatus ensured = ensure_writer(*state);
        if (!ensured) return ensured;
        if (state->slot != Slot::Running || !state->writer) throw py::InternalFailure("finish always starts the writer");
        state->failed = true;
        writer = take_writer(*state);
    }
    if (!writer->started_in_this_process()) return forked_child();
    (void)writer->commands().send(
        FinishCommand{std::move(thread_metadata), std::move(trace_metadata), std::move(layouts)});
    writer->commands().close();
    runtime_->wait_for([&] { return writer->done(); });
    if (!writer->done()) {
        std::optional<std::string> prefix;
        {
            auto state = lock_guarded(state_);
            if (auto kept = writer->abandon_for_circuit()) state->recovered_prefix = std::move(kept);
            prefix = state->recovered_prefix;
        }
        return circuit_error(prefix);
    }
    const WriterOutcome& outcome = writer->join();
    switch (outcome.state) {
        case WriterOutcome::State::Panicked:
            (void)files::remove_file(temp_path_);
            return IoError::make(IoErrorKind::Other, "trace writer panicked");
        case WriterOutcome::State::Failed:
        case WriterOutcome::State::Running:
            // A refused Finish means the writer had already stopped: its error is the one to report.
            (void)files::remove_file(temp_path_);
            if (outcome.error) return *outcome.error;
            return writer_closed();
        case WriterOutcome::State::Succeeded:
            break;
    }
    IoStatus renamed = files::rename_file(temp_path_, final_path_);
    if (!renamed) {
        (void)files::remove_file(temp_path_);
        return renamed;
    }
    return files::sync_directory(files::parent_directory(final_path_));
}

}  // namespace quib::storage
