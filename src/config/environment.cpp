#include "config/environment.hpp"

#include <cstdlib>
#include <cstring>

namespace quib::config {

bool switch_is_on(const char* variable) noexcept {
    const char* value = std::getenv(variable);
    return value == nullptr || std::strcmp(value, "0") != 0;
}

bool reuse_save_workers() noexcept {
    static const bool reuse = switch_is_on("QUIB_REUSE_SAVE_WORKERS");
    return reuse;
}

}  // namespace quib::config
