#include "profiler/code_metadata.hpp"

namespace quib::profiler {

std::optional<CachedProfilerCodeMetadata> CodeMetadataCache::find(std::uintptr_t code) {
    auto entries = entries_.lock();
    auto found = entries->map.find(code);
    if (found == entries->map.end()) return std::nullopt;
    return found->second;
}

bool CodeMetadataCache::insert_excluded(PyObject* code) {
    auto entries = entries_.lock();
    auto key = reinterpret_cast<std::uintptr_t>(code);
    if (entries->map.contains(key)) return true;
    if (entries->excluded >= EXCLUDED_CAP) return false;
    entries->map.emplace(key, ExcludedCode{py::Ref::take(code)});
    ++entries->excluded;
    return true;
}

std::shared_ptr<const ProfilerCodeMetadata> CodeMetadataCache::insert_full(
    std::shared_ptr<const ProfilerCodeMetadata> metadata) {
    auto entries = entries_.lock();
    auto key = reinterpret_cast<std::uintptr_t>(metadata->code.get());
    auto found = entries->map.find(key);
    if (found != entries->map.end()) {
        if (auto* full = std::get_if<std::shared_ptr<const ProfilerCodeMetadata>>(&found->second)) return *full;
        return metadata;  // another thread found it excluded; this event goes on with its own metadata
    }
    bool excluded = metadata->decision == FilterDecision::Excluded;
    if (excluded && entries->excluded >= EXCLUDED_CAP) return metadata;
    entries->map.emplace(key, metadata);
    if (excluded) ++entries->excluded;
    return metadata;
}

std::size_t CodeMetadataCache::excluded_count() { return entries_.lock()->excluded; }

}  // namespace quib::profiler
