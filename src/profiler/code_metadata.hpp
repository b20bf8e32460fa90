// What the profile callback needs to know about a code object, worked out once per code object:
// its paths and names, the filter decision and whether plug-ins watch its name. Entries hold a
// strong reference to their code object, so that the address they are keyed by cannot be reused.
#pragma once

#include "frames/frame_writer.hpp"
#include "py/gil_mutex.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>

namespace quib::profiler {

enum class FilterDecision : std::uint8_t { Included = 0, Excluded = 1, Undecided = 2 };

struct ProfilerCodeMetadata {
    py::Ref code;
    std::string co_filename;
    std::string path;  // as shown in records, relative to the working directory
    std::string co_name;
    std::optional<std::string> co_qualname;
    bool has_plugins = false;
    FilterDecision decision = FilterDecision::Undecided;
    // The one mutable part, written with release ordering by any thread whose values of this code
    // needed the host serializer.
    mutable std::atomic<bool> native_eligible{true};

    frames::PrecomputedCode precomputed() const {
        std::optional<std::string_view> qualname;
        if (co_qualname) qualname = *co_qualname;
        return frames::PrecomputedCode{path, qualname, &native_eligible};
    }
};

struct ExcludedCode {
    py::Ref code;
};
using CachedProfilerCodeMetadata = std::variant<ExcludedCode, std::shared_ptr<const ProfilerCodeMetadata>>;

// Shared by the profiler's threads, behind a mutex. Excluded code objects are counted (whether
// cached as Excluded or as Full with an excluded decision) and capped: past the cap such code is
// judged again on each event instead of being cached.
class CodeMetadataCache {
public:
    static constexpr std::size_t EXCLUDED_CAP = 4096;

    struct Entries {
        std::unordered_map<std::uintptr_t, CachedProfilerCodeMetadata> map;
        std::size_t excluded = 0;
    };

    // The entry for this code address, if any (a copy: the caller uses it outside the lock).
    std::optional<CachedProfilerCodeMetadata> find(std::uintptr_t code);
    // Inserts an Excluded entry unless the cap is reached; true when inserted (or already there).
    bool insert_excluded(PyObject* code);
    // Inserts a Full entry, or returns the one another thread inserted meanwhile. Full entries with
    // an excluded decision are not cached past the cap (the given metadata is returned).
    std::shared_ptr<const ProfilerCodeMetadata> insert_full(std::shared_ptr<const ProfilerCodeMetadata> metadata);
    std::size_t excluded_count();

private:
    py::Guarded<Entries> entries_{"mutex poisoned"};
};

// A thread's own copy of a Full entry it met, with what only this thread writes for that code.
struct LocalCodeMetadata {
    std::shared_ptr<const ProfilerCodeMetadata> shared;
    frames::NamePairs names;
    // What the frame writer needs of `shared`, with `names` attached: made once, not per event.
    frames::PrecomputedCode precomputed{};
};

// A thread's own copies, so that most events take no lock at all. Entries are never removed while
// the thread's slot lives, so a pointer to one stays valid for the whole of an event.
struct CodeMetadataLocal {
    std::unordered_map<std::uintptr_t, LocalCodeMetadata> map;
};

}  // namespace quib::profiler
