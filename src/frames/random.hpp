// A fast per-thread source of random bits for identifiers: a small generator seeded once per thread
// from the operating system's random source. Not for secrets: it only has to make collisions of
// identifiers practically impossible. After fork() the child reseeds, so parent and child never
// produce the same sequence.
#pragma once

#include <cstdint>

namespace quib::frames {

std::uint64_t random_u64() noexcept;

}  // namespace quib::frames
