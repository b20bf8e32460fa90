// Handing finished traces to the host package, which owns storage: a container built in memory
// goes to quib.db.save_v3_trace_chunks; a container that the background writer has committed as
// "raw/{trace_id}.quib" next to the database is announced with quib.db._save_trace_metadata. A
// sub-trace cut out of a running trace (subtree flushing) is written and announced here in one go.
//
// All of these need the interpreter lock; the host's Python code runs with the thread's hooks
// suspended, so callers inside tracer callbacks need no suspension of their own. The file commit
// itself (rename, then `files::sync_directory`) is the last step of `TraceCapture::finish`.
#pragma once

#include "py/error.hpp"
#include "storage/container_build.hpp"
#include "storage/frame_store.hpp"
#include "storage/trace_capture.hpp"
#include "storage/trace_metadata.hpp"
#include "storage/writer_commands.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace quib::storage {

// quib.db.save_v3_trace_chunks(trace_id, (container,), db_path=Path(db_path), ignore_errors=True,
// timeout=timeout_seconds). The host's exception is returned unchanged.
py::Status save_v3_container_bytes(std::string_view trace_id, std::span<const std::uint8_t> container,
                                   std::string_view db_path, std::uint64_t timeout_seconds);

// quib.db._save_trace_metadata(trace_id, db_path=Path(db_path), ignore_errors=ignore_errors,
// created_at=None, timeout=timeout_seconds). The host's exception is returned unchanged.
py::Status save_trace_metadata(std::string_view trace_id, std::string_view db_path, std::uint64_t timeout_seconds,
                               bool ignore_errors);

// Completes a trace that the capture's writer has been streaming: seals what the stores still hold
// in their arenas, then has the writer add the metadata, index and footer, and commits the file
// (rename, directory sync). Runs without the interpreter lock (released here when held). The stores
// must belong to `capture` and must not be used by anyone else meanwhile.
IoStatus finish_trace_file(TraceCapture& capture, std::span<FrameStore* const> stores, PreparedTrace prepared);

// Saves a whole trace made of the given frames (typically ranges drained from a running trace's
// stores) as "raw/{metadata.trace_id}.quib", then tells the host with `save_trace_metadata`.
// - Threads get the tokens 0, 1, 2, ... in the order their keys are met: the stores first, then
//   the threads of `metadata` that have no store.
// - The values are published to the sub-trace's own capture and the frames copied into its own
//   stores with the interpreter lock released: other threads keep running, but the stores must not
//   be used by anyone else meanwhile. The given stores are only read.
// - A failure to write the file (the capture, publication, copy or finish) is returned as its
//   exception, the temporary file removed. With `ignore_errors`, an OSError is instead logged as
//   "Failed to save trace {trace_id} to file: {error}" and the host is not told about the trace.
//   Subtree flushing leaves it false: a failed sub-trace is then reported and its frames go back
//   into the running trace, instead of being replaced by a marker that points nowhere.
// - Metadata failures (see `prepare_v3_trace_from_parts`) and the host's exceptions are returned.
py::Status save_v3_trace_from_parts(std::span<const StoreRef> stores, std::span<const PublishedValue> values,
                                    const TraceMetadataInputs& metadata, std::string_view db_path,
                                    std::uint64_t timeout_seconds, bool ignore_errors = false);

}  // namespace quib::storage
