#include "storage/chunk.hpp"

#include "storage/detach.hpp"
#include "storage/file_ops.hpp"

#include <cstring>

namespace quib::storage {

SnapshotFile::~SnapshotFile() { files::close_fd(fd_.load()); }

void SnapshotFile::install(int fd) {
    lock_storage(mutex_);
    std::lock_guard<ForkAwareMutex> guard(mutex_, std::adopt_lock);
    if (fd_.load() >= 0) {
        files::close_fd(fd);
        throw py::InternalFailure("snapshot file installed more than once");
    }
    fd_.store(fd, std::memory_order_release);
}

IoStatus SnapshotFile::read_at(std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    int fd = fd_.load(std::memory_order_acquire);
    if (fd < 0) {
        lock_storage(mutex_);
        std::lock_guard<ForkAwareMutex> guard(mutex_, std::adopt_lock);
        fd = fd_.load();
        if (fd < 0) {
            IoResult<int> opened = files::open_read_only(path_);
            if (!opened) return std::move(opened).error();
            fd = opened.value();
            fd_.store(fd, std::memory_order_release);
        }
    }
    return files::read_exact_at(fd, out, size, offset, path_);
}

ChunkHandle::ChunkHandle(std::shared_ptr<SnapshotFile> snapshot, const SealedChunk& chunk)
    : snapshot_(std::move(snapshot)),
      ends_(chunk.ends),
      frame_count_(chunk.frame_count),
      sequence_(chunk.sequence),
      thread_token_(chunk.thread_token),
      memory_("chunk memory poisoned", Memory{chunk.bytes, std::nullopt}) {}

void ChunkHandle::mark_written(std::uint64_t data_position) {
    written_.store(data_position + 1, std::memory_order_release);
    auto memory = lock_guarded(memory_);
    memory->bytes.reset();
}

void ChunkHandle::fail(const IoError& error) {
    auto memory = lock_guarded(memory_);
    if (!memory->failure) memory->failure = error.message;
    memory->bytes.reset();
}

IoStatus ChunkHandle::read(std::uint64_t start, std::uint64_t end, Bytes& scratch) {
    std::uint64_t position = written_position();
    if (position == 0) {
        auto memory = lock_guarded(memory_);
        if (memory->failure) return IoError::make(IoErrorKind::Other, *memory->failure);
        position = written_position();
        if (position == 0) {
            if (!memory->bytes) return IoError::make(IoErrorKind::UnexpectedEof, "missing in-memory trace chunk");
            if (end > memory->bytes->size()) {
                return IoError::make(IoErrorKind::UnexpectedEof, "short in-memory trace read");
            }
            scratch.assign(memory->bytes->begin() + static_cast<std::ptrdiff_t>(start),
                           memory->bytes->begin() + static_cast<std::ptrdiff_t>(end));
            return {};
        }
    }
    std::uint64_t base = position - 1;
    if (base > UINT64_MAX - start) return IoError::make(IoErrorKind::InvalidData, "frame offset overflow");
    scratch.resize(end - start);
    if (scratch.empty()) return {};
    return snapshot_->read_at(base + start, scratch.data(), scratch.size());
}

}  // namespace quib::storage
