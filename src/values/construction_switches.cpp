#include "values/construction_switches.hpp"

#include <cstdlib>
#include <cstring>

namespace quib::values {

std::atomic<bool> CHECK_OFF{false};
std::atomic<bool> NATIVE_OFF{false};

namespace {
bool exactly_zero(const char* variable) noexcept {
    const char* value = std::getenv(variable);
    return value != nullptr && std::strcmp(value, "0") == 0;
}
}  // namespace

void read_construction_switches() noexcept {
    CHECK_OFF.store(exactly_zero("QUIB_CONSTRUCTION_CHECK"), std::memory_order_relaxed);
    NATIVE_OFF.store(exactly_zero("QUIB_CONSTRUCTION_NATIVE"), std::memory_order_relaxed);
}

}  // namespace quib::values
