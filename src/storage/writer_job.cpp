#include "storage/writer_job.hpp"

#include "storage/file_ops.hpp"
#include "storage/writer_hooks.hpp"

#include <type_traits>

namespace quib::storage {

namespace {

constexpr std::size_t WRITE_BUFFER = 64 * 1024;

// Positioned writes through a 64 KiB buffer; large pieces go to the file directly.
class BufferedFileWriter final : public ContainerOutput {
public:
    BufferedFileWriter(int fd, const std::string& path) : fd_(fd), path_(path) { buffer_.reserve(WRITE_BUFFER); }

    IoStatus write(const std::uint8_t* data, std::size_t size) override {
        if (buffer_.size() + size > WRITE_BUFFER) {
            IoStatus flushed = flush();
            if (!flushed) return flushed;
        }
        if (size >= WRITE_BUFFER) {
            IoStatus written = files::write_all_at(fd_, data, size, file_offset_, path_);
            if (written) file_offset_ += size;
            return written;
        }
        buffer_.insert(buffer_.end(), data, data + size);
        return {};
    }

    IoStatus flush() {
        if (buffer_.empty()) return {};
        IoStatus written = files::write_all_at(fd_, buffer_.data(), buffer_.size(), file_offset_, path_);
        if (!written) return written;
        file_offset_ += buffer_.size();
        buffer_.clear();
        return {};
    }

    std::uint64_t position() const noexcept { return file_offset_ + buffer_.size(); }

private:
    int fd_;
    const std::string& path_;
    Bytes buffer_;
    std::uint64_t file_offset_ = 0;
};

class Job {
public:
    explicit Job(WriterJobInputs& in) : in_(in), out_(in.fd, in.temp_path) {}

    // The job's result; `current` is the chunk being written when an error struck.
    IoStatus run() {
        IoResult<Bytes> preamble = encode_preamble(in_.header_payload);
        if (!preamble) return std::move(preamble).error();
        IoStatus status = out_.write(preamble->data(), preamble->size());
        if (status) status = out_.flush();
        if (!status) return status;
        in_.progress->published_prefix.store(out_.position());
        for (;;) {
            wait_while_writers_blocked();
            std::optional<Command> command = in_.commands->receive();
            if (!command) return abandoned();
            bool finished = false;
            status = std::visit([&](auto& c) { return handle(c, finished); }, *command);
            if (!status || finished) return status;
        }
    }

    void fail_current(const IoError& error) {
        if (current_) current_->fail(error);
        current_.reset();
    }

private:
    IoStatus handle(ValueCommand& value, bool&) {
        IoResult<WrittenRecord> written =
            write_record(out_, out_.position(), KIND_VALUE, 0, value.value_id, 1, std::span(*value.bytes));
        if (!written) return std::move(written).error();
        entries_.push_back(written->entry);
        value.reservation.complete();
        return {};
    }

    IoStatus handle(ChunkCommand& chunk, bool&) {
        current_ = chunk.handle;
        IoResult<WrittenChunk> written = write_chunk(out_, out_.position(), chunk.chunk.thread_token,
                                                     chunk.chunk.sequence, std::span(*chunk.chunk.ends),
                                                     std::span(*chunk.chunk.bytes));
        if (!written) return std::move(written).error();
        IoStatus flushed = out_.flush();
        if (!flushed) return flushed;
        chunk.handle->mark_written(written->data_position);
        current_.reset();
        in_.progress->published_prefix.store(out_.position());
        entries_.push_back(written->entry);
        chunk.reservation.complete();
        return {};
    }

    IoStatus handle(FinishCommand& finish, bool& finished) {
        for (std::size_t i = 0; i < finish.thread_metadata.size(); ++i) {
            const ThreadMetadata& thread = finish.thread_metadata[i];
            IoResult<WrittenRecord> written = write_record(out_, out_.position(), KIND_THREAD_METADATA,
                                                           thread.thread_token, i, 1, std::span(thread.bytes));
            if (!written) return std::move(written).error();
            entries_.push_back(written->entry);
        }
        IoResult<WrittenRecord> trace =
            write_record(out_, out_.position(), KIND_TRACE_METADATA, 0, 0, 1, std::span(finish.trace_metadata));
        if (!trace) return std::move(trace).error();
        entries_.push_back(trace->entry);
        Bytes index = encode_index(entries_, finish.layouts);
        std::uint64_t index_offset = out_.position();
        IoResult<WrittenRecord> written = write_record(out_, index_offset, KIND_INDEX, 0, 0,
                                                       static_cast<std::uint32_t>(entries_.size()), std::span(index));
        if (!written) return std::move(written).error();
        IoStatus status = write_footer(out_, index_offset, index_offset + written->bytes + FOOTER_SIZE);
        if (status) status = out_.flush();
        if (status) status = files::sync_file(in_.fd, in_.temp_path);
        if (status) finished = true;
        return status;
    }

    IoStatus abandoned() {
        (void)out_.flush();
        if (!in_.progress->abandoned.load()) (void)files::remove_file(in_.temp_path);
        return IoError::make(IoErrorKind::BrokenPipe, "trace capture abandoned");
    }

    WriterJobInputs& in_;
    BufferedFileWriter out_;
    std::vector<IndexEntry> entries_;
    std::shared_ptr<ChunkHandle> current_;
};

// The job stopped: nothing queued will be written. Chunks still queued fail (their frames cannot be
// read back any more), their reservations are returned, and later sends are refused.
void fail_queued_chunks(CommandChannel& commands, const IoError& error) {
    commands.close();
    while (std::optional<Command> command = commands.try_receive()) {
        if (auto* chunk = std::get_if<ChunkCommand>(&*command)) chunk->handle->fail(error);
    }
}

}  // namespace

void run_writer_job(WriterJobInputs& inputs) noexcept {
    WriterOutcome& outcome = *inputs.outcome;
    try {
        Job job(inputs);
        IoStatus result = job.run();
        if (result) {
            outcome.state = WriterOutcome::State::Succeeded;
        } else {
            IoError error = std::move(result).error();
            job.fail_current(error);
            fail_queued_chunks(*inputs.commands, error);
            outcome.state = WriterOutcome::State::Failed;
            outcome.error = std::move(error);
        }
    } catch (const std::exception& failure) {
        outcome.state = WriterOutcome::State::Panicked;
        outcome.panic = failure.what();
    } catch (...) {
        outcome.state = WriterOutcome::State::Panicked;
        outcome.panic = "unknown panic";
    }
    if (outcome.state == WriterOutcome::State::Panicked) {
        try {
            fail_queued_chunks(*inputs.commands, IoError::make(IoErrorKind::Other, "trace writer panicked"));
        } catch (...) {
        }
    }
    files::close_fd(inputs.fd);
    inputs.fd = -1;
    inputs.progress->done.store(true, std::memory_order_release);
    inputs.runtime->wake();
}

}  // namespace quib::storage
