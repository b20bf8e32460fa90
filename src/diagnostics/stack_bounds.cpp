#include "diagnostics/stack_bounds.hpp"

#if defined(__linux__)
#include <pthread.h>
#endif

namespace quib::diagnostics {

std::uintptr_t stack_limit_of_this_thread() noexcept {
#if defined(__linux__)
    // glibc reports the usable block: above the guard page for threads it created, and for the
    // main thread the block the stack rlimit allows (read from /proc/self/maps once per thread).
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return UNKNOWN_STACK_LIMIT;
    void* lowest = nullptr;
    std::size_t size = 0;
    int failed = pthread_attr_getstack(&attributes, &lowest, &size);
    pthread_attr_destroy(&attributes);
    if (failed != 0 || lowest == nullptr || size == 0) return UNKNOWN_STACK_LIMIT;
    return reinterpret_cast<std::uintptr_t>(lowest);
#else
    return UNKNOWN_STACK_LIMIT;
#endif
}

}  // namespace quib::diagnostics
