#include "frames/clock.hpp"

#include <ctime>

namespace quib::frames {

namespace {
timespec now() noexcept {
    timespec time{};
    clock_gettime(CLOCK_REALTIME, &time);
    return time;
}

double seconds_of(const timespec& time) noexcept {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}
std::uint64_t millis_of(const timespec& time) noexcept {
    if (time.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(time.tv_sec) * 1000 + static_cast<std::uint64_t>(time.tv_nsec) / 1000000;
}
}  // namespace

double timestamp() noexcept { return seconds_of(now()); }

std::uint64_t unix_millis() noexcept { return millis_of(now()); }

ClockReading read_clock() noexcept {
    timespec time = now();
    return ClockReading{seconds_of(time), millis_of(time)};
}

}  // namespace quib::frames
