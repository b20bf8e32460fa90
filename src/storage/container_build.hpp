// Builds a whole v3 container in memory from complete frame stores: the path for traces that were
// kept in memory (a fork, the circuit breaker, `build_trace`). Same layout as the streamed file.
#pragma once

#include "storage/container_format.hpp"
#include "storage/frame_store.hpp"
#include "storage/writer_commands.hpp"

#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace quib::storage {

struct StoreRef {
    std::string_view key;  // the thread key the tracer keeps the store under
    FrameStore* store;
};

using TokenLookup = std::function<std::optional<std::uint32_t>(std::string_view key)>;

IoResult<Bytes> build_container_bytes(std::string_view trace_id, double timestamp, std::span<const StoreRef> stores,
                                      const TokenLookup& token_of, std::span<const ThreadMetadata> thread_metadata,
                                      std::span<const std::uint8_t> trace_metadata,
                                      std::span<const PublishedValue> values);

}  // namespace quib::storage
