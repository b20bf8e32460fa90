#include "frames/random.hpp"

#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <ctime>

namespace quib::frames {

namespace {

struct RandomState {
    std::uint64_t state = 0;
    bool seeded = false;
};
constinit thread_local RandomState RANDOM{};

std::uint64_t mix(std::uint64_t value) noexcept {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdull;
    value ^= value >> 33;
    value *= 0xc4ceb9fe1a85ec53ull;
    value ^= value >> 33;
    return value;
}

// The OS source; if it is unavailable, the clock, the process and the thread still make a seed
// that differs between threads and runs.
std::uint64_t os_seed() noexcept {
    std::uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed)) return seed;
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return mix(static_cast<std::uint64_t>(time.tv_nsec) ^ (static_cast<std::uint64_t>(time.tv_sec) << 30) ^
               (static_cast<std::uint64_t>(getpid()) << 17) ^ reinterpret_cast<std::uintptr_t>(&RANDOM));
}

// Only the forking thread lives on in the child, and it runs this handler.
void reseed_in_child() noexcept { RANDOM.seeded = false; }

[[maybe_unused]] const int FORK_HANDLER = pthread_atfork(nullptr, nullptr, reseed_in_child);

}  // namespace

std::uint64_t random_u64() noexcept {
    RandomState& random = RANDOM;
    if (!random.seeded) [[unlikely]] {
        random.state = os_seed();
        random.seeded = true;
    }
    // wyrand: one add and one 64x64->128 multiply per value.
    random.state += 0xa0761d6478bd642full;
    __uint128_t product = static_cast<__uint128_t>(random.state) * (random.state ^ 0xe7037ed1a0b428dbull);
    return static_cast<std::uint64_t>(product >> 64) ^ static_cast<std::uint64_t>(product);
}

}  // namespace quib::frames
