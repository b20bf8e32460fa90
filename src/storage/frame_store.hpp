// The encoded frame records of one thread of one trace.
//
// Frames are appended to an open chunk (the arena). A chunk that reaches the seal threshold
// (512 KiB) is sealed and committed to the trace's capture, which streams it to the trace file or
// keeps it in memory. The store itself keeps only spans over committed chunks, so ranges can be cut
// out (`drain`) and put back elsewhere (`insert_store`) and single frames inserted, without copying
// frame bytes. Frames are numbered from 0: the sealed frames covered by spans first, then the ones
// still in the arena.
//
// A store has no lock of its own: callers hold their store's mutex. Once a chunk cannot be
// committed the store is failed for good and every operation reports "frame store writer failed".
#pragma once

#include "storage/chunk.hpp"
#include "storage/container_format.hpp"
#include "storage/io_error.hpp"
#include "storage/trace_name_index.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace quib::storage {

class TraceCapture;

inline constexpr std::uint64_t SEAL_THRESHOLD = 512 * 1024;
// An arena reserves room for a whole chunk up front (up to this much), and some more for the frame
// that crosses the seal threshold, so that filling it never copies what it holds. Reserved pages
// that are never written cost no memory.
inline constexpr std::size_t ARENA_INITIAL_CAPACITY = 1024 * 1024;
inline constexpr std::size_t ARENA_SLACK = 64 * 1024;
inline constexpr std::size_t ARENA_INITIAL_FRAMES = 4096;

struct FrameArena {
    Bytes bytes;
    std::vector<std::uint64_t> ends;
    std::uint64_t next_sequence = 0;
    std::uint64_t seal_threshold = SEAL_THRESHOLD;
    std::uint32_t thread_token = 0;

    FrameArena(std::uint32_t token, std::uint64_t threshold);
    std::uint64_t frame_count() const noexcept { return ends.size(); }
    // Moves the frames out into a chunk; nothing when the arena is empty.
    std::optional<SealedChunk> seal();
};

struct FrameSpan {
    std::shared_ptr<ChunkHandle> chunk;
    std::uint64_t first = 0;   // store-level index of the span's first frame
    std::uint32_t offset = 0;  // index of that frame within the chunk
    std::uint32_t count = 0;
};

struct AppendResult {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    std::uint64_t bytes_added = 0;
};

class FrameStore {
public:
    // An active store bound to the trace's capture.
    FrameStore(std::uint32_t thread_token, std::shared_ptr<TraceCapture> capture,
               std::uint64_t seal_threshold = SEAL_THRESHOLD);
    FrameStore(FrameStore&&) noexcept = default;
    FrameStore& operator=(FrameStore&&) noexcept = default;

    IoResult<AppendResult> append_serialized(std::span<const std::uint8_t> frame);
    // `encode(Bytes& out)` appends one frame to `out` and returns a py::Status; on failure the
    // buffer is cut back and the Python exception returned.
    template <class Encode>
    IoResult<AppendResult> append_encoded(Encode&& encode);
    IoResult<AppendResult> append_many(std::span<const std::span<const std::uint8_t>> frames);
    IoStatus insert_frame(std::uint64_t index, std::span<const std::uint8_t> frame);
    IoResult<FrameStore> drain(std::uint64_t lo, std::uint64_t hi);
    IoStatus insert_store(std::uint64_t at, FrameStore&& other);
    IoResult<ThreadLayout> layout();
    // The frame's bytes: in `scratch`, or (for a frame still in the arena) in the arena itself,
    // valid until the next change of the store.
    IoResult<std::span<const std::uint8_t>> frame(std::uint64_t index, Bytes& scratch);
    IoResult<std::uint64_t> frame_len(std::uint64_t index) const;

    // Frames covered by spans, and all frames (spans plus arena).
    std::uint64_t sealed_frame_count() const noexcept { return frame_count_; }
    std::uint64_t total_frames() const noexcept { return frame_count_ + (arena_ ? arena_->frame_count() : 0); }
    std::uint64_t byte_total() const noexcept { return byte_total_; }
    std::uint32_t thread_token() const noexcept { return thread_token_; }
    bool failed() const noexcept { return failed_; }
    bool detached() const noexcept { return !arena_; }
    const std::shared_ptr<TraceCapture>& capture() const noexcept { return capture_; }
    const std::vector<FrameSpan>& spans() const noexcept { return spans_; }
    OptionalNameIndex& name_index() noexcept { return name_index_; }
    // Releases the capture: the store can still be read, but no longer commit chunks.
    void retire() noexcept { capture_.reset(); }
    // Seals and commits the arena so that every frame is in a span.
    IoStatus flush_arena();

private:
    FrameStore() = default;
    IoStatus check_not_failed() const;
    void check_can_append() const;
    IoStatus commit_chunk(SealedChunk chunk);
    IoStatus seal_and_commit();
    IoStatus after_append(std::uint64_t size);
    std::vector<FrameSpan> slice(std::uint64_t lo, std::uint64_t hi) const;
    struct Located {
        ChunkHandle* chunk;
        std::uint64_t start;
        std::uint64_t end;
    };
    IoResult<Located> locate(std::uint64_t index) const;

    std::vector<FrameSpan> spans_;
    std::optional<FrameArena> arena_;
    OptionalNameIndex name_index_;
    std::shared_ptr<TraceCapture> capture_;
    std::uint64_t frame_count_ = 0;
    std::uint64_t byte_total_ = 0;
    std::uint32_t thread_token_ = 0;
    bool failed_ = false;
};

// Drops empty spans, merges neighbours that continue each other in one chunk, renumbers `first`;
// returns the total frame count.
std::uint64_t normalize_spans(std::vector<FrameSpan>& spans);

template <class Encode>
IoResult<AppendResult> FrameStore::append_encoded(Encode&& encode) {
    IoStatus usable = check_not_failed();
    if (!usable) return std::move(usable).error();
    check_can_append();
    std::uint64_t index = total_frames();
    std::size_t before = arena_->bytes.size();
    bool encoded = false;
    try {
        auto status = encode(arena_->bytes);
        if (!status) {
            arena_->bytes.resize(before);
            return IoError::from_python(std::move(status).error());
        }
        encoded = true;
    } catch (...) {
        if (!encoded) arena_->bytes.resize(before);
        throw;
    }
    std::uint64_t size = arena_->bytes.size() - before;
    arena_->ends.push_back(arena_->bytes.size());
    IoStatus committed = after_append(size);
    if (!committed) return std::move(committed).error();
    return AppendResult{index, index + 1, size};
}

}  // namespace quib::storage
