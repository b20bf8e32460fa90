// Last-resort output for texts that must get out when Python cannot be used: straight to the
// process's file descriptors, no Python, no buffering, failures ignored.
#pragma once

#include <string_view>

namespace quib::diagnostics {

void write_to_stderr(std::string_view text) noexcept;
void write_to_stdout(std::string_view text) noexcept;

}  // namespace quib::diagnostics
