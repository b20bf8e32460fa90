// Process-wide switches read from the environment. A switch is off only when its variable is
// exactly "0"; absent, empty or any other value ("00", "false") leaves it on.
#pragma once

namespace quib::config {

// QUIB_REUSE_SAVE_WORKERS, read the first time it is asked for and then fixed for the process:
// whether a finished trace writer thread may be parked for the next trace.
bool reuse_save_workers() noexcept;

// The rule above, for one variable, read now.
bool switch_is_on(const char* variable) noexcept;

}  // namespace quib::config
