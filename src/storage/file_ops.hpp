// The few file operations trace storage needs, with errors as IoErrors whose messages name the
// file. All retry on EINTR; none touches Python.
#pragma once

#include "storage/io_error.hpp"

#include <cstdint>
#include <string>

namespace quib::storage::files {

// Creates the directory and its missing parents.
IoStatus create_directories(const std::string& path);
// Creates a new file for reading and writing (permissions 0666 before the umask); fails if it exists.
IoResult<int> create_exclusive(const std::string& path);
IoResult<int> open_read_only(const std::string& path);
IoStatus write_all_at(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset,
                      const std::string& path);
IoStatus read_exact_at(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset, const std::string& path);
IoStatus sync_file(int fd, const std::string& path);
IoStatus rename_file(const std::string& from, const std::string& to);
// Makes a change of the directory's entries (a rename) durable.
IoStatus sync_directory(const std::string& path);
// Removes the file; a missing file is not an error.
IoStatus remove_file(const std::string& path);
void close_fd(int fd) noexcept;

// The directory part of a path as the trace files use it: "." when there is none.
std::string parent_directory(const std::string& path);
std::string join(const std::string& directory, const std::string& name);
std::string file_name(const std::string& path);

}  // namespace quib::storage::files
