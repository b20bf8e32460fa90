// What a line record (an assignment seen through instruction events) needs about its frame,
// captured at the event: path and line, qualified name, frame id and time. Per-code facts live in
// a shared LineCode, so repeated events in one code object format no strings.
#pragma once

#include "frames/frame_id.hpp"
#include "frames/frame_path_cache.hpp"
#include "py/gil_mutex.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quib::frames {

struct LineCode {
    std::string path;                    // relative source path, without a line
    std::string co_name;
    std::optional<std::string> co_qualname;

    struct QualnameCache {
        std::string module;                            // the module name the cached name was built with
        std::shared_ptr<const std::string> qualname;   // module + "." + co_qualname
    };
    py::Guarded<std::optional<QualnameCache>> qualname_cache{"qualname cache poisoned"};

    // Reads co_name (its failure is returned) and co_qualname (absent unless it is a str).
    static py::Result<std::shared_ptr<LineCode>> create(PyObject* code, std::string path);
};

struct LineFrame {
    std::optional<std::string> path_with_line;  // only when the frame runs another code object
    std::optional<std::uint64_t> line;          // when it runs the line code's own
    std::shared_ptr<LineCode> code;
    std::shared_ptr<const std::string> qualname;
    FrameId frame_id;
    double timestamp;

    static py::Result<LineFrame> capture(std::shared_ptr<LineCode> line_code, PyObject* code, PyFrameObject* frame,
                                         FramePathCache& path_cache, const FrameId& frame_id);
};

}  // namespace quib::frames
