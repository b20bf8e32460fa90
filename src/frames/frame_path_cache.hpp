// The per-tracer cache of source paths: each code object's co_filename is turned into a path
// relative to the working directory once (the directory read when the cache is made), and every
// event after that copies the text and appends its line. Each entry also remembers whether the
// code's values could be encoded natively, which the tracer reports.
//
// Entries hold a strong reference to their code object, so that no other code object can ever be
// created at a cached address; entries are never removed. The map is shared by the tracer's
// threads behind a mutex that is held only for a lookup or an insertion.
#pragma once

#include "py/gil_mutex.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>

namespace quib::frames {

struct FramePath {
    std::string path;  // relative path, ":", then the line number or "None"
    py::Ref code;
    bool native_eligible;
};

struct CodePath {
    std::string path;  // relative path, without a line
    bool native_eligible;
};

class FramePathCache {
public:
    // Reads the working directory; throws InternalFailure("Current directory is invalid") when it
    // cannot be read (for example after it was removed).
    FramePathCache();
    explicit FramePathCache(std::string base_directory);
    FramePathCache(const FramePathCache&) = delete;
    FramePathCache& operator=(const FramePathCache&) = delete;

    const std::string& base_directory() const noexcept { return base_; }
    std::string relative_path(std::string_view filename) const;

    // The code object's cached path, computing and caching it on first use.
    py::Result<CodePath> code_path(PyObject* code);
    py::Result<FramePath> frame_path_and_native_eligibility(PyFrameObject* frame);
    // Clears the entry's native-eligibility flag (its values needed the host serializer).
    void mark_native_msgpack_unsupported(std::uintptr_t code);

    std::size_t size();

private:
    struct Entry {
        std::string path;
        py::Ref code;
        bool native_eligible;
    };
    using Entries = std::unordered_map<std::uintptr_t, Entry>;

    std::string base_;
    py::Guarded<Entries> entries_{"frame path cache mutex poisoned"};
};

// co_filename of a code object as bytes, as the OS spells the file (names that are not valid
// UTF-8 come back as their original bytes).
py::Result<std::string> code_filename(PyObject* code);

}  // namespace quib::frames
