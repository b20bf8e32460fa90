// What producers send to a capture's writer thread, and the channel that carries it.
#pragma once

#include "storage/chunk.hpp"
#include "storage/container_format.hpp"
#include "storage/writer_runtime.hpp"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace quib::storage {

struct ThreadMetadata {
    std::uint32_t thread_token = 0;
    Bytes bytes;
};

// A value record: the value's complete MessagePack encoding under its identifier.
struct PublishedValue {
    std::uint32_t value_id = 0;
    SharedBytes bytes;
};

struct ValueCommand {
    std::uint32_t value_id = 0;
    SharedBytes bytes;
    ResidentReservation reservation;
};

struct ChunkCommand {
    SealedChunk chunk;
    std::shared_ptr<ChunkHandle> handle;
    ResidentReservation reservation;
};

struct FinishCommand {
    std::vector<ThreadMetadata> thread_metadata;
    Bytes trace_metadata;
    std::vector<ThreadLayout> layouts;
};

using Command = std::variant<ValueCommand, ChunkCommand, FinishCommand>;

// Unbounded; the resident budget bounds what is queued. Closed either by the producers' side
// (no more commands will come) or by the writer (it stopped; sending fails from then on).
class CommandChannel {
public:
    // False when the channel is closed; the command is then dropped.
    bool send(Command command);
    // Blocks for the next command; nothing once the channel is closed and drained.
    std::optional<Command> receive();
    std::optional<Command> try_receive();
    void close();

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Command> queue_;
    bool closed_ = false;
};

}  // namespace quib::storage
