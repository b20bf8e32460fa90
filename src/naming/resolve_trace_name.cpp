#include "naming/resolve_trace_name.hpp"

#include "naming/trace_name.hpp"

namespace quib::naming {

std::optional<std::string> resolve_trace_name(std::optional<std::string>& slot,
                                              std::unordered_map<std::string, storage::FrameStore>& stores,
                                              std::string_view key, bool remember) {
    if (slot) return slot;
    std::optional<std::string> name;
    auto found = stores.find(std::string(key));
    if (found != stores.end()) {
        storage::FrameStore& store = found->second;
        storage::Bytes scratch;
        RecordReader read = [&](std::uint64_t index) -> std::optional<std::span<const std::uint8_t>> {
            auto frame = store.frame(index, scratch);
            if (!frame) return std::nullopt;
            return frame.value();
        };
        name = name_from_records(store.total_frames(), read);
    }
    if (remember && name) slot = name;
    return name;
}

}  // namespace quib::naming
