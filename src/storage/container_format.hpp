// The v3 trace container, written front to back:
//
//   preamble (24 bytes): "QUIBTRC3", u16 version 3, u8 2, u8 0, u32 0, u32 header length,
//                        u32 CRC-32 of the header payload
//   header payload:      MessagePack {"trace_id": str, "timestamp": float 64}
//   records:             40-byte header + payload, back to back (values, frame chunks, thread
//                        metadata, trace metadata, in the order they were written)
//   index record:        kind 4, MessagePack {"records": [[kind, offset, length, thread,
//                        sequence, count], ...], "threads": {token: [[chunk sequence, offset,
//                        count], ...]}}
//   footer (32 bytes):   "QUIBEND3", u64 index offset, u64 total length, u32 CRC-32 of the
//                        first 24 footer bytes, u32 0
//
// Integers are little-endian. Record header: "QR3" 0, u8 kind, 3 zero bytes, u32 thread, u64
// sequence, u32 count, u32 payload length (twice), u32 payload CRC (0 for frame chunks), u32 CRC of
// header bytes 0..35. A frame chunk's payload is the LEB128 length of every frame followed by the
// frames' bytes. Every byte here is read back by the host package's reader: change nothing without
// changing the format version.
#pragma once

#include "storage/io_error.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quib::storage {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t KIND_FRAME_CHUNK = 1;
inline constexpr std::uint8_t KIND_THREAD_METADATA = 2;
inline constexpr std::uint8_t KIND_TRACE_METADATA = 3;
inline constexpr std::uint8_t KIND_INDEX = 4;
inline constexpr std::uint8_t KIND_VALUE = 5;

inline constexpr std::size_t PREAMBLE_SIZE = 24;
inline constexpr std::size_t RECORD_HEADER_SIZE = 40;
inline constexpr std::size_t FOOTER_SIZE = 32;

struct IndexEntry {
    std::uint64_t offset = 0;
    std::uint64_t sequence = 0;
    std::uint32_t payload_length = 0;
    std::uint32_t thread = 0;
    std::uint32_t count = 0;
    std::uint8_t kind = 0;
};

// A thread's frames are `count` frames from frame `offset` of its chunk `chunk_sequence`, span
// after span.
struct LayoutSpan {
    std::uint64_t chunk_sequence = 0;
    std::uint32_t offset = 0;
    std::uint32_t count = 0;
};

struct ThreadLayout {
    std::vector<LayoutSpan> spans;
    std::uint32_t thread_token = 0;
};

// Where a container goes: a growable buffer, or the writer's buffered file.
class ContainerOutput {
public:
    virtual ~ContainerOutput() = default;
    virtual IoStatus write(const std::uint8_t* data, std::size_t size) = 0;
};

class MemoryOutput final : public ContainerOutput {
public:
    explicit MemoryOutput(Bytes& bytes) : bytes_(bytes) {}
    IoStatus write(const std::uint8_t* data, std::size_t size) override {
        bytes_.insert(bytes_.end(), data, data + size);
        return {};
    }

private:
    Bytes& bytes_;
};

struct WrittenRecord {
    IndexEntry entry;
    std::uint64_t bytes = 0;  // header + payload
};

struct WrittenChunk {
    IndexEntry entry;
    std::uint64_t bytes = 0;
    // Offset of the chunk's first frame byte (after the header and the lengths).
    std::uint64_t data_position = 0;
};

Bytes encode_header_payload(std::string_view trace_id, double timestamp);
// The preamble followed by the header payload.
IoResult<Bytes> encode_preamble(const Bytes& header_payload);

IoResult<WrittenRecord> write_record(ContainerOutput& out, std::uint64_t offset, std::uint8_t kind,
                                     std::uint32_t thread, std::uint64_t sequence, std::uint32_t count,
                                     std::span<const std::uint8_t> payload);

// `ends[i]` is the end offset of frame i within `bytes`.
IoResult<WrittenChunk> write_chunk(ContainerOutput& out, std::uint64_t offset, std::uint32_t thread,
                                   std::uint64_t sequence, std::span<const std::uint64_t> ends,
                                   std::span<const std::uint8_t> bytes);

Bytes encode_index(std::span<const IndexEntry> entries, std::span<const ThreadLayout> layouts);

IoStatus write_footer(ContainerOutput& out, std::uint64_t index_offset, std::uint64_t total_length);

void append_leb128(Bytes& out, std::uint64_t value);

}  // namespace quib::storage
