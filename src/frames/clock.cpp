#include "frames/clock.hpp"

#include <ctime>

namespace quib::frames {

namespace {
timespec now() noexcept {
    timespec time{};
    clock_gettime(CLOCK_REALTIME, &time);
    return time;
}
}  // namespace

double timestamp() noexcept {
    timespec time = now();
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

std::uint64_t unix_millis() noexcept {
    timespec time = now();
    if (time.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(time.tv_sec) * 1000 + static_cast<std::uint64_t>(time.tv_nsec) / 1000000;
}

}  // namespace quib::frames
