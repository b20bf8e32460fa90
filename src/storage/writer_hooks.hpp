// A gate that tests close to make every writer thread stop before its next command, as a writer
// stuck on a dead disk would. Open unless a test closes it.
#pragma once

namespace quib::storage {

void set_writers_blocked(bool blocked);
void wait_while_writers_blocked();

}  // namespace quib::storage
