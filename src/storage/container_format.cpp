#include "storage/container_format.hpp"

#include "storage/crc32.hpp"
#include "storage/msgpack_out.hpp"

#include <array>
#include <limits>

namespace quib::storage {

namespace {

constexpr std::uint64_t U32_LIMIT = std::uint64_t{1} << 32;

IoError width_error() { return IoError::make(IoErrorKind::InvalidData, WIDTH_EXCEEDED); }

template <std::size_t N>
void put_le(std::array<std::uint8_t, N>& out, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::array<std::uint8_t, RECORD_HEADER_SIZE> record_header(std::uint8_t kind, std::uint32_t thread,
                                                           std::uint64_t sequence, std::uint32_t count,
                                                           std::uint32_t length, std::uint32_t payload_crc) {
    std::array<std::uint8_t, RECORD_HEADER_SIZE> header{};
    header[0] = 'Q';
    header[1] = 'R';
    header[2] = '3';
    header[4] = kind;
    put_le(header, 8, thread, 4);
    put_le(header, 12, sequence, 8);
    put_le(header, 20, count, 4);
    put_le(header, 24, length, 4);
    put_le(header, 28, length, 4);
    put_le(header, 32, payload_crc, 4);
    put_le(header, 36, crc32(header.data(), 36), 4);
    return header;
}

}  // namespace

void append_leb128(Bytes& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

Bytes encode_header_payload(std::string_view trace_id, double timestamp) {
    Bytes out;
    out.reserve(trace_id.size() + 32);
    mp::write_map(out, 2);
    mp::write_str(out, "trace_id");
    mp::write_str(out, trace_id);
    mp::write_str(out, "timestamp");
    mp::write_f64(out, timestamp);
    return out;
}

IoResult<Bytes> encode_preamble(const Bytes& header_payload) {
    if (header_payload.size() >= U32_LIMIT) return width_error();
    std::array<std::uint8_t, PREAMBLE_SIZE> preamble{'Q', 'U', 'I', 'B', 'T', 'R', 'C', '3'};
    put_le(preamble, 8, 3, 2);
    preamble[10] = 2;
    preamble[11] = 0;
    put_le(preamble, 16, header_payload.size(), 4);
    put_le(preamble, 20, crc32(header_payload.data(), header_payload.size()), 4);
    Bytes out(preamble.begin(), preamble.end());
    out.insert(out.end(), header_payload.begin(), header_payload.end());
    return out;
}

IoResult<WrittenRecord> write_record(ContainerOutput& out, std::uint64_t offset, std::uint8_t kind,
                                     std::uint32_t thread, std::uint64_t sequence, std::uint32_t count,
                                     std::span<const std::uint8_t> payload) {
    if (payload.size() >= U32_LIMIT) return width_error();
    auto length = static_cast<std::uint32_t>(payload.size());
    auto header = record_header(kind, thread, sequence, count, length, crc32(payload.data(), payload.size()));
    IoStatus written = out.write(header.data(), header.size());
    if (written && !payload.empty()) written = out.write(payload.data(), payload.size());
    if (!written) return std::move(written).error();
    return WrittenRecord{IndexEntry{offset, sequence, length, thread, count, kind}, RECORD_HEADER_SIZE + length};
}

IoResult<WrittenChunk> write_chunk(ContainerOutput& out, std::uint64_t offset, std::uint32_t thread,
                                   std::uint64_t sequence, std::span<const std::uint64_t> ends,
                                   std::span<const std::uint8_t> bytes) {
    if (ends.size() >= U32_LIMIT) return width_error();
    Bytes lengths;
    lengths.reserve(ends.size() * 2);
    std::uint64_t previous = 0;
    for (std::uint64_t end : ends) {
        if (end < previous) return width_error();
        append_leb128(lengths, end - previous);
        previous = end;
    }
    if (previous > bytes.size()) return width_error();
    std::uint64_t payload = lengths.size() + previous;
    if (payload >= U32_LIMIT) return width_error();
    std::uint64_t data_position = offset + RECORD_HEADER_SIZE + lengths.size();
    if (data_position < offset) return width_error();
    auto length = static_cast<std::uint32_t>(payload);
    auto count = static_cast<std::uint32_t>(ends.size());
    auto header = record_header(KIND_FRAME_CHUNK, thread, sequence, count, length, 0);
    IoStatus written = out.write(header.data(), header.size());
    if (written && !lengths.empty()) written = out.write(lengths.data(), lengths.size());
    if (written && previous > 0) written = out.write(bytes.data(), previous);
    if (!written) return std::move(written).error();
    return WrittenChunk{IndexEntry{offset, sequence, length, thread, count, KIND_FRAME_CHUNK},
                        RECORD_HEADER_SIZE + payload, data_position};
}

Bytes encode_index(std::span<const IndexEntry> entries, std::span<const ThreadLayout> layouts) {
    Bytes out;
    out.reserve(32 + entries.size() * 24);
    mp::write_map(out, 2);
    mp::write_str(out, "records");
    mp::write_array(out, static_cast<std::uint32_t>(entries.size()));
    for (const IndexEntry& e : entries) {
        mp::write_array(out, 6);
        mp::write_uint(out, e.kind);
        mp::write_uint(out, e.offset);
        mp::write_uint(out, e.payload_length);
        mp::write_uint(out, e.thread);
        mp::write_uint(out, e.sequence);
        mp::write_uint(out, e.count);
    }
    mp::write_str(out, "threads");
    mp::write_map(out, static_cast<std::uint32_t>(layouts.size()));
    for (const ThreadLayout& layout : layouts) {
        mp::write_uint(out, layout.thread_token);
        mp::write_array(out, static_cast<std::uint32_t>(layout.spans.size()));
        for (const LayoutSpan& span : layout.spans) {
            mp::write_array(out, 3);
            mp::write_uint(out, span.chunk_sequence);
            mp::write_uint(out, span.offset);
            mp::write_uint(out, span.count);
        }
    }
    return out;
}

IoStatus write_footer(ContainerOutput& out, std::uint64_t index_offset, std::uint64_t total_length) {
    std::array<std::uint8_t, FOOTER_SIZE> footer{'Q', 'U', 'I', 'B', 'E', 'N', 'D', '3'};
    put_le(footer, 8, index_offset, 8);
    put_le(footer, 16, total_length, 8);
    put_le(footer, 24, crc32(footer.data(), 24), 4);
    return out.write(footer.data(), footer.size());
}

}  // namespace quib::storage
