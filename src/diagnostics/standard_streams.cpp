#include "diagnostics/standard_streams.hpp"

#include <unistd.h>

#include <cerrno>

namespace quib::diagnostics {

namespace {
void write_fully(int descriptor, std::string_view text) noexcept {
    while (!text.empty()) {
        ssize_t written = ::write(descriptor, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}
}  // namespace

void write_to_stderr(std::string_view text) noexcept { write_fully(STDERR_FILENO, text); }
void write_to_stdout(std::string_view text) noexcept { write_fully(STDOUT_FILENO, text); }

}  // namespace quib::diagnostics
