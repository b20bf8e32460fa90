#include "storage/writer_commands.hpp"

#include "storage/detach.hpp"

namespace quib::storage {

bool CommandChannel::send(Command command) {
    {
        lock_storage(mutex_);
        std::lock_guard<std::mutex> guard(mutex_, std::adopt_lock);
        if (closed_) return false;
        queue_.push_back(std::move(command));
    }
    ready_.notify_one();
    return true;
}

std::optional<Command> CommandChannel::receive() {
    // Only the writer thread receives; it never holds the interpreter lock.
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [&] { return !queue_.empty() || closed_; });
    if (queue_.empty()) return std::nullopt;
    Command command = std::move(queue_.front());
    queue_.pop_front();
    return command;
}

std::optional<Command> CommandChannel::try_receive() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return std::nullopt;
    Command command = std::move(queue_.front());
    queue_.pop_front();
    return command;
}

void CommandChannel::close() {
    {
        lock_storage(mutex_);
        std::lock_guard<std::mutex> guard(mutex_, std::adopt_lock);
        closed_ = true;
    }
    ready_.notify_all();
}

}  // namespace quib::storage
