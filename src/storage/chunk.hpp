// Sealed chunks of encoded frames and the handles that frame spans share.
//
// A chunk's bytes stay in memory (`ChunkHandle` resident bytes) until the writer has stored them in
// the trace's temporary file; then the handle records where, and frames are read back from the file
// through the capture's `SnapshotFile`. The writer publishes the position only after the bytes are
// flushed, and clears the memory only after that, so a reader that checks the position, and under
// the handle's lock checks it again, reads either from memory or from the file, never from a
// half-written chunk.
#pragma once

#include "py/gil_mutex.hpp"
#include "storage/io_error.hpp"
#include "storage/process_identity.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quib::storage {

using Bytes = std::vector<std::uint8_t>;
using SharedBytes = std::shared_ptr<const Bytes>;
using SharedEnds = std::shared_ptr<const std::vector<std::uint64_t>>;

struct SealedChunk {
    SharedBytes bytes;
    SharedEnds ends;  // end offset of every frame within bytes
    std::uint64_t frame_count = 0;
    std::uint64_t sequence = 0;
    std::uint32_t thread_token = 0;
};

// The temporary trace file as readers see it: its path and one read-only descriptor, opened once.
class SnapshotFile {
public:
    explicit SnapshotFile(std::string path) : path_(std::move(path)) {}
    ~SnapshotFile();
    SnapshotFile(const SnapshotFile&) = delete;
    SnapshotFile& operator=(const SnapshotFile&) = delete;

    const std::string& path() const noexcept { return path_; }
    // Takes ownership of a descriptor opened by the writer's start.
    void install(int fd);
    IoStatus read_at(std::uint64_t offset, std::uint8_t* out, std::size_t size);

private:
    std::string path_;
    ForkAwareMutex mutex_;
    std::atomic<int> fd_{-1};
};

class ChunkHandle {
public:
    ChunkHandle(std::shared_ptr<SnapshotFile> snapshot, const SealedChunk& chunk);

    const SharedEnds& ends() const noexcept { return ends_; }
    std::uint64_t frame_count() const noexcept { return frame_count_; }
    std::uint64_t sequence() const noexcept { return sequence_; }
    std::uint32_t thread_token() const noexcept { return thread_token_; }
    // 0 while the chunk is not in the file, else 1 + the offset of its first frame byte.
    std::uint64_t written_position() const noexcept { return written_.load(std::memory_order_acquire); }

    // Writer thread, after the chunk's bytes are flushed: publish the position, drop the memory.
    void mark_written(std::uint64_t data_position);
    // The chunk could not be written: reading it fails with the error's text from now on.
    void fail(const IoError& error);
    // Copies bytes [start, end) of the chunk's frame data into `scratch`.
    IoStatus read(std::uint64_t start, std::uint64_t end, Bytes& scratch);

private:
    struct Memory {
        SharedBytes bytes;
        std::optional<std::string> failure;
    };

    std::shared_ptr<SnapshotFile> snapshot_;
    SharedEnds ends_;
    std::uint64_t frame_count_;
    std::uint64_t sequence_;
    std::uint32_t thread_token_;
    std::atomic<std::uint64_t> written_{0};
    py::Guarded<Memory, ForkAwareMutex> memory_;
};

}  // namespace quib::storage
