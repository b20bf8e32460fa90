// A few arena buffers kept for reuse. A sealed chunk's bytes come back here when the last
// reference to them goes (usually once the writer has written them), and the next arena takes
// them: the pages are already the process's, so filling an arena neither faults them in again
// nor leaves the allocator to fragment its heap with half-megabyte blocks freed by another thread.
//
// Never blocks: a thread that finds the pool's mutex busy (or a forked child that inherited it
// locked) allocates or frees the plain way instead.
#pragma once

#include "storage/chunk.hpp"

#include <cstddef>
#include <memory>

namespace quib::storage {

// An empty buffer with room for at least `capacity` bytes.
Bytes take_arena_buffer(std::size_t capacity);
// The chunk bytes to commit: shared, and given back to the pool when the last reference goes.
SharedBytes share_arena_buffer(Bytes bytes);

}  // namespace quib::storage
