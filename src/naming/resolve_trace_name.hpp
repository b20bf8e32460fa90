// Naming a trace from one thread's frame store, through the tracer's name slot: an explicit name
// wins; otherwise the store's records give one, which is remembered when asked.
#pragma once

#include "storage/frame_store.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quib::naming {

std::optional<std::string> resolve_trace_name(std::optional<std::string>& slot,
                                              std::unordered_map<std::string, storage::FrameStore>& stores,
                                              std::string_view key, bool remember);

}  // namespace quib::naming
