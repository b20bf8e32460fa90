#include "storage/container_build.hpp"

#include <limits>

namespace quib::storage {

namespace {

IoError width_error() { return IoError::make(IoErrorKind::InvalidData, WIDTH_EXCEEDED); }

class Builder {
public:
    explicit Builder(Bytes& buffer) : buffer_(buffer), out_(buffer) {}

    IoStatus record(std::uint8_t kind, std::uint32_t thread, std::uint64_t sequence, std::uint32_t count,
                    std::span<const std::uint8_t> payload) {
        IoResult<WrittenRecord> written = write_record(out_, buffer_.size(), kind, thread, sequence, count, payload);
        if (!written) return std::move(written).error();
        entries_.push_back(written->entry);
        return {};
    }

    IoStatus chunk(const SealedChunk& chunk, ThreadLayout& layout) {
        IoResult<WrittenChunk> written = write_chunk(out_, buffer_.size(), chunk.thread_token, chunk.sequence,
                                                     std::span(*chunk.ends), std::span(*chunk.bytes));
        if (!written) return std::move(written).error();
        entries_.push_back(written->entry);
        layout.spans.push_back({chunk.sequence, 0, static_cast<std::uint32_t>(chunk.frame_count)});
        return {};
    }

    IoStatus index_and_footer(std::span<const ThreadLayout> layouts) {
        Bytes index = encode_index(entries_, layouts);
        std::uint64_t index_offset = buffer_.size();
        IoResult<WrittenRecord> written = write_record(out_, index_offset, KIND_INDEX, 0, 0,
                                                       static_cast<std::uint32_t>(entries_.size()), std::span(index));
        if (!written) return std::move(written).error();
        return write_footer(out_, index_offset, index_offset + written->bytes + FOOTER_SIZE);
    }

private:
    Bytes& buffer_;
    MemoryOutput out_;
    std::vector<IndexEntry> entries_;
};

}  // namespace

IoResult<Bytes> build_container_bytes(std::string_view trace_id, double timestamp, std::span<const StoreRef> stores,
                                      const TokenLookup& token_of, std::span<const ThreadMetadata> thread_metadata,
                                      std::span<const std::uint8_t> trace_metadata,
                                      std::span<const PublishedValue> values) {
    Bytes header = encode_header_payload(trace_id, timestamp);
    std::uint64_t frame_bytes = 0;
    for (const StoreRef& ref : stores) {
        for (std::uint64_t i = 0; i < ref.store->total_frames(); ++i) {
            IoResult<std::uint64_t> length = ref.store->frame_len(i);
            if (!length) return std::move(length).error();
            if (frame_bytes > std::numeric_limits<std::uint64_t>::max() - length.value()) return width_error();
            frame_bytes += length.value();
        }
    }
    Bytes buffer;
    buffer.reserve(frame_bytes + header.size() + trace_metadata.size() + 4096);
    IoResult<Bytes> preamble = encode_preamble(header);
    if (!preamble) return std::move(preamble).error();
    buffer.insert(buffer.end(), preamble->begin(), preamble->end());
    Builder builder(buffer);

    for (const PublishedValue& value : values) {
        IoStatus written = builder.record(KIND_VALUE, 0, value.value_id, 1, std::span(*value.bytes));
        if (!written) return std::move(written).error();
    }

    std::vector<ThreadLayout> layouts;
    Bytes scratch;
    for (const StoreRef& ref : stores) {
        std::optional<std::uint32_t> token = token_of(ref.key);
        if (!token) {
            return IoError::make(IoErrorKind::InvalidInput, "missing v3 thread token for " + std::string(ref.key));
        }
        ThreadLayout& layout = layouts.emplace_back();
        layout.thread_token = *token;
        FrameArena arena(*token, SEAL_THRESHOLD);
        for (std::uint64_t i = 0; i < ref.store->total_frames(); ++i) {
            IoResult<std::span<const std::uint8_t>> frame = ref.store->frame(i, scratch);
            if (!frame) return std::move(frame).error();
            arena.bytes.insert(arena.bytes.end(), frame->begin(), frame->end());
            arena.ends.push_back(arena.bytes.size());
            if (arena.bytes.size() >= arena.seal_threshold) {
                IoStatus written = builder.chunk(*arena.seal(), layout);
                if (!written) return std::move(written).error();
            }
        }
        if (std::optional<SealedChunk> last = arena.seal()) {
            IoStatus written = builder.chunk(*last, layout);
            if (!written) return std::move(written).error();
        }
    }

    for (std::size_t i = 0; i < thread_metadata.size(); ++i) {
        IoStatus written = builder.record(KIND_THREAD_METADATA, thread_metadata[i].thread_token, i, 1,
                                          std::span(thread_metadata[i].bytes));
        if (!written) return std::move(written).error();
    }
    IoStatus written = builder.record(KIND_TRACE_METADATA, 0, 0, 1, trace_metadata);
    if (written) written = builder.index_and_footer(layouts);
    if (!written) return std::move(written).error();
    return buffer;
}

}  // namespace quib::storage
