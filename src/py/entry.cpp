#include "py/entry.hpp"

#include "diagnostics/internal_panic.hpp"

#include <new>

namespace quib::py {

const char* caught_failure_text() noexcept {
    try {
        throw;
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
        return "unknown panic";
    }
}

void raise_caught_failure() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        diagnostics::raise_internal_panic(caught_failure_text());
    }
}

}  // namespace quib::py
