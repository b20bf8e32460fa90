#include "storage/frame_store.hpp"

#include "storage/arena_pool.hpp"
#include "storage/trace_capture.hpp"

#include <algorithm>
#include <limits>

namespace quib::storage {

namespace {

constexpr std::uint64_t U32_LIMIT = std::uint64_t{1} << 32;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

IoError invalid_index() { return IoError::make(IoErrorKind::InvalidInput, "invalid frame index"); }
IoError invalid_boundary() { return IoError::make(IoErrorKind::InvalidData, "invalid frame boundary"); }
IoError width_error() { return IoError::make(IoErrorKind::InvalidData, WIDTH_EXCEEDED); }

void append_spans(std::vector<FrameSpan>& into, std::vector<FrameSpan>&& from) {
    into.insert(into.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

}  // namespace

namespace {

void reserve_arena(Bytes& bytes, std::vector<std::uint64_t>& ends, std::uint64_t threshold) {
    // Twice the threshold (up to a megabyte): a block that size is one the allocator maps and
    // unmaps on its own instead of keeping it in its heap once freed by the writer thread.
    const std::uint64_t room = std::max<std::uint64_t>(std::min<std::uint64_t>(threshold * 2, ARENA_INITIAL_CAPACITY),
                                                       std::min<std::uint64_t>(threshold, ARENA_INITIAL_CAPACITY) + ARENA_SLACK);
    bytes = take_arena_buffer(room);
    ends.reserve(ARENA_INITIAL_FRAMES);
}

}  // namespace

FrameArena::FrameArena(std::uint32_t token, std::uint64_t threshold) : seal_threshold(threshold), thread_token(token) {
    reserve_arena(bytes, ends, threshold);
}

std::optional<SealedChunk> FrameArena::seal() {
    if (ends.empty()) return std::nullopt;
    SealedChunk chunk;
    chunk.frame_count = ends.size();
    chunk.bytes = share_arena_buffer(std::move(bytes));
    chunk.ends = std::make_shared<const std::vector<std::uint64_t>>(std::move(ends));
    chunk.sequence = next_sequence++;
    chunk.thread_token = thread_token;
    ends = {};
    reserve_arena(bytes, ends, seal_threshold);
    return chunk;
}

std::uint64_t normalize_spans(std::vector<FrameSpan>& spans) {
    std::vector<FrameSpan> merged;
    merged.reserve(spans.size());
    for (FrameSpan& span : spans) {
        if (span.count == 0) continue;
        if (!merged.empty()) {
            FrameSpan& last = merged.back();
            if (last.chunk == span.chunk && std::uint64_t{last.offset} + last.count == span.offset &&
                std::uint64_t{last.count} + span.count < U32_LIMIT) {
                last.count += span.count;
                continue;
            }
        }
        merged.push_back(std::move(span));
    }
    std::uint64_t total = 0;
    for (FrameSpan& span : merged) {
        span.first = total;
        total += span.count;
    }
    spans = std::move(merged);
    return total;
}

FrameStore::FrameStore(std::uint32_t thread_token, std::shared_ptr<TraceCapture> capture, std::uint64_t seal_threshold)
    : arena_(std::in_place, thread_token, seal_threshold),
      name_index_(TraceNameIndex{}),
      capture_(std::move(capture)),
      thread_token_(thread_token) {}

IoStatus FrameStore::check_not_failed() const {
    if (failed_) return IoError::make(IoErrorKind::BrokenPipe, "frame store writer failed");
    return {};
}

void FrameStore::check_can_append() const {
    if (!arena_) {
        throw py::InternalFailure(capture_ ? "cannot append to a detached frame range"
                                           : "cannot append to a retired frame store");
    }
    if (!capture_) throw py::InternalFailure("cannot append to a retired frame store");
}

IoStatus FrameStore::commit_chunk(SealedChunk chunk) {
    if (!capture_) return IoError::make(IoErrorKind::BrokenPipe, "frame store retired");
    std::uint64_t count = chunk.frame_count;
    // Checked before the chunk goes to the writer, so that no frame is written that the spans
    // could not cover.
    if (count >= U32_LIMIT || frame_count_ > std::numeric_limits<std::uint64_t>::max() - count) {
        failed_ = true;
        return width_error();
    }
    IoResult<std::shared_ptr<ChunkHandle>> handle = capture_->commit_chunk(std::move(chunk));
    if (!handle) {
        failed_ = true;
        return std::move(handle).error();
    }
    spans_.push_back(FrameSpan{std::move(handle).value(), frame_count_, 0, static_cast<std::uint32_t>(count)});
    frame_count_ += count;
    return {};
}

IoStatus FrameStore::seal_and_commit() {
    if (!arena_) return {};
    std::optional<SealedChunk> chunk = arena_->seal();
    if (!chunk) return {};
    return commit_chunk(std::move(*chunk));
}

IoStatus FrameStore::flush_arena() {
    IoStatus usable = check_not_failed();
    if (!usable) return usable;
    return seal_and_commit();
}

IoStatus FrameStore::after_append(std::uint64_t size) {
    if (arena_->bytes.size() >= arena_->seal_threshold) {
        IoStatus committed = seal_and_commit();
        if (!committed) return committed;
    }
    byte_total_ = saturating_add(byte_total_, size);
    return {};
}

IoResult<AppendResult> FrameStore::append_serialized(std::span<const std::uint8_t> frame) {
    IoStatus usable = check_not_failed();
    if (!usable) return std::move(usable).error();
    check_can_append();
    std::uint64_t index = total_frames();
    arena_->bytes.insert(arena_->bytes.end(), frame.begin(), frame.end());
    arena_->ends.push_back(arena_->bytes.size());
    IoStatus committed = after_append(frame.size());
    if (!committed) return std::move(committed).error();
    return AppendResult{index, index + 1, frame.size()};
}

IoResult<AppendResult> FrameStore::append_many(std::span<const std::span<const std::uint8_t>> frames) {
    std::uint64_t first = total_frames();
    std::uint64_t bytes_before = byte_total_;
    for (std::span<const std::uint8_t> frame : frames) {
        IoResult<AppendResult> appended = append_serialized(frame);
        if (!appended) return std::move(appended).error();
    }
    return AppendResult{first, total_frames(), byte_total_ - bytes_before};
}

std::vector<FrameSpan> FrameStore::slice(std::uint64_t lo, std::uint64_t hi) const {
    std::vector<FrameSpan> out;
    for (const FrameSpan& span : spans_) {
        std::uint64_t start = std::max(span.first, lo);
        std::uint64_t end = std::min(span.first + span.count, hi);
        if (start >= end) continue;
        out.push_back(FrameSpan{span.chunk, 0, static_cast<std::uint32_t>(span.offset + (start - span.first)),
                                static_cast<std::uint32_t>(end - start)});
    }
    normalize_spans(out);
    return out;
}

IoStatus FrameStore::insert_frame(std::uint64_t index, std::span<const std::uint8_t> frame) {
    IoStatus usable = check_not_failed();
    if (!usable) return usable;
    IoStatus sealed = seal_and_commit();
    if (!sealed) return sealed;
    if (index > frame_count_) return invalid_index();
    IoResult<AppendResult> appended = append_serialized(frame);
    if (!appended) return std::move(appended).error();
    sealed = seal_and_commit();
    if (!sealed) return sealed;
    name_index_.reset();
    if (spans_.empty()) throw py::InternalFailure("one appended frame must produce one span");
    FrameSpan added = std::move(spans_.back());
    spans_.pop_back();
    std::uint64_t old_count = frame_count_ - added.count;
    std::vector<FrameSpan> rebuilt = slice(0, index);
    rebuilt.push_back(std::move(added));
    append_spans(rebuilt, slice(index, old_count));
    frame_count_ = normalize_spans(rebuilt);
    spans_ = std::move(rebuilt);
    return {};
}

IoResult<FrameStore> FrameStore::drain(std::uint64_t lo, std::uint64_t hi) {
    IoStatus usable = check_not_failed();
    if (!usable) return std::move(usable).error();
    IoStatus sealed = seal_and_commit();
    if (!sealed) return std::move(sealed).error();
    if (!(lo <= hi && hi <= frame_count_)) return IoError::make(IoErrorKind::InvalidInput, "invalid frame range");
    std::vector<FrameSpan> range = slice(lo, hi);
    std::uint64_t sum = 0;
    for (const FrameSpan& span : range) {
        const auto& ends = *span.chunk->ends();
        for (std::uint64_t i = span.offset; i < std::uint64_t{span.offset} + span.count; ++i) {
            if (i >= span.chunk->frame_count() || i >= ends.size()) return invalid_index();
            std::uint64_t start = i == 0 ? 0 : ends[i - 1];
            if (ends[i] < start) return invalid_boundary();
            if (sum > std::numeric_limits<std::uint64_t>::max() - (ends[i] - start)) return width_error();
            sum += ends[i] - start;
        }
    }
    if (!capture_) throw py::InternalFailure("cannot detach from a retired frame store");
    std::vector<FrameSpan> kept = slice(0, lo);
    append_spans(kept, slice(hi, frame_count_));
    frame_count_ = normalize_spans(kept);
    spans_ = std::move(kept);
    byte_total_ = byte_total_ > sum ? byte_total_ - sum : 0;

    FrameStore detached;
    detached.name_index_ = split_name_index(name_index_, lo, hi);
    detached.frame_count_ = normalize_spans(range);
    detached.spans_ = std::move(range);
    detached.capture_ = capture_;
    detached.byte_total_ = sum;
    detached.thread_token_ = thread_token_;
    return detached;
}

IoStatus FrameStore::insert_store(std::uint64_t at, FrameStore&& other) {
    if (failed_ || other.failed_) return IoError::make(IoErrorKind::BrokenPipe, "frame store writer failed");
    IoStatus sealed = seal_and_commit();
    if (sealed) sealed = other.seal_and_commit();
    if (!sealed) return sealed;
    if (!capture_ || !other.capture_ || capture_ != other.capture_ || at > frame_count_) {
        return IoError::make(IoErrorKind::InvalidInput, "incompatible frame range insertion");
    }
    shift_name_index(name_index_, at, other.frame_count_);
    shift_name_index(other.name_index_, 0, at);
    merge_name_index(name_index_, std::move(other.name_index_));
    byte_total_ = saturating_add(byte_total_, other.byte_total_);
    std::vector<FrameSpan> rebuilt = slice(0, at);
    append_spans(rebuilt, std::move(other.spans_));
    append_spans(rebuilt, slice(at, frame_count_));
    frame_count_ = normalize_spans(rebuilt);
    spans_ = std::move(rebuilt);
    other.spans_.clear();
    other.frame_count_ = 0;
    other.byte_total_ = 0;
    other.arena_.reset();
    other.capture_.reset();
    return {};
}

IoResult<ThreadLayout> FrameStore::layout() {
    IoStatus usable = check_not_failed();
    if (!usable) return std::move(usable).error();
    IoStatus sealed = seal_and_commit();
    if (!sealed) return std::move(sealed).error();
    ThreadLayout layout;
    layout.thread_token = thread_token_;
    layout.spans.reserve(spans_.size());
    for (const FrameSpan& span : spans_) layout.spans.push_back({span.chunk->sequence(), span.offset, span.count});
    return layout;
}

IoResult<FrameStore::Located> FrameStore::locate(std::uint64_t index) const {
    auto after = std::upper_bound(spans_.begin(), spans_.end(), index,
                                  [](std::uint64_t i, const FrameSpan& span) { return i < span.first; });
    const FrameSpan& span = *std::prev(after);
    std::uint64_t i = span.offset + (index - span.first);
    const auto& ends = *span.chunk->ends();
    if (i >= span.chunk->frame_count() || i >= ends.size()) return invalid_index();
    std::uint64_t start = i == 0 ? 0 : ends[i - 1];
    if (ends[i] < start) return invalid_boundary();
    return Located{span.chunk.get(), start, ends[i]};
}

IoResult<std::uint64_t> FrameStore::frame_len(std::uint64_t index) const {
    IoStatus usable = check_not_failed();
    if (!usable) return std::move(usable).error();
    if (index < frame_count_) {
        IoResult<Located> found = locate(index);
        if (!found) return std::move(found).error();
        return found->end - found->start;
    }
    if (arena_ && index - frame_count_ < arena_->frame_count()) {
        std::uint64_t i = index - frame_count_;
        std::uint64_t start = i == 0 ? 0 : arena_->ends[i - 1];
        if (arena_->ends[i] < start) return invalid_boundary();
        return arena_->ends[i] - start;
    }
    return invalid_index();
}

IoResult<std::span<const std::uint8_t>> FrameStore::frame(std::uint64_t index, Bytes& scratch) {
    IoStatus usable = check_not_failed();
    if (!usable) return std::move(usable).error();
    if (index < frame_count_) {
        IoResult<Located> found = locate(index);
        if (!found) return std::move(found).error();
        IoStatus read = found->chunk->read(found->start, found->end, scratch);
        if (!read) return std::move(read).error();
        return std::span<const std::uint8_t>(scratch.data(), scratch.size());
    }
    if (arena_ && index - frame_count_ < arena_->frame_count()) {
        std::uint64_t i = index - frame_count_;
        std::uint64_t start = i == 0 ? 0 : arena_->ends[i - 1];
        std::uint64_t end = arena_->ends[i];
        if (end < start) return invalid_boundary();
        if (end > arena_->bytes.size()) return IoError::make(IoErrorKind::UnexpectedEof, "short in-memory trace read");
        return std::span<const std::uint8_t>(arena_->bytes.data() + start, end - start);
    }
    return invalid_index();
}

}  // namespace quib::storage
